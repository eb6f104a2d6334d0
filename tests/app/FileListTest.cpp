#include "app/FileList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A block from code units written out in full, terminators included.
std::vector<std::uint8_t> Units(const std::u16string& units) {
  std::vector<std::uint8_t> block;
  for (const char16_t c : units) {
    block.push_back(static_cast<std::uint8_t>(c & 0xFF));
    block.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return block;
}

TEST(FileList, NamesGoOutLittleEndianEachEndedByAZeroAndTheListByOneMore) {
  // "C:\猫 1" then "d": 猫 is U+732B; an unpaired surrogate goes through as it is.
  const std::vector<std::uint8_t> block = EncodeFileList({u"C:\\\u732B 1", u"d\xD800"});
  const std::vector<std::uint8_t> expected = {'C', 0, ':', 0, '\\', 0, 0x2B, 0x73, ' ', 0, '1', 0, 0, 0,
                                              'd', 0, 0x00, 0xD8, 0,    0,   0,   0};
  EXPECT_EQ(block, expected);
  const auto back = DecodeFileList(block);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, (std::vector<std::u16string>{u"C:\\\u732B 1", u"d\xD800"}));
}

TEST(FileList, ListsThatCannotBeSentGiveNoBlock) {
  const std::u16string longest(MaxFileListNameChars, u'x');
  EXPECT_FALSE(EncodeFileList({longest}).empty());
  struct TCase {
    const char* What;
    std::vector<std::u16string> Names;
  };
  const TCase cases[] = {
      {"no name", {}},
      {"an empty name", {u"a", u""}},
      {"a name holding a 0", {std::u16string(u"a\0b", 3)}},
      {"a name one unit too long", {longest + u'x'}},
      // 33 longest names: 33 * 32768 + 1 units, over 2^20.
      {"a list too long", std::vector<std::u16string>(33, longest)},
  };
  for (const TCase& c : cases) EXPECT_TRUE(EncodeFileList(c.Names).empty()) << c.What;
  // 31 of them fit: 31 * 32768 + 1 units.
  EXPECT_EQ(EncodeFileList(std::vector<std::u16string>(31, longest)).size(), (31u * 32768u + 1u) * 2u);
}

TEST(FileList, OnlyAWellFormedBlockGivesNames) {
  struct TCase {
    const char* What;
    std::vector<std::uint8_t> Block;
    std::optional<std::vector<std::u16string>> Names;
  };
  std::vector<std::uint8_t> odd = Units(std::u16string(u"ab\0\0", 4));
  odd.push_back('c');
  const std::u16string longest(MaxFileListNameChars, u'x');
  const TCase cases[] = {
      {"one name", Units(std::u16string(u"a\0\0", 3)), std::vector<std::u16string>{u"a"}},
      {"three names", Units(std::u16string(u"a\0bc\0d\0\0", 8)), std::vector<std::u16string>{u"a", u"bc", u"d"}},
      {"the longest name", Units(longest + std::u16string(2, u'\0')), std::vector<std::u16string>{longest}},
      {"empty", {}, std::nullopt},
      {"half a code unit", {'a'}, std::nullopt},
      {"an odd byte after the list", odd, std::nullopt},
      {"no terminator", Units(u"abc"), std::nullopt},
      {"the name ended but not the list", Units(std::u16string(u"ab\0", 3)), std::nullopt},
      {"the last name unterminated", Units(std::u16string(u"a\0b", 3)), std::nullopt},
      {"only terminators", Units(std::u16string(3, u'\0')), std::nullopt},
      {"an empty first name", Units(std::u16string(u"\0a\0\0", 4)), std::nullopt},
      {"an empty name in the middle", Units(std::u16string(u"a\0\0b\0\0", 6)), std::nullopt},
      {"units after the list", Units(std::u16string(u"a\0\0b", 4)), std::nullopt},
      {"a zero after the list", Units(std::u16string(u"a\0\0\0", 4)), std::nullopt},
      {"a name one unit too long", Units(longest + u'x' + std::u16string(2, u'\0')), std::nullopt},
  };
  for (const TCase& c : cases) EXPECT_EQ(DecodeFileList(c.Block), c.Names) << c.What;
}

TEST(FileList, ABlockOneUnitOverTheLimitIsRefused) {
  // Well formed apart from its length: 2^20 + 1 units of names of 1000 and the ends.
  std::u16string units;
  while (units.size() + 1001 < MaxFileListChars) units += std::u16string(1000, u'y') + u'\0';
  units += std::u16string(MaxFileListChars - units.size() - 2, u'z') + std::u16string(2, u'\0');
  ASSERT_EQ(units.size(), MaxFileListChars);
  EXPECT_TRUE(DecodeFileList(Units(units)).has_value());
  units.insert(units.begin(), u'w');
  EXPECT_FALSE(DecodeFileList(Units(units)).has_value());
}

TEST(FileList, EveryCutOfAValidBlockIsRefused) {
  const std::vector<std::uint8_t> block = EncodeFileList({u"C:\\a.bmp", u"C:\\b.bmp"});
  for (std::size_t n = 0; n < block.size(); ++n)
    EXPECT_FALSE(DecodeFileList(std::span(block).first(n)).has_value()) << n;
}

}  // namespace
