#include "http/Cookies.h"

namespace http {

text::Text MergeCookies(text::Text& oldCookies, text::Text& newCookies) {
  oldCookies = text::RemoveSpaces(oldCookies);
  newCookies = text::RemoveSpaces(newCookies);
  const text::TextArray oldList = text::Split(oldCookies, ";");
  text::TextArray newList = text::Split(newCookies, ";");
  for (const text::Text& item : oldList) {
    if (!HasCookieName(newList, CookieName(item))) newList.push_back(item);
  }
  text::Text result;
  for (const text::Text& item : newList) {
    if (text::Right(item, 8) == "=deleted") continue;
    result += item;
    result += "; ";
  }
  result = text::Left(result, text::Length(result) - 2);
  result = DedupeItems(result, "; ");
  oldCookies = result;
  return result;
}

text::Text CookieName(std::string_view item) {
  const int eq = text::Find(item, "=");
  if (eq == -1) return text::Trim(item);
  return text::Trim(text::Left(item, eq - 1));
}

bool HasCookieName(const text::TextArray& list, std::string_view name) {
  for (const text::Text& item : list) {
    if (CookieName(item) == name) return true;
  }
  return false;
}

text::Text DedupeItems(std::string_view text, std::string_view separator) {
  text::TextArray taken;
  text::Text out;
  for (text::Text& piece : text::Split(text, separator)) {
    if (IndexOfItem(taken, piece) != -1) continue;
    out += piece;
    out += separator;
    taken.push_back(std::move(piece));
  }
  return text::Left(out, text::Length(out) - text::Length(separator));
}

int IndexOfItem(const text::TextArray& list, std::string_view text) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == text) return static_cast<int>(i) + 1;
  }
  return -1;
}

}  // namespace http
