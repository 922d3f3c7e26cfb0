// Ending a worker in the middle of a request: the call ends at once, its
// handles are closed, and later requests are unaffected.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "http/WebRequest.h"
#include "platform/net/NetTesting.h"
#include "platform/thread/Thread.h"
#include "tests/http/support/LoopbackServer.h"

using namespace http;
using namespace testing_support;
using namespace std::chrono_literals;
namespace net = platform::net;

namespace {

TEST(RequestStop, EndingTheWorkerEndsItsRequest) {
  TestCa ca("Stop Test CA");
  const CertAndKey cert = ca.Issue({"localhost"}, {"127.0.0.1"});
  ASSERT_TRUE(net::TrustCertificateForTesting(ca.CertPem()));

  Reply stall;
  stall.mode = Reply::Mode::kStall;
  Reply trickle;
  trickle.mode = Reply::Mode::kTrickle;
  trickle.interval = 20ms;
  trickle.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 't');
  Reply endless;
  endless.mode = Reply::Mode::kEndless;
  endless.bytes = "HTTP/1.1 200 OK\r\n\r\n";
  const std::pair<const char*, Reply> rows[] = {
      {"stalled server", stall}, {"trickling server", trickle}, {"endless body", endless}};

  for (bool tls : {false, true}) {
    for (const auto& [name, reply] : rows) {
      SCOPED_TRACE(std::string(name) + (tls ? " (https)" : " (http)"));
      std::atomic<bool> inRequest{false}, returned{false}, ended{false};
      LoopbackServer server(
          [&](const Received&) {
            inRequest = true;
            return reply;
          },
          tls ? &cert : nullptr);
      const std::string url = server.Url("/");
      platform::ThreadHandle h = platform::StartThread([&] {
        try {
          WebRequest(url);
          returned = true;
        } catch (platform::ThreadEnded&) {
          ended = true;
          throw;
        }
      });
      ASSERT_NE(h, 0u);
      for (int i = 0; i < 400 && !inRequest; ++i) std::this_thread::sleep_for(5ms);
      ASSERT_TRUE(inRequest);
      std::this_thread::sleep_for(50ms);  // well inside the request

      const auto t0 = std::chrono::steady_clock::now();
      platform::EndThread(h);
      ASSERT_TRUE(platform::JoinThread(h, 2s));
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - t0);
      std::printf("  %s%s: worker left %lld us after the end request\n", name,
                  tls ? " (https)" : "", static_cast<long long>(took.count()));
      EXPECT_TRUE(ended);
      EXPECT_FALSE(returned);
      EXPECT_EQ(net::OpenHandleCount(), 0);
      for (int i = 0; i < 100 && net::ActiveTransferCount() != 0; ++i)
        std::this_thread::sleep_for(1ms);
      EXPECT_EQ(net::ActiveTransferCount(), 0);
    }
  }

  // A new worker's request right after works normally.
  LoopbackServer fine([](const Received&) { return Reply::Ok("fine"); }, &cert);
  std::atomic<bool> ok{false};
  platform::ThreadHandle h =
      platform::StartThread([&] { ok = WebRequest(fine.Url("/")) == text::TextToBytes("fine"); });
  ASSERT_TRUE(platform::JoinThread(h, 5s));
  EXPECT_TRUE(ok);
}

TEST(RequestStop, AStoppedWorkerOpensNothing) {
  LoopbackServer server([](const Received&) { return Reply::Ok("x"); });
  std::atomic<bool> ended{false};
  std::atomic<bool> started{false}, go{false};
  platform::ThreadHandle h = platform::StartThread([&] {
    started = true;
    while (!go) std::this_thread::sleep_for(1ms);
    try {
      WebRequest(server.Url("/"));
    } catch (platform::ThreadEnded&) {
      ended = true;
      throw;
    }
  });
  while (!started) std::this_thread::sleep_for(1ms);
  platform::EndThread(h);
  go = true;
  ASSERT_TRUE(platform::JoinThread(h, 2s));
  EXPECT_TRUE(ended);
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(net::OpenHandleCount(), 0);
}

}  // namespace
