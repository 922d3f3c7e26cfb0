#pragma once
// Host, port and path of a URL, taken apart with plain text steps rather than
// a URL grammar, so odd input gives the same parts the request routine has
// always used.

#include "platform/text/Text.h"

namespace http {

// The host in lower case; with keepPort, followed by ":port" when the URL
// names one. A URL without a scheme counts as plain HTTP.
text::Text UrlHost(std::string_view url, bool keepPort = false);

// The written port, else 443 for "https" URLs and 80 for all others.
int UrlPort(std::string_view url);

// The path with query and fragment, from the first '/' after the host, in
// the URL's own case; "/" when there is none.
text::Text UrlPath(std::string_view url);

}  // namespace http
