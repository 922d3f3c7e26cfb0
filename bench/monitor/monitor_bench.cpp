// What the worker's waits and the alert log cost: processor time used by a
// one-second delay, and the time of one line insert into a large log.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "monitor/PumpingDelay.h"
#include "platform/files/Files.h"
#include "platform/sys/RunDir.h"
#include "platform/thread/Thread.h"

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One-second delays on a worker, as the monitor makes them; reports the
// worker's processor time per delay.
void BM_IdleDelayOneSecond(benchmark::State& state) {
  double cpu = 0;
  for (auto _ : state) {
    double used = 0;
    platform::ThreadHandle h = platform::StartThread([&] {
      double start = ThreadCpuSeconds();
      PumpingDelay(1, kDelaySeconds);
      used = ThreadCpuSeconds() - start;
    });
    platform::JoinThread(h, std::chrono::seconds(5));
    cpu += used;
  }
  state.counters["cpu_us_per_delay"] =
      benchmark::Counter(cpu * 1e6 / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_IdleDelayOneSecond)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// One alert line inserted at the top of a log of the given size, with the
// temporary file, both fsyncs and the rename.
void BM_InsertLine(benchmark::State& state) {
  char pattern[] = "/tmp/zantrel-bench-XXXXXX";
  std::string dir = mkdtemp(pattern);
  std::string path = dir + "/Warning.txt";
  {
    std::string line(118, 'x');
    line += "\r\n";
    std::ofstream out(path, std::ios::binary);
    for (std::int64_t n = 0; n < state.range(0); n += 120) out << line;
  }
  text::Text log = platform::FromFsPath(path);
  std::string line(118, 'y');
  for (auto _ : state) {
    platform::File file = platform::File::OpenForUpdate(log);
    if (!file || !file.InsertLine(line)) state.SkipWithError("insert failed");
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_InsertLine)->Arg(4 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
