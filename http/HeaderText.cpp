// Compiled with GBK as the execution character set: the quote token below is
// the program's own text.
#include "http/HeaderText.h"

namespace http {

namespace {
constexpr std::string_view kQuoteToken = "#引号";
}

text::Text TextBetween(std::string_view text, std::string_view startMarker,
                       std::string_view endMarker, int start, bool ignoreCase) {
  const text::Text from = text::Replace(startMarker, kQuoteToken, "\"");
  const text::Text to = text::Replace(endMarker, kQuoteToken, "\"");
  const int p = text::Find(text, from, start, ignoreCase);
  if (p == -1) return {};
  const int c = p + text::Length(from);
  const int q = text::Find(text, to, c, ignoreCase);
  if (q == -1) return {};
  return text::Middle(text, c, q - c);
}

text::Text HeaderValue(std::string_view line) {
  const int colon = text::Find(line, ":");
  if (colon == -1) return {};
  return text::Trim(text::Middle(line, colon + 1, text::Length(line)));
}

}  // namespace http
