#include "platform/net/Internet.h"

#include <curl/curl.h>
#include <fnmatch.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include "platform/net/CurlPool.h"
#include "platform/net/NetTesting.h"
#include "platform/thread/Thread.h"

namespace platform::net {
namespace {

using detail::CurlPool;
using detail::Transfer;

struct Session {
  std::string agent;
  bool useProxy = false;
  std::map<std::string, std::string> proxyByScheme;  // "" for every scheme
  std::vector<std::string> bypass;
};

struct Connection {
  std::shared_ptr<Session> session;
  std::string host;
  int port = 0;
};

struct Request {
  std::shared_ptr<Connection> connection;
  std::string verb;
  std::string url;
  std::uint32_t flags = 0;
  std::shared_ptr<Transfer> transfer;
};

using Object =
    std::variant<std::shared_ptr<Session>, std::shared_ptr<Connection>, std::shared_ptr<Request>>;

struct Settings {
  std::mutex mutex;
  Timeouts timeouts;
  std::size_t bodyLimit = std::size_t{64} << 20;  // far above any answer this program expects
};

Settings& TheSettings() {
  static Settings s;
  return s;
}

struct HandleTable {
  std::mutex mutex;
  InternetHandle next = 1;
  std::map<InternetHandle, Object> objects;

  InternetHandle Add(Object o) {
    std::lock_guard lock(mutex);
    InternetHandle h = next++;
    objects.emplace(h, std::move(o));
    return h;
  }
  template <typename T>
  std::shared_ptr<T> Get(InternetHandle h) {
    std::lock_guard lock(mutex);
    auto it = objects.find(h);
    if (it == objects.end()) return nullptr;
    auto* p = std::get_if<std::shared_ptr<T>>(&it->second);
    return p ? *p : nullptr;
  }
  std::optional<Object> Remove(InternetHandle h) {
    std::lock_guard lock(mutex);
    auto it = objects.find(h);
    if (it == objects.end()) return std::nullopt;
    Object o = std::move(it->second);
    objects.erase(it);
    return o;
  }
  int Count() {
    std::lock_guard lock(mutex);
    return static_cast<int>(objects.size());
  }
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // used until the last thread ends
  return *table;
}

std::vector<std::string> SplitList(std::string_view list, std::string_view separators) {
  std::vector<std::string> items;
  std::size_t i = 0;
  while (i < list.size()) {
    std::size_t j = list.find_first_of(separators, i);
    if (j == std::string_view::npos) j = list.size();
    if (j > i) items.emplace_back(list.substr(i, j - i));
    i = j + 1;
  }
  return items;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool Bypassed(const Session& s, const std::string& host) {
  for (const std::string& pattern : s.bypass) {
    if (pattern == "<local>") {
      if (host.find('.') == std::string::npos) return true;
    } else if (fnmatch(pattern.c_str(), host.c_str(), FNM_CASEFOLD) == 0) {
      return true;
    }
  }
  return false;
}

std::string ProxyFor(const Session& s, const std::string& scheme, const std::string& host) {
  if (!s.useProxy || Bypassed(s, host)) return {};
  if (auto it = s.proxyByScheme.find(scheme); it != s.proxyByScheme.end()) return it->second;
  if (auto it = s.proxyByScheme.find(""); it != s.proxyByScheme.end()) return it->second;
  return {};
}

bool ValidUrl(const std::string& url) {
  CURLU* u = curl_url();
  if (!u) return false;
  const bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  curl_url_cleanup(u);
  return ok;
}

std::string HostPart(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool ValidToken(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f;
  });
}

// Header lines for libcurl. A line whose value is empty is written "Name;",
// libcurl's way of sending an empty header instead of suppressing one.
std::vector<std::string> HeaderLines(std::string_view block) {
  std::vector<std::string> lines;
  bool hasExpect = false;
  std::size_t i = 0;
  while (i <= block.size()) {
    std::size_t j = block.find("\r\n", i);
    if (j == std::string_view::npos) j = block.size();
    std::string line(block.substr(i, j - i));
    i = j + 2;
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos &&
        line.find_first_not_of(" \t", colon + 1) == std::string::npos) {
      line = line.substr(0, colon) + ";";
    }
    if (Lower(line.substr(0, 7)) == "expect:" || Lower(line.substr(0, 7)) == "expect;")
      hasExpect = true;
    lines.push_back(std::move(line));
  }
  // libcurl would add "Expect: 100-continue" to large bodies; nothing else does.
  if (!hasExpect) lines.emplace_back("Expect:");
  return lines;
}

}  // namespace

InternetHandle InternetOpen(std::string_view agent, int accessType, std::string_view proxyList,
                            std::string_view bypassList) {
  if (EndRequested()) return 0;
  auto s = std::make_shared<Session>();
  // The agent goes into a header line: nothing after a line break belongs to it.
  s->agent = std::string(agent.substr(0, agent.find_first_of("\r\n")));
  if (accessType == kAccessProxy) {
    s->useProxy = true;
    for (const std::string& entry : SplitList(proxyList, " ;\t")) {
      const std::size_t eq = entry.find('=');
      if (eq == std::string::npos) {
        s->proxyByScheme[""] = entry;
      } else {
        s->proxyByScheme[Lower(entry.substr(0, eq))] = entry.substr(eq + 1);
      }
    }
    s->bypass = SplitList(bypassList, " ;,\t");
  } else if (accessType != kAccessDirect) {
    return 0;
  }
  return Handles().Add(std::move(s));
}

InternetHandle InternetConnect(InternetHandle session, std::string_view host, int port) {
  if (EndRequested()) return 0;
  auto s = Handles().Get<Session>(session);
  if (!s || host.empty() || port < 0 || port > 65535) return 0;
  auto c = std::make_shared<Connection>();
  c->session = std::move(s);
  c->host = std::string(host);
  c->port = port;
  // Only a host: text that a URL would read as user, path, query or fragment
  // would send the request somewhere else than the name says.
  if (c->host.find_first_of("@/?#\\") != std::string::npos ||
      !ValidUrl("http://" + HostPart(c->host) + "/"))
    return 0;
  return Handles().Add(std::move(c));
}

InternetHandle HttpOpenRequest(InternetHandle connection, std::string_view verb,
                               std::string_view path, std::string_view version,
                               std::uint32_t flags) {
  if (EndRequested()) return 0;
  auto c = Handles().Get<Connection>(connection);
  if (!c || !ValidToken(verb) || (!version.empty() && version != "HTTP/1.1")) return 0;
  auto r = std::make_shared<Request>();
  r->connection = c;
  r->verb = std::string(verb);
  r->flags = flags;
  const bool secure = flags & kFlagSecure;
  const int port = c->port != 0 ? c->port : (secure ? 443 : 80);
  std::string p(path);
  if (p.empty() || p[0] != '/') p.insert(0, "/");
  r->url = (secure ? "https://" : "http://") + HostPart(c->host) + ":" + std::to_string(port) + p;
  if (!ValidUrl(r->url)) return 0;
  return Handles().Add(std::move(r));
}

bool HttpSendRequest(InternetHandle request, std::string_view headers, const void* body,
                     std::size_t bodyLength) {
  if (EndRequested()) return false;
  auto r = Handles().Get<Request>(request);
  if (!r || r->transfer) return false;
  auto t = std::make_shared<Transfer>();
  const Session& s = *r->connection->session;
  t->url = r->url;
  t->verb = r->verb;
  t->agent = s.agent;
  t->secure = r->flags & kFlagSecure;
  t->proxy = ProxyFor(s, t->secure ? "https" : "http", Lower(r->connection->host));
  t->headerLines = HeaderLines(headers);
  t->hasBody = body != nullptr && bodyLength > 0;
  if (t->hasBody) t->body.assign(static_cast<const char*>(body), bodyLength);
  if (!t->hasBody && r->verb == "POST") t->hasBody = true;  // an empty body, Content-Length: 0
  t->endAtHeaders = t->hasBody && r->verb == "HEAD";
  t->useCookieStore = !(r->flags & kFlagNoCookies);
  t->followRedirects = !(r->flags & kFlagNoAutoRedirect);
  t->allowRedirectToHttps = r->flags & kFlagIgnoreRedirectToHttps;
  t->timeouts = CurrentTimeouts();
  t->bodyLimit = CurrentBodyLimit();
  r->transfer = t;
  CurlPool::Instance().Submit(t);

  std::unique_lock lock(t->mutex);
  t->changed.wait(lock, CurrentStopToken(),
                  [&] { return t->done || t->responseBegun || t->headersComplete; });
  if (EndRequested()) return false;
  return t->headersComplete || !t->failed;
}

bool InternetReadFile(InternetHandle request, void* buffer, std::size_t size, std::size_t* count) {
  if (count) *count = 0;
  if (!count || (!buffer && size > 0) || EndRequested()) return false;
  auto r = Handles().Get<Request>(request);
  if (!r || !r->transfer) return false;
  Transfer& t = *r->transfer;
  bool unpause = false;
  {
    std::unique_lock lock(t.mutex);
    t.changed.wait(lock, CurrentStopToken(), [&] { return t.done || t.UnreadSize() > 0; });
    if (EndRequested()) return false;
    const std::size_t n = std::min(size, t.UnreadSize());
    if (n > 0) std::memcpy(buffer, t.unread.data() + t.unreadFrom, n);
    t.unreadFrom += n;
    *count = n;
    if (t.paused && !t.unpauseAsked && t.UnreadSize() < CurlPool::kPauseAt / 2) {
      t.unpauseAsked = true;
      unpause = true;
    }
    if (n == 0 && t.failed) return false;
  }
  if (unpause) CurlPool::Instance().Unpause(r->transfer);
  return true;
}

bool HttpQueryRawHeaders(InternetHandle request, char* buffer, std::uint32_t* length) {
  if (!length || EndRequested()) return false;
  auto r = Handles().Get<Request>(request);
  if (!r || !r->transfer) return false;
  Transfer& t = *r->transfer;
  std::lock_guard lock(t.mutex);
  if (!t.headersComplete) return false;
  const std::size_t need = t.headerBlock.size() + 1;
  if (!buffer || need > *length) {
    *length = static_cast<std::uint32_t>(std::min<std::size_t>(need, UINT32_MAX));
    return false;
  }
  std::memcpy(buffer, t.headerBlock.c_str(), need);
  *length = static_cast<std::uint32_t>(need - 1);
  return true;
}

void InternetCloseHandle(InternetHandle handle) {
  auto o = Handles().Remove(handle);
  if (!o) return;
  if (auto* r = std::get_if<std::shared_ptr<Request>>(&*o); r && (*r)->transfer)
    CurlPool::Instance().Abandon((*r)->transfer);
}

// --- test hooks -------------------------------------------------------------

bool TrustCertificateForTesting(std::string_view pem) { return detail::AddTrustedCertificate(pem); }

void SetTimeoutsForTesting(const Timeouts& timeouts) {
  std::lock_guard lock(TheSettings().mutex);
  TheSettings().timeouts = timeouts;
}

Timeouts CurrentTimeouts() {
  std::lock_guard lock(TheSettings().mutex);
  return TheSettings().timeouts;
}

void SetBodyLimitForTesting(std::size_t bytes) {
  std::lock_guard lock(TheSettings().mutex);
  TheSettings().bodyLimit = bytes;
}

std::size_t CurrentBodyLimit() {
  std::lock_guard lock(TheSettings().mutex);
  return TheSettings().bodyLimit;
}

void ClearCookieStoreForTesting() { CurlPool::Instance().ClearCookies(); }

int OpenHandleCount() { return Handles().Count(); }

int ActiveTransferCount() { return CurlPool::Instance().ActiveCount(); }

}  // namespace platform::net
