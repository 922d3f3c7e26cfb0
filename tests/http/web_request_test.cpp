// WebRequest against loopback HTTP and HTTPS servers of our own: the exact
// request each server saw, and what comes back to the caller.
#include <gtest/gtest.h>

#include <thread>

#include "http/WebRequest.h"
#include "platform/net/NetTesting.h"
#include "tests/http/support/LoopbackServer.h"

using namespace http;
using namespace testing_support;
using namespace std::chrono_literals;
namespace net = platform::net;

namespace {

const std::string kAgentLine = "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
const std::string kContentType = "Content-Type: application/x-www-form-urlencoded";

std::string AsString(const text::Bytes& b) { return std::string(b.begin(), b.end()); }

std::vector<std::string> Without(std::vector<std::string> lines, const std::string& prefix) {
  std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  return lines;
}

// Waits until the engine has dropped every transfer of closed requests.
void ExpectAllClosed() {
  EXPECT_EQ(net::OpenHandleCount(), 0);
  for (int i = 0; i < 200 && net::ActiveTransferCount() != 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(net::ActiveTransferCount(), 0);
}

class WebRequestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_ = new TestCa("Loopback Test CA");
    cert_ = new CertAndKey(ca_->Issue({"localhost"}, {"127.0.0.1"}));
    ASSERT_TRUE(net::TrustCertificateForTesting(ca_->CertPem()));
  }
  static void TearDownTestSuite() {
    delete cert_;
    delete ca_;
  }
  void TearDown() override {
    net::SetTimeoutsForTesting({});
    net::SetBodyLimitForTesting(std::size_t{64} << 20);
    net::ClearCookieStoreForTesting();
    ExpectAllClosed();
  }

  static TestCa* ca_;
  static CertAndKey* cert_;
};
TestCa* WebRequestTest::ca_ = nullptr;
CertAndKey* WebRequestTest::cert_ = nullptr;

TEST_F(WebRequestTest, UrlAloneSendsTheDefaultHeadersOverHttpAndHttps) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    LoopbackServer server([](const Received&) { return Reply::Ok(R"({"ticker":{"last":"1.5"}})"); },
                          tls ? cert_ : nullptr);
    const std::string url = server.Url("/api/v1/ticker.do?symbol=eos_usd");
    EXPECT_EQ(AsString(WebRequest(url)), R"({"ticker":{"last":"1.5"}})");
    EXPECT_EQ(AsString(WebRequest(url)), R"({"ticker":{"last":"1.5"}})");

    auto got = server.Requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].RequestLine(), "GET /api/v1/ticker.do?symbol=eos_usd HTTP/1.1");
    const std::vector<std::string> want = {
        "Host: 127.0.0.1:" + std::to_string(server.Port()),
        kAgentLine,
        "Accept: */*",
        "Referer: " + url,
        "Accept-Language: zh-cn",
        kContentType,
    };
    EXPECT_EQ(got[0].HeaderLines(), want);
    EXPECT_EQ(got[0].body, "");
    EXPECT_EQ(server.Connections(), 1) << "the connection is kept alive between requests";
  }
}

TEST_F(WebRequestTest, MethodsAndBodies) {
  struct Row {
    const char* name;
    int method;
    std::string postText;
    std::string postBytes;
    std::string wantLine;
    std::string wantBody;
  };
  const Row rows[] = {
      {"method 7 is GET", 7, "ignored", "", "GET /p HTTP/1.1", ""},
      {"negative is GET", -1, "ignored", "", "GET /p HTTP/1.1", ""},
      {"POST from text", 1, "a=1&b=2", "", "POST /p HTTP/1.1", "a=1&b=2"},
      {"POST bytes win", 1, "text", std::string("by\0tes", 6), "POST /p HTTP/1.1",
       std::string("by\0tes", 6)},
      {"POST with nothing", 1, "", "", "POST /p HTTP/1.1", ""},
      {"HEAD with a body", 2, "q=1", "", "HEAD /p HTTP/1.1", "q=1"},
      {"HEAD alone", 2, "", "", "HEAD /p HTTP/1.1", ""},
  };
  LoopbackServer server([](const Received& r) {
    // A HEAD answer announces a body it does not send.
    if (r.RequestLine().rfind("HEAD", 0) == 0) {
      Reply h;
      h.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
      return h;
    }
    return Reply::Ok("hello");
  });
  for (const Row& row : rows) {
    text::Bytes postBytes(row.postBytes.begin(), row.postBytes.end());
    WebRequestOptions o;
    o.method = row.method;
    o.postText = row.postText;
    o.postBytes = &postBytes;
    const text::Bytes body = WebRequest(server.Url("/p"), o);
    EXPECT_EQ(AsString(body), row.method == 2 ? "" : "hello") << row.name;
    const Received got = server.Requests().back();
    EXPECT_EQ(got.RequestLine(), row.wantLine) << row.name;
    EXPECT_EQ(got.body, row.wantBody) << row.name;
    if (row.method == 1 || row.method == 2) {
      EXPECT_EQ(AsString(postBytes), row.wantBody) << row.name << ": postBytes holds what was sent";
    }
    if (row.method == 1 || !row.wantBody.empty()) {
      const auto lines = got.HeaderLines();
      EXPECT_NE(std::find(lines.begin(), lines.end(),
                          "Content-Length: " + std::to_string(row.wantBody.size())),
                lines.end())
          << row.name;
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const std::string& l) { return l.rfind("Expect", 0) == 0; }),
                0)
          << row.name;
    }
  }
}

TEST_F(WebRequestTest, BodiesComeBackWholeAndInOrder) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1023}, std::size_t{2048}, std::size_t{5000},
                           std::size_t{3} << 20}) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + i / 1024) & 0xff);
    LoopbackServer server([&](const Received&) { return Reply::Ok(body); });
    EXPECT_EQ(AsString(WebRequest(server.Url("/b"))), body) << size;
  }
}

TEST_F(WebRequestTest, ExtraHeadersAndAgent) {
  struct Row {
    const char* name;
    std::string extra;
    std::vector<std::string> want;  // header lines after Host
  };
  const std::string url = "/h";
  const Row rows[] = {
      {"own Accept kept, no default",
       "Accept: text/html",
       {kAgentLine, "Accept: text/html", "Referer: %URL%", "Accept-Language: zh-cn", kContentType}},
      {"lower-case accept gets a second line",
       "accept: text/html",
       {kAgentLine, "accept: text/html", "Accept: */*", "Referer: %URL%", "Accept-Language: zh-cn",
        kContentType}},
      {"own agent line is sent as written",
       "User-Agent: Probe/1.0\r\nX-Test: 1",
       {"User-Agent: Probe/1.0", "X-Test: 1", "Accept: */*", "Referer: %URL%",
        "Accept-Language: zh-cn", kContentType}},
      {"lower-case agent line",
       "user-agent: tiny",
       {"user-agent: tiny", "Accept: */*", "Referer: %URL%", "Accept-Language: zh-cn",
        kContentType}},
      {"own referer, language and type",
       "Referer: r\r\nAccept-Language: en\r\nContent-Type: text/plain\r\nX-Empty:",
       {kAgentLine, "Referer: r", "Accept-Language: en", "Content-Type: text/plain",
        "X-Empty:", "Accept: */*"}},
  };
  LoopbackServer server([](const Received&) { return Reply::Ok("ok"); });
  for (const Row& row : rows) {
    text::Text headers = row.extra;
    WebRequestOptions o;
    o.headers = &headers;
    EXPECT_EQ(AsString(WebRequest(server.Url(url), o)), "ok") << row.name;
    std::vector<std::string> want = row.want;
    for (auto& w : want)
      if (w == "Referer: %URL%") w = "Referer: " + server.Url(url);
    auto lines = server.Requests().back().HeaderLines();
    EXPECT_EQ(Without(lines, "Host:"), want) << row.name;
    // On return `headers` holds the block that was sent, our lines included.
    auto sent = want;
    std::erase_if(sent, [](const std::string& l) { return l == kAgentLine; });
    std::string block;
    for (const auto& l : sent) block += (block.empty() ? "" : "\r\n") + l;
    EXPECT_EQ(headers, block) << row.name;
  }
}

TEST_F(WebRequestTest, CookiesSetByTheResponse) {
  LoopbackServer server([](const Received&) {
    return Reply::Ok("c",
                     "Set-Cookie: a=1; Path=/; HttpOnly\r\n"
                     "set-cookie: b=2\r\n");
  });
  // Without a cookie variable: collected, nothing merged.
  text::Text newCookies, responseHeaders;
  WebRequestOptions o;
  o.newCookies = &newCookies;
  o.responseHeaders = &responseHeaders;
  EXPECT_EQ(AsString(WebRequest(server.Url("/c"), o)), "c");
  EXPECT_EQ(newCookies, "a=1; b=2");
  EXPECT_EQ(responseHeaders,
            "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nSet-Cookie: a=1; Path=/; HttpOnly\r\n"
            "Set-Cookie: b=2\r\n");

  struct Row {
    const char* name;
    std::string jar;
    std::string wantLine;  // the Cookie line sent, or "" for none
    std::string wantJar;
  };
  const Row rows[] = {
      {"present but empty", "", "", "a=1; b=2"},
      {"plain cookie text", "x=9; a=0", "Cookie: x=9; a=0", "a=1; b=2; x=9"},
      {"text with its own Cookie: prefix", "Cookie: z=3", "Cookie: z=3", "a=1; b=2; Cookie:z=3"},
  };
  for (const Row& row : rows) {
    text::Text jar = row.jar, fresh;
    WebRequestOptions c;
    c.cookies = &jar;
    c.newCookies = &fresh;
    WebRequest(server.Url("/c"), c);
    auto lines = server.Requests().back().HeaderLines();
    std::vector<std::string> cookieLines;
    for (const auto& l : lines)
      if (l.rfind("Cookie", 0) == 0) cookieLines.push_back(l);
    EXPECT_EQ(cookieLines, row.wantLine.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{row.wantLine})
        << row.name;
    EXPECT_EQ(jar, row.wantJar) << row.name;
    EXPECT_EQ(fresh, row.wantJar) << row.name;
  }

  // Merging off: the variable is left alone, the new cookies still come back.
  text::Text jar = "x=1", fresh;
  WebRequestOptions m;
  m.cookies = &jar;
  m.newCookies = &fresh;
  m.mergeCookies = false;
  WebRequest(server.Url("/c"), m);
  EXPECT_EQ(jar, "x=1");
  EXPECT_EQ(fresh, "a=1; b=2");
}

TEST_F(WebRequestTest, SharedCookieStoreServesRequestsWithoutACookieVariable) {
  LoopbackServer server([](const Received& r) {
    if (r.RequestLine().find("/set") != std::string::npos)
      return Reply::Ok("", "Set-Cookie: s=1; Path=/\r\n");
    if (r.RequestLine().find("/own") != std::string::npos)
      return Reply::Ok("", "Set-Cookie: own=1; Path=/\r\n");
    return Reply::Ok("");
  });
  WebRequest(server.Url("/set"));
  WebRequest(server.Url("/next"));
  text::Text jar;
  WebRequestOptions o;
  o.cookies = &jar;
  WebRequest(server.Url("/own"), o);
  WebRequest(server.Url("/after"));
  auto got = server.Requests();
  ASSERT_EQ(got.size(), 4u);
  auto after = got[3].HeaderLines();
  std::erase_if(after, [](const std::string& l) { return l.rfind("Cookie", 0) != 0; });
  EXPECT_EQ(after, std::vector<std::string>{"Cookie: s=1"})
      << "what a request with a cookie variable was set stays out of the store";
  const auto hasStoreCookie = [](const Received& r) {
    auto l = r.HeaderLines();
    return std::find(l.begin(), l.end(), "Cookie: s=1") != l.end();
  };
  EXPECT_TRUE(hasStoreCookie(got[1]));
  EXPECT_FALSE(hasStoreCookie(got[2])) << "a cookie variable keeps the store out";
}

TEST_F(WebRequestTest, HeaderBlockOver5000BytesLeavesSpaces) {
  LoopbackServer server([](const Received&) {
    return Reply::Ok("body", "Set-Cookie: big=1\r\nX-Pad: " + std::string(5200, 'p') + "\r\n");
  });
  text::Text newCookies = "stale", responseHeaders;
  WebRequestOptions o;
  o.newCookies = &newCookies;
  o.responseHeaders = &responseHeaders;
  EXPECT_EQ(AsString(WebRequest(server.Url("/"), o)), "body");
  EXPECT_EQ(responseHeaders, std::string(5000, ' '));
  EXPECT_EQ(newCookies, "");
}

TEST_F(WebRequestTest, RedirectsFollowedUnlessTurnedOff) {
  LoopbackServer server([](const Received& r) {
    if (r.RequestLine().find("/old") != std::string::npos) {
      Reply m;
      m.bytes = "HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 5\r\n\r\nmoved";
      return m;
    }
    return Reply::Ok("arrived");
  });
  text::Text responseHeaders;
  WebRequestOptions o;
  o.responseHeaders = &responseHeaders;
  EXPECT_EQ(AsString(WebRequest(server.Url("/old"), o)), "arrived");
  EXPECT_EQ(responseHeaders.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(server.Requests().back().RequestLine(), "GET /new HTTP/1.1");

  o.noRedirect = true;
  EXPECT_EQ(AsString(WebRequest(server.Url("/old"), o)), "moved");
  EXPECT_EQ(responseHeaders.substr(0, 18), "HTTP/1.1 302 Found");
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST_F(WebRequestTest, SecureRequestIsNotRedirectedToPlainHttp) {
  LoopbackServer plain([](const Received&) { return Reply::Ok("plain"); });
  LoopbackServer secure(
      [&](const Received&) {
        Reply m;
        m.bytes =
            "HTTP/1.1 302 Found\r\nLocation: " + plain.Url("/") + "\r\nContent-Length: 0\r\n\r\n";
        return m;
      },
      cert_);
  EXPECT_TRUE(WebRequest(secure.Url("/")).empty());
  EXPECT_TRUE(plain.Requests().empty());
}

TEST_F(WebRequestTest, ProxyForPlainAndSecureUrls) {
  LoopbackServer origin([](const Received&) { return Reply::Ok("through the tunnel"); }, cert_);
  LoopbackServer proxy(TunnellingProxy(origin.Port(), "from the proxy"));
  const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.Port());
  WebRequestOptions o;
  o.proxy = proxyAddress;

  // A plain URL goes through the proxy as an absolute request.
  const std::string plainUrl = "http://127.0.0.1:9/ticker?x=1";
  EXPECT_EQ(AsString(WebRequest(plainUrl, o)), "from the proxy");
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].RequestLine(), "GET " + plainUrl + " HTTP/1.1");

  // A secure URL is tunnelled to the origin.
  EXPECT_EQ(AsString(WebRequest(origin.Url("/t"), o)), "through the tunnel");
  ASSERT_EQ(proxy.Requests().size(), 2u);
  EXPECT_EQ(proxy.Requests()[1].RequestLine(),
            "CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.1");
  ASSERT_EQ(origin.Requests().size(), 1u);
  EXPECT_EQ(origin.Requests()[0].RequestLine(), "GET /t HTTP/1.1");
}

TEST_F(WebRequestTest, BadCertificatesAreRefused) {
  TestCa stranger("Unknown CA");
  const CertAndKey untrusted = stranger.Issue({"localhost"}, {"127.0.0.1"});
  const CertAndKey wrongName = ca_->Issue({"elsewhere.invalid"}, {});
  for (const CertAndKey* cert : {&untrusted, &wrongName}) {
    LoopbackServer server([](const Received&) { return Reply::Ok("secret"); }, cert);
    EXPECT_TRUE(WebRequest(server.Url("/")).empty());
    EXPECT_TRUE(server.Requests().empty());
  }
}

TEST_F(WebRequestTest, BadInputGivesAnEmptyResultAndTouchesNothing) {
  LoopbackServer server([](const Received&) { return Reply::Ok("reached"); });
  const std::string rows[] = {
      // A host text that libcurl would read as user name and host.
      "http://user@127.0.0.1:" + std::to_string(server.Port()) + "/x",
      "http://bad host/x",
      "http://127.0.0.1:99999/x",
      "http://127.0.0.1:1/x\x01y",
      "http://[::1/x",
      "",
      "https:///nothing",
      "http://127.0.0.1:1/x",  // nothing listens there
  };
  for (const std::string& url : rows) {
    text::Text headers = "X: 1", responseHeaders = "kept", cookies = "c=1";
    WebRequestOptions o;
    o.headers = &headers;
    o.responseHeaders = &responseHeaders;
    o.cookies = &cookies;
    EXPECT_TRUE(WebRequest(url, o).empty()) << url;
    EXPECT_EQ(cookies, "c=1") << url;
  }
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(WebRequestTest, MisbehavingServersEndTheCallAndLeaveNothingOpen) {
  net::SetTimeoutsForTesting({400ms, 300ms, 300ms});
  net::SetBodyLimitForTesting(256 * 1024);
  struct Row {
    const char* name;
    Reply reply;
    std::string want;
  };
  Reply stall;
  stall.mode = Reply::Mode::kStall;
  Reply stallMidBody = stall;
  stallMidBody.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf";
  Reply stallInRedirect = stall;
  stallInRedirect.bytes = "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 10\r\n\r\nhalf";
  Reply trickle;
  trickle.mode = Reply::Mode::kTrickle;
  trickle.interval = 10ms;
  trickle.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nslowly";
  Reply reset;
  reset.mode = Reply::Mode::kReset;
  Reply endless;
  endless.mode = Reply::Mode::kEndless;
  endless.bytes = "HTTP/1.1 200 OK\r\n\r\n";
  const Row rows[] = {
      {"stalls before answering", stall, ""},
      {"stalls in the body", stallMidBody, "half"},
      {"stalls in the body of a redirect", stallInRedirect, ""},
      {"trickles but keeps talking", trickle, "slowly"},
      {"resets", reset, ""},
      {"endless body stops at the limit", endless, std::string(256 * 1024, 'x')},
  };
  for (bool tls : {false, true}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (tls ? " (https)" : " (http)"));
      LoopbackServer server([&](const Received&) { return row.reply; }, tls ? cert_ : nullptr);
      const auto t0 = std::chrono::steady_clock::now();
      const std::string got = AsString(WebRequest(server.Url("/")));
      EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
      if (row.want.size() > 64) {
        EXPECT_EQ(got.size(), row.want.size());
        EXPECT_TRUE(got == row.want);
      } else {
        EXPECT_EQ(got, row.want);
      }
      ExpectAllClosed();
    }
  }
  // Still healthy afterwards.
  net::SetTimeoutsForTesting({});
  LoopbackServer fine([](const Received&) { return Reply::Ok("fine"); }, cert_);
  EXPECT_EQ(AsString(WebRequest(fine.Url("/"))), "fine");
}

}  // namespace
