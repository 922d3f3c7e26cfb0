// Byte text primitives: one table per operation, double-byte cases included.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/text/Text.h"

using namespace text;

namespace {
Text G(std::string_view utf8) { return FromUtf8(utf8); }
// 乙 is B4 42 in GBK: its trail byte is 'B'. 丂 is 81 40: trail '@'.
const Text kHanB = "\xB4\x42";
}  // namespace

TEST(Text, Conversion) {
  EXPECT_EQ(G("启动"), "\xC6\xF4\xB6\xAF");
  EXPECT_EQ(G("货币对："), "\xBB\xF5\xB1\xD2\xB6\xD4\xA3\xBA");
  EXPECT_EQ(ToUtf8("\xCD\xA3\xD6\xB9"), "停止");
  EXPECT_EQ(G("a€b"),
            "a\x80"
            "b");              // GBK's euro sign
  EXPECT_EQ(G("a😀b"), "a?b");  // missing in GBK: replaced
  EXPECT_EQ(G("\xE4"
              "Abc"),
            "?Abc");  // a broken sequence takes nothing after it
  EXPECT_EQ(ToUtf8("a\xFF"
                   "b"),
            "a?b");  // not GBK: replaced
  EXPECT_EQ(G(""), "");
}

TEST(Text, Find) {
  struct Row {
    const char* name;
    Text text, part;
    int start;
    bool ignoreCase;
    int want;
  };
  const Row rows[] = {
      {"plain", "abcabc", "c", 1, false, 3},
      {"from start", "abcabc", "c", 4, false, 6},
      {"start below 1", "abcabc", "a", -5, false, 1},
      {"missing", "abc", "x", 1, false, -1},
      {"empty part", "abc", "", 1, false, 1},
      {"empty part, nothing left", "abc", "", 4, false, -1},
      {"empty text", "", "", 1, false, -1},
      {"ignore case", "xAbC", "abc", 1, true, 2},
      {"case-sensitive", "xAbC", "abc", 1, false, -1},
      {"trail byte never matches", kHanB + "B", "B", 1, false, 3},
      {"trail byte, ignore case", kHanB + "b", "B", 1, true, 3},
      {"double-byte part", "a" + G("价格") + "x", G("格"), 1, false, 4},
      {"error marker", "{\"error_code\":1}", "error", 1, false, 3},
      {"capital E is not error", "Error", "error", 1, false, -1},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Find(r.text, r.part, r.start, r.ignoreCase), r.want) << r.name;
}

TEST(Text, FindLast) {
  struct Row {
    const char* name;
    Text text, part;
    int start;
    int want;
  };
  const Row rows[] = {
      {"whole text", "a:b:c", ":", kOmitted, 4},
      {"wholly before start", "a:b:c", ":", 4, 2},
      {"ends right before start", "abab", "ab", 5, 3},
      {"crossing start", "abab", "ab", 4, 1},
      {"none", "abc", ":", kOmitted, -1},
      {"trail byte", kHanB + "x", "B", kOmitted, -1},
  };
  for (const Row& r : rows) EXPECT_EQ(FindLast(r.text, r.part, r.start), r.want) << r.name;
}

TEST(Text, Cutting) {
  EXPECT_EQ(Left("hello", 2), "he");
  EXPECT_EQ(Left("hello", 0), "");
  EXPECT_EQ(Left("hello", -1), "");
  EXPECT_EQ(Left("hello", 99), "hello");
  EXPECT_EQ(Right("hello", 3), "llo");
  EXPECT_EQ(Right("hello", 0), "");
  EXPECT_EQ(Right("hello", 99), "hello");
  EXPECT_EQ(Middle("hello", 2, 3), "ell");
  EXPECT_EQ(Middle("hello", 4, 99), "lo");
  EXPECT_EQ(Middle("hello", 0, 2), "");
  EXPECT_EQ(Middle("hello", 6, 1), "");
  EXPECT_EQ(Middle("hello", 2, 0), "");
}

TEST(Text, SpacesAndCase) {
  const Text fw = "\xA1\xA1";  // full-width space
  struct Row {
    const char* name;
    Text in, trim, removed;
  };
  const Row rows[] = {
      {"ascii", "  a b  ", "a b", "ab"},
      {"full-width", fw + " a" + fw + "b " + fw, "a" + fw + "b", "ab"},
      {"only spaces", fw + "  ", "", ""},
      {"tabs stay", "\ta\t", "\ta\t", "\ta\t"},
      // B0 A1 A1 ... : A1 here is a trail byte, not a full-width space.
      {"trail A1", "\xB0\xA1\xA1\xB0", "\xB0\xA1\xA1\xB0", "\xB0\xA1\xA1\xB0"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Trim(r.in), r.trim) << r.name;
    EXPECT_EQ(RemoveSpaces(r.in), r.removed) << r.name;
  }
  EXPECT_EQ(ToLower("HTTPS://A.B/" + kHanB + "X"), "https://a.b/" + kHanB + "x");
}

TEST(Text, Replace) {
  struct Row {
    const char* name;
    Text text, part, by;
    int start, count;
    bool cs;
    Text want;
  };
  const Row rows[] = {
      {"all", "a-b-c", "-", "+", 1, 0, true, "a+b+c"},
      {"count", "a-b-c", "-", "", 1, 1, true, "ab-c"},
      {"from start", "a-b-c", "-", "", 3, 0, true, "a-bc"},
      {"no overlap", "aaaa", "aa", "b", 1, 0, true, "bb"},
      {"any case", "set-cookie: x\r\nSET-COOKIE: y", "Set-Cookie", "Set-Cookie", 1, 0, false,
       "Set-Cookie: x\r\nSet-Cookie: y"},
      {"case-sensitive", "Aa", "a", "x", 1, 0, true, "Ax"},
      {"empty part", "abc", "", "x", 1, 0, true, "abc"},
      {"empty text", "", "a", "x", 1, 0, true, ""},
      {"trail byte", kHanB + "B", "B", "x", 1, 0, true, kHanB + "x"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Replace(r.text, r.part, r.by, r.start, r.count, r.cs), r.want) << r.name;
}

TEST(Text, Split) {
  struct Row {
    const char* name;
    Text text, sep;
    int limit;
    TextArray want;
  };
  const Row rows[] = {
      {"plain", "a,b,c", ",", 0, {"a", "b", "c"}},
      {"empty items stay", "a,,b", ",", 0, {"a", "", "b"}},
      {"leading empty", ",a", ",", 0, {"", "a"}},
      {"no item after final", "a,b,", ",", 0, {"a", "b"}},
      {"only separator", ",", ",", 0, {""}},
      {"empty text", "", ",", 0, {}},
      {"empty separator", "a,b", "", 0, {"a,b"}},
      {"limit", "a,b,c", ",", 2, {"a", "b"}},
      {"long separator", "a\r\nb\r\n", "\r\n", 0, {"a", "b"}},
      {"trail byte", kHanB + ",B", "B", 0, {kHanB + ","}},
  };
  for (const Row& r : rows) EXPECT_EQ(Split(r.text, r.sep, r.limit), r.want) << r.name;
}

TEST(Text, ToNumber) {
  struct Row {
    const char* name;
    Text in;
    double want;
  };
  const Row rows[] = {
      {"plain", "33.15", 33.15},
      {"spaces and sign", "  -7.5e2xyz", -750},
      {"plus", "+5", 5},
      {"point first", ".5", 0.5},
      {"bad exponent kept out", "5e", 5},
      {"letters", "null", 0},
      {"empty", "", 0},
      {"dollar first", "$33.15", 0},
      {"full-width digits", "\xA3\xB3\xA3\xB3\xA3\xAE\xA3\xB1", 33.1},  // ３３．１
      {"full-width space",
       "\xA1\xA1"
       "7",
       7},
      {"no hex", "0x10", 0},
      {"no inf", "inf", 0},
      {"huge", "1e999", INFINITY},
      {"tiny without exponent", "0." + std::string(400, '0') + "1", 0},
      {"tiny with a positive exponent", "0." + std::string(400, '0') + "1e+5", 0},
  };
  for (const Row& r : rows) EXPECT_DOUBLE_EQ(ToNumber(r.in), r.want) << r.name;
  EXPECT_EQ(ToInteger(" 8443/x"), 8443);
  EXPECT_EQ(ToInteger("-12.9"), -12);
  EXPECT_EQ(ToInteger("\xA3\xB8\xA3\xB0"), 80);  // ８０
  EXPECT_EQ(ToInteger("x"), 0);
  EXPECT_EQ(ToInteger("99999999999"), 2147483647);
}

TEST(Text, NumberToText) {
  setlocale(LC_ALL, "de_DE.UTF-8");  // where installed, a comma locale must not leak in
  EXPECT_EQ(NumberToText(33.15), "33.15");
  EXPECT_EQ(NumberToText(432.0), "432");
  EXPECT_EQ(NumberToText(0.1 + 0.2), "0.3");
  EXPECT_EQ(NumberToText(1e21), "1e+21");
  EXPECT_EQ(NumberToText(-0.0000001), "-1e-07");
  EXPECT_EQ(IntegerToText(-42), "-42");
  setlocale(LC_ALL, "C");
}

TEST(Text, TimeToText) {
  struct Row {
    DateTime t;
    const char* want;
  };
  const Row rows[] = {
      {{2024, 3, 5, 9, 7, 5}, "2024年3月5日9时7分5秒"},
      {{2024, 3, 5, 9, 7, 0}, "2024年3月5日9时7分"},
      {{2024, 3, 5, 10, 0, 0}, "2024年3月5日10时"},
      {{2024, 3, 5, 0, 0, 0}, "2024年3月5日"},
      {{2024, 12, 31, 0, 0, 9}, "2024年12月31日0时0分9秒"},
  };
  for (const Row& r : rows) EXPECT_EQ(TimeToText(r.t), G(r.want)) << r.want;
}

TEST(Text, BytesAndBlanks) {
  EXPECT_EQ(BytesToText({'a', 'b', 0, 'c'}), "ab");
  EXPECT_EQ(BytesToText({}), "");
  EXPECT_EQ(TextToBytes("ab"), (Bytes{'a', 'b'}));
  EXPECT_EQ(BlankText(3), "   ");
  EXPECT_EQ(BlankText(0), "");
  EXPECT_EQ(BlankBytes(2), (Bytes{0, 0}));
  EXPECT_EQ(BlankBytes(-1), Bytes{});
  EXPECT_EQ(LeftBytes({1, 2, 3}, 2), (Bytes{1, 2}));
  EXPECT_EQ(LeftBytes({1, 2, 3}, 9), (Bytes{1, 2, 3}));
  EXPECT_EQ(LeftBytes({1, 2, 3}, -1), Bytes{});
  EXPECT_EQ(Character(65), "A");
  EXPECT_EQ(Character(0), "");
}
