#include <gtest/gtest.h>

#include <string>

#include "VornLibStrUtils.h"

namespace {

struct ClassRow {
  std::u16string text;
  bool expected;
};

} // namespace

TEST(StrUtils, IsHexText) {
  const ClassRow rows[] = {
      {u"", false},        {u"00fF", true}, {u"0123456789abcdefABCDEF", true},
      {u"12g", false},     {u"G", false},   {u"@", false},      // just below A
      {u"`", false},                                            // just below a
      {u"/", false},                                            // just below 0
      {u":", false},                                            // just above 9
      {u" 1", false},      {u"1 ", false},  {u"\u0130", false}, // low byte is '0'
      {u"\u0141", false},                                       // low byte is 'A'
      {u"\uFF41", false},                                       // fullwidth a
      {u"a\u0161", false},
  };
  for (const ClassRow& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    EXPECT_EQ(IsHexText(row.text), row.expected);
  }
}

TEST(StrUtils, IsDecimalText) {
  const ClassRow rows[] = {
      {u"", false},        {u"255", true},     {u"0000000000000000000009", true},
      {u"2 5", false},     {u"-1", false},     {u"+1", false},
      {u"1a", false},      {u"a", false},      {u"/", false},
      {u":", false},       {u"\u0130", false}, // low byte is '0'
      {u"1\u0139", false},                     // low byte is '9'
      {u"\u0660", false},                      // Arabic-Indic zero
      {u"\uFF10", false},                      // fullwidth zero
  };
  for (const ClassRow& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    EXPECT_EQ(IsDecimalText(row.text), row.expected);
  }
}

struct TextAfterRow {
  std::u16string text;
  std::u16string separator;
  std::u16string expected;
};

TEST(StrUtils, TextAfter) {
  const TextAfterRow rows[] = {
      {u"/e:UTF8", u":", u"UTF8"},
      {u"/e:", u":", u""},
      {u"ANSI", u":", u"ANSI"},
      {u"", u":", u""},
      {u"a:b:c", u":", u"b:c"},
      {u":x", u":", u"x"},
      {u"key=>value=>more", u"=>", u"value=>more"},
      {u"key=>", u"=>", u""},
      {u"a=b", u"=>", u"a=b"},
      {u"abc", u"", u"abc"},
      {u"ab", u"abc", u"ab"},
  };
  for (const TextAfterRow& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text) + " / " + testing::PrintToString(row.separator));
    EXPECT_EQ(TextAfter(row.text, row.separator), row.expected);
  }
}

struct SplitRow {
  std::u16string text;
  TStringList pieces;
};

TEST(StrUtils, SplitTextAtDots) {
  const SplitRow rows[] = {
      {u"a.b.c", {u"a", u"b", u"c"}},
      {u"a..b", {u"a", u"b"}},
      {u".a", {u"a"}},
      {u"...a", {u"a"}},
      {u"a.", {u"a"}},
      {u"a..", {u"a", u""}},
      {u"a...", {u"a", u""}},
      {u".", {u""}},
      {u"..", {u""}},
      {u"...", {u""}},
      {u"", {}},
      {u"a", {u"a"}},
      {u"1.2.3.4", {u"1", u"2", u"3", u"4"}},
      {u"1.2.3.4.", {u"1", u"2", u"3", u"4"}},
      {u"1.2.3.4..", {u"1", u"2", u"3", u"4", u""}},
      {u".1..2.", {u"1", u"2"}},
      {u"\u012e.x", {u"\u012e", u"x"}}, // low byte of U+012E is '.'
  };
  for (const SplitRow& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    TStringList list;
    EXPECT_EQ(SplitText(row.text, u'.', &list), static_cast<int>(row.pieces.size()));
    EXPECT_EQ(list, row.pieces);
  }
}

TEST(StrUtils, SplitTextAppendsToWhatTheListHolds) {
  TStringList list = {u"x", u"y"};
  EXPECT_EQ(SplitText(u"a.b.c", u'.', &list), 3);
  EXPECT_EQ(list, (TStringList{u"x", u"y", u"a", u"b", u"c"}));
  EXPECT_EQ(SplitText(u"..", u'.', &list), 1);
  EXPECT_EQ(list, (TStringList{u"x", u"y", u"a", u"b", u"c", u""}));
}

TEST(StrUtils, SplitTextWithoutAListAddsNothing) {
  EXPECT_EQ(SplitText(u"a.b", u'.', nullptr), 0);
}

TEST(StrUtils, SplitTextAtOtherSeparators) {
  TStringList list;
  EXPECT_EQ(SplitText(u"::1:ff", u':', &list), 2);
  EXPECT_EQ(list, (TStringList{u"1", u"ff"}));
  list.clear();
  EXPECT_EQ(SplitText(u"a.b", u':', &list), 1);
  EXPECT_EQ(list, (TStringList{u"a.b"}));
}

TEST(StrUtils, TrimControlWide) {
  const struct {
    std::u16string text;
    std::u16string expected;
  } rows[] = {
      {u"", u""},
      {u" \t\r\n", u""},
      {std::u16string(u"\0 a b \x1f", 7), u"a b"},
      {u"\u00a0x\u00a0", u"\u00a0x\u00a0"}, // no-break space is above 32
      {u"\u0120x\u0109", u"\u0120x\u0109"}, // low bytes are blank and tab
      {u"!x!", u"!x!"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    EXPECT_EQ(TrimControl(std::u16string_view(row.text)), row.expected);
  }
}

TEST(StrUtils, TrimControlNarrow) {
  const struct {
    std::string text;
    std::string expected;
  } rows[] = {
      {"", ""},
      {" \t\r\n", ""},
      {std::string("\0 a b \x1f", 7), "a b"},
      {"\xa0x\xe9", "\xa0x\xe9"}, // bytes above 127 are kept however char is signed
      {" \x80 ", "\x80"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    EXPECT_EQ(TrimControl(std::string_view(row.text)), row.expected);
  }
}

TEST(StrUtils, SameTextAsciiWide) {
  const struct {
    std::u16string a;
    std::u16string b;
    bool expected;
  } rows[] = {
      {u"", u"", true},
      {u"LocalHost", u"localhost", true},
      {u"AZaz", u"azAZ", true},
      {u"abc", u"abcd", false},
      {u"[", u"{", false}, // differ by 32, not letters
      {u"@", u"`", false},
      {u"\u00e9", u"\u00c9", false}, // only ASCII letters fold
      {u"\u0161", u"\u0141", false}, // low bytes are 'a' and 'A'
      {u"\u0161", u"a", false},
      {u"x\u20ac", u"X\u20ac", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.a) + " / " + testing::PrintToString(row.b));
    EXPECT_EQ(SameTextAscii(std::u16string_view(row.a), std::u16string_view(row.b)), row.expected);
    EXPECT_EQ(SameTextAscii(std::u16string_view(row.b), std::u16string_view(row.a)), row.expected);
  }
}

TEST(StrUtils, SameTextAsciiNarrow) {
  const struct {
    std::string a;
    std::string b;
    bool expected;
  } rows[] = {
      {"", "", true},           {"HOSTS", "hosts", true}, {"hosts", "host", false},
      {"[", "{", false},        {"\xe9", "\xc9", false},  {"\xe9", "\xe9", true},
      {"a\x80", "A\x80", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.a) + " / " + testing::PrintToString(row.b));
    EXPECT_EQ(SameTextAscii(std::string_view(row.a), std::string_view(row.b)), row.expected);
  }
}

TEST(StrUtils, WidenAndNarrowLatin1) {
  EXPECT_EQ(WidenLatin1(""), u"");
  EXPECT_EQ(WidenLatin1("hosts"), u"hosts");
  EXPECT_EQ(WidenLatin1("\xe9\xff\x80"), u"\u00e9\u00ff\u0080");
  EXPECT_EQ(WidenLatin1(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));

  EXPECT_EQ(NarrowLatin1(u""), "");
  EXPECT_EQ(NarrowLatin1(u"hosts"), "hosts");
  EXPECT_EQ(NarrowLatin1(u"\u00e9\u00ff\u0100A\u20ac"), "\xe9\xff?A?");
  EXPECT_EQ(NarrowLatin1(u"\U0001F600"), "??"); // each half of the pair
  const std::string all = [] {
    std::string bytes;
    for (int c = 0; c < 256; ++c)
      bytes.push_back(static_cast<char>(c));
    return bytes;
  }();
  EXPECT_EQ(NarrowLatin1(WidenLatin1(all)), all);
}
