#pragma once
// One HTTP or HTTPS request with default headers, proxy and cookie
// collection, returning the response body.

#include "platform/text/Text.h"

namespace http {

inline constexpr std::string_view kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// Everything after the URL; each member may be left at its default. The
// pointers name caller variables that the request reads and overwrites;
// null means "not passed". Whether `cookies` is passed matters even when
// the variable holds the empty text: it turns the shared cookie store off
// for this request and receives the merged cookies afterwards.
struct WebRequestOptions {
  int method = 0;                         // 0 GET, 1 POST, 2 HEAD; anything else GET
  text::Text postText;                    // body when *postBytes is empty
  text::Text* cookies = nullptr;          // in/out
  text::Text* newCookies = nullptr;       // out: name=value pairs set by the response
  text::Text* headers = nullptr;          // in/out: extra lines; then the block sent
  text::Text* responseHeaders = nullptr;  // out: raw response header block
  bool noRedirect = false;
  text::Bytes* postBytes = nullptr;  // in/out
  text::Text proxy;                  // host:port; empty for a direct connection
  bool mergeCookies = true;
};

// The response body, whatever the status; empty Bytes when no request
// could be opened. After the calling worker's end was requested it closes
// its handles and throws platform::ThreadEnded.
text::Bytes WebRequest(std::string_view url, const WebRequestOptions& options = {});

}  // namespace http
