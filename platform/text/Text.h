#pragma once
// Byte text: the program's text is GBK (code page 936) bytes everywhere
// outside the window toolkit. Positions count bytes from 1; a failed search
// gives -1. A byte from 0x80 up starts a two-byte character, and searches only
// match where a character starts, so a trail byte never matches.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace text {

using Text = std::string;                 // GBK bytes, no embedded zero
using Bytes = std::vector<std::uint8_t>;  // any bytes, explicit length
using TextArray = std::vector<Text>;

inline constexpr int kOmitted = std::numeric_limits<int>::min();

inline int Length(std::string_view t) { return static_cast<int>(t.size()); }
inline bool Equal(std::string_view a, std::string_view b) { return a == b; }

// First match at or after `start` (below 1 counts as 1). An empty part gives
// 1, or -1 when nothing is left to search. ignoreCase folds A-Z only.
int Find(std::string_view text, std::string_view part, int start = 1, bool ignoreCase = false);
// Last match lying wholly before `start`; the whole text when omitted.
int FindLast(std::string_view text, std::string_view part, int start = kOmitted);

Text Left(std::string_view text, int n);
Text Right(std::string_view text, int n);
Text Middle(std::string_view text, int start, int n);

// Drops 0x20 and the full-width space (A1 A1) at both ends.
Text Trim(std::string_view text);
// Drops every 0x20 and A1 A1.
Text RemoveSpaces(std::string_view text);
// A-Z only; two-byte characters are left alone.
Text ToLower(std::string_view text);

// Left to right, no overlap, at or after `start`, at most `count` times
// (count below 1: all). With caseSensitive off, A-Z match either case.
Text Replace(std::string_view text, std::string_view part, std::string_view by = {}, int start = 1,
             int count = 0, bool caseSensitive = true);

// Empty text: no items. Empty separator: one item. Empty items between
// separators stay; none follows a final separator. `limit` below 1: all.
TextArray Split(std::string_view text, std::string_view separator = ",", int limit = 0);

// Full-width ASCII forms and a few symbols become ASCII first, then the text
// is read like C atof / atoi (decimal only); no number gives 0.
double ToNumber(std::string_view text);
std::int32_t ToInteger(std::string_view text);

Text NumberToText(double value);  // "%.13g", always with a '.' point
Text IntegerToText(std::int64_t value);

struct DateTime {
  int year = 1970, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
};
// "%d年%d月%d日" then "%d时%d分%d秒" / "%d时%d分" / "%d时" / nothing.
Text TimeToText(const DateTime& t);

Text BytesToText(const Bytes& bytes);  // up to the first zero byte
Bytes TextToBytes(std::string_view text);
Text BlankText(int n);    // n spaces
Bytes BlankBytes(int n);  // n zero bytes
Bytes LeftBytes(const Bytes& bytes, int n);
Text Character(int code);  // one byte; 0 gives the empty text

// The toolkit boundary: UTF-8 <-> GBK with glibc iconv. Characters that the
// target lacks come back as '?', never as a failure of the whole text.
Text FromUtf8(std::string_view utf8);
std::string ToUtf8(std::string_view gbk);

}  // namespace text
