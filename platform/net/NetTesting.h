#pragma once
// Hooks for tests and benchmarks only; the program never calls them.

#include <chrono>
#include <cstddef>
#include <string_view>

namespace platform::net {

// Trusts one more CA certificate (PEM) for TLS, besides the system store,
// for the rest of the process. False when the text holds no certificate.
bool TrustCertificateForTesting(std::string_view pem);

struct Timeouts {
  std::chrono::milliseconds connect{60000};
  std::chrono::milliseconds send{30000};     // silence while the request is being sent
  std::chrono::milliseconds receive{30000};  // silence while waiting for or reading the answer
};
// Replaces the time-outs of requests sent from now on.
void SetTimeoutsForTesting(const Timeouts& timeouts);
Timeouts CurrentTimeouts();

// Replaces the largest body kept per request.
void SetBodyLimitForTesting(std::size_t bytes);
std::size_t CurrentBodyLimit();

// Forgets every cookie of the shared store.
void ClearCookieStoreForTesting();

// Handles of this layer still open, and transfers still held by the
// connection pool (abandoned ones are dropped shortly after their close).
int OpenHandleCount();
int ActiveTransferCount();

}  // namespace platform::net
