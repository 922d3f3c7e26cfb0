#pragma once
// A small HTTP/HTTPS server on 127.0.0.1 for tests: each request it receives
// is recorded byte for byte and answered by a script. It can also act as a
// forward proxy that tunnels CONNECT requests.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/http/support/TestCa.h"

namespace testing_support {

struct Received {
  std::string head;  // request line and header lines, CR LF between, no blank line
  std::string body;
  std::vector<std::string> Lines() const;
  std::string RequestLine() const;
  // Header lines only, in order, as sent.
  std::vector<std::string> HeaderLines() const;
};

struct Reply {
  enum class Mode {
    kNormal,   // write `bytes` in one go
    kStall,    // read the request, then say nothing until the server stops
    kTrickle,  // write `bytes` one byte per `interval`
    kReset,    // answer with a TCP reset
    kEndless,  // write `bytes`, then body bytes until the peer goes away
    kTunnel,   // CONNECT: relay to 127.0.0.1:`tunnelPort`
  };
  std::string bytes;
  Mode mode = Mode::kNormal;
  std::chrono::milliseconds interval{0};
  bool close = false;  // close the connection after this reply
  int tunnelPort = 0;

  // A complete response with Content-Length.
  static Reply Ok(const std::string& body, const std::string& extraHeaders = "");
};

// A proxy's handler: CONNECT requests are tunnelled to 127.0.0.1:`port`, any
// other request is answered with `plainBody`.
std::function<Reply(const Received&)> TunnellingProxy(int port, const std::string& plainBody);

class LoopbackServer {
 public:
  using Handler = std::function<Reply(const Received&)>;
  // Plain HTTP without a certificate, HTTPS with one. Without resumption
  // every TLS connection takes a full handshake.
  explicit LoopbackServer(Handler handler, const CertAndKey* tls = nullptr,
                          bool tlsResumption = true);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int Port() const;
  std::string Url(const std::string& path) const;  // scheme://127.0.0.1:port + path
  std::vector<Received> Requests() const;
  int Connections() const;
  void SetHandler(Handler handler);
  // From now on, connections are accepted but never read from.
  void StopReading();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
