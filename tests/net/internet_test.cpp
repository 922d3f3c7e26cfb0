// The Internet handle layer on its own: handle rules, chunked reads, the raw
// header query, proxy lists, redirects between schemes and time-outs.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/net/Internet.h"
#include "platform/net/NetTesting.h"
#include "tests/http/support/LoopbackServer.h"

using namespace platform::net;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// Opens session, connection and request for `url`'s port on 127.0.0.1.
struct Call {
  InternetHandle session = 0, connection = 0, request = 0;
  Call(int port, const std::string& path, std::uint32_t flags, int access = kAccessDirect,
       const std::string& proxies = "", const std::string& bypass = "") {
    session = InternetOpen("agent/1", access, proxies, bypass);
    connection = InternetConnect(session, "127.0.0.1", port);
    request = HttpOpenRequest(connection, "GET", path, "HTTP/1.1", flags);
  }
  ~Call() {
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }
  std::string ReadAll(std::size_t chunk = 1024) {
    std::string body(chunk, '\0'), out;
    for (std::size_t n = 1; n != 0;) {
      InternetReadFile(request, body.data(), chunk, &n);
      out.append(body.data(), n);
    }
    return out;
  }
};

class InternetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new TestCa("Layer Test CA");
    cert_ = new CertAndKey(ca_->Issue({"localhost"}, {"127.0.0.1"}));
    ASSERT_TRUE(TrustCertificateForTesting(ca_->CertPem()));
  }
  static void TearDownTestSuite() {
    delete cert_;
    delete ca_;
  }
  void TearDown() override {
    SetTimeoutsForTesting({});
    EXPECT_EQ(OpenHandleCount(), 0);
  }
  static TestCa* ca_;
  static CertAndKey* cert_;
};
TestCa* InternetTest::ca_ = nullptr;
CertAndKey* InternetTest::cert_ = nullptr;

TEST_F(InternetTest, HandlesOfTheWrongKindOrClosedAreRefused) {
  EXPECT_EQ(InternetOpen("a", 2, "", ""), 0u) << "unknown access type";
  InternetHandle s = InternetOpen("a", kAccessDirect, "", "");
  ASSERT_NE(s, 0u);
  EXPECT_EQ(HttpOpenRequest(s, "GET", "/", "HTTP/1.1", 0), 0u) << "a session is no connection";
  EXPECT_EQ(InternetConnect(s, "", 80), 0u);
  EXPECT_EQ(InternetConnect(s, "h", 70000), 0u);
  EXPECT_EQ(InternetConnect(s, "bad host", 80), 0u);
  InternetHandle c = InternetConnect(s, "127.0.0.1", 0);
  ASSERT_NE(c, 0u);
  EXPECT_EQ(HttpOpenRequest(c, "GE T", "/", "HTTP/1.1", 0), 0u);
  EXPECT_EQ(HttpOpenRequest(c, "GET", "/a b", "HTTP/1.1", 0), 0u);
  EXPECT_EQ(HttpOpenRequest(c, "GET", "/", "HTTP/2", 0), 0u);
  std::size_t n = 99;
  char buf[4];
  EXPECT_FALSE(InternetReadFile(c, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u) << "the count is cleared before anything else";
  InternetCloseHandle(c);
  InternetCloseHandle(c);  // twice: ignored
  InternetCloseHandle(0);
  EXPECT_EQ(InternetConnect(c, "127.0.0.1", 80), 0u);
  InternetCloseHandle(s);
}

TEST_F(InternetTest, ReadsInChunksAndQueriesTheHeaderBlock) {
  const std::string body(3000, 'b');
  LoopbackServer server([&](const Received&) { return Reply::Ok(body, "X-One: 1\r\n"); });
  Call call(server.Port(), "/r", kFlagReload);
  ASSERT_NE(call.request, 0u);
  std::uint32_t length = 10;
  EXPECT_FALSE(HttpQueryRawHeaders(call.request, nullptr, &length)) << "not sent yet";
  ASSERT_TRUE(HttpSendRequest(call.request, "A: 1\r\nB: 2", nullptr, 0));
  EXPECT_EQ(call.ReadAll(1000), body);
  std::size_t n = 5;
  char c;
  EXPECT_TRUE(InternetReadFile(call.request, &c, 1, &n));
  EXPECT_EQ(n, 0u) << "reads after the end stay empty";

  const std::string want = "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\nX-One: 1\r\n";
  char small[10];
  length = sizeof small;
  EXPECT_FALSE(HttpQueryRawHeaders(call.request, small, &length));
  EXPECT_EQ(length, want.size() + 1) << "the size needed, with the closing zero";
  std::string buf(want.size() + 1, '#');
  length = static_cast<std::uint32_t>(buf.size());
  ASSERT_TRUE(HttpQueryRawHeaders(call.request, buf.data(), &length));
  EXPECT_EQ(length, want.size());
  EXPECT_EQ(std::string(buf.c_str()), want);
  EXPECT_EQ(server.Requests()[0].HeaderLines(),
            (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.Port()),
                                      "User-Agent: agent/1", "Accept: */*", "A: 1", "B: 2"}));
}

TEST_F(InternetTest, ProxyListPerScheme) {
  LoopbackServer origin([](const Received&) { return Reply::Ok("origin"); }, cert_);
  LoopbackServer plainOrigin([](const Received&) { return Reply::Ok("plain origin"); });
  struct Row {
    const char* name;
    std::string list, bypass;  // "P" stands for the proxy's address
    bool secure;
    std::string want;
    std::size_t proxySaw;
  };
  const Row rows[] = {
      {"http= proxies plain HTTP", "http=P", "", false, "proxy", 1},
      {"http= leaves HTTPS direct", "http=P", "", true, "origin", 0},
      {"bare entry proxies HTTPS", "P", "", true, "origin", 1},
      {"https= entry among others", "ftp=127.0.0.1:9;https=P", "", true, "origin", 1},
      {"bypass by pattern", "P", "localhost 127.0.0.*", false, "plain origin", 0},
  };
  for (const Row& row : rows) {
    // A proxy of its own per row: a tunnel kept alive would serve the next row.
    LoopbackServer proxy(TunnellingProxy(origin.Port(), "proxy"));
    const std::string p = "127.0.0.1:" + std::to_string(proxy.Port());
    const auto expand = [&](std::string s) {
      for (std::size_t at; (at = s.find('P')) != std::string::npos;) s.replace(at, 1, p);
      return s;
    };
    Call call(row.secure ? origin.Port() : plainOrigin.Port(), "/", row.secure ? kFlagSecure : 0u,
              kAccessProxy, expand(row.list), row.bypass);
    ASSERT_TRUE(HttpSendRequest(call.request, "", nullptr, 0)) << row.name;
    EXPECT_EQ(call.ReadAll(), row.want) << row.name;
    EXPECT_EQ(proxy.Requests().size(), row.proxySaw) << row.name;
  }
}

TEST_F(InternetTest, RedirectToHttpsOnlyWithItsFlag) {
  LoopbackServer secure([](const Received&) { return Reply::Ok("secure"); }, cert_);
  LoopbackServer plain([&](const Received&) {
    Reply m;
    m.bytes =
        "HTTP/1.1 301 Moved\r\nLocation: " + secure.Url("/") + "\r\nContent-Length: 5\r\n\r\nmoved";
    return m;
  });
  for (bool allow : {true, false}) {
    Call call(plain.Port(), "/", allow ? kFlagIgnoreRedirectToHttps : 0u);
    HttpSendRequest(call.request, "", nullptr, 0);
    EXPECT_EQ(call.ReadAll(), allow ? "secure" : "") << allow;
  }
}

TEST_F(InternetTest, SendTimeOutEndsAnUploadTheServerNeverReads) {
  SetTimeoutsForTesting({5000ms, 300ms, 60000ms});
  LoopbackServer server([](const Received&) { return Reply::Ok(""); });
  server.StopReading();
  InternetHandle s = InternetOpen("a", kAccessDirect, "", "");
  InternetHandle c = InternetConnect(s, "127.0.0.1", server.Port());
  InternetHandle r = HttpOpenRequest(c, "POST", "/", "HTTP/1.1", 0);
  const std::string big(std::size_t{64} << 20, 'u');
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(HttpSendRequest(r, "", big.data(), big.size()));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  InternetCloseHandle(r);
  InternetCloseHandle(c);
  InternetCloseHandle(s);
}

TEST_F(InternetTest, ConnectTimeOutEndsAConnectionNobodyAccepts) {
  // A listener whose accept queue is full drops further SYNs: the connect hangs.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(f);
  }
  std::this_thread::sleep_for(50ms);

  SetTimeoutsForTesting({300ms, 60000ms, 60000ms});
  Call call(ntohs(addr.sin_port), "/", 0);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(HttpSendRequest(call.request, "", nullptr, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  EXPECT_EQ(call.ReadAll(), "");
  for (int f : fillers) close(f);
  close(listener);
}

}  // namespace
