#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "app/SaveFileName.h"
#include "rtl/Exception.h"
#include "app/BatchTestSupport.h"
#include "support/AllocationFaults.h"
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
    try {
      FScript.Steps.push_back("release");
    } catch (const std::bad_alloc&) {
      // Only under injected allocation failures, whose test does not read the steps.
    }
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
  RunBatch(UI, {a, b}, Factory(Script), 1);
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
  EXPECT_THROW(RunBatch(UI, {a, b, c}, Factory(Script), 1), EInvalidGraphic);
  EXPECT_EQ(UI.Calls, (std::vector<std::string>{"max 3", "position 1", "pump", "saved a.bmp -> _a.jpg", "position 2",
                                                 "pump"}));
  EXPECT_EQ(Script.Steps,
            (std::vector<std::string>{"load a.bmp", "save _a.jpg", "release", "load b.bmp", "release"}));
  EXPECT_EQ(Script.Alive, 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "_a.jpg"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "_c.jpg"));
}

// A change of method during the pump applies to that very file (it is read afresh),
// and not to the files loaded before it that are still waiting to be saved.
TEST_F(BatchDriver, MethodIsReadAfreshForEveryFile) {
  const auto a = File("a.bmp"), b = File("b.bmp");
  UI.OnPump = [&](int file) { UI.Method = file == 0 ? smNewName : smOverwrite; };
  for (const int jobs : {1, 2}) {
    UI.Saved.clear();
    RunBatch(UI, {a, b}, Factory(Script), jobs);
    ASSERT_EQ(UI.Saved.size(), 2u) << jobs;
    EXPECT_EQ(UI.Saved[0].filename(), "_a.jpg") << jobs;
    EXPECT_EQ(UI.Saved[1].filename(), "b.jpg") << jobs;
    std::filesystem::remove(Dir / "_a.jpg");
  }
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

// Encodes on the workers. The encoding of HoldName waits until HoldUntil later files are
// encoded, so the batch sees later files finish first; FailEncodeOf fails. Decoded
// counts the files loaded and not yet encoded.
struct TEncodeScript {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::string> Encoded;
  std::string HoldName;
  std::size_t HoldUntil = 1;
  std::string FailEncodeOf;
  int Decoded = 0;
  int MaxDecoded = 0;
  std::vector<std::filesystem::path> PreparedIn;  // the folders written ahead into
  bool SaveNothing = false;  // saves write no file
};

class TEncodingConversion : public TFakeConversion {
public:
  TEncodingConversion(TScript& script, TEncodeScript& encode) : TFakeConversion(script), FEncode(encode) {}
  void Load(const std::filesystem::path& source) override {
    FName = PathToUtf8(source.filename());
    TFakeConversion::Load(source);
    const std::lock_guard<std::mutex> lock(FEncode.Lock);
    FEncode.MaxDecoded = std::max(FEncode.MaxDecoded, ++FEncode.Decoded);
  }
  void Encode() override {
    std::unique_lock<std::mutex> lock(FEncode.Lock);
    if (FName == FEncode.HoldName)
      // A safety net only: a driver that waits for this file before giving later ones
      // to a worker would hang here.
      FEncode.Changed.wait_for(lock, std::chrono::seconds(20),
                               [&] { return FEncode.Encoded.size() >= FEncode.HoldUntil; });
    FEncode.Encoded.push_back(FName);
    --FEncode.Decoded;
    FEncode.Changed.notify_all();
    if (FName == FEncode.FailEncodeOf) throw EJPEGLike("JPEG エラー #41");
  }
  void Save(const std::filesystem::path& output) override {
    if (!FEncode.SaveNothing) TFakeConversion::Save(output);
  }
  void Prepare(const std::filesystem::path& outputFolder) override {
    const std::lock_guard<std::mutex> lock(FEncode.Lock);
    FEncode.PreparedIn.push_back(outputFolder);
  }

private:
  class EJPEGLike : public EInvalidGraphic { public: using EInvalidGraphic::EInvalidGraphic; };
  TEncodeScript& FEncode;
  std::string FName;
};

class PipelinedBatch : public BatchDriver {
protected:
  TEncodeScript Encode;
  TFileConversionFactory Factory() {
    return [this] { return std::make_unique<TEncodingConversion>(Script, Encode); };
  }
  std::vector<std::filesystem::path> Files(int count) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i <= count; ++i) {
      std::string name = "f";
      name += std::to_string(i);
      name += ".bmp";
      files.push_back(File(name.c_str()));
    }
    return files;
  }
};

// Two encoders, the first file finishing after the three behind it: the driver keeps
// loading and encoding past the slow file, never holds more than three decoded images,
// and still names and saves in input order.
TEST_F(PipelinedBatch, LoadsPastASlowFileAndSavesInInputOrder) {
  Encode.HoldName = "f1.bmp";
  Encode.HoldUntil = 3;
  RunBatch(UI, Files(6), Factory(), 2);
  std::vector<std::string> saves;
  for (const std::string& step : Script.Steps)
    if (step.rfind("save", 0) == 0) saves.push_back(step);
  EXPECT_EQ(saves, (std::vector<std::string>{"save _f1.jpg", "save _f2.jpg", "save _f3.jpg", "save _f4.jpg",
                                             "save _f5.jpg", "save _f6.jpg"}));
  ASSERT_EQ(Encode.Encoded.size(), 6u);
  // Another worker may push f5 before the held one wakes.
  EXPECT_GE(std::find(Encode.Encoded.begin(), Encode.Encoded.end(), "f1.bmp") - Encode.Encoded.begin(), 3);
  EXPECT_LE(Encode.MaxDecoded, 3);
  EXPECT_EQ(Script.Alive, 0);
  EXPECT_EQ(UI.Calls.back(), "foreground");
}

// A failure at file 5 of 10, in decoding or in encoding: files 1 to 4 are written and
// nothing else, the same exception leaves, the bar shows 5, as one file at a time.
TEST_F(PipelinedBatch, TheFirstFailureInInputOrderEndsTheBatchAsOneAtATime) {
  const auto files = Files(10);
  for (const bool inEncode : {false, true}) {
    for (const int jobs : {1, 4}) {
      SCOPED_TRACE(testing::Message() << (inEncode ? "encode" : "load") << ", jobs " << jobs);
      for (const auto& e : std::filesystem::directory_iterator(Dir.Path()))
        if (e.path().extension() == ".jpg") std::filesystem::remove(e.path());
      UI.Calls.clear();
      UI.Saved.clear();
      Script.FailLoadOf = inEncode ? "" : "f5.bmp";
      Encode.FailEncodeOf = inEncode ? "f5.bmp" : "";
      std::string message;
      try {
        RunBatch(UI, files, Factory(), jobs);
      } catch (const EInvalidGraphic& e) {
        message = e.what();
      }
      EXPECT_EQ(message, inEncode ? "JPEG エラー #41" : "Susie Plugins could not decode");
      std::set<std::string> written;
      for (const auto& e : std::filesystem::directory_iterator(Dir.Path()))
        if (e.path().extension() == ".jpg") written.insert(PathToUtf8(e.path().filename()));
      EXPECT_EQ(written, (std::set<std::string>{"_f1.jpg", "_f2.jpg", "_f3.jpg", "_f4.jpg"}));
      EXPECT_EQ(UI.Saved.size(), 4u);
      const auto last = std::find_if(UI.Calls.rbegin(), UI.Calls.rend(),
                                     [](const std::string& c) { return c.rfind("position", 0) == 0; });
      ASSERT_NE(last, UI.Calls.rend());
      EXPECT_EQ(*last, "position 5");
      EXPECT_EQ(Script.Alive, 0);
    }
  }
}

// A batch run from the pump of another (a drop on the window) finds the outer batch's
// earlier files written, so method 0 gives each batch the names of one file at a time.
TEST_F(PipelinedBatch, ANestedBatchSeesTheOuterBatchsEarlierFilesWritten) {
  const auto files = Files(3);
  for (const int jobs : {1, 3}) {
    for (const auto& e : std::filesystem::directory_iterator(Dir.Path()))
      if (e.path().extension() == ".jpg") std::filesystem::remove(e.path());
    UI.Saved.clear();
    TRecordingUI nestedUI;
    UI.OnPump = [&](int file) {
      if (file == 2) RunBatch(nestedUI, {files[0], files[1]}, Factory(), jobs);
    };
    RunBatch(UI, files, Factory(), jobs);
    auto names = [](const TRecordingUI& ui) {
      std::vector<std::string> n;
      for (const auto& p : ui.Saved) n.push_back(PathToUtf8(p.filename()));
      return n;
    };
    EXPECT_EQ(names(UI), (std::vector<std::string>{"_f1.jpg", "_f2.jpg", "_f3.jpg"})) << jobs;
    EXPECT_EQ(names(nestedUI), (std::vector<std::string>{"__f1.jpg", "__f2.jpg"})) << jobs;
  }
}

// Sources named relative to the current folder are written ahead into their output's
// folder (its full name) like any other: the writers need the folder before the name.
TEST_F(PipelinedBatch, RelativeSourcesAreWrittenAheadIntoTheirFolder) {
  const auto files = Files(3);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  try {
    RunBatch(UI, {"f1.bmp", "f2.bmp", "f3.bmp"}, Factory(), 2);
  } catch (...) {
    std::filesystem::current_path(previous);
    throw;
  }
  std::filesystem::current_path(previous);
  ASSERT_EQ(Encode.PreparedIn.size(), 3u);
  for (const auto& folder : Encode.PreparedIn)
    EXPECT_EQ(std::filesystem::weakly_canonical(folder), std::filesystem::weakly_canonical(Dir.Path()));
  // The names are formed, and told, as the sources were given.
  EXPECT_EQ(UI.Saved, (std::vector<std::filesystem::path>{"_f1.jpg", "_f2.jpg", "_f3.jpg"}));
}

// Any allocation of a long pipelined batch failing in turn, on the driver or on a worker:
// the batch ends with the out-of-memory error or converts every file, in order, and lets
// every conversion go. More files than the queues' first blocks hold, so that queueing for
// a writer needs memory too.
TEST_F(PipelinedBatch, AnAllocationThatFailsAnywhereEndsTheBatchOrChangesNothing) {
  const auto files = Files(70);
  const TFileConversionFactory factory = Factory();
  Encode.SaveNothing = true;
  auto clean = [&] {
    UI.Calls.clear();
    UI.Saved.clear();
    Script.Steps.clear();
    UI.Calls.reserve(500);
    UI.Saved.reserve(files.size());
    Script.Steps.reserve(500);
  };
  long count = 0;
  clean();
  {
    const allocfault::TArmed counting(-1);
    RunBatch(UI, files, factory, 2);
    count = allocfault::Seen();
  }
  // The thread sanitizer's run-time keeps its own operator new: nothing to fail there.
  if (count == 0) GTEST_SKIP() << "this build's allocations are not counted";
  ASSERT_GT(count, 70) << count;
  // Under Wine a thread costs a hundred times as much: there a sample of the allocations.
#ifdef _WIN32
  constexpr long step = 29;
#else
  constexpr long step = 1;
#endif
  for (long fail = 0; fail < count; fail += step) {
    clean();
    std::string error;
    {
      const allocfault::TArmed armed(fail);
      try {
        RunBatch(UI, files, factory, 2);
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    ASSERT_EQ(Script.Alive, 0) << fail;
    if (!error.empty()) {
      EXPECT_EQ(error, "Out of memory") << fail;
      continue;
    }
    ASSERT_EQ(UI.Saved.size(), files.size()) << fail;
    for (std::size_t i = 0; i < files.size(); ++i)
      EXPECT_EQ(UI.Saved[i].filename(), "_f" + std::to_string(i + 1) + ".jpg") << fail;
  }
}

}  // namespace
