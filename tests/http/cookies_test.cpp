// Merging an old and a new cookie text, and the item helpers under it.
#include <gtest/gtest.h>

#include "http/Cookies.h"

using namespace http;

struct MergeRow {
  const char* name;
  std::string oldText, newText;
  std::string want, newAfter;
};

TEST(MergeCookies, Table) {
  const std::string wide = "\xA1\xA1";  // full-width space
  const MergeRow rows[] = {
      {"new replaces old", "a=1; b=2", "b=3", "b=3; a=1", "b=3"},
      {"deleted drops both", "a=1; b=2", "b=deleted", "a=1", "b=deleted"},
      {"deleted in old text", "a=deleted; b=2", "", "b=2", ""},
      {"first of two old wins", "a=1;a=2", "", "a=1", ""},
      {"identical new items once", "", "a=1;a=1", "a=1", "a=1;a=1"},
      {"same name different values stay", "", "a=1;a=2", "a=1; a=2", "a=1;a=2"},
      {"spaces vanish", "x = 1 2", "", "x=12", ""},
      {"full-width spaces vanish", "x=" + wide + "1", "", "x=1", ""},
      {"final separator adds nothing", "a=1;", "b=2;", "b=2; a=1", "b=2;"},
      {"adjacent separators keep one empty item", "a=1;;b=2", "", "a=1; ; b=2", ""},
      {"item without value", "flag; a=1", "flag", "flag; a=1", "flag"},
      {"both empty", "", "", "", ""},
  };
  for (const auto& r : rows) {
    std::string oldText = r.oldText, newText = r.newText;
    EXPECT_EQ(MergeCookies(oldText, newText), r.want) << r.name;
    EXPECT_EQ(oldText, r.want) << r.name;
    EXPECT_EQ(newText, r.newAfter) << r.name;
  }
}

TEST(CookieItems, NamesAndLookups) {
  EXPECT_EQ(CookieName(" sid = 5 "), "sid");
  EXPECT_EQ(CookieName(" flag "), "flag");
  EXPECT_EQ(CookieName("a=b=c"), "a");
  EXPECT_TRUE(HasCookieName({"x=1", " sid =2"}, "sid"));
  EXPECT_FALSE(HasCookieName({"x=1"}, "X"));
  EXPECT_EQ(IndexOfItem({"a", "b", "b"}, "b"), 2);
  EXPECT_EQ(IndexOfItem({"a"}, "A"), -1);
  EXPECT_EQ(DedupeItems("a, b, a, c, b", ", "), "a, b, c");
  EXPECT_EQ(DedupeItems("", "; "), "");
}
