#pragma once
// The two program-wide values shared by the window thread and the worker.

#include <atomic>
#include <cstdint>

#include "platform/thread/Thread.h"

// 1 while an alert is being signalled, else 0.
extern std::atomic<std::int32_t> AlertFlag;
// The worker thread's handle; 0 until the first Start, never cleared.
extern std::atomic<platform::ThreadHandle> WorkerThread;
