#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Settings.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

namespace {

// A window of 300 x 200 on a 1024 x 768 desktop unless a test says otherwise.
class TFakeWindow : public TSettingsWindow {
public:
  int Top() const override { return FTop; }
  void SetTop(int value) override { FTop = value; }
  int Left() const override { return FLeft; }
  void SetLeft(int value) override { FLeft = value; }
  int Width() const override { return 300; }
  int Height() const override { return 200; }
  int HowSave() const override {
    if (FFailHowSave) throw EOutOfResources("radio group gone");
    return FHowSave;
  }
  void SetHowSave(int value) override { FHowSave = value; }

  int FTop = 112, FLeft = 354, FHowSave = 0;
  bool FFailHowSave = false;
};

constexpr TDesktopExtent Desktop{1024, 768};

std::string Str(const std::vector<unsigned char>& b) { return {b.begin(), b.end()}; }
void WriteText(const std::filesystem::path& p, const std::string& s) {
  WriteAllBytes(p, std::vector<unsigned char>(s.begin(), s.end()));
}

TEST(Settings, NoFileOpensAtTheOriginWithTheCurrentMethodAndCloseWritesThreeKeysInTwoSections) {
  TTempDir dir;
  TFakeWindow w;
  LoadWindowSettings(dir / "Tavex.ini", w, Desktop);
  EXPECT_EQ(w.FTop, 0);
  EXPECT_EQ(w.FLeft, 0);
  EXPECT_EQ(w.FHowSave, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "Tavex.ini"));
  w.FTop = 20;
  w.FLeft = -5;
  w.FHowSave = 2;
  SaveWindowSettings(dir / "Tavex.ini", w);
  EXPECT_EQ(Str(ReadAllBytes(dir / "Tavex.ini")), "[Window]\r\nTop=20\r\nLeft=-5\r\n\r\n[Config]\r\nHowSave=2\r\n\r\n");
}

struct TPositionCase {
  int Left, Top;
  int ExpectedLeft, ExpectedTop;
};

class SettingsPosition : public testing::TestWithParam<TPositionCase> {};

TEST_P(SettingsPosition, KeepsPositionsThatLeaveTenPixelsOnTheDesktop) {
  const TPositionCase& c = GetParam();
  TTempDir dir;
  WriteText(dir / "t.ini", "[Window]\r\nTop=" + std::to_string(c.Top) + "\r\nLeft=" + std::to_string(c.Left) + "\r\n");
  TFakeWindow w;
  LoadWindowSettings(dir / "t.ini", w, Desktop);
  EXPECT_EQ(w.FLeft, c.ExpectedLeft);
  EXPECT_EQ(w.FTop, c.ExpectedTop);
}

INSTANTIATE_TEST_SUITE_P(Edges, SettingsPosition,
                         testing::Values(TPositionCase{1014, 5, 1014, 5},    // W - 10 kept
                                         TPositionCase{1015, 5, 0, 5},       // W - 9 reset
                                         TPositionCase{-290, 5, -290, 5},    // 10 - width kept
                                         TPositionCase{-291, 5, 0, 5},       // one further reset
                                         TPositionCase{5, 758, 5, 758},      // H - 10 kept
                                         TPositionCase{5, 759, 5, 0},        // H - 9 reset
                                         TPositionCase{5, -190, 5, -190},    // 10 - height kept
                                         TPositionCase{5, -191, 5, 0},       // one further reset
                                         TPositionCase{5, 100000, 5, 0},     // far below any desktop
                                         TPositionCase{-2000, -2000, 0, 0}));  // a monitor left of 0 does not count

struct THowSaveCase {
  const char* Stored;  // null: no key
  int Current;
  int Expected;
};

class SettingsHowSave : public testing::TestWithParam<THowSaveCase> {};

TEST_P(SettingsHowSave, ClampsToTheRadioGroupOrKeepsTheCurrentIndex) {
  const THowSaveCase& c = GetParam();
  TTempDir dir;
  WriteText(dir / "h.ini", c.Stored ? std::string("[Config]\r\nHowSave=") + c.Stored + "\r\n" : "[Config]\r\n");
  TFakeWindow w;
  w.FHowSave = c.Current;
  LoadWindowSettings(dir / "h.ini", w, Desktop);
  EXPECT_EQ(w.FHowSave, c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Values, SettingsHowSave,
                         testing::Values(THowSaveCase{"7", 0, 2}, THowSaveCase{"-3", 0, -1}, THowSaveCase{"abc", 0, 0},
                                         THowSaveCase{"abc", 1, 1}, THowSaveCase{"0x2", 0, 2},
                                         THowSaveCase{"-1", 2, -1}, THowSaveCase{"1", 2, 1},
                                         THowSaveCase{nullptr, 1, 1}));

TEST(Settings, ClampRadioIndexKeepsMinusOneToCountMinusOne) {
  EXPECT_EQ(ClampRadioIndex(-5, 3), -1);
  EXPECT_EQ(ClampRadioIndex(-1, 3), -1);
  EXPECT_EQ(ClampRadioIndex(2, 3), 2);
  EXPECT_EQ(ClampRadioIndex(3, 3), 2);
  EXPECT_EQ(ClampRadioIndex(1, 0), -1);
}

TEST(Settings, ARunKeepsTheSectionOtherAndLosesTheComment) {
  TTempDir dir;
  WriteText(dir / "o.ini", "; written by hand\r\n[Other]\r\nName=x\r\n[Window]\r\nTop=1\r\nLeft=2\r\n");
  TFakeWindow w;
  LoadWindowSettings(dir / "o.ini", w, Desktop);
  EXPECT_EQ(w.FTop, 1);
  EXPECT_EQ(w.FLeft, 2);
  SaveWindowSettings(dir / "o.ini", w);
  EXPECT_EQ(Str(ReadAllBytes(dir / "o.ini")),
            "[Other]\r\nName=x\r\n\r\n[Window]\r\nTop=1\r\nLeft=2\r\n\r\n[Config]\r\nHowSave=0\r\n\r\n");
}

TEST(Settings, AUtf8FileWithAMarkIsWrittenBackWithTheMark) {
  TTempDir dir;
  WriteText(dir / "u.ini", "\xEF\xBB\xBF[Config]\r\nHowSave=1\r\n");
  TFakeWindow w;
  LoadWindowSettings(dir / "u.ini", w, Desktop);
  EXPECT_EQ(w.FHowSave, 1);
  SaveWindowSettings(dir / "u.ini", w);
  EXPECT_EQ(Str(ReadAllBytes(dir / "u.ini")),
            "\xEF\xBB\xBF[Config]\r\nHowSave=1\r\n\r\n[Window]\r\nTop=0\r\nLeft=0\r\n\r\n");
}

TEST(Settings, AFailureWhileTakingTheValuesStillWritesTheFileAndIsRaised) {
  TTempDir dir;
  WriteText(dir / "f.ini", "[Config]\r\nHowSave=1\r\n");
  TFakeWindow w;
  w.FTop = 3;
  w.FLeft = 4;
  w.FFailHowSave = true;
  EXPECT_THROW(SaveWindowSettings(dir / "f.ini", w), EOutOfResources);
  EXPECT_EQ(Str(ReadAllBytes(dir / "f.ini")), "[Config]\r\nHowSave=1\r\n\r\n[Window]\r\nTop=3\r\nLeft=4\r\n\r\n");
}

// The close is refused with the file layer's text: the settings file's path, then the
// system's reason; nothing is made on the way.
TEST(Settings, AnUnwritableFileRaisesTheCreateErrorWithPathAndReason) {
  TTempDir dir;
  TFakeWindow w;
  const std::filesystem::path name = dir / "missing" / "x.ini";
  try {
    SaveWindowSettings(name, w);
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    const std::string prefix = "ファイル \"" + PathToUtf8(name) + "\" を作成できません。";
    const std::string message = e.what();
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size()) << "no reason given";
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(Settings, IniFileNameReplacesOnlyTheLastExtension) {
  EXPECT_EQ(IniFileNameFor(std::filesystem::path("tools") / "conv.exe"), std::filesystem::path("tools") / "conv.ini");
  EXPECT_EQ(IniFileNameFor(std::filesystem::path("a.b.exe")), std::filesystem::path("a.b.ini"));
  EXPECT_EQ(IniFileNameFor(std::filesystem::path("d") / "README"), std::filesystem::path("d") / "README.ini");
}

// Where plug-ins run: the section older files lack keeps the build's defaults, and so do
// values out of range and a file that cannot be read (the window must start all the same).
TEST(Settings, PluginsSectionChoosesTheHostAndItsTimeout) {
  struct TCase {
    const char* Text;  // null: no file
    TPluginHostSettings Defaults;
    bool OutOfProcess;
    int Timeout;
  } cases[] = {
      {nullptr, {true, 60}, true, 60},
      {"[Window]\r\nTop=1\r\n", {false, 60}, false, 60},
      {"[Plugins]\r\nOutOfProcess=1\r\nTimeout=5\r\n", {false, 60}, true, 5},
      {"[Plugins]\r\nOutOfProcess=0\r\n", {true, 60}, false, 60},
      {"[Plugins]\r\nOutOfProcess=2\r\nTimeout=0\r\n", {true, 60}, true, 60},
      {"[Plugins]\r\nOutOfProcess=yes\r\nTimeout=3601\r\n", {false, 30}, false, 30},
      {"[Plugins]\r\nTimeout=3600\r\n", {false, 60}, false, 3600},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text ? c.Text : "no file");
    TTempDir dir;
    if (c.Text) WriteText(dir / "Tavex.ini", c.Text);
    const TPluginHostSettings got = LoadPluginHostSettings(dir / "Tavex.ini", c.Defaults);
    EXPECT_EQ(got.OutOfProcess, c.OutOfProcess);
    EXPECT_EQ(got.TimeoutSeconds, c.Timeout);
  }
  // A folder where the file should be cannot be read: the defaults.
  TTempDir dir;
  std::filesystem::create_directory(dir / "Tavex.ini");
  EXPECT_TRUE(LoadPluginHostSettings(dir / "Tavex.ini", {true, 7}).OutOfProcess);
  EXPECT_EQ(LoadPluginHostSettings(dir / "Tavex.ini", {true, 7}).TimeoutSeconds, 7);
}

// The batch's switches: older files lack the section and give the old behaviour; a value
// other than 0 or 1 keeps that switch's default; a save keeps the other sections.
TEST(Settings, BatchSectionSwitchesEachSettingOnItsOwn) {
  struct TCase {
    const char* Text;  // null: no file
    TBatchSettings Expected;
  } cases[] = {
      {nullptr, {}},
      {"[Config]\r\nHowSave=2\r\n", {}},
      {"[Batch]\r\nSubfolders=1\r\n", {true, false, false, false}},
      {"[Batch]\r\nKeepGoing=1\r\n", {false, true, false, false}},
      {"[Batch]\r\nKeepFileDate=1\r\n", {false, false, true, false}},
      {"[Batch]\r\nKeepMetadata=1\r\n", {false, false, false, true}},
      {"[Batch]\r\nSubfolders=2\r\nKeepGoing=yes\r\nKeepFileDate=-1\r\nKeepMetadata=1\r\n",
       {false, false, false, true}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text ? c.Text : "no file");
    TTempDir dir;
    if (c.Text) WriteText(dir / "Tavex.ini", c.Text);
    EXPECT_EQ(LoadBatchSettings(dir / "Tavex.ini"), c.Expected);
  }
  TTempDir dir;
  std::filesystem::create_directory(dir / "Tavex.ini");
  EXPECT_EQ(LoadBatchSettings(dir / "Tavex.ini"), TBatchSettings{});

  WriteText(dir / "b.ini", "[Config]\r\nHowSave=1\r\n");
  SaveBatchSettings(dir / "b.ini", {true, false, true, false});
  EXPECT_EQ(Str(ReadAllBytes(dir / "b.ini")),
            "[Config]\r\nHowSave=1\r\n\r\n[Batch]\r\nSubfolders=1\r\nKeepGoing=0\r\nKeepFileDate=1\r\n"
            "KeepMetadata=0\r\n\r\n");
  EXPECT_EQ(LoadBatchSettings(dir / "b.ini"), (TBatchSettings{true, false, true, false}));
}

}  // namespace
