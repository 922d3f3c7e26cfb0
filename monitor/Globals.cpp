#include "monitor/Globals.h"

std::atomic<std::int32_t> AlertFlag{0};
std::atomic<platform::ThreadHandle> WorkerThread{0};
