#include "platform/text/Text.h"

#include <iconv.h>

#include <locale.h>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace text {
namespace {

bool IsLead(unsigned char c) { return c >= 0x80; }

// Byte length of the character starting at i.
std::size_t CharLen(std::string_view t, std::size_t i) {
  return (IsLead(static_cast<unsigned char>(t[i])) && i + 1 < t.size()) ? 2 : 1;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Does `part` match `text` at byte offset i? With ignoreCase, only single-byte
// characters of the part are folded; both bytes of a two-byte character must
// match exactly.
bool MatchAt(std::string_view text, std::size_t i, std::string_view part, bool ignoreCase) {
  if (i + part.size() > text.size()) return false;
  if (!ignoreCase) return text.compare(i, part.size(), part) == 0;
  for (std::size_t k = 0; k < part.size();) {
    if (IsLead(static_cast<unsigned char>(part[k])) && k + 1 < part.size()) {
      if (text[i + k] != part[k] || text[i + k + 1] != part[k + 1]) return false;
      k += 2;
    } else {
      if (FoldAscii(text[i + k]) != FoldAscii(part[k])) return false;
      ++k;
    }
  }
  return true;
}

// Offset of the first character start at or after `from` where part matches.
std::size_t FindFrom(std::string_view text, std::string_view part, std::size_t from,
                     bool ignoreCase) {
  for (std::size_t i = 0; i < text.size(); i += CharLen(text, i)) {
    if (i >= from && MatchAt(text, i, part, ignoreCase)) return i;
  }
  return std::string_view::npos;
}

bool IsFullWidthSpace(std::string_view t, std::size_t i) {
  return i + 1 < t.size() && static_cast<unsigned char>(t[i]) == 0xA1 &&
         static_cast<unsigned char>(t[i + 1]) == 0xA1;
}

// Maps the two-byte forms that the number readers accept onto ASCII.
std::string MapNumberText(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (std::size_t i = 0; i < t.size();) {
    std::size_t n = CharLen(t, i);
    if (n == 2) {
      auto a = static_cast<unsigned char>(t[i]);
      auto b = static_cast<unsigned char>(t[i + 1]);
      if (a == 0xA3 && b >= 0xA1 && b <= 0xFE) {
        out += static_cast<char>(b - 0xA1 + 0x21);
      } else if (a == 0xA1 && b == 0xA1) {
        out += ' ';
      } else if (a == 0xA1 && b == 0xAB) {
        out += '~';
      } else if (a == 0xA1 && (b == 0xEE || b == 0xEF)) {
        out += '*';
      } else {
        out.append(t.substr(i, 2));
      }
    } else {
      out += t[i];
    }
    i += n;
  }
  return out;
}

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Convert(std::string_view in, const char* to, const char* from) {
  std::string out;
  if (in.empty()) return out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  out.resize(in.size() * 2 + 8);
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  std::size_t used = 0;
  while (srcLeft > 0) {
    char* dst = out.data() + used;
    std::size_t dstLeft = out.size() - used;
    std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = out.size() - dstLeft;
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // An invalid or unconvertible character: write '?' and skip it. In
      // UTF-8 the character's length follows from its first byte.
      if (out.size() - used < 1) out.resize(out.size() * 2);
      out[used++] = '?';
      std::size_t skip = 1;
      auto c = static_cast<unsigned char>(*src);
      if (std::string_view(from) == "UTF-8") {
        // Only the continuation bytes that really follow belong to it: a
        // broken sequence must not swallow the characters after it.
        std::size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        while (skip < want && skip < srcLeft &&
               (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80)
          ++skip;
      } else if (c >= 0x81 && c <= 0xFE && srcLeft >= 2) {
        auto t = static_cast<unsigned char>(src[1]);
        if (t >= 0x40 && t <= 0xFE && t != 0x7F) skip = 2;  // a whole unknown character
      }
      if (skip > srcLeft) skip = srcLeft;
      src += skip;
      srcLeft -= skip;
    }
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

}  // namespace

int Find(std::string_view text, std::string_view part, int start, bool ignoreCase) {
  if (start < 1) start = 1;
  if (static_cast<std::size_t>(start) > text.size()) return -1;
  if (part.empty()) return 1;
  std::size_t at = FindFrom(text, part, static_cast<std::size_t>(start - 1), ignoreCase);
  return at == std::string_view::npos ? -1 : static_cast<int>(at) + 1;
}

int FindLast(std::string_view text, std::string_view part, int start) {
  if (part.empty() || text.empty()) return -1;
  std::size_t limit = text.size();  // a match must end at or before this offset
  if (start != kOmitted) {
    if (start <= 1) return -1;
    limit = std::min<std::size_t>(limit, static_cast<std::size_t>(start - 1));
  }
  int found = -1;
  for (std::size_t i = 0; i < text.size(); i += CharLen(text, i)) {
    if (i + part.size() > limit) break;
    if (MatchAt(text, i, part, false)) found = static_cast<int>(i) + 1;
  }
  return found;
}

Text Left(std::string_view text, int n) {
  if (n <= 0) return {};
  return Text(text.substr(0, static_cast<std::size_t>(n)));
}

Text Right(std::string_view text, int n) {
  if (n <= 0) return {};
  if (static_cast<std::size_t>(n) >= text.size()) return Text(text);
  return Text(text.substr(text.size() - static_cast<std::size_t>(n)));
}

Text Middle(std::string_view text, int start, int n) {
  if (start < 1 || static_cast<std::size_t>(start) > text.size() || n < 1) return {};
  return Text(text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(n)));
}

Text Trim(std::string_view text) {
  // Find the first and last characters that are not spaces, walking by
  // character so that a trail byte is never mistaken for a space.
  std::size_t first = text.size();
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = CharLen(text, i);
    bool space = text[i] == ' ' || (n == 2 && IsFullWidthSpace(text, i));
    if (!space) {
      if (first == text.size()) first = i;
      end = i + n;
    }
    i += n;
  }
  if (first == text.size()) return {};
  return Text(text.substr(first, end - first));
}

Text RemoveSpaces(std::string_view text) {
  Text out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = CharLen(text, i);
    bool space = text[i] == ' ' || (n == 2 && IsFullWidthSpace(text, i));
    if (!space) out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

Text ToLower(std::string_view text) {
  Text out(text);
  for (std::size_t i = 0; i < out.size();) {
    std::size_t n = CharLen(out, i);
    if (n == 1) out[i] = FoldAscii(out[i]);
    i += n;
  }
  return out;
}

Text Replace(std::string_view text, std::string_view part, std::string_view by, int start,
             int count, bool caseSensitive) {
  if (text.empty() || part.empty()) return Text(text);
  if (start < 1) start = 1;
  Text out;
  out.reserve(text.size());
  int done = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (i >= static_cast<std::size_t>(start - 1) && (count < 1 || done < count) &&
        MatchAt(text, i, part, !caseSensitive)) {
      out.append(by);
      i += part.size();
      ++done;
      continue;
    }
    std::size_t n = CharLen(text, i);
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

TextArray Split(std::string_view text, std::string_view separator, int limit) {
  TextArray items;
  if (text.empty()) return items;
  if (separator.empty()) {
    items.emplace_back(text);
    return items;
  }
  // One walk over the character starts; rescanning from the front for every
  // item would make a long list quadratic.
  std::size_t from = 0;
  for (std::size_t i = 0; i < text.size(); i += CharLen(text, i)) {
    if (i < from || !MatchAt(text, i, separator, false)) continue;
    if (limit > 0 && items.size() >= static_cast<std::size_t>(limit)) return items;
    items.emplace_back(text.substr(from, i - from));
    from = i + separator.size();
  }
  if (from < text.size() && (limit < 1 || items.size() < static_cast<std::size_t>(limit)))
    items.emplace_back(text.substr(from));
  return items;
}

double ToNumber(std::string_view raw) {
  std::string t = MapNumberText(raw);
  std::size_t i = 0;
  while (i < t.size() && IsCSpace(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  std::size_t begin = i;
  std::size_t digits = 0;
  while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  std::size_t end = i;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
    if (j < t.size() && IsDigit(t[j])) {
      while (j < t.size() && IsDigit(t[j])) ++j;
      end = j;
    }
  }
  double value = 0;
  // from_chars does not take a leading '+' in the exponent's place either, so
  // hand it the plain form it accepts: it is locale-independent, unlike atof.
  std::string number = t.substr(begin, end - begin);
  if (number.front() == '.') number.insert(number.begin(), '0');
  auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // Overflow or underflow, which only the digits and exponent together
    // tell apart ("0.000...1" underflows with no exponent at all): strtod in
    // the C locale gives infinity or zero as atof does.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    value = strtod_l(number.c_str(), nullptr, cLocale);
  }
  return negative ? -value : value;
}

std::int32_t ToInteger(std::string_view raw) {
  std::string t = MapNumberText(raw);
  std::size_t i = 0;
  while (i < t.size() && IsCSpace(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  std::int64_t value = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  while (i < t.size() && IsDigit(t[i])) {
    value = value * 10 + (t[i++] - '0');
    if (value > kMax + 1) value = kMax + 1;  // saturate instead of overflowing
  }
  if (negative) value = -value;
  if (value > kMax) value = kMax;
  return static_cast<std::int32_t>(value);
}

Text NumberToText(double value) {
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 13);
  if (ec != std::errc()) return {};
  return Text(buf, ptr);
}

Text IntegerToText(std::int64_t value) { return std::to_string(value); }

Text TimeToText(const DateTime& t) {
  char buf[96];
  // 年 月 日 时 分 秒 in GBK.
  int n = std::snprintf(buf, sizeof buf, "%d\xC4\xEA%d\xD4\xC2%d\xC8\xD5", t.year, t.month, t.day);
  Text out(buf, static_cast<std::size_t>(n));
  if (t.second != 0) {
    n = std::snprintf(buf, sizeof buf, "%d\xCA\xB1%d\xB7\xD6%d\xC3\xEB", t.hour, t.minute,
                      t.second);
  } else if (t.minute != 0) {
    n = std::snprintf(buf, sizeof buf, "%d\xCA\xB1%d\xB7\xD6", t.hour, t.minute);
  } else if (t.hour != 0) {
    n = std::snprintf(buf, sizeof buf, "%d\xCA\xB1", t.hour);
  } else {
    n = 0;
  }
  out.append(buf, static_cast<std::size_t>(n));
  return out;
}

Text BytesToText(const Bytes& bytes) {
  std::size_t n = 0;
  while (n < bytes.size() && bytes[n] != 0) ++n;
  return Text(reinterpret_cast<const char*>(bytes.data()), n);
}

Bytes TextToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Text BlankText(int n) { return n < 1 ? Text() : Text(static_cast<std::size_t>(n), ' '); }

Bytes BlankBytes(int n) { return n < 1 ? Bytes() : Bytes(static_cast<std::size_t>(n), 0); }

Bytes LeftBytes(const Bytes& bytes, int n) {
  std::size_t k = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), bytes.size());
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k));
}

Text Character(int code) {
  if (code == 0) return {};
  return Text(1, static_cast<char>(code));
}

Text FromUtf8(std::string_view utf8) { return Convert(utf8, "GBK", "UTF-8"); }

std::string ToUtf8(std::string_view gbk) { return Convert(gbk, "UTF-8", "GBK"); }

}  // namespace text
