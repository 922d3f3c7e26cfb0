#pragma once
// The process-wide transfer engine under the Internet handle layer: one
// libcurl multi handle driven by one thread, so connections, TLS sessions,
// the cookie store and the CA store outlive the handles of single requests.
// Callers hand in a Transfer and wait on it; only the engine thread touches
// libcurl (curl_multi_wakeup aside).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/NetTesting.h"

namespace platform::net::detail {

using Clock = std::chrono::steady_clock;

struct Transfer {
  // Set by the caller before submission, read-only afterwards.
  std::string url;
  std::string verb;
  std::string agent;
  std::string proxy;  // empty: direct
  std::vector<std::string> headerLines;
  std::string body;
  bool hasBody = false;
  bool useCookieStore = false;
  bool followRedirects = true;
  bool secure = false;
  bool endAtHeaders = false;  // the answer has no body (HEAD sent with a body)
  bool allowRedirectToHttps = false;
  Timeouts timeouts;
  std::size_t bodyLimit = 0;

  std::mutex mutex;
  std::condition_variable_any changed;
  // Guarded by mutex.
  bool done = false;
  bool failed = false;
  bool abandoned = false;
  bool responseBegun = false;    // a body byte arrived, or the transfer ended
  bool headersComplete = false;  // the last response's header block ended
  std::string headerBlock;       // of the last response, CR LF lines
  std::size_t headerBytesSeen = 0;
  int status = 0;  // of the last response
  bool sawLocation = false;
  std::string unread;  // body bytes not yet taken by the reader
  std::size_t unreadFrom = 0;
  std::size_t bodyReceived = 0;
  bool paused = false;
  bool unpauseAsked = false;
  // Engine thread only.
  void* easy = nullptr;
  void* headerList = nullptr;
  bool connected = false;
  bool hopping = false;  // following a redirect: the rest of its body, then the next connect
  Clock::time_point lastActivity{};
  std::int64_t lastDown = -1, lastUp = -1;

  std::size_t UnreadSize() const { return unread.size() - unreadFrom; }
};

class CurlPool {
 public:
  static CurlPool& Instance();
  ~CurlPool();

  // Starts the transfer; its waiters are notified as it progresses.
  void Submit(std::shared_ptr<Transfer> t);
  // Drops a transfer still under way; returns at once.
  void Abandon(const std::shared_ptr<Transfer>& t);
  // Resumes a transfer paused because its reader fell behind.
  void Unpause(const std::shared_ptr<Transfer>& t);
  void ClearCookies();
  int ActiveCount() const;

  // Bytes kept unread per transfer before the server is paused.
  static constexpr std::size_t kPauseAt = 1 << 20;

 private:
  CurlPool();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

bool AddTrustedCertificate(std::string_view pem);

}  // namespace platform::net::detail
