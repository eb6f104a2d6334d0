#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/File.h"
#include "rtl/IniFile.h"
#include "support/TempDir.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string Str(const std::vector<unsigned char>& b) { return {b.begin(), b.end()}; }

TEST(IniFile, ReadsTrimmedEntriesIgnoringCommentsBlankLinesAndEntriesBeforeTheFirstSection) {
  TMemIniFile ini("unused.ini");
  ini.SetText("orphan=1\r\n"
              "  ; a comment\r\n"
              "\t[ Window ]  \r\n"
              "   Top   =   12  \r\n"
              "Left=  -4\n"
              "path = a = b\r"
              "empty=\r\n"
              ";Top=99\r\n"
              "[Config]\r\n"
              "HowSave=2");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Window", "Config"}));
  EXPECT_EQ(ini.ReadString("Window", "Top", "x"), "12");
  EXPECT_EQ(ini.ReadString("Window", "Left", "x"), "-4");
  EXPECT_EQ(ini.ReadString("Window", "path", "x"), "a = b");  // only the first "=" splits
  EXPECT_EQ(ini.ReadString("Window", "empty", "x"), "");
  EXPECT_TRUE(ini.ValueExists("Window", "empty"));
  EXPECT_EQ(ini.ReadString("Window", "orphan", "none"), "none");
  EXPECT_EQ(ini.ReadInteger("Config", "HowSave", -7), 2);
}

TEST(IniFile, NamesMatchWithoutRegardToCaseAndTheFirstOfARepeatedNameWins) {
  TMemIniFile ini("unused.ini");
  ini.SetText("[window]\r\nTOP=1\r\ntop=2\r\n[WINDOW]\r\nTop=3\r\n");
  EXPECT_EQ(ini.ReadInteger("Window", "Top", 0), 1);
  EXPECT_TRUE(ini.SectionExists("wInDoW"));
  EXPECT_FALSE(ini.SectionExists("Windows"));
  EXPECT_FALSE(ini.ValueExists("Window", "To"));
}

struct TIntCase {
  const char* Text;
  int Expected;  // the default, 555, when the text does not convert
};

class IniFileInteger : public testing::TestWithParam<TIntCase> {};

TEST_P(IniFileInteger, ConvertsOrFallsBackToTheDefault) {
  TMemIniFile ini("unused.ini");
  ini.SetText(std::string("[S]\r\nK=") + GetParam().Text + "\r\n");
  EXPECT_EQ(ini.ReadInteger("S", "K", 555), GetParam().Expected) << '"' << GetParam().Text << '"';
}

INSTANTIATE_TEST_SUITE_P(Values, IniFileInteger,
                         testing::Values(TIntCase{"7", 7}, TIntCase{"-3", -3}, TIntCase{"+5", 5}, TIntCase{"0", 0},
                                         TIntCase{"abc", 555}, TIntCase{"", 555}, TIntCase{"1 2", 555},
                                         TIntCase{"12x", 555}, TIntCase{"0x2", 2}, TIntCase{"0X1f", 31},
                                         TIntCase{"0x", 555}, TIntCase{"0xg", 555}, TIntCase{"$10", 16},
                                         TIntCase{"-$10", -16}, TIntCase{"$", 555}, TIntCase{"$FFFFFFFF", -1},
                                         TIntCase{"$100000000", 555}, TIntCase{"2147483647", 2147483647},
                                         TIntCase{"2147483648", 555}, TIntCase{"-2147483648", -2147483647 - 1},
                                         TIntCase{"-2147483649", 555}, TIntCase{"- 1", 555}, TIntCase{"--1", 555},
                                         TIntCase{"99999999999999999999", 555}));

TEST(IniFile, AFileWrittenFromScratchHasTwoSectionsEachFollowedByAnEmptyLineInAnsiWithoutAMark) {
  TTempDir dir;
  TMemIniFile ini(dir / "new.ini");
  EXPECT_EQ(ini.Encoding(), TIniEncoding::ieAnsi);
  ini.WriteInteger("Window", "Top", 5);
  ini.WriteInteger("Window", "Left", -7);
  ini.WriteInteger("Config", "HowSave", 1);
  ini.UpdateFile();
  EXPECT_EQ(Str(ReadAllBytes(dir / "new.ini")), "[Window]\r\nTop=5\r\nLeft=-7\r\n\r\n[Config]\r\nHowSave=1\r\n\r\n");
}

TEST(IniFile, RewritingKeepsSectionAndKeyOrderAndBareLinesButDropsCommentsBlanksAndOrphans) {
  TTempDir dir;
  WriteAllBytes(dir / "a.ini", Bytes("stray=1\n"
                                     "[Config]\n"
                                     "howsave=2\n"
                                     "\n"
                                     "[Other]\n"
                                     "; keep me?\n"
                                     "  x = 1  \n"
                                     "  just words  \n"
                                     "[Window]\n"
                                     "Left=3\n"));
  TMemIniFile ini(dir / "a.ini");
  ini.WriteInteger("Window", "Top", 8);
  ini.WriteInteger("Window", "Left", 9);
  ini.WriteInteger("Config", "HowSave", 0);
  ini.UpdateFile();
  EXPECT_EQ(Str(ReadAllBytes(dir / "a.ini")), "[Config]\r\nHowSave=0\r\n\r\n"
                                              "[Other]\r\nx=1\r\njust words\r\n\r\n"
                                              "[Window]\r\nLeft=9\r\nTop=8\r\n\r\n");
}

TEST(IniFile, AMissingSectionGoesAtTheEndAndARepeatedSectionIsWrittenBackTwice) {
  TMemIniFile ini("unused.ini");
  ini.SetText("[A]\r\nk=1\r\n[B]\r\n[a]\r\nk=2\r\n");
  ini.WriteString("a", "k", "v");
  ini.WriteString("C", "n", "w");
  EXPECT_EQ(ini.Text(), "[A]\r\nk=v\r\n\r\n[B]\r\n\r\n[a]\r\nk=2\r\n\r\n[C]\r\nn=w\r\n\r\n");
}

struct TEncodingCase {
  const char* Name;
  std::string Mark;
  TIniEncoding Encoding;
  std::string (*Encode)(const std::string& ascii);
};

std::string Same(const std::string& s) { return s; }
std::string Le(const std::string& s) {
  std::string out;
  for (const char c : s) out += std::string{c, '\0'};
  return out;
}
std::string Be(const std::string& s) {
  std::string out;
  for (const char c : s) out += std::string{'\0', c};
  return out;
}

class IniFileEncoding : public testing::TestWithParam<TEncodingCase> {};

TEST_P(IniFileEncoding, TheByteOrderMarkSelectsTheEncodingAndIsWrittenBack) {
  const TEncodingCase& c = GetParam();
  TTempDir dir;
  WriteAllBytes(dir / "e.ini", Bytes(c.Mark + c.Encode("[Window]\r\nTop=42\r\n")));
  TMemIniFile ini(dir / "e.ini");
  EXPECT_EQ(ini.Encoding(), c.Encoding);
  EXPECT_EQ(ini.ReadInteger("Window", "Top", 0), 42);
  ini.WriteInteger("Window", "Left", 3);
  ini.UpdateFile();
  EXPECT_EQ(Str(ReadAllBytes(dir / "e.ini")), c.Mark + c.Encode("[Window]\r\nTop=42\r\nLeft=3\r\n\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Marks, IniFileEncoding,
                         testing::Values(TEncodingCase{"Utf8", "\xEF\xBB\xBF", TIniEncoding::ieUtf8, Same},
                                         TEncodingCase{"Utf16LE", "\xFF\xFE", TIniEncoding::ieUtf16LE, Le},
                                         TEncodingCase{"Utf16BE", "\xFE\xFF", TIniEncoding::ieUtf16BE, Be},
                                         TEncodingCase{"Ansi", "", TIniEncoding::ieAnsi, Same}),
                         [](const testing::TestParamInfo<TEncodingCase>& i) { return i.param.Name; });

TEST(IniFile, JapaneseTextSurvivesUtf8AndUtf16Files) {
  const std::string jp = "\xE7\x94\xBB\xE5\x83\x8F";  // 画像
  TTempDir dir;
  WriteAllBytes(dir / "u8.ini", Bytes("\xEF\xBB\xBF[" + jp + "]\r\n" + jp + "=" + jp + "\r\n"));
  // 画 is U+753B, 像 is U+50CF.
  WriteAllBytes(dir / "u16.ini", Bytes(std::string("\xFF\xFE[\0\x3B\x75\xCF\x50]\0\r\0\n\0=\0\x31\0", 18)));
  TMemIniFile u8(dir / "u8.ini");
  EXPECT_EQ(u8.ReadString(jp, jp, ""), jp);
  u8.UpdateFile();
  EXPECT_EQ(Str(ReadAllBytes(dir / "u8.ini")), "\xEF\xBB\xBF[" + jp + "]\r\n" + jp + "=" + jp + "\r\n\r\n");
  TMemIniFile u16(dir / "u16.ini");
  EXPECT_EQ(u16.ReadSections(), std::vector<std::string>{jp});
  EXPECT_EQ(u16.ReadString(jp, "", "?"), "1");
}

TEST(IniFile, AFolderInThePlaceOfTheFileReadsAsEmptyAndCannotBeWritten) {
  TTempDir dir;
  std::filesystem::create_directory(dir / "d.ini");
  TMemIniFile ini(dir / "d.ini");
  EXPECT_TRUE(ini.ReadSections().empty());
  ini.WriteInteger("Window", "Top", 1);
  EXPECT_THROW(ini.UpdateFile(), EFCreateError);
}

TEST(IniFile, WritingIntoAMissingFolderRaisesTheCreateErrorNamingTheFile) {
  TTempDir dir;
  TMemIniFile ini(dir / "no" / "such.ini");
  ini.WriteInteger("Window", "Top", 1);
  try {
    ini.UpdateFile();
    FAIL() << "no create error";
  } catch (const EFCreateError& e) {
    EXPECT_NE(std::string(e.what()).find("such.ini"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "no"));
}

// A write that fails half-way (a full disk) must not cost the settings already stored:
// the new text goes beside the file and replaces it only once it is complete.
TEST(IniFile, AFailedUpdateKeepsTheOldFileWhole) {
  TTempDir dir;
  const std::string old = "[Window]\r\nTop=1\r\nLeft=2\r\n\r\n";
  WriteAllBytes(dir / "s.ini", Bytes(old));
  TMemIniFile ini(dir / "s.ini");
  ini.WriteInteger("Config", "HowSave", 2);
  SetFileFault([](TFileStep step) { return std::string(step == TFileStep::Write ? "No space left on device" : ""); });
  EXPECT_THROW(ini.UpdateFile(), EFCreateError);
  SetFileFault({});
  EXPECT_EQ(Str(ReadAllBytes(dir / "s.ini")), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()), 1);
}

}  // namespace
