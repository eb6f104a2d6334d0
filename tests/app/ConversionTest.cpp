#include <gtest/gtest.h>

#include <algorithm>

#include "app/BatchTestSupport.h"
#include "app/BmpBuilder.h"
#include "app/SaveFileName.h"
#include "jpeg/JPEG.h"
#include "jpeg/JPEGTestSupport.h"
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

}  // namespace
