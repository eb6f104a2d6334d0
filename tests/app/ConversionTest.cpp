#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "app/BatchTestSupport.h"
#include "app/BmpBuilder.h"
#include "app/SaveFileName.h"
#include "dib/VxDIB.h"
#include "jpeg/JPEG.h"
#include "jpeg/JPEGTestSupport.h"
#include "support/FileCalls.h"
#include "support/SharedData.h"
#include "support/TempDir.h"

namespace {

struct TKind {
  int Bits;
  bool TopDown;
};

class ProgramConversion : public ::testing::TestWithParam<TKind> {
protected:
  TTempDir Dir;
  TRecordingUI UI;
};

// A BMP of every depth and row order becomes a JPEG whose pixels are those the reference
// encoder makes of the same picture.
TEST_P(ProgramConversion, BmpBecomesTheReferenceJPEG) {
  const auto [bits, topDown] = GetParam();
  for (const auto& [w, h] : {std::pair{23, 11}, std::pair{1, 1}, std::pair{17, 1}, std::pair{1, 9}}) {
    const TBmpPicture picture = PatternPicture(w, h, bits, topDown);
    WriteAllBytes(Dir / "pic.bmp", BuildBmp(picture));
    UI.Method = smOverwrite;
    RunBatch(UI, {Dir / "pic.bmp"});
    const auto ours = DecodeJPEG(ReadAllBytes(Dir / "pic.jpg"));
    const auto reference = DecodeJPEG(ReferenceJPEG(w, h, PictureRGB(picture)));
    ASSERT_EQ(ours.Error, "") << w << "x" << h;
    EXPECT_EQ(ours.Width, w);
    EXPECT_EQ(ours.Height, h);
    EXPECT_TRUE(ours.Pixels == reference.Pixels) << bits << " bits " << w << "x" << h;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProgramConversion,
                         ::testing::Values(TKind{1, false}, TKind{4, false}, TKind{8, false}, TKind{24, false},
                                           TKind{8, true}, TKind{24, true}),
                         [](const auto& p) {
                           return std::to_string(p.param.Bits) + (p.param.TopDown ? "TopDown" : "BottomUp");
                         });

// A run-length encoded BMP, 4 x 2 pixels with four colours: black, red, green, blue.
std::vector<unsigned char> RleBmp(int bits, const std::vector<unsigned char>& stream) {
  auto put32 = [](std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  std::vector<unsigned char> out{'B', 'M'};
  const std::uint32_t offBits = 14 + 40 + 16;
  put32(out, offBits + static_cast<std::uint32_t>(stream.size()));
  put32(out, 0);
  put32(out, offBits);
  put32(out, 40);
  put32(out, 4);  // width
  put32(out, 2);  // height, bottom-up
  out.insert(out.end(), {1, 0, static_cast<unsigned char>(bits), 0});
  put32(out, bits == 8 ? 1 : 2);  // BI_RLE8 / BI_RLE4
  put32(out, static_cast<std::uint32_t>(stream.size()));
  put32(out, 0);
  put32(out, 0);
  put32(out, 4);
  put32(out, 0);
  // Colour table entries are blue, green, red, 0.
  out.insert(out.end(), {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0});
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

TEST(ProgramConversionRle, RunLengthBmpsAreUnpacked) {
  const TRGB k{0, 0, 0}, r{255, 0, 0}, g{0, 255, 0}, b{0, 0, 255};
  struct TCase {
    int Bits;
    std::vector<unsigned char> Stream;
    std::vector<TRGB> TopDown;  // the 8 pixels, top row first
  };
  const TCase cases[] = {
      // bottom row: a run of 4 red; top row: 4 literal indices 2 3 2 3; end of bitmap
      {8, {4, 1, 0, 0, 0, 4, 2, 3, 2, 3, 0, 1}, {g, b, g, b, r, r, r, r}},
      // bottom row: a run of 4 alternating red, green; top row: literal 3 3 3 0
      {4, {4, 0x12, 0, 0, 0, 4, 0x33, 0x30, 0, 1}, {b, b, b, k, r, g, r, g}},
  };
  for (const TCase& c : cases) {
    TTempDir dir;
    TRecordingUI ui;
    ui.Method = smOverwrite;
    WriteAllBytes(dir / "rle.bmp", RleBmp(c.Bits, c.Stream));
    RunBatch(ui, {dir / "rle.bmp"});
    std::vector<std::uint8_t> rgb;
    for (const TRGB& p : c.TopDown) rgb.insert(rgb.end(), p.begin(), p.end());
    const auto ours = DecodeJPEG(ReadAllBytes(dir / "rle.jpg"));
    ASSERT_EQ(ours.Error, "") << c.Bits;
    EXPECT_TRUE(ours.Pixels == DecodeJPEG(ReferenceJPEG(4, 2, rgb)).Pixels) << c.Bits;
  }
}

class ProgramBatch : public ::testing::Test {
protected:
  TTempDir Dir;
  TRecordingUI UI;
  std::filesystem::path Bmp(const char* name, int w = 8, int h = 6, int bits = 24) {
    WriteAllBytes(Dir / name, BuildBmp(PatternPicture(w, h, bits, false)));
    return Dir / name;
  }
};

TEST_F(ProgramBatch, EverySaveMethodPlacesItsOutput) {
  const auto a = Bmp("a.bmp");
  std::filesystem::create_directory(Dir / "out");
  UI.Method = smNewName;
  RunBatch(UI, {a});
  RunBatch(UI, {a});
  UI.Method = smOverwrite;
  RunBatch(UI, {a});
  UI.Method = smFolder;
  UI.Folder = PathToUtf8(Dir / "out");
  RunBatch(UI, {a});
  for (const auto& name : {Dir / "_a.jpg", Dir / "__a.jpg", Dir / "a.jpg", Dir / "out" / "a.jpg"})
    EXPECT_EQ(DecodeJPEG(ReadAllBytes(name)).Error, "") << PathToUtf8(name);
  EXPECT_EQ(UI.Saved, (std::vector<std::filesystem::path>{Dir / "_a.jpg", Dir / "__a.jpg", Dir / "a.jpg",
                                                          Dir / "out" / "a.jpg"}));
}

// The widest picture the library takes is written; one pixel more fails with the
// library's code and leaves the file that stood under the name as it was.
TEST_F(ProgramBatch, WidthLimitOfTheEncoder) {
  UI.Method = smOverwrite;
  RunBatch(UI, {Bmp("ok.bmp", 65500, 1)});
  EXPECT_EQ(DecodeJPEG(ReadAllBytes(Dir / "ok.jpg")).Width, 65500);

  WriteAllBytes(Dir / "wide.jpg", {'k', 'e', 'e', 'p'});
  const auto wide = Bmp("wide.bmp", 65501, 1);
  try {
    RunBatch(UI, {wide});
    FAIL() << "no exception";
  } catch (const EJPEG& e) {
    EXPECT_STREQ(e.what(), "JPEG エラー #41");
  }
  EXPECT_EQ(ReadAllBytes(Dir / "wide.jpg"), (std::vector<unsigned char>{'k', 'e', 'e', 'p'}));
}

// Under method 1 the source itself may be the output: a JPEG source is replaced by its
// re-encoding only once that exists.
TEST_F(ProgramBatch, FailedConversionKeepsTheFileItWouldReplace) {
  WriteAllBytes(Dir / "broken.bmp", {'B', 'M', 0, 0});
  WriteAllBytes(Dir / "broken.jpg", {'o', 'l', 'd'});
  UI.Method = smOverwrite;
  EXPECT_THROW(RunBatch(UI, {Dir / "broken.bmp"}), Exception);
  EXPECT_EQ(ReadAllBytes(Dir / "broken.jpg"), (std::vector<unsigned char>{'o', 'l', 'd'}));
}

TEST_F(ProgramBatch, SecondFileFailingStopsTheBatch) {
  const auto a = Bmp("a.bmp"), c = Bmp("c.bmp");
  WriteAllBytes(Dir / "b.bmp", {'n', 'o', 't', ' ', 'a', ' ', 'b', 'm', 'p'});
  EXPECT_THROW(RunBatch(UI, {a, Dir / "b.bmp", c}), Exception);
  EXPECT_TRUE(std::filesystem::exists(Dir / "_a.jpg"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "_b.jpg"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "_c.jpg"));
  // The bar stays at the failed file: 2 of 3.
  const auto last = std::find_if(UI.Calls.rbegin(), UI.Calls.rend(),
                                 [](const std::string& call) { return call.rfind("position", 0) == 0; });
  ASSERT_NE(last, UI.Calls.rend());
  EXPECT_EQ(*last, "position 2");
}

TEST_F(ProgramBatch, MissingSourceNamesItInTheOpenError) {
  const auto missing = Dir / "missing.bmp";
  try {
    RunBatch(UI, {missing});
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    const std::string prefix = "ファイル " + PathToUtf8(missing) + " は開けません。 ";
    EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
  }
}

// A dropped folder under every save method, its subfolder left out or taken in, the batch
// going on: the images become JPEGs (method 2: in the same folders under the
// destination), text that no decoder knows is skipped, a broken BMP and a file that cannot
// be opened fail, and outputs written beside the sources are not converted again. The
// same files for one job and for two. Without keep-going the broken BMP ends the batch.
TEST_F(ProgramBatch, AFolderTreeUnderEverySaveMethod) {
  const std::vector<unsigned char> bmp = BuildBmp(PatternPicture(5, 3, 24, false));
  auto tree = [&](const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "pics" / "sub");
    WriteAllBytes(root / "pics" / "a.bmp", bmp);
    WriteAllBytes(root / "pics" / "broken.bmp", std::vector<unsigned char>(bmp.begin(), bmp.begin() + 30));
    WriteAllBytes(root / "pics" / "notes.txt", {'h', 'i', '\n'});
    WriteAllBytes(root / "pics" / "sub" / "b.bmp", bmp);
    WriteAllBytes(root / "pics" / "sub" / "README", {'r', 'e', 'a', 'd'});
#ifndef _WIN32
    // A link to nothing cannot be opened; a hidden image is not seen.
    std::filesystem::create_symlink(root / "gone.bmp", root / "pics" / "gone.bmp");
    WriteAllBytes(root / "pics" / ".hidden.bmp", bmp);
#endif
  };
#ifndef _WIN32
  const std::vector<std::string> unopenable{"gone.bmp"};
#else
  const std::vector<std::string> unopenable;
#endif
  struct TCase {
    int Method;
    bool Subfolders;
    std::set<std::string> Outputs;  // relative to the test's folder
  } cases[] = {
      {smNewName, false, {"pics/_a.jpg"}},
      {smNewName, true, {"pics/_a.jpg", "pics/sub/_b.jpg"}},
      {smOverwrite, false, {"pics/a.jpg"}},
      {smOverwrite, true, {"pics/a.jpg", "pics/sub/b.jpg"}},
      {smFolder, false, {"out/pics/a.jpg"}},
      {smFolder, true, {"out/pics/a.jpg", "out/pics/sub/b.jpg"}},
  };
  for (const TCase& c : cases) {
    for (const int jobs : {1, 2}) {
      SCOPED_TRACE(testing::Message() << "method " << c.Method << (c.Subfolders ? " with" : " without")
                                      << " subfolders, jobs " << jobs);
      TTempDir root;
      tree(root.Path());
      std::filesystem::create_directory(root / "out");
      UI.Method = c.Method;
      UI.Folder = PathToUtf8(root / "out");
      const TBatchResult result =
          RunBatch(UI, {root / "pics"}, NewProgramConversion, jobs, {.IncludeSubfolders = c.Subfolders, .KeepGoing = true});
      std::set<std::string> outputs;
      for (const auto& e : std::filesystem::recursive_directory_iterator(root.Path()))
        if (e.path().extension() == ".jpg") {
          outputs.insert(e.path().lexically_relative(root.Path()).generic_string());
          const auto jpeg = DecodeJPEG(ReadAllBytes(e.path()));
          EXPECT_EQ(jpeg.Error, "") << e.path();
          EXPECT_EQ(jpeg.Width, 5) << e.path();
        }
      EXPECT_EQ(outputs, c.Outputs);
      EXPECT_EQ(result.Converted, static_cast<int>(c.Outputs.size()));
      EXPECT_EQ(result.Skipped, c.Subfolders ? 2 : 1);
      std::vector<std::string> failed;
      for (const TBatchFailure& f : result.Failures) failed.push_back(PathToUtf8(f.Source.filename()));
      std::vector<std::string> expected{"broken.bmp"};
      expected.insert(expected.end(), unopenable.begin(), unopenable.end());
      EXPECT_EQ(failed, expected);
      ASSERT_FALSE(result.Failures.empty());
      EXPECT_EQ(result.Failures[0].Message, "Susie Plugins could not decode");
      if (result.Failures.size() > 1) {
        const std::string open = std::string("ファイル ") + PathToUtf8(root / "pics" / "gone.bmp") + " は開けません。 ";
        EXPECT_EQ(result.Failures[1].Message.rfind(open, 0), 0u) << result.Failures[1].Message;
      }
    }
  }
  TTempDir root;
  tree(root.Path());
  UI.Method = smNewName;
  EXPECT_THROW(RunBatch(UI, {root / "pics"}, NewProgramConversion, 2, {.IncludeSubfolders = true}), EInvalidGraphic);
  EXPECT_TRUE(std::filesystem::exists(root / "pics" / "_a.jpg"));
  EXPECT_FALSE(std::filesystem::exists(root / "pics" / "sub" / "_b.jpg"));
}

// Cancelled half-way with encoders and writers running ahead: the outputs there are
// complete JPEGs, and no file written ahead is left.
TEST_F(ProgramBatch, ACancelledPipelinedBatchLeavesNoTemporary) {
  std::vector<std::filesystem::path> files;
  for (int i = 0; i < 12; ++i) {
    const std::string name = std::string("p") + std::to_string(i + 10) + ".bmp";
    files.push_back(Bmp(name.c_str(), 64, 48));
  }
  int asked = 0;
  UI.OnCancelled = [&] { return ++asked == 6; };
  const TBatchResult result = RunBatch(UI, files, NewProgramConversion, 3, {.KeepFileDate = true});
  EXPECT_TRUE(result.Cancelled);
  EXPECT_EQ(result.Converted, 5);
  int jpegs = 0;
  for (const auto& e : std::filesystem::directory_iterator(Dir.Path())) {
    const std::string name = PathToUtf8(e.path().filename());
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    if (e.path().extension() != ".jpg") continue;
    ++jpegs;
    EXPECT_EQ(DecodeJPEG(ReadAllBytes(e.path())).Error, "") << name;
  }
  EXPECT_EQ(jpegs, 5);
}

std::string Numbered(const char* stem, int n, const char* extension) {
  std::string name = stem;
  name += std::to_string(n);
  name += extension;
  return name;
}

// A noisy gradient of the size of a small photograph.
std::vector<unsigned char> PhotoBmp(int w, int h, std::uint32_t seed) {
  TBmpPicture p;
  p.Width = w;
  p.Height = h;
  p.Colour = [seed](int x, int y) {
    std::uint32_t n = (static_cast<std::uint32_t>(x) * 73856093u) ^ (static_cast<std::uint32_t>(y) * 19349663u) ^ seed;
    n = n * 1664525u + 1013904223u;
    return TRGB{static_cast<std::uint8_t>(x + (n >> 27)), static_cast<std::uint8_t>(y + (n >> 26 & 31)),
                static_cast<std::uint8_t>((x + y) / 2 + (n >> 24 & 15))};
  };
  return BuildBmp(p);
}

bool Decodes(const std::filesystem::path& file) {
  try {
    TVxDIB dib;
    TFileStream stream(file, fmOpenRead | fmShareDenyWrite);
    dib.LoadFromStream(stream);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

std::map<std::string, std::vector<unsigned char>> Outputs(const std::filesystem::path& dir) {
  std::map<std::string, std::vector<unsigned char>> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".jpg" && e.is_regular_file())
      out[PathToUtf8(e.path().filename())] = ReadAllBytes(e.path());
  return out;
}

// The same mixed batch, one file at a time and on four encoders, writes the same files
// under the same names, byte for byte: the BMP Suite's good files, photographs, and
// sources whose method-0 names collide with each other and with a file already there;
// with the default settings and with the dates and metadata kept (each output then
// dated as its source, to the second).
TEST(ParallelProgramBatch, FourEncodersWriteTheBytesOfOneAtATime) {
  std::map<std::string, std::vector<unsigned char>> sources;
  if (const auto suite = BmpSuiteDir(); !suite.empty())
    for (const auto& e : std::filesystem::directory_iterator(suite / "g"))
      if (e.path().extension() == ".bmp" && Decodes(e.path()))
        sources[PathToUtf8(e.path().filename())] = ReadAllBytes(e.path());
  for (int i = 0; i < 6; ++i) sources[Numbered("photo", i, ".bmp")] = PhotoBmp(400 + 16 * i, 300, 7u * i);
  sources["p.bmp"] = PhotoBmp(320, 200, 1);
  sources["p.dib"] = BuildBmp(PatternPicture(33, 17, 8, false));
  sources["p"] = BuildBmp(PatternPicture(9, 5, 4, true));
  std::map<std::string, std::vector<unsigned char>> reference;
  std::vector<std::string> referenceNames;
  const auto dated = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  for (const TBatchSettings settings : {TBatchSettings{}, TBatchSettings{.KeepFileDate = true, .KeepMetadata = true}}) {
    for (const int jobs : {1, 4}) {
      SCOPED_TRACE(testing::Message() << "jobs " << jobs << (settings.KeepFileDate ? ", dates and metadata kept" : ""));
      TTempDir dir;
      std::vector<std::filesystem::path> files;
      for (const auto& [name, bytes] : sources) {
        WriteAllBytes(dir / name, bytes);
        std::filesystem::last_write_time(dir / name, dated);
        files.push_back(dir / name);
      }
      WriteAllBytes(dir / "_p.jpg", {'o', 'l', 'd'});
      TRecordingUI ui;
      RunBatch(ui, files, NewProgramConversion, jobs, settings);
      std::vector<std::string> names;
      for (const auto& p : ui.Saved) {
        names.push_back(PathToUtf8(p.filename()));
        const auto age = std::chrono::abs(std::filesystem::last_write_time(p) - dated);
        if (settings.KeepFileDate) {
          EXPECT_LT(age, std::chrono::seconds(1)) << p;
        } else {
          EXPECT_GT(age, std::chrono::hours(24)) << p;
        }
      }
      if (jobs == 1 && !settings.KeepFileDate) {
        reference = Outputs(dir.Path());
        referenceNames = names;
        ASSERT_EQ(names.size(), sources.size());
        EXPECT_GT(reference.at("____p.jpg").size(), 100u);  // p, p.bmp, p.dib after the old _p.jpg
        continue;
      }
      EXPECT_EQ(names, referenceNames);
      EXPECT_TRUE(Outputs(dir.Path()) == reference);
    }
  }
}

// A failure at file 6 of 10, whether in decoding, in encoding or in writing, writes
// files 1 to 5 and nothing else, with the message of one file at a time.
TEST(ParallelProgramBatch, AFailureAtFileSixWritesTheFiveBeforeIt) {
  enum TFault { Undecodable, TooWide, OutputBlocked };
  for (const TFault fault : {Undecodable, TooWide, OutputBlocked}) {
    std::string reference;
    TTempDir top;
    // One folder for both runs: the messages name the files.
    const std::filesystem::path dir = top / "run";
    for (const int jobs : {1, 4}) {
      SCOPED_TRACE(testing::Message() << "fault " << fault << ", jobs " << jobs);
      std::filesystem::remove_all(dir);
      std::filesystem::create_directory(dir);
      std::vector<std::filesystem::path> files;
      for (int i = 1; i <= 10; ++i) {
        const std::string name = Numbered("f", i, ".bmp");
        if (i == 6 && fault == Undecodable)
          WriteAllBytes(dir / name, {'B', 'M', 1, 2, 3});
        else if (i == 6 && fault == TooWide)
          WriteAllBytes(dir / name, BuildBmp(PatternPicture(65501, 1, 24, false)));
        else
          WriteAllBytes(dir / name, PhotoBmp(200, 150, static_cast<std::uint32_t>(i)));
        files.push_back(dir / name);
      }
      if (fault == OutputBlocked) std::filesystem::create_directory(dir / "f6.jpg");
      TRecordingUI ui;
      ui.Method = smOverwrite;
      std::string message;
      try {
        RunBatch(ui, files, NewProgramConversion, jobs);
      } catch (const Exception& e) {
        message = e.what();
      }
      ASSERT_NE(message, "");
      if (jobs == 1) reference = message;
      EXPECT_EQ(message, reference);
      // Nothing else at all: no file of a later source, written ahead, stays behind.
      std::set<std::string> written;
      for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() != ".bmp" && e.is_regular_file()) written.insert(PathToUtf8(e.path().filename()));
      EXPECT_EQ(written, (std::set<std::string>{"f1.jpg", "f2.jpg", "f3.jpg", "f4.jpg", "f5.jpg"}));
    }
  }
}

// A later source that an earlier file's save writes (or may write) is read after that
// save, as one file at a time reads it: the same message and the same files for every
// number of encoders. The old files under those names hold pictures the DIB reads, so a
// batch that reads ahead would convert them instead.
TEST(ParallelProgramBatch, ASourceThatIsAnEarlierOutputIsReadAfterThatSave) {
  struct TCase {
    const char* Name;
    int Method;
    std::vector<const char*> Sources;   // under the run's folder; the first a photograph
    std::vector<const char*> OldFiles;  // BMPs already there
  } cases[] = {
      {"method 1 replaces the next source", smOverwrite, {"a.bmp", "a.jpg"}, {"a.jpg"}},
      {"method 0 makes the next source", smNewName, {"a.bmp", "__a.jpg"}, {"_a.jpg"}},
      {"method 2 replaces the next source", smFolder, {"in/a.bmp", "out/a.jpg"}, {"out/a.jpg"}},
  };
  for (const TCase& c : cases) {
    std::string reference;
    std::map<std::string, std::vector<unsigned char>> referenceFiles;
    for (const int jobs : {1, 4}) {
      SCOPED_TRACE(testing::Message() << c.Name << ", jobs " << jobs);
      TTempDir dir;
      std::filesystem::create_directory(dir / "in");
      std::filesystem::create_directory(dir / "out");
      std::vector<std::filesystem::path> files;
      for (const char* name : c.Sources) files.push_back(dir / name);
      WriteAllBytes(files[0], PhotoBmp(64, 48, 3));
      for (const char* name : c.OldFiles) WriteAllBytes(dir / name, BuildBmp(PatternPicture(5, 3, 24, false)));
      TRecordingUI ui;
      ui.Method = c.Method;
      ui.Folder = PathToUtf8(dir / "out");
      std::string message = "(converted)";
      try {
        RunBatch(ui, files, NewProgramConversion, jobs);
      } catch (const Exception& e) {
        message = e.what();
      }
      std::map<std::string, std::vector<unsigned char>> written = Outputs(dir.Path());
      for (const auto& [name, bytes] : Outputs(dir / "out")) written["out/" + name] = bytes;
      if (jobs == 1) {
        // One at a time, the source read is the JPEG just written, which nothing decodes.
        EXPECT_EQ(message, "Susie Plugins could not decode");
        reference = message;
        referenceFiles = written;
        continue;
      }
      EXPECT_EQ(message, reference);
      EXPECT_TRUE(written == referenceFiles);
    }
  }
}

#ifndef _WIN32
// Every folder that a batch moved a name into is synced before the batch returns (on
// Windows the move itself is written through), even when the writers lag behind: each of
// their syncs here takes 20 ms.
TEST(ParallelProgramBatch, EveryOutputFolderIsSyncedAfterItsLastMoveBeforeTheBatchReturns) {
  TTempDir dir;
  std::vector<std::filesystem::path> files;
  for (int i = 0; i < 9; ++i) {
    const std::filesystem::path folder = dir / Numbered("d", i % 3, "");
    std::filesystem::create_directories(folder);
    files.push_back(folder / Numbered("p", i, ".bmp"));
    WriteAllBytes(files.back(), PhotoBmp(48, 32, static_cast<std::uint32_t>(i)));
  }
  std::vector<std::string> calls;
  {
    TFileCalls observed(std::chrono::milliseconds(20));
    TRecordingUI ui;
    RunBatch(ui, files, NewProgramConversion, 2);
    calls = observed.Take();
  }
  for (int d = 0; d < 3; ++d) {
    const std::string folder = PathToUtf8(dir / Numbered("d", d, ""));
    const std::string into = " -> " + folder + "/";
    auto lastMove = std::find_if(calls.rbegin(), calls.rend(), [&](const std::string& call) {
      return call.starts_with("move ") && call.find(into) != std::string::npos;
    });
    ASSERT_NE(lastMove, calls.rend()) << folder;
    EXPECT_NE(std::find(calls.rbegin(), lastMove, "sync " + folder), lastMove) << folder;
  }
}
#endif

}  // namespace
