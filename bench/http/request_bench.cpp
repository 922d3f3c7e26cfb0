// CPU time of one WebRequest for a ticker-sized answer over loopback HTTPS:
// on a kept-alive connection, and on a new connection each time (TLS session
// resumed, and a full handshake with chain verification). The server
// runs in a child process so that only the client's CPU time is counted.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "http/WebRequest.h"
#include "platform/net/NetTesting.h"
#include "tests/http/support/LoopbackServer.h"

using namespace testing_support;

namespace {

const std::string kTicker =
    R"({"date":"1513928412","ticker":{"buy":"8.2150","contract_id":201712290040,)"
    R"("high":"9.1190","last":"8.2150","low":"7.1500","sell":"8.2170",)"
    R"("unit_amount":10.0,"vol":"4523688"}})";

std::string gKeepAliveUrl, gNewConnectionUrl, gFullHandshakeUrl;

void Fetch(benchmark::State& state, const std::string& url) {
  for (auto _ : state) {
    text::Bytes body = http::WebRequest(url);
    if (body.size() != kTicker.size()) {
      state.SkipWithError("wrong answer");
      break;
    }
    benchmark::DoNotOptimize(body);
  }
}

void BM_HttpsKeepAlive(benchmark::State& state) { Fetch(state, gKeepAliveUrl); }
void BM_HttpsNewConnection(benchmark::State& state) { Fetch(state, gNewConnectionUrl); }
void BM_HttpsFullHandshake(benchmark::State& state) { Fetch(state, gFullHandshakeUrl); }

}  // namespace

int main(int argc, char** argv) {
  TestCa ca("Benchmark CA");
  const CertAndKey cert = ca.Issue({"localhost"}, {"127.0.0.1"});

  int ports[2], hold[2];
  if (pipe(ports) != 0 || pipe(hold) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    close(ports[0]);
    close(hold[1]);
    {
      LoopbackServer keep([](const Received&) { return Reply::Ok(kTicker); }, &cert);
      const auto closing = [](const Received&) {
        Reply r = Reply::Ok(kTicker, "Connection: close\r\n");
        r.close = true;
        return r;
      };
      LoopbackServer once(closing, &cert);
      LoopbackServer full(closing, &cert, false);
      const std::string path = "/api/v1/ticker.do?symbol=eos_usd";
      const std::string urls =
          keep.Url(path) + "\n" + once.Url(path) + "\n" + full.Url(path) + "\n";
      if (write(ports[1], urls.data(), urls.size()) < 0) _exit(1);
      close(ports[1]);
      char c;
      while (read(hold[0], &c, 1) > 0) {
      }
    }
    _exit(0);
  }
  close(ports[1]);
  close(hold[0]);
  std::string urls;
  char buf[256];
  for (ssize_t n; (n = read(ports[0], buf, sizeof buf)) > 0;) urls.append(buf, n);
  close(ports[0]);
  std::vector<std::string> lines;
  for (std::size_t i = 0, j; (j = urls.find('\n', i)) != std::string::npos; i = j + 1)
    lines.push_back(urls.substr(i, j - i));
  if (lines.size() != 3) return 1;
  gKeepAliveUrl = lines[0];
  gNewConnectionUrl = lines[1];
  gFullHandshakeUrl = lines[2];

  platform::net::TrustCertificateForTesting(ca.CertPem());
  http::WebRequest(gKeepAliveUrl);  // loads the CA store and opens the kept connection

  benchmark::RegisterBenchmark("WebRequest/https/keep-alive", BM_HttpsKeepAlive)
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("WebRequest/https/new-connection", BM_HttpsNewConnection)
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("WebRequest/https/new-connection-full-handshake",
                               BM_HttpsFullHandshake)
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  close(hold[1]);
  waitpid(child, nullptr, 0);
  return 0;
}
