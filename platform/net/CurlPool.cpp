#include "platform/net/CurlPool.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <future>
#include <thread>

namespace platform::net::detail {
namespace {

// ---------------------------------------------------------------------------
// CA store: parsing the system bundle costs ~20 ms of CPU, so it is loaded
// once and handed to every new TLS context instead of letting libcurl parse
// it per connection.

class TrustStore {
 public:
  static TrustStore& Instance() {
    static TrustStore store;
    return store;
  }
  X509_STORE* Get() {
    std::call_once(loaded_, [this] { LoadSystem(); });
    return store_;
  }
  bool Add(std::string_view pem) {
    X509_STORE* store = Get();
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) return false;
    bool any = false;
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
      if (X509_STORE_add_cert(store, cert) == 1) any = true;
      X509_free(cert);
    }
    BIO_free(bio);
    ERR_clear_error();
    return any;
  }

 private:
  TrustStore() : store_(X509_STORE_new()) {}
  ~TrustStore() { X509_STORE_free(store_); }

  void LoadSystem() {
    // The bundle and directory libcurl was built to use.
    CURL* probe = curl_easy_init();
    if (!probe) return;
    char* file = nullptr;
    char* dir = nullptr;
    curl_easy_getinfo(probe, CURLINFO_CAINFO, &file);
    curl_easy_getinfo(probe, CURLINFO_CAPATH, &dir);
    if (file && *file) X509_STORE_load_file(store_, file);
    if (dir && *dir) X509_STORE_load_path(store_, dir);
    curl_easy_cleanup(probe);
    ERR_clear_error();
  }

  X509_STORE* store_;
  std::once_flag loaded_;
};

CURLcode OnSslContext(CURL*, void* sslCtx, void*) {
  X509_STORE* store = TrustStore::Instance().Get();
  if (!store) return CURLE_SSL_CERTPROBLEM;
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslCtx), store);
  return CURLE_OK;
}

// ---------------------------------------------------------------------------
// libcurl callbacks. They run on the engine thread inside curl_multi_perform
// and must never throw through libcurl's frames.

void NotifyLocked(Transfer& t) { t.changed.notify_all(); }

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) noexcept {
  auto& t = *static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  try {
    std::lock_guard lock(t.mutex);
    t.lastActivity = Clock::now();
    if (t.abandoned) return 0;
    if (t.UnreadSize() >= CurlPool::kPauseAt) {
      t.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (t.unreadFrom > 0 && t.unreadFrom == t.unread.size()) {
      t.unread.clear();
      t.unreadFrom = 0;
    }
    const std::size_t room = t.bodyLimit - std::min(t.bodyLimit, t.bodyReceived);
    const std::size_t take = std::min(n, room);
    t.unread.append(data, take);
    t.bodyReceived += take;
    t.responseBegun = true;
    NotifyLocked(t);
    return take == n ? n : 0;  // past the limit the transfer fails, keeping what fits
  } catch (...) {
    return 0;
  }
}

// Headers of all responses together; endless header streams end here.
constexpr std::size_t kHeaderBytesLimit = 1 << 20;

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) noexcept {
  auto& t = *static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  try {
    std::lock_guard lock(t.mutex);
    t.lastActivity = Clock::now();
    t.headerBytesSeen += n;
    if (t.abandoned || t.headerBytesSeen > kHeaderBytesLimit) return 0;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
      // A new response (after a redirect or an interim 1xx) replaces the block.
      t.headerBlock.clear();
      t.headersComplete = false;
      t.sawLocation = false;
      const std::size_t sp = line.find(' ');
      t.status =
          sp == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(sp + 1, 3)).c_str());
    } else if (line.size() >= 9 && strncasecmp(line.data(), "location:", 9) == 0) {
      t.sawLocation = true;
    }
    if (line.empty()) {
      t.headersComplete = true;
      const bool interim = t.status >= 100 && t.status < 200;
      const bool followed = t.followRedirects && t.sawLocation &&
                            (t.status == 301 || t.status == 302 || t.status == 303 ||
                             t.status == 307 || t.status == 308);
      // The rest of the redirect's body and the next hop's connect run under
      // the connect time-out, which the silence check applies until then.
      if (followed) {
        t.connected = false;
        t.hopping = true;
      }
      if (t.endAtHeaders && !interim && !followed) {
        // A HEAD sent with a body is a custom request to libcurl, which would
        // wait for the body the answer only announces: end here, successfully.
        t.done = true;
        t.responseBegun = true;
        NotifyLocked(t);
        return 0;
      }
    } else {
      t.headerBlock.append(line);
      t.headerBlock.append("\r\n");
    }
    return n;
  } catch (...) {
    return 0;
  }
}

int OnProgress(void* user, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
               curl_off_t ulNow) noexcept {
  (void)dlTotal;
  (void)ulTotal;
  auto& t = *static_cast<Transfer*>(user);
  std::lock_guard lock(t.mutex);
  if (t.abandoned) return 1;
  if (dlNow != t.lastDown || ulNow != t.lastUp) {
    t.lastDown = dlNow;
    t.lastUp = ulNow;
    t.lastActivity = Clock::now();
  }
  return 0;
}

int OnConnected(void* user, char*, char*, int, int) noexcept {
  auto& t = *static_cast<Transfer*>(user);
  std::lock_guard lock(t.mutex);
  t.connected = true;
  t.lastActivity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

}  // namespace

// ---------------------------------------------------------------------------

struct CurlPool::Impl {
  enum class Op { kAdd, kRemove, kUnpause, kClearCookies };
  struct Command {
    Op op;
    std::shared_ptr<Transfer> transfer;
    std::promise<void>* done = nullptr;
  };

  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  std::mutex shareLocks[CURL_LOCK_DATA_LAST];

  mutable std::mutex mutex;
  std::deque<Command> commands;
  bool quit = false;
  std::atomic<int> activeCount{0};
  std::vector<std::shared_ptr<Transfer>> active;  // engine thread only
  std::thread thread;

  Impl() {
    multi = curl_multi_init();
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::Lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::Unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    thread = std::thread([this] { Run(); });
  }

  ~Impl() {
    {
      std::lock_guard lock(mutex);
      quit = true;
    }
    curl_multi_wakeup(multi);
    thread.join();
    for (auto& t : active) Finish(*t, true);
    active.clear();
    curl_multi_cleanup(multi);
    curl_share_cleanup(share);
  }

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Impl*>(user)->shareLocks[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Impl*>(user)->shareLocks[data].unlock();
  }

  void Post(Command c) {
    {
      std::lock_guard lock(mutex);
      commands.push_back(std::move(c));
    }
    curl_multi_wakeup(multi);
  }

  void Run() {
    for (;;) {
      std::deque<Command> batch;
      {
        std::lock_guard lock(mutex);
        if (quit) return;
        batch.swap(commands);
      }
      for (Command& c : batch) Execute(c);
      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
        if (t) Complete(t, msg->data.result != CURLE_OK);
      }
      const auto wait = EnforceSilence();
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
  }

  void Execute(Command& c) {
    switch (c.op) {
      case Op::kAdd:
        Start(c.transfer);
        break;
      case Op::kRemove:
        if (auto it = std::find(active.begin(), active.end(), c.transfer); it != active.end()) {
          Finish(**it, true);
          active.erase(it);
          activeCount = static_cast<int>(active.size());
        }
        break;
      case Op::kUnpause: {
        Transfer& t = *c.transfer;
        if (!t.easy) break;
        {
          std::lock_guard lock(t.mutex);
          t.unpauseAsked = false;
          if (!t.paused) break;
          t.paused = false;
          t.lastActivity = Clock::now();  // a slow reader is not a silent server
        }
        curl_easy_pause(static_cast<CURL*>(t.easy), CURLPAUSE_CONT);
        break;
      }
      case Op::kClearCookies:
        if (CURL* e = curl_easy_init()) {
          curl_easy_setopt(e, CURLOPT_SHARE, share);
          curl_easy_setopt(e, CURLOPT_COOKIELIST, "ALL");
          curl_easy_setopt(e, CURLOPT_SHARE, nullptr);
          curl_easy_cleanup(e);
        }
        break;
    }
    if (c.done) c.done->set_value();
  }

  void Start(const std::shared_ptr<Transfer>& tp) {
    Transfer& t = *tp;
    {
      std::lock_guard lock(t.mutex);
      if (t.abandoned) return;
      t.lastActivity = Clock::now();
    }
    CURL* e = curl_easy_init();
    curl_slist* list = nullptr;
    bool ok = e != nullptr;
    for (const std::string& line : t.headerLines) {
      if (!ok) break;
      curl_slist* next = curl_slist_append(list, line.c_str());
      if (!next) ok = false;
      list = next ? next : list;
    }
    if (ok) ok = Configure(e, t, list);
    if (ok) ok = curl_multi_add_handle(multi, e) == CURLM_OK;
    if (!ok) {
      if (e) curl_easy_cleanup(e);
      curl_slist_free_all(list);
      std::lock_guard lock(t.mutex);
      t.done = t.failed = t.responseBegun = true;
      NotifyLocked(t);
      return;
    }
    t.easy = e;
    t.headerList = list;
    active.push_back(tp);
    activeCount = static_cast<int>(active.size());
  }

  bool Configure(CURL* e, Transfer& t, curl_slist* list) {
    const auto ms = [](std::chrono::milliseconds d) { return static_cast<long>(d.count()); };
    bool ok = true;
    const auto set = [&](CURLoption o, auto v) {
      ok = ok && curl_easy_setopt(e, o, v) == CURLE_OK;
    };
    set(CURLOPT_PRIVATE, &t);
    set(CURLOPT_URL, t.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR,
        t.secure ? "https" : (t.allowRedirectToHttps ? "http,https" : "http"));
    set(CURLOPT_FOLLOWLOCATION, t.followRedirects ? 1L : 0L);
    set(CURLOPT_MAXREDIRS, 20L);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_USERAGENT, t.agent.c_str());
    set(CURLOPT_HTTPHEADER, list);
    // Proxies come from the caller only, never from the environment.
    set(CURLOPT_PROXY, t.proxy.c_str());
    set(CURLOPT_NOPROXY, "");
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(CURLOPT_SHARE, share);
    if (t.useCookieStore) set(CURLOPT_COOKIEFILE, "");
    // TLS: always verified, against the store loaded once.
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_CAINFO, static_cast<const char*>(nullptr));
    set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    set(CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
    set(CURLOPT_CONNECTTIMEOUT_MS, ms(t.timeouts.connect));
    set(CURLOPT_WRITEFUNCTION, &OnBody);
    set(CURLOPT_WRITEDATA, &t);
    set(CURLOPT_HEADERFUNCTION, &OnHeader);
    set(CURLOPT_HEADERDATA, &t);
    set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
    set(CURLOPT_XFERINFODATA, &t);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_PREREQFUNCTION, &OnConnected);
    set(CURLOPT_PREREQDATA, &t);
    if (t.hasBody) {
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body.size()));
      set(CURLOPT_POSTFIELDS, t.body.data());
      if (t.verb != "POST") set(CURLOPT_CUSTOMREQUEST, t.verb.c_str());
    } else if (t.verb == "GET") {
      set(CURLOPT_HTTPGET, 1L);
    } else if (t.verb == "HEAD") {
      set(CURLOPT_NOBODY, 1L);
    } else {
      set(CURLOPT_CUSTOMREQUEST, t.verb.c_str());
    }
    return ok;
  }

  // Releases the libcurl side of a transfer and wakes its waiters.
  void Finish(Transfer& t, bool failed) {
    if (t.easy) {
      CURL* e = static_cast<CURL*>(t.easy);
      curl_multi_remove_handle(multi, e);
      curl_easy_cleanup(e);
      t.easy = nullptr;
    }
    curl_slist_free_all(static_cast<curl_slist*>(t.headerList));
    t.headerList = nullptr;
    std::lock_guard lock(t.mutex);
    if (!t.done) {
      t.done = true;
      t.failed = failed;
    }
    t.responseBegun = true;
    NotifyLocked(t);
  }

  void Complete(Transfer* raw, bool failed) {
    auto it = std::find_if(active.begin(), active.end(), [&](auto& p) { return p.get() == raw; });
    if (it == active.end()) return;
    std::shared_ptr<Transfer> keep = *it;
    active.erase(it);
    activeCount = static_cast<int>(active.size());
    Finish(*keep, failed);
  }

  // Fails transfers whose server has been silent too long; returns how long
  // the engine may sleep before the next deadline.
  std::chrono::milliseconds EnforceSilence() {
    using std::chrono::milliseconds;
    const auto now = Clock::now();
    milliseconds wait{1000};
    std::vector<std::shared_ptr<Transfer>> expired;
    for (auto& tp : active) {
      Transfer& t = *tp;
      std::lock_guard lock(t.mutex);
      // Before the first connect libcurl's own connect time-out applies.
      if ((!t.connected && !t.hopping) || t.paused) continue;
      const bool sending = t.hasBody && t.lastUp < static_cast<std::int64_t>(t.body.size()) &&
                           !t.responseBegun && t.lastDown <= 0;
      const milliseconds limit = !t.connected ? t.timeouts.connect
                                 : sending    ? t.timeouts.send
                                              : t.timeouts.receive;
      const auto deadline = t.lastActivity + limit;
      if (deadline <= now) {
        expired.push_back(tp);
      } else {
        wait = std::min(wait, std::chrono::ceil<milliseconds>(deadline - now));
      }
    }
    for (auto& tp : expired) {
      active.erase(std::find(active.begin(), active.end(), tp));
      Finish(*tp, true);
    }
    activeCount = static_cast<int>(active.size());
    return std::max(wait, milliseconds{1});
  }
};

CurlPool& CurlPool::Instance() {
  // libcurl (and with it OpenSSL) is initialised before this object is
  // complete, so its destructor runs before OpenSSL's own exit handler.
  static CurlPool pool;
  return pool;
}

CurlPool::CurlPool() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_ = std::make_unique<Impl>();
}

CurlPool::~CurlPool() { impl_.reset(); }

void CurlPool::Submit(std::shared_ptr<Transfer> t) { impl_->Post({Impl::Op::kAdd, std::move(t)}); }

void CurlPool::Abandon(const std::shared_ptr<Transfer>& t) {
  {
    std::lock_guard lock(t->mutex);
    t->abandoned = true;
    if (t->done) return;
  }
  impl_->Post({Impl::Op::kRemove, t});
}

void CurlPool::Unpause(const std::shared_ptr<Transfer>& t) { impl_->Post({Impl::Op::kUnpause, t}); }

void CurlPool::ClearCookies() {
  std::promise<void> done;
  auto f = done.get_future();
  impl_->Post({Impl::Op::kClearCookies, nullptr, &done});
  f.wait();
}

int CurlPool::ActiveCount() const { return impl_->activeCount; }

bool AddTrustedCertificate(std::string_view pem) { return TrustStore::Instance().Add(pem); }

}  // namespace platform::net::detail
