// The worker's read of one ticker answer: Parse, GetMemberObject
// ("ticker.last"), ToJsonText, Destroy. Its CPU time, and the resident memory
// after many reads (which must stay flat).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "json/JsonObject.h"

namespace {

constexpr std::string_view kAnswer =
    R"({"date":"1528800000","ticker":{"buy":"33.14","contract_id":201806290000013,)"
    R"("high":"33.99","last":"33.15","low":"32.1","sell":"33.16","unit_amount":10.0,)"
    R"("vol":"1234567.8"}})";

text::Text ReadLast(JsonObject& worker) {
  worker.Parse(kAnswer);
  std::unique_ptr<JsonObject> last = worker.GetMemberObject("ticker.last");
  text::Text price = last->ToJsonText();
  last->Destroy();
  return price;
}

double ResidentMiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

void BM_WorkerRead(benchmark::State& state) {
  JsonObject worker;
  for (auto _ : state) {
    text::Text price = ReadLast(worker);
    if (price != "33.15") state.SkipWithError("wrong price");
    benchmark::DoNotOptimize(price);
  }
}
BENCHMARK(BM_WorkerRead)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

// One run of 100,000 reads; the counters are the resident set after the
// first 1,000 and after all of them, and the difference.
void BM_ResidentAfterReads(benchmark::State& state) {
  for (auto _ : state) {
    JsonObject worker;
    double after1k = 0;
    for (int i = 1; i <= 100000; ++i) {
      if (ReadLast(worker) != "33.15") state.SkipWithError("wrong price");
      if (i == 1000) after1k = ResidentMiB();
    }
    double after100k = ResidentMiB();
    state.counters["rss_1k_MiB"] = after1k;
    state.counters["rss_100k_MiB"] = after100k;
    state.counters["growth_MiB"] = after100k - after1k;
  }
}
BENCHMARK(BM_ResidentAfterReads)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
