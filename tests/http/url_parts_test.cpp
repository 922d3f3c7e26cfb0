// Marked-off text, header values and URL parts, row by row.
#include <gtest/gtest.h>

#include "http/HeaderText.h"
#include "http/UrlParts.h"

using namespace http;
using text::FromUtf8;

struct BetweenRow {
  const char* name;
  std::string text, from, to;
  int start;
  bool ignoreCase;
  std::string want;
};

TEST(TextBetween, Table) {
  const std::string quote = FromUtf8("#引号");
  const BetweenRow rows[] = {
      {"plain", "a[b]c", "[", "]", 1, false, "b"},
      {"end marker missing", "a[bc", "[", "]", 1, false, ""},
      {"start marker missing", "abc]", "[", "]", 1, false, ""},
      {"adjacent markers", "a[]c", "[", "]", 1, false, ""},
      {"quote token in markers", "x=\"v\";", "=" + quote, quote, 1, false, "v"},
      {"later start skips earlier marker", "[a][b]", "[", "]", 2, false, "b"},
      {"start below 1 counts as 1", "[a]", "[", "]", -5, false, "a"},
      {"end before start never seen", "]x[y]", "[", "]", 1, false, "y"},
      {"case sensitive by default", "User-Agent: A\r\n", "user-agent:", "\r\n", 1, false, ""},
      {"ignore case", "User-Agent: A\r\n", "user-agent:", "\r\n", 1, true, " A"},
      {"multi-byte start", FromUtf8("价格:1;"), FromUtf8("价格:"), ";", 1, false, "1"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(TextBetween(r.text, r.from, r.to, r.start, r.ignoreCase), r.want) << r.name;
  }
}

TEST(HeaderValue, Table) {
  const std::pair<std::string, std::string> rows[] = {
      {"User-Agent:  X  ", "X"},
      {"no colon", ""},
      {"Host: a:8080", "a:8080"},
      {"Empty:", ""},
      {"", ""},
  };
  for (const auto& [line, want] : rows) EXPECT_EQ(HeaderValue(line), want) << line;
}

struct UrlRow {
  std::string url;
  std::string host, hostPort;
  int port;
  std::string path;
};

TEST(UrlParts, Table) {
  const UrlRow rows[] = {
      {"https://www.example.com/api/v1/ticker.do?symbol=eos_usd", "www.example.com",
       "www.example.com", 443, "/api/v1/ticker.do?symbol=eos_usd"},
      {"HTTPS://Example.COM:8443/A/B?Q=1", "example.com", "example.com:8443", 8443, "/A/B?Q=1"},
      {"http://host:8080", "host", "host:8080", 8080, "/"},
      {"http://host/", "host", "host", 80, "/"},
      {"Example.Com", "example.com", "example.com", 80, "/"},
      {"example.com/Path", "example.com", "example.com", 80, "/Path"},
      {"", "", "", 80, "/"},
      {"http://host:abc/x", "host", "host:abc", 0, "/x"},
      {"https://web/p#frag", "web", "web", 443, "/p#frag"},
      // No grammar: another scheme reads as a host, and a host that also
      // occurs in the scheme is found there first.
      {"ftp://h/x", "ftp", "ftp:", 0, "//h/x"},
      {"https://s/x", "s", "s", 443, "//s/x"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(UrlHost(r.url), r.host) << r.url;
    EXPECT_EQ(UrlHost(r.url, true), r.hostPort) << r.url;
    EXPECT_EQ(UrlPort(r.url), r.port) << r.url;
    EXPECT_EQ(UrlPath(r.url), r.path) << r.url;
  }
}
