#include "http/WebRequest.h"

#include <cstring>

#include "http/Cookies.h"
#include "http/HeaderText.h"
#include "http/UrlParts.h"
#include "platform/net/Internet.h"
#include "platform/thread/Thread.h"

namespace http {

namespace net = platform::net;

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::size_t kReadChunk = 1024;
constexpr int kHeaderBufferSize = 5000;

// Closes the handles opened so far, newest first; a worker whose end was
// requested leaves right after.
void CloseAll(net::InternetHandle request, net::InternetHandle connection,
              net::InternetHandle session) {
  net::InternetCloseHandle(request);
  net::InternetCloseHandle(connection);
  net::InternetCloseHandle(session);
  platform::CheckEnd();
}

text::Text AgentFrom(const text::Text& headers) {
  if (text::Find(headers, "User-Agent:", 1, true) == -1) return text::Text(kDefaultAgent);
  text::Text agent = text::Trim(TextBetween(headers + text::Text(kCrLf), "User-Agent:", kCrLf));
  if (agent.empty()) agent = text::Trim(HeaderValue(headers));
  return agent;
}

void AddDefaultHeaders(text::Text& headers, std::string_view url, const text::Text& cookies) {
  const auto missing = [&](std::string_view name) { return text::Find(headers, name) == -1; };
  if (headers.empty()) {
    headers = "Accept: */*";
  } else if (missing("Accept:")) {
    headers += "\r\nAccept: */*";
  }
  if (missing("Referer:")) (headers += "\r\nReferer: ") += url;
  if (missing("Accept-Language:")) headers += "\r\nAccept-Language: zh-cn";
  if (missing("Content-Type:")) headers += "\r\nContent-Type: application/x-www-form-urlencoded";
  if (!cookies.empty()) {
    headers += text::Find(cookies, "Cookie:") != -1 ? "\r\n" : "\r\nCookie: ";
    headers += cookies;
  }
}

text::Text CookiesSetBy(const text::Text& responseHeaders) {
  text::Text found;
  for (const text::Text& line : text::Split(responseHeaders, kCrLf)) {
    if (text::Find(line, "Set-Cookie") == -1) continue;
    if (text::Find(line, ";") != -1) {
      found += text::Trim(TextBetween(line, "Set-Cookie:", ";"));
    } else {
      found += text::Trim(text::Replace(line, "Set-Cookie:", "", 1, 0, false));
    }
    found += "; ";
  }
  return text::Left(found, text::Length(found) - 2);
}

}  // namespace

text::Bytes WebRequest(std::string_view url, const WebRequestOptions& o) {
  int method = o.method;
  if (method < 0 || method > 2) method = 0;
  static constexpr const char* kVerbs[] = {"GET", "POST", "HEAD"};
  const char* verb = kVerbs[method];
  const bool secure = text::ToLower(text::Left(url, 8)) == "https://";

  text::Text headers = o.headers ? *o.headers : text::Text();
  const text::Text agent = AgentFrom(headers);

  net::InternetHandle session =
      o.proxy.empty()
          ? net::InternetOpen(agent, net::kAccessDirect, {}, {})
          : net::InternetOpen(agent, net::kAccessProxy, secure ? o.proxy : "http=" + o.proxy, "");
  if (!session) {
    CloseAll(0, 0, session);
    return {};
  }

  net::InternetHandle connection = net::InternetConnect(session, UrlHost(url), UrlPort(url));
  if (!connection) {
    CloseAll(0, connection, session);
    return {};
  }

  std::uint32_t flags = net::kFlagReload | net::kFlagNeedFile;
  if (o.cookies) flags |= net::kFlagNoCookies;
  if (o.noRedirect) flags |= net::kFlagNoAutoRedirect;
  flags |= secure ? net::kFlagSecure : net::kFlagIgnoreRedirectToHttps;

  net::InternetHandle request =
      net::HttpOpenRequest(connection, verb, UrlPath(url), "HTTP/1.1", flags);
  if (!request) {
    CloseAll(request, connection, session);
    return {};
  }

  const text::Text cookiesSent = o.cookies ? *o.cookies : text::Text();
  AddDefaultHeaders(headers, url, cookiesSent);
  if (o.headers) *o.headers = headers;

  text::Bytes postBytes = o.postBytes ? *o.postBytes : text::Bytes();
  if (method == 0) {
    net::HttpSendRequest(request, headers, nullptr, 0);
  } else {
    if (postBytes.empty()) postBytes = text::TextToBytes(o.postText);
    if (o.postBytes) *o.postBytes = postBytes;
    net::HttpSendRequest(request, headers, postBytes.data(), postBytes.size());
  }

  text::Bytes body;
  text::Bytes chunk(kReadChunk, 0);
  for (;;) {
    std::size_t count = 0;
    net::InternetReadFile(request, chunk.data(), chunk.size(), &count);
    if (count == 0) break;
    body.insert(body.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
  }

  text::Text responseHeaders = text::BlankText(kHeaderBufferSize);
  std::uint32_t length = kHeaderBufferSize;
  if (net::HttpQueryRawHeaders(request, responseHeaders.data(), &length)) {
    responseHeaders.resize(std::strlen(responseHeaders.c_str()));  // text ends at a zero byte
  }
  responseHeaders = text::Replace(responseHeaders, "Set-Cookie", "Set-Cookie", 1, 0, false);

  CloseAll(request, connection, session);

  text::Text newCookies = CookiesSetBy(responseHeaders);
  if (o.mergeCookies && o.cookies) newCookies = MergeCookies(*o.cookies, newCookies);
  if (o.newCookies) *o.newCookies = newCookies;
  if (o.responseHeaders) *o.responseHeaders = responseHeaders;
  return body;
}

}  // namespace http
