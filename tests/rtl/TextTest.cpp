#include <gtest/gtest.h>

#include "rtl/Text.h"

namespace {

TEST(Utf, RoundTripsThroughUtf16IncludingSurrogatePairs) {
  const std::string text = "C:\\写真\\猫.bmp 𠮷";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide.size(), 14u);  // 𠮷 takes two units
  EXPECT_EQ(wide[3], u'写');
  EXPECT_EQ(Utf16ToUtf8(wide), text);
}

struct TBadUtf8 {
  const char* Name;
  std::string Bytes;
  std::u16string Expected;
};

class BadUtf8 : public ::testing::TestWithParam<TBadUtf8> {};

TEST_P(BadUtf8, BecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16(GetParam().Bytes), GetParam().Expected);
  EXPECT_FALSE(IsValidUtf8(GetParam().Bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadUtf8,
    ::testing::Values(TBadUtf8{"LoneContinuation", "a\x80z", u"a\uFFFDz"},
                      TBadUtf8{"CutAtEnd", "a\xE7\x8C", u"a\uFFFD\uFFFD"},
                      TBadUtf8{"Overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      TBadUtf8{"Surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                      TBadUtf8{"Latin1", "caf\xE9", u"caf\uFFFD"}),
    [](const auto& p) { return p.param.Name; });

TEST(Utf, UnpairedSurrogateBecomesReplacement) {
  const std::u16string lone{u'a', char16_t(0xD800), u'b'};
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b");
  EXPECT_TRUE(IsValidUtf8("a\xEF\xBF\xBD" "b"));
}

TEST(AsciiCase, FoldsOnlyAscii) {
  EXPECT_EQ(AsciiLower("JPG.Ä"), "jpg.Ä");
  EXPECT_TRUE(SameTextAscii("HowSave", "HOWSAVE"));
  EXPECT_FALSE(SameTextAscii("Top", "Tops"));
}

TEST(AnsiCodePage, AsciiPassesUnchanged) {
  bool replaced = true;
  EXPECT_EQ(Utf8ToAnsi("plain.bmp", &replaced), "plain.bmp");
  EXPECT_FALSE(replaced);
  EXPECT_EQ(AnsiToUtf8("plain.bmp"), "plain.bmp");
}

TEST(AnsiCodePage, ReportsWhetherACharacterWasReplaced) {
  // No code page holds every one of these scripts at once, except UTF-8 itself.
  const std::string mixed = "猫 Ω ж ا";
  bool replaced = false;
  const std::string ansi = Utf8ToAnsi(mixed, &replaced);
  if (replaced) {
    EXPECT_NE(ansi.find('?'), std::string::npos);
  } else {
    EXPECT_EQ(AnsiToUtf8(ansi), mixed);  // a UTF-8 code page keeps everything
  }
}

}  // namespace
