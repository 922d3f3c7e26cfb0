#include "tests/http/support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

using namespace std::chrono_literals;
// Nothing a test server does may run longer than this.
constexpr auto kMaxActivity = 20s;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::vector<std::string> SplitCrLf(const std::string& s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i <= s.size()) {
    std::size_t j = s.find("\r\n", i);
    if (j == std::string::npos) j = s.size();
    out.push_back(s.substr(i, j - i));
    i = j + 2;
  }
  return out;
}

// One accepted connection, plain or TLS, with blocking I/O.
struct Conn {
  int fd = -1;
  SSL* ssl = nullptr;

  long Read(char* buf, std::size_t n) {
    if (ssl) {
      int r = SSL_read(ssl, buf, static_cast<int>(n));
      return r > 0 ? r : -1;
    }
    ssize_t r = recv(fd, buf, n, 0);
    return r > 0 ? r : -1;
  }
  bool Write(const char* data, std::size_t n) {
    while (n > 0) {
      long w;
      if (ssl) {
        int r = SSL_write(ssl, data, static_cast<int>(n));
        w = r > 0 ? r : -1;
      } else {
        w = send(fd, data, n, MSG_NOSIGNAL);
      }
      if (w <= 0) return false;
      data += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }
};

}  // namespace

std::vector<std::string> Received::Lines() const { return SplitCrLf(head); }
std::string Received::RequestLine() const { return Lines().front(); }
std::vector<std::string> Received::HeaderLines() const {
  auto lines = Lines();
  lines.erase(lines.begin());
  return lines;
}

Reply Reply::Ok(const std::string& body, const std::string& extraHeaders) {
  Reply r;
  r.bytes = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
            extraHeaders + "\r\n" + body;
  return r;
}

std::function<Reply(const Received&)> TunnellingProxy(int port, const std::string& plainBody) {
  return [port, plainBody](const Received& r) {
    if (r.RequestLine().rfind("CONNECT", 0) != 0) return Reply::Ok(plainBody);
    Reply t;
    t.mode = Reply::Mode::kTunnel;
    t.tunnelPort = port;
    return t;
  };
}

struct LoopbackServer::Impl {
  int listenFd = -1;
  int port = 0;
  SSL_CTX* ctx = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<bool> readNothing{false};
  mutable std::mutex mutex;
  std::condition_variable stopCv;
  Handler handler;
  std::vector<Received> requests;
  std::vector<int> openFds;
  int connections = 0;
  std::thread acceptor;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers;  // acceptor thread only

  Impl(Handler h, const CertAndKey* tls, bool resumption) : handler(std::move(h)) {
    // TLS writes go through write(2): a peer that left must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    if (tls) {
      ctx = SSL_CTX_new(TLS_server_method());
      BIO* cb = BIO_new_mem_buf(tls->certPem.data(), static_cast<int>(tls->certPem.size()));
      X509* cert = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
      BIO_free(cb);
      BIO* kb = BIO_new_mem_buf(tls->keyPem.data(), static_cast<int>(tls->keyPem.size()));
      EVP_PKEY* key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
      BIO_free(kb);
      if (!cert || !key || SSL_CTX_use_certificate(ctx, cert) != 1 ||
          SSL_CTX_use_PrivateKey(ctx, key) != 1)
        throw std::runtime_error("bad test certificate");
      X509_free(cert);
      EVP_PKEY_free(key);
      if (!resumption) {
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(ctx, 0);
      }
    }
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd, 64) != 0)
      throw std::runtime_error("cannot listen on loopback");
    socklen_t len = sizeof addr;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    acceptor = std::thread([this] { AcceptLoop(); });
  }

  ~Impl() {
    stopping = true;
    {
      std::lock_guard lock(mutex);
      for (int fd : openFds) shutdown(fd, SHUT_RDWR);
    }
    stopCv.notify_all();
    shutdown(listenFd, SHUT_RDWR);
    acceptor.join();
    for (auto& w : workers) w.thread.join();
    close(listenFd);
    if (ctx) SSL_CTX_free(ctx);
  }

  void AcceptLoop() {
    while (!stopping) {
      pollfd p{listenFd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      // Reap finished connections so a long run keeps few threads.
      std::erase_if(workers, [](Worker& w) {
        if (!*w.done) return false;
        w.thread.join();
        return true;
      });
      std::lock_guard lock(mutex);
      if (stopping) {
        close(fd);
        break;
      }
      ++connections;
      openFds.push_back(fd);
      auto done = std::make_shared<std::atomic<bool>>(false);
      workers.push_back({std::thread([this, fd, done] {
                           Serve(fd);
                           *done = true;
                         }),
                         done});
    }
  }

  void Forget(int fd) {
    std::lock_guard lock(mutex);
    openFds.erase(std::remove(openFds.begin(), openFds.end(), fd), openFds.end());
  }

  // Reads one request; false when the peer closed or sent garbage.
  bool ReadRequest(Conn& c, std::string& pending, Received& out) {
    const auto until = std::chrono::steady_clock::now() + kMaxActivity;
    char buf[16384];
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) return false;
      long n = c.Read(buf, sizeof buf);
      if (n <= 0) return false;
      pending.append(buf, static_cast<std::size_t>(n));
    }
    out.head = pending.substr(0, end);
    pending.erase(0, end + 4);
    std::size_t length = 0;
    for (const auto& line : out.HeaderLines()) {
      if (Lower(line.substr(0, 15)) == "content-length:") length = std::stoul(line.substr(15));
    }
    while (pending.size() < length) {
      long n = c.Read(buf, sizeof buf);
      if (n <= 0) return false;
      pending.append(buf, static_cast<std::size_t>(n));
    }
    out.body = pending.substr(0, length);
    pending.erase(0, length);
    return true;
  }

  void Serve(int fd) {
    Conn c{fd, nullptr};
    if (ctx) {
      c.ssl = SSL_new(ctx);
      SSL_set_fd(c.ssl, fd);
      if (SSL_accept(c.ssl) != 1) {
        ERR_clear_error();
        Finish(c);
        return;
      }
    }
    if (readNothing) WaitStop(kMaxActivity);
    std::string pending;
    for (;;) {
      Received req;
      if (stopping || !ReadRequest(c, pending, req)) break;
      Handler h;
      {
        std::lock_guard lock(mutex);
        requests.push_back(req);
        h = handler;
      }
      Reply reply = h(req);
      if (!Answer(c, reply) || reply.close || reply.mode != Reply::Mode::kNormal) break;
    }
    Finish(c);
  }

  void Finish(Conn& c) {
    Forget(c.fd);
    if (c.ssl) {
      SSL_free(c.ssl);
      ERR_clear_error();
    }
    close(c.fd);
  }

  bool WaitStop(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex);
    return stopCv.wait_for(lock, d, [&] { return stopping.load(); });
  }

  bool Answer(Conn& c, const Reply& r) {
    using Mode = Reply::Mode;
    if (r.mode != Mode::kTrickle && r.interval.count() > 0 && WaitStop(r.interval)) return false;
    switch (r.mode) {
      case Mode::kNormal:
        return c.Write(r.bytes.data(), r.bytes.size());
      case Mode::kStall:
        if (!r.bytes.empty()) c.Write(r.bytes.data(), r.bytes.size());
        WaitStop(kMaxActivity);
        return false;
      case Mode::kTrickle:
        for (char ch : r.bytes) {
          if (!c.Write(&ch, 1) || WaitStop(r.interval)) return false;
        }
        return true;
      case Mode::kReset: {
        linger l{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        if (c.ssl) SSL_set_quiet_shutdown(c.ssl, 1);
        return false;
      }
      case Mode::kEndless: {
        if (!c.Write(r.bytes.data(), r.bytes.size())) return false;
        const std::string block(16384, 'x');
        const auto until = std::chrono::steady_clock::now() + kMaxActivity;
        while (!stopping && std::chrono::steady_clock::now() < until) {
          if (!c.Write(block.data(), block.size())) break;
        }
        return false;
      }
      case Mode::kTunnel:
        Tunnel(c, r.tunnelPort);
        return false;
    }
    return false;
  }

  void Tunnel(Conn& c, int targetPort) {
    int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(targetPort));
    if (connect(up, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      const std::string no = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
      c.Write(no.data(), no.size());
      close(up);
      return;
    }
    const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
    c.Write(ok.data(), ok.size());
    const auto until = std::chrono::steady_clock::now() + kMaxActivity;
    char buf[16384];
    while (!stopping && std::chrono::steady_clock::now() < until) {
      pollfd p[2] = {{c.fd, POLLIN, 0}, {up, POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      if (p[0].revents) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0 || send(up, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
      }
      if (p[1].revents) {
        ssize_t n = recv(up, buf, sizeof buf, 0);
        if (n <= 0 || send(c.fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
      }
    }
    close(up);
  }
};

LoopbackServer::LoopbackServer(Handler handler, const CertAndKey* tls, bool tlsResumption)
    : impl_(std::make_unique<Impl>(std::move(handler), tls, tlsResumption)) {}
LoopbackServer::~LoopbackServer() = default;

int LoopbackServer::Port() const { return impl_->port; }

std::string LoopbackServer::Url(const std::string& path) const {
  return std::string(impl_->ctx ? "https" : "http") + "://127.0.0.1:" + std::to_string(Port()) +
         path;
}

std::vector<Received> LoopbackServer::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

int LoopbackServer::Connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections;
}

void LoopbackServer::StopReading() { impl_->readNothing = true; }

void LoopbackServer::SetHandler(Handler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

}  // namespace testing_support
