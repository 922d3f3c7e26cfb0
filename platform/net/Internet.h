#pragma once
// The Internet handle layer: open a session, connect to a host, open a
// request, send it, read the body in chunks, query the raw response headers,
// close. Every open returns 0 on failure; handles are opened and closed per
// request, while one connection pool (keep-alive, TLS session reuse, the CA
// store loaded once) serves the whole process underneath.
//
// Calls block the calling thread. Once the calling worker's end has been
// requested every call fails at once (a wait in progress is woken), so the
// caller can close its handles and leave; no call ever throws.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform::net {

using InternetHandle = std::uint64_t;  // 0: none

enum AccessType : int {
  kAccessDirect = 1,  // no proxy
  kAccessProxy = 3,   // the proxy list given to InternetOpen
};

// Request flags.
enum RequestFlags : std::uint32_t {
  kFlagReload = 0x80000000u,  // never answer from a cache (there is none)
  kFlagNeedFile = 0x10u,      // no cache file is kept either way
  kFlagNoCookies = 0x80000u,  // keep this request out of the shared cookie store
  kFlagNoAutoRedirect = 0x200000u,
  kFlagSecure = 0x800000u,               // TLS, certificate and host name always verified
  kFlagIgnoreRedirectToHttps = 0x4000u,  // a plain request may be redirected to HTTPS
};

// `proxyList` (kAccessProxy): entries separated by spaces or ';', each
// "scheme=host:port" for one scheme or a bare "host:port" for all.
// `bypassList`: host names (a leading "*" matches any prefix) reached
// directly; "<local>" matches names without a dot.
InternetHandle InternetOpen(std::string_view agent, int accessType, std::string_view proxyList,
                            std::string_view bypassList);

// Port 0 means the default port of the request's scheme. Fails on a host or
// port that cannot form a URL, and on a host holding a user name, path,
// query or fragment.
InternetHandle InternetConnect(InternetHandle session, std::string_view host, int port);

// `version` is "HTTP/1.1" (or empty, meaning the same). Fails on a path that
// does not form a valid URL with the connection's host.
InternetHandle HttpOpenRequest(InternetHandle connection, std::string_view verb,
                               std::string_view path, std::string_view version,
                               std::uint32_t flags);

// Sends the request with `headers` (lines joined by CR LF, sent byte for
// byte in their order) and the body, and waits for the response to begin.
// A body is sent for any verb that is given one. False when no response came.
bool HttpSendRequest(InternetHandle request, std::string_view headers, const void* body,
                     std::size_t bodyLength);

// Reads up to `size` body bytes. `*count` is set to 0 first; it stays 0 at
// the end of the body and after any failure (time-out, reset, end requested).
bool InternetReadFile(InternetHandle request, void* buffer, std::size_t size, std::size_t* count);

// Copies the final response's status line and header lines, each ended by
// CR LF, then a zero byte, into `buffer` of `*length` bytes and sets
// `*length` to the block's length without the zero. When the block does not
// fit, the buffer is left untouched, `*length` is set to the size needed and
// the call fails.
bool HttpQueryRawHeaders(InternetHandle request, char* buffer, std::uint32_t* length);

// Closes any handle of this layer; an unknown or 0 handle is ignored. A
// request still under way is abandoned.
void InternetCloseHandle(InternetHandle handle);

}  // namespace platform::net
