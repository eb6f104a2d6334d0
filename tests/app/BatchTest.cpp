#include <gtest/gtest.h>

#include "app/SaveFileName.h"
#include "rtl/Exception.h"
#include "app/BatchTestSupport.h"
#include "support/TempDir.h"

namespace {

// A conversion that records its steps and fails where told to.
struct TScript {
  std::vector<std::string> Steps;
  std::string FailLoadOf;
  int Alive = 0;
};

class TFakeConversion : public TFileConversion {
public:
  explicit TFakeConversion(TScript& script) : FScript(script) { ++FScript.Alive; }
  ~TFakeConversion() override {
    --FScript.Alive;
    FScript.Steps.push_back("release");
  }
  void Load(const std::filesystem::path& source) override {
    FScript.Steps.push_back("load " + PathToUtf8(source.filename()));
    if (PathToUtf8(source.filename()) == FScript.FailLoadOf) throw EInvalidGraphic("Susie Plugins could not decode");
  }
  void Save(const std::filesystem::path& output) override {
    FScript.Steps.push_back("save " + PathToUtf8(output.filename()));
    WriteAllBytes(output, {0xFF, 0xD8});
  }

private:
  TScript& FScript;
};

TFileConversionFactory Factory(TScript& script) {
  return [&script] { return std::make_unique<TFakeConversion>(script); };
}

class BatchDriver : public ::testing::Test {
protected:
  TTempDir Dir;
  TRecordingUI UI;
  TScript Script;
  std::filesystem::path File(const char* name) {
    WriteAllBytes(Dir / name, {1, 2, 3});
    return Dir / name;
  }
};

TEST_F(BatchDriver, ConvertsEveryFileInOrder) {
  const auto a = File("a.bmp"), b = File("b.bmp");
  RunBatch(UI, {a, b}, Factory(Script));
  EXPECT_EQ(UI.Calls, (std::vector<std::string>{"max 2", "position 1", "pump", "saved a.bmp -> _a.jpg", "position 2",
                                                 "pump", "saved b.bmp -> _b.jpg", "position 0", "foreground"}));
  EXPECT_EQ(Script.Steps,
            (std::vector<std::string>{"load a.bmp", "save _a.jpg", "release", "load b.bmp", "save _b.jpg", "release"}));
  EXPECT_TRUE(std::filesystem::exists(Dir / "_a.jpg"));
  EXPECT_TRUE(std::filesystem::exists(Dir / "_b.jpg"));
}

TEST_F(BatchDriver, NewNameTwiceGivesTwoUnderscores) {
  const auto a = File("a.bmp");
  RunBatch(UI, {a}, Factory(Script));
  RunBatch(UI, {a}, Factory(Script));
  ASSERT_EQ(UI.Saved.size(), 2u);
  EXPECT_EQ(UI.Saved[0], Dir / "_a.jpg");
  EXPECT_EQ(UI.Saved[1], Dir / "__a.jpg");
}

// Method 2 with no usable folder: the beep and its message, and nothing else at all.
TEST_F(BatchDriver, InvalidDestinationStopsBeforeAnything) {
  const auto a = File("a.bmp");
  UI.Method = smFolder;
  for (const std::string& folder : {std::string(), PathToUtf8(a), PathToUtf8(Dir / "missing")}) {
    UI.Calls.clear();
    UI.Folder = folder;
    RunBatch(UI, {a}, Factory(Script));
    EXPECT_EQ(UI.Calls, (std::vector<std::string>{"beep 正しい保存先フォルダを指定してください"})) << folder;
  }
  EXPECT_TRUE(Script.Steps.empty());
}

TEST_F(BatchDriver, FolderWithoutTrailingDelimiter) {
  const auto a = File("a.bmp");
  std::filesystem::create_directory(Dir / "out");
  UI.Method = smFolder;
  UI.Folder = PathToUtf8(Dir / "out");
  RunBatch(UI, {a}, Factory(Script));
  ASSERT_EQ(UI.Saved.size(), 1u);
  EXPECT_EQ(std::filesystem::weakly_canonical(UI.Saved[0]), std::filesystem::weakly_canonical(Dir / "out" / "a.jpg"));
  EXPECT_TRUE(std::filesystem::exists(Dir / "out" / "a.jpg"));
}

// The second of three cannot be decoded: the first is written, the third never read,
// the bar stays at 2 and the window is not brought forward.
TEST_F(BatchDriver, FirstFailureEndsTheBatch) {
  const auto a = File("a.bmp"), b = File("b.bmp"), c = File("c.bmp");
  Script.FailLoadOf = "b.bmp";
  EXPECT_THROW(RunBatch(UI, {a, b, c}, Factory(Script)), EInvalidGraphic);
  EXPECT_EQ(UI.Calls, (std::vector<std::string>{"max 3", "position 1", "pump", "saved a.bmp -> _a.jpg", "position 2",
                                                 "pump"}));
  EXPECT_EQ(Script.Steps,
            (std::vector<std::string>{"load a.bmp", "save _a.jpg", "release", "load b.bmp", "release"}));
  EXPECT_EQ(Script.Alive, 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "_a.jpg"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "_c.jpg"));
}

// A change of method during the pump applies to that very file (it is read afresh).
TEST_F(BatchDriver, MethodIsReadAfreshForEveryFile) {
  const auto a = File("a.bmp"), b = File("b.bmp");
  UI.OnPump = [&](int file) { UI.Method = file == 0 ? smNewName : smOverwrite; };
  RunBatch(UI, {a, b}, Factory(Script));
  ASSERT_EQ(UI.Saved.size(), 2u);
  EXPECT_EQ(UI.Saved[0].filename(), "_a.jpg");
  EXPECT_EQ(UI.Saved[1].filename(), "b.jpg");
}

// With no method selected the first file has no output name: saving under the empty
// name is attempted (and fails in the real conversion).
TEST_F(BatchDriver, NoMethodSavesUnderThePreviousName) {
  const auto a = File("a.bmp"), b = File("b.bmp");
  UI.OnPump = [&](int file) { UI.Method = file == 0 ? smOverwrite : -1; };
  RunBatch(UI, {a, b}, Factory(Script));
  ASSERT_EQ(UI.Saved.size(), 2u);
  EXPECT_EQ(UI.Saved[0].filename(), "a.jpg");
  EXPECT_EQ(UI.Saved[1].filename(), "a.jpg");
  UI.Saved.clear();
  UI.Method = -1;
  UI.OnPump = nullptr;
  Script.Steps.clear();
  RunBatch(UI, {a}, Factory(Script));
  EXPECT_EQ(Script.Steps, (std::vector<std::string>{"load a.bmp", "save ", "release"}));
}

TEST_F(BatchDriver, EmptyListStillEndsTheBatch) {
  RunBatch(UI, {}, Factory(Script));
  EXPECT_EQ(UI.Calls, (std::vector<std::string>{"max 0", "position 0", "foreground"}));
}

}  // namespace
