#include "http/UrlParts.h"

#include "http/HeaderText.h"

namespace http {

text::Text UrlHost(std::string_view url, bool keepPort) {
  text::Text h = text::ToLower(url);
  if (text::Right(h, 1) != "/") h += "/";
  text::Text host;
  if (text::Left(h, 8) == "https://") {
    host = TextBetween(h, "https://", "/");
  } else {
    if (text::Find(h, "http://") == -1) h = "http://" + h;
    host = TextBetween(h, "http://", "/");
  }
  if (!keepPort) {
    const int colon = text::Find(host, ":");
    if (colon != -1) host = text::Left(host, colon - 1);
  }
  return host;
}

int UrlPort(std::string_view url) {
  const text::Text hp = UrlHost(url, true);
  if (text::Find(hp, ":") != -1) {
    const int colon = text::FindLast(hp, ":");
    return text::ToInteger(text::Middle(hp, colon + 1, text::Length(hp)));
  }
  return text::ToLower(text::Left(url, 5)) == "https" ? 443 : 80;
}

text::Text UrlPath(std::string_view url) {
  const text::Text h = UrlHost(url);
  const int a = text::Find(url, h, 1, true);
  const int slash = text::Find(url, "/", a, true);
  if (slash == -1) return "/";
  return text::Middle(url, slash, text::Length(url));
}

}  // namespace http
