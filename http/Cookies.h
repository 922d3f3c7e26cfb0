#pragma once
// Folding the cookies a server just set into the cookie text a caller keeps
// between requests.

#include "platform/text/Text.h"

namespace http {

// Merges `newCookies` into `oldCookies`: cookies set anew come first in the
// order they were set, then the old ones whose names were not set again;
// items ending in "=deleted" are dropped and no item occurs twice. Spaces
// are removed from both inputs, which are stored back; `oldCookies` then
// holds the merged text, which is also returned. Output items are joined by
// "; ".
text::Text MergeCookies(text::Text& oldCookies, text::Text& newCookies);

// The bytes before the item's first '=', trimmed; the whole item trimmed
// when it has none.
text::Text CookieName(std::string_view item);

// Whether some item of `list` has the cookie name `name` (by bytes).
bool HasCookieName(const text::TextArray& list, std::string_view name);

// The items of `text` split at `separator`, each repeat of an earlier
// identical item removed, joined with `separator` again.
text::Text DedupeItems(std::string_view text, std::string_view separator);

// 1-based index of the first item equal to `text` by bytes; -1 when none is.
int IndexOfItem(const text::TextArray& list, std::string_view text);

}  // namespace http
