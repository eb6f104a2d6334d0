#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "app/SaveFileName.h"
#include "rtl/Exception.h"
#include "spi/SPIBmp.h"
#include "app/BatchTestSupport.h"
#include "support/AllocationFaults.h"
#include "support/TempDir.h"

namespace {

// A conversion that records its steps and fails where told to, and for every name
// starting with "bad"; no decoder knows a ".txt". Workers may load at the same time.
struct TScript {
  std::mutex Lock;
  std::vector<std::string> Steps;
  std::string FailLoadOf;
  int Alive = 0;
  std::vector<bool> KeptMetadata;  // Settings.KeepMetadata as each load saw it
};

class TFakeConversion : public TFileConversion {
public:
  explicit TFakeConversion(TScript& script) : FScript(script) {
    const std::lock_guard<std::mutex> lock(FScript.Lock);
    ++FScript.Alive;
  }
  ~TFakeConversion() override {
    const std::lock_guard<std::mutex> lock(FScript.Lock);
    --FScript.Alive;
    try {
      FScript.Steps.push_back("release");
    } catch (const std::bad_alloc&) {
      // Only under injected allocation failures, whose test does not read the steps.
    }
  }
  void Load(const std::filesystem::path& source) override {
    const std::string name = PathToUtf8(source.filename());
    {
      const std::lock_guard<std::mutex> lock(FScript.Lock);
      FScript.Steps.push_back("load " + name);
      FScript.KeptMetadata.push_back(Settings.KeepMetadata);
    }
    if (name == FScript.FailLoadOf || name.rfind("bad", 0) == 0) throw EInvalidGraphic(SPICouldNotDecode);
    if (source.extension() == ".txt") throw EUnclaimedGraphic(SPICouldNotDecode);
  }
  void Save(const std::filesystem::path& output) override {
    {
      const std::lock_guard<std::mutex> lock(FScript.Lock);
      FScript.Steps.push_back("save " + PathToUtf8(output.filename()));
    }
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
  bool LoadsAnywhere = false;  // the workers load the files
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
  bool LoadsAnywhere() const override { return FEncode.LoadsAnywhere; }
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

// The same with keep-going (a sample of the allocations): the batch ends with the
// out-of-memory error, or each file is either saved or listed as failed, in input order.
TEST_F(PipelinedBatch, UnderKeepGoingAFailedAllocationCostsAFileOrTheBatch) {
  const auto files = Files(30);
  const TFileConversionFactory factory = Factory();
  Encode.SaveNothing = true;
  long count = 0;
  {
    const allocfault::TArmed counting(-1);
    RunBatch(UI, files, factory, 2, {.KeepGoing = true});
    count = allocfault::Seen();
  }
  if (count == 0) GTEST_SKIP() << "this build's allocations are not counted";
#ifdef _WIN32
  constexpr long step = 37;
#else
  constexpr long step = 3;
#endif
  int failedFiles = 0;
  for (long fail = 0; fail < count; fail += step) {
    UI.Calls.clear();
    UI.Saved.clear();
    UI.Calls.reserve(500);
    UI.Saved.reserve(files.size());
    std::string error;
    TBatchResult result;
    {
      const allocfault::TArmed armed(fail);
      try {
        result = RunBatch(UI, files, factory, 2, {.KeepGoing = true});
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    ASSERT_EQ(Script.Alive, 0) << fail;
    if (!error.empty()) {
      EXPECT_EQ(error, "Out of memory") << fail;
      continue;
    }
    // Each file once, saved or failed; each kind in input order.
    std::vector<int> outcome(files.size(), 0);
    auto mark = [&](const std::string& stem, int kind, std::size_t& last) {
      const std::size_t index = static_cast<std::size_t>(std::stoi(stem.substr(1))) - 1;
      ASSERT_LT(index, files.size()) << stem;
      EXPECT_EQ(outcome[index], 0) << stem << " twice, " << fail;
      EXPECT_GE(index + 1, last) << stem << " out of order, " << fail;
      outcome[index] = kind;
      last = index + 1;
    };
    std::size_t lastSaved = 0, lastFailed = 0;
    for (const auto& saved : UI.Saved) mark(PathToUtf8(saved.stem()).substr(1), 1, lastSaved);
    for (const TBatchFailure& f : result.Failures) {
      EXPECT_EQ(f.Message, "Out of memory") << fail;
      mark(PathToUtf8(f.Source.stem()), 2, lastFailed);
      ++failedFiles;
    }
    EXPECT_EQ(std::count(outcome.begin(), outcome.end(), 0), 0) << fail;
    EXPECT_EQ(result.Converted, static_cast<int>(UI.Saved.size())) << fail;
  }
  EXPECT_GT(failedFiles, 0) << "no allocation failure cost one file alone";
}

// ---- Folders, keep-going, dates, cancelling

std::filesystem::path Touch(const std::filesystem::path& file) {
  std::filesystem::create_directories(file.parent_path());
  WriteAllBytes(file, {1, 2, 3});
  return file;
}

// "source | subfolder | found", relative to the folder, with "/" between names.
std::vector<std::string> Described(const std::vector<TBatchEntry>& entries, const std::filesystem::path& dir) {
  std::vector<std::string> lines;
  for (const TBatchEntry& e : entries)
    lines.push_back(e.Source.lexically_relative(dir).generic_string() + " | " + e.SubFolder.generic_string() +
                    (e.Found ? " | found" : "") + (e.Failure.empty() ? "" : " | " + e.Failure));
  return lines;
}

// A folder lists its files, then its subfolders, each in the order of the file names
// upper-cased; what a user does not see, Tavex's files written ahead and links to folders
// are left out; dropped files stay where they were given.
TEST(BatchFolders, ExpandInNameOrderFilesFirstWithoutHiddenSideFilesOrFolderLinks) {
  TTempDir dir;
  for (const char* name : {"pics/b.bmp", "pics/A.bmp", "pics/a2.txt", "pics/x.jpg.tavex-3-0.tmp",
                           "pics/sub/deeper/y.bmp", "pics/sub/c.bmp", "pics/Sub2/z.bmp", "one.bmp"})
    Touch(dir / name);
  std::filesystem::create_directory(dir / "pics" / "empty");
#ifndef _WIN32
  Touch(dir / "pics" / ".hidden.bmp");
  Touch(dir / "pics" / ".tavex-4-0.tmp");
  std::filesystem::create_directory_symlink(dir / "pics", dir / "pics" / "sub" / "loop");
  std::filesystem::create_symlink(dir / "pics" / "b.bmp", dir / "pics" / "link.bmp");
  const std::string link = "pics/link.bmp | pics | found";
#else
  const std::string link;
#endif
  struct TCase {
    std::vector<std::filesystem::path> Dropped;
    bool Subfolders;
    std::vector<std::string> Expected;
  } cases[] = {
      {{dir / "one.bmp", dir / "pics", dir / "missing.bmp"},
       false,
       {"one.bmp | ", "pics/A.bmp | pics | found", "pics/a2.txt | pics | found", "pics/b.bmp | pics | found", link,
        "missing.bmp | "}},
      {{dir / "pics"},
       true,
       {"pics/A.bmp | pics | found", "pics/a2.txt | pics | found", "pics/b.bmp | pics | found", link,
        "pics/sub/c.bmp | pics/sub | found", "pics/sub/deeper/y.bmp | pics/sub/deeper | found",
        "pics/Sub2/z.bmp | pics/Sub2 | found"}},
      // A folder named with its trailing delimiter keeps its name under the destination.
      {{dir / "pics" / "sub" / ""}, true, {"pics/sub/c.bmp | sub | found", "pics/sub/deeper/y.bmp | sub/deeper | found"}},
      {{dir / "pics" / "empty"}, true, {}},
  };
  for (TCase& c : cases) {
    std::erase(c.Expected, std::string());
    EXPECT_EQ(Described(ExpandBatchFiles(c.Dropped, c.Subfolders), dir.Path()), c.Expected);
  }
}

class FolderBatch : public BatchDriver {
protected:
  TBatchResult Run(const std::vector<std::filesystem::path>& files, int jobs, const TBatchSettings& settings) {
    UI.Calls.clear();
    UI.Saved.clear();
    return RunBatch(UI, files, Factory(Script), jobs, settings);
  }
  std::vector<std::string> Failed() const {
    std::vector<std::string> failed;
    for (const std::string& call : UI.Calls)
      if (call.rfind("failed ", 0) == 0) failed.push_back(call);
    return failed;
  }
};

// Into a folder, each file goes to its folder under the destination, made by its first
// output: a folder whose files are all skipped or failed leaves nothing there. A file
// that no decoder knows is skipped where a folder was dropped, and fails where it was
// given by name.
TEST_F(FolderBatch, IntoAFolderKeepsTheTreeAndMakesOnlyTheFoldersWritten) {
  Touch(Dir / "pics" / "a.bmp");
  Touch(Dir / "pics" / "sub" / "b.bmp");
  Touch(Dir / "pics" / "only-text" / "x.txt");
  Touch(Dir / "pics" / "failing" / "bad.bmp");
  const auto given = Touch(Dir / "given.txt");
  for (const int jobs : {1, 3}) {
    SCOPED_TRACE(jobs);
    TTempDir out;
    UI.Method = smFolder;
    UI.Folder = PathToUtf8(out.Path());
    const TBatchResult result = Run({Dir / "pics"}, jobs, {.IncludeSubfolders = true, .KeepGoing = true});
    EXPECT_EQ(UI.Saved, (std::vector<std::filesystem::path>{out / "pics" / "a.jpg", out / "pics" / "sub" / "b.jpg"}));
    EXPECT_TRUE(std::filesystem::exists(out / "pics" / "sub" / "b.jpg"));
    EXPECT_FALSE(std::filesystem::exists(out / "pics" / "only-text"));
    EXPECT_FALSE(std::filesystem::exists(out / "pics" / "failing"));
    EXPECT_EQ(result.Converted, 2);
    EXPECT_EQ(result.Skipped, 1);
    ASSERT_EQ(result.Failures.size(), 1u);
    EXPECT_EQ(result.Failures[0].Source, Dir / "pics" / "failing" / "bad.bmp");
    EXPECT_EQ(Failed(), (std::vector<std::string>{"failed bad.bmp: Susie Plugins could not decode"}));
    // Without keep-going the failure ends the batch; the skip never does.
    EXPECT_THROW(Run({Dir / "pics"}, jobs, {.IncludeSubfolders = true}), EInvalidGraphic);
    EXPECT_EQ(UI.Saved, std::vector<std::filesystem::path>{out / "pics" / "a.jpg"});
    const TBatchResult skipping = Run({Dir / "pics" / "only-text", Dir / "pics" / "a.bmp"}, jobs, {});
    EXPECT_EQ(skipping.Skipped, 1);
    EXPECT_EQ(skipping.Converted, 1);
    EXPECT_THROW(Run({given, Dir / "pics" / "a.bmp"}, jobs, {}), EUnclaimedGraphic);
  }
}

// Failures in loading and in encoding, told in input order as the batch passes them, the
// same for one job and for four; the closing box lists twenty and counts the rest.
TEST_F(PipelinedBatch, KeepGoingTellsEachFailureInOrderAndListsTwentyAtTheEnd) {
  std::vector<std::filesystem::path> files{File("a.bmp")};
  for (int i = 1; i <= 21; ++i) {
    std::string name = i < 10 ? "bad0" : "bad";
    name += std::to_string(i) + ".bmp";
    files.push_back(File(name.c_str()));
  }
  files.push_back(File("e.bmp"));
  files.push_back(File("z.bmp"));
  Encode.FailEncodeOf = "e.bmp";
  Encode.SaveNothing = true;
  std::string box = "次のファイルは変換できませんでした:";
  for (int i = 1; i <= 20; ++i) box += std::string("\n") + PathToUtf8(files[static_cast<std::size_t>(i)]) + ": Susie Plugins could not decode.";
  box += "\n…ほか 2 件\n\n変換 2 件、失敗 22 件、スキップ 0 件";
  std::vector<std::string> told;
  for (int i = 1; i <= 21; ++i) told.push_back(std::string("failed ") + PathToUtf8(files[static_cast<std::size_t>(i)].filename()) + ": Susie Plugins could not decode");
  told.push_back("failed e.bmp: JPEG エラー #41");
  for (const auto& [jobs, onWorkers] : {std::pair{1, false}, std::pair{4, false}, std::pair{4, true}}) {
    SCOPED_TRACE(testing::Message() << jobs << (onWorkers ? " loading on the workers" : ""));
    Encode.LoadsAnywhere = onWorkers;
    UI.Calls.clear();
    UI.Saved.clear();
    const TBatchResult result = RunBatch(UI, files, Factory(), jobs, {.KeepGoing = true});
    std::vector<std::string> failed, beeps;
    for (const std::string& call : UI.Calls) {
      if (call.rfind("failed ", 0) == 0) failed.push_back(call);
      if (call.rfind("beep ", 0) == 0) beeps.push_back(call.substr(5));
    }
    EXPECT_EQ(failed, told);
    EXPECT_EQ(beeps, std::vector<std::string>{box});
    EXPECT_EQ(UI.Saved, (std::vector<std::filesystem::path>{Dir / "_a.jpg", Dir / "_z.jpg"}));
    EXPECT_EQ(result.Converted, 2);
    EXPECT_EQ(result.Failures.size(), 22u);
    // The bar ends as after any batch, then the box.
    ASSERT_GE(UI.Calls.size(), 3u);
    EXPECT_EQ(UI.Calls[UI.Calls.size() - 3], "position 0");
    EXPECT_EQ(UI.Calls[UI.Calls.size() - 2], "foreground");
    EXPECT_EQ(Script.Alive, 0);
  }
}

// Cancelled before the third file: the two started are saved, whatever runs ahead, and
// the batch ends as a complete one; the conversions saw the batch's settings.
TEST_F(PipelinedBatch, ACancelStopsBeforeTheNextFileOnceTheStartedOnesAreSaved) {
  const auto files = Files(8);
  for (const int jobs : {1, 3}) {
    SCOPED_TRACE(jobs);
    UI.Calls.clear();
    UI.Saved.clear();
    Script.KeptMetadata.clear();
    int asked = 0;
    UI.OnCancelled = [&] { return ++asked == 3; };
    const TBatchResult result = RunBatch(UI, files, Factory(), jobs, {.KeepGoing = true, .KeepMetadata = true});
    EXPECT_TRUE(result.Cancelled);
    EXPECT_EQ(result.Converted, 2);
    EXPECT_EQ(UI.Saved, (std::vector<std::filesystem::path>{Dir / "_f1.jpg", Dir / "_f2.jpg"}));
    EXPECT_EQ(Script.KeptMetadata, (std::vector<bool>{true, true}));
    EXPECT_EQ(std::vector<std::string>(UI.Calls.end() - 2, UI.Calls.end()),
              (std::vector<std::string>{"position 0", "foreground"}));
    EXPECT_EQ(Script.Alive, 0);
    for (const auto& p : UI.Saved) std::filesystem::remove(p);
  }
}

// Whole seconds of a file's modification time.
long long Seconds(const std::filesystem::path& file) {
  return std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(file).time_since_epoch()).count();
}

// With KeepFileDate each output has its source's time, to the second, also where the
// output replaces its own source; without it the time of writing. An output whose time
// cannot be set fails with the date's message.
TEST_F(PipelinedBatch, KeepFileDateGivesEachOutputItsSourcesTime) {
  using namespace std::chrono_literals;
  const auto a = File("a.bmp"), b = File("b.jpg");
  const auto old = std::filesystem::last_write_time(a) - 1000h - 500ms;
  struct TCase {
    int Method;
    bool Keep;
    int Jobs;
  } cases[] = {{smNewName, true, 1}, {smNewName, true, 2}, {smOverwrite, true, 1},
               {smOverwrite, true, 2}, {smNewName, false, 2}, {smOverwrite, false, 1}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Method << (c.Keep ? " keep " : " no ") << c.Jobs);
    std::filesystem::last_write_time(a, old);
    WriteAllBytes(b, {1});
    std::filesystem::last_write_time(b, old);
    const long long source = Seconds(a);
    UI.Method = c.Method;
    UI.Saved.clear();
    RunBatch(UI, {a, b}, Factory(), c.Jobs, {.KeepFileDate = c.Keep});
    ASSERT_EQ(UI.Saved.size(), 2u);
    for (const auto& output : UI.Saved) {
      if (c.Keep)
        EXPECT_EQ(Seconds(output), source) << output;
      else
        EXPECT_GT(Seconds(output), source + 3600) << output;
      if (output != b) std::filesystem::remove(output);
    }
  }
  Encode.SaveNothing = true;
  UI.Method = smOverwrite;
  UI.Calls.clear();
  const TBatchResult result = RunBatch(UI, {a}, Factory(), 1, {.KeepGoing = true, .KeepFileDate = true});
  ASSERT_EQ(result.Failures.size(), 1u);
  const std::string expected = std::string("ファイル \"") + PathToUtf8(Dir / "a.jpg") + "\" の日付を設定できません。";
  EXPECT_EQ(result.Failures[0].Message.substr(0, expected.size()), expected);
  EXPECT_GT(result.Failures[0].Message.size(), expected.size()) << "the system's reason follows";
  EXPECT_EQ(result.Converted, 0);
}

}  // namespace
