#pragma once
// Cutting marked-off text and header values out of byte text.

#include "platform/text/Text.h"

namespace http {

// The bytes between the first `startMarker` found from `start` and the next
// `endMarker` after it; empty when either is missing. In both markers the
// token "#引号" stands for a double quote, so callers can write one inside a
// marker.
text::Text TextBetween(std::string_view text, std::string_view startMarker,
                       std::string_view endMarker, int start = 1, bool ignoreCase = false);

// What follows the first ':' of `line`, trimmed; empty without a ':'.
text::Text HeaderValue(std::string_view line);

}  // namespace http
