#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "dib/ConvertGolden.h"
#include "dib/ConvertTestSupport.h"

using namespace convtest;

namespace {

using TReduce = void (*)(const TVxDIBRecord&, TVxDIBRecord&, bool, const TVxStepEvent&);

struct TReduceCase {
  const char* Name;
  TReduce Fn;
  int Bits;
  int Steps;
  bool Low;
};

const TReduceCase ReduceCases[] = {
    {"Low8", ConvertTrueColorTo8BitRGBLow, 8, 256, true},
    {"Low4", ConvertTrueColorTo4BitRGBLow, 4, 16, true},
    {"High8", ConvertTrueColorTo8BitRGBHigh, 8, 256, false},
    {"High4", ConvertTrueColorTo4BitRGBHigh, 4, 16, false},
};

class TrueColorReduction : public ::testing::TestWithParam<std::tuple<TReduceCase, bool>> {
protected:
  const TReduceCase& Case() const { return std::get<0>(GetParam()); }
  bool UseFMO() const { return std::get<1>(GetParam()); }
};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<TReduceCase, bool>>& info) {
  return std::string(std::get<0>(info.param).Name) + (std::get<1>(info.param) ? "Mapped" : "Heap");
}

// Black and white in unequal numbers: the first split is on green (weight 4), the part above
// the mean comes first, so white is entry 0.
TEST_P(TrueColorReduction, BlackAndWhiteGiveWhiteThenBlackAndAllSteps) {
  TSource src(5, 3, 24);
  src.SetRGB(1, 0, 255, 255, 255);
  src.SetRGB(4, 2, 255, 255, 255);
  const TSnapshot before(src);
  TResult res(UseFMO());
  TStepCounter steps;
  Case().Fn(src.Record, res.Record, UseFMO(), steps.Event());
  EXPECT_TRUE(before.Matches(src));
  EXPECT_EQ(steps.Calls, Case().Steps);
  EXPECT_FALSE(steps.NonNullSender);
  const TVxBitmapInfoHeader& h = res.Record.Header;
  EXPECT_EQ(h.biBitCount, Case().Bits);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(h.biClrUsed, 2u);
  EXPECT_EQ(h.biWidth, 5);
  EXPECT_EQ(h.biHeight, 3);
  EXPECT_EQ(h.biXPelsPerMeter, 2835);
  EXPECT_EQ(h.biClrImportant, 7u);
  EXPECT_TRUE(SameColor(res.Record.ColorTable[0], 255, 255, 255)) << ColorText(res.Record.ColorTable[0]);
  EXPECT_TRUE(SameColor(res.Record.ColorTable[1], 0, 0, 0)) << ColorText(res.Record.ColorTable[1]);
  EXPECT_EQ(res.Record.BitsSize, 3 * Stride(5, Case().Bits));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(res.Index(x, y), (x == 1 && y == 0) || (x == 4 && y == 2) ? 0u : 1u) << x << "," << y;
}

TEST_P(TrueColorReduction, SingleColourGivesOneExactEntry) {
  TSource src(3, -2, 24);  // top-down stays top-down
  src.Fill(13, 202, 77);   // low bits set on every channel
  TResult res(UseFMO());
  TStepCounter steps;
  Case().Fn(src.Record, res.Record, UseFMO(), steps.Event());
  EXPECT_EQ(steps.Calls, Case().Steps);
  EXPECT_EQ(res.Record.Header.biClrUsed, 1u);
  EXPECT_EQ(res.Record.Header.biHeight, -2);
  EXPECT_TRUE(SameColor(res.Record.ColorTable[0], 13, 202, 77)) << ColorText(res.Record.ColorTable[0]);
  for (const std::uint8_t b : res.Block()) EXPECT_EQ(b, 0);
}

// At an odd width the last pixel takes the high nibble and the low nibble stays 0.
TEST_P(TrueColorReduction, OddWidthLeavesPaddingZero) {
  TSource src(3, 2, 24);
  src.Fill(255, 255, 255);
  src.SetRGB(0, 0, 0, 0, 0);
  src.SetRGB(2, 1, 0, 0, 0);
  TResult res(UseFMO());
  Case().Fn(src.Record, res.Record, UseFMO(), nullptr);  // no step callback is fine
  ASSERT_EQ(res.Record.Header.biClrUsed, 2u);
  if (Case().Bits == 4) {
    EXPECT_EQ(res.Row(0)[0], 0x10);  // black (1), white (0)
    EXPECT_EQ(res.Row(0)[1], 0x00);
    EXPECT_EQ(res.Row(1)[0], 0x00);
    EXPECT_EQ(res.Row(1)[1], 0x10);
  } else {
    EXPECT_EQ(res.Row(0)[0], 1);
    EXPECT_EQ(res.Row(1)[2], 1);
    EXPECT_EQ(res.Row(1)[3], 0);
  }
  for (int y = 0; y < 2; ++y)
    for (std::size_t i = Case().Bits == 4 ? 2 : 3; i < 4; ++i) EXPECT_EQ(res.Row(y)[i], 0) << y << " " << i;
}

TEST_P(TrueColorReduction, RefusesOtherDepthsBeforeAllocating) {
  for (int bits : {1, 4, 8, 32}) {
    TSource src(2, 2, bits == 32 ? 24 : bits);
    src.Record.Header.biBitCount = static_cast<std::uint16_t>(bits);
    TResult res(UseFMO());
    TStepCounter steps;
    const std::string expected = std::string("ConvertTrueColorTo") + (Case().Bits == 8 ? "8" : "4") + "BitRGB" +
                                 (Case().Low ? "Low" : "High") + ": Invalid Bitcount";
    try {
      Case().Fn(src.Record, res.Record, UseFMO(), steps.Event());
      ADD_FAILURE() << "no error for " << bits << " bits";
    } catch (const EVxDIBBadDIBType& e) {
      EXPECT_EQ(e.Message(), expected);
    }
    EXPECT_EQ(res.Record.Bits, nullptr);
    EXPECT_EQ(steps.Calls, 0);
  }
}

// A failing progress callback (an abort, say) ends the conversion: the result memory is
// released (the leak checker of the sanitizer build sees it), the result record and the
// source stay as they were.
TEST_P(TrueColorReduction, FailingStepReleasesResultAndKeepsSource) {
  TSource src(40, 30, 24);
  FillGoldenImage(src, 7);
  const TSnapshot before(src);
  TResult res(UseFMO());
  int calls = 0;
  const TVxStepEvent step = [&calls](TObject*) {
    if (++calls == 3) throw EAbort();
  };
  EXPECT_THROW(Case().Fn(src.Record, res.Record, UseFMO(), step), EAbort);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(res.Record.Bits, nullptr);
  EXPECT_EQ(res.Record.BitsSize, 0u);
  EXPECT_TRUE(before.Matches(src));
}

TEST_P(TrueColorReduction, MatchesTheReferenceModel) {
  const golden::TCase* g = nullptr;
  for (const auto& c : golden::Cases)
    if (std::string(c.Name) == Case().Name) g = &c;
  ASSERT_NE(g, nullptr);
  TSource src(golden::Width, golden::Height, 24);
  FillGoldenImage(src, golden::Seed);
  ASSERT_EQ(Fnv1a64(src.Pixels.data(), src.Pixels.size()), golden::SourceHash) << "generator differs from the model";
  TResult res(UseFMO());
  TStepCounter steps;
  Case().Fn(src.Record, res.Record, UseFMO(), steps.Event());
  EXPECT_EQ(steps.Calls, Case().Steps);
  ASSERT_EQ(static_cast<int>(res.Record.Header.biClrUsed), g->ColorCount);
  EXPECT_EQ(PaletteHex(res.Record), g->Palette);
  for (const auto& s : g->Samples) EXPECT_EQ(static_cast<int>(res.Index(s.X, s.Y)), s.Index) << s.X << "," << s.Y;
  EXPECT_EQ(Fnv1a64(res.Bits(), res.Record.BitsSize), g->PixelHash);
}

INSTANTIATE_TEST_SUITE_P(Modes, TrueColorReduction,
                         ::testing::Combine(::testing::ValuesIn(ReduceCases), ::testing::Bool()), CaseName);

// (0, 0, 0) and (7, 3, 7) fall into the same 5-6-5 bin, whose colour is the truncated average.
TEST(LowReduction, SharedBinBecomesOneEntry) {
  TSource src(4, 1, 24);
  src.SetRGB(1, 0, 7, 3, 7);
  src.SetRGB(3, 0, 7, 3, 7);
  TResult res;
  ConvertTrueColorTo8BitRGBLow(src.Record, res.Record, false, nullptr);
  ASSERT_EQ(res.Record.Header.biClrUsed, 1u);
  EXPECT_TRUE(SameColor(res.Record.ColorTable[0], 3, 1, 3)) << ColorText(res.Record.ColorTable[0]);
  // The pixel mode keeps the two colours apart.
  TResult high;
  ConvertTrueColorTo8BitRGBHigh(src.Record, high.Record, false, nullptr);
  ASSERT_EQ(high.Record.Header.biClrUsed, 2u);
  EXPECT_TRUE(SameColor(high.Record.ColorTable[0], 7, 3, 7));
  EXPECT_TRUE(SameColor(high.Record.ColorTable[1], 0, 0, 0));
}

// Table entries beyond the new palette keep what the source held.
TEST(LowReduction, KeepsSourceTableEntriesBeyondThePalette) {
  TSource src(2, 1, 24);
  src.SetColor(1, 9, 8, 7);
  src.SetColor(255, 1, 2, 3);
  TResult res;
  ConvertTrueColorTo4BitRGBLow(src.Record, res.Record, false, nullptr);
  ASSERT_EQ(res.Record.Header.biClrUsed, 1u);
  EXPECT_TRUE(SameColor(res.Record.ColorTable[1], 9, 8, 7));
  EXPECT_TRUE(SameColor(res.Record.ColorTable[255], 1, 2, 3));
}

// ---------------------------------------------------------------------------- division

TColorBin Bin(int r, int g, int b, int count, int index) { return TColorBin{r, g, b, count, index}; }

// At depth 0 the whole range is one entry: its weighted mean rounded half to even.
TEST(DivideColorBins, LeafRoundsHalvesToEven) {
  struct TRow {
    int R0, W0, R1, W1, Expected;
  };
  const TRow rows[] = {
      {0, 1, 1, 1, 0},      // 0.5
      {1, 1, 2, 1, 2},      // 1.5
      {2, 1, 3, 1, 2},      // 2.5
      {0, 1, 7, 1, 4},      // 3.5
      {254, 1, 255, 1, 254},  // 254.5
      {0, 2, 3, 1, 1},      // 1.0
      {0, 1, 2, 2, 1},      // 1.33
      {0, 1, 5, 2, 3},      // 3.33
      {0, 3, 5, 5, 3},      // 3.125
      {1, 1000000000, 2, 1000000001, 2},  // just above 1.5
      {1, 1000000001, 2, 1000000000, 1},  // just below 1.5
  };
  for (const TRow& r : rows) {
    TColorBin bins[2] = {Bin(r.R0, 10, 20, r.W0, 5), Bin(r.R1, 10, 20, r.W1, 9)};
    TVxPaletteBuild palette;
    TStepCounter steps;
    DivideColorBins(0, 2, 0, 0, bins, palette, steps.Event());
    ASSERT_EQ(palette.Count, 1);
    EXPECT_EQ(palette.Entries[0].rgbRed, r.Expected) << r.R0 << "x" << r.W0 << " " << r.R1 << "x" << r.W1;
    EXPECT_EQ(palette.Entries[0].rgbGreen, 10);
    EXPECT_EQ(palette.Entries[0].rgbBlue, 20);
    EXPECT_EQ(bins[0].Count, 0);  // the palette index now
    EXPECT_EQ(steps.Calls, 1);
  }
}

std::vector<TVxRGBQuad> Entries(const TVxPaletteBuild& p) {
  return {p.Entries.begin(), p.Entries.begin() + p.Count};
}

TVxRGBQuad Rgb(int r, int g, int b) {
  return TVxRGBQuad{static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(g), static_cast<std::uint8_t>(r), 0};
}

// Depth 1 splits once, on the channel with the largest of 3 V(R), 4 V(G), 2 V(B); entry 0
// is the part above the mean. Four bins, one per axis, make V = 3 x^2 / 16 on each channel,
// so the choice is that of 3 R^2, 4 G^2 and 2 B^2 (plain variances would pick blue in all three).
TEST(DivideColorBins, SplitsOnTheChannelOfLargestWeightedVariance) {
  struct TRow {
    int R, G, B;
    TVxRGBQuad First;
  };
  const TRow rows[] = {
      {10, 8, 12, Rgb(10, 0, 0)},  // 300 > 288 > 256
      {10, 9, 12, Rgb(0, 9, 0)},   // 324 > 300 > 288
      {10, 8, 13, Rgb(0, 0, 13)},  // 338 > 300 > 256
  };
  for (const TRow& r : rows) {
    TColorBin bins[4] = {Bin(0, 0, 0, 1, 0), Bin(r.R, 0, 0, 1, 1), Bin(0, r.G, 0, 1, 2), Bin(0, 0, r.B, 1, 3)};
    TVxPaletteBuild palette;
    TStepCounter steps;
    DivideColorBins(0, 4, 0, 1, bins, palette, steps.Event());
    ASSERT_EQ(palette.Count, 2);
    EXPECT_EQ(palette.Entries[0], r.First) << ColorText(palette.Entries[0]);
    EXPECT_EQ(steps.Calls, 2);
    int inFirst = 0;
    for (const TColorBin& b : bins) inFirst += b.Count == 0 ? 1 : 0;
    EXPECT_EQ(inFirst, 1);
  }
}

// Exactly equal weighted variances: red before green before blue. Each set splits differently
// on each of its tied channels, so the palette shows which one was taken.
TEST(DivideColorBins, ExactTiesGoToRedThenGreen) {
  struct TRow {
    const char* Tie;
    TColorBin Bins[3];
    TVxRGBQuad Expected[2];
  };
  const TRow rows[] = {
      {"red = green", {Bin(1, 4, 1, 1, 0), Bin(1, 1, 0, 2, 1), Bin(5, 4, 3, 1, 2)}, {Rgb(5, 4, 3), Rgb(1, 2, 0)}},
      {"red = blue", {Bin(0, 1, 6, 2, 0), Bin(5, 0, 1, 1, 1), Bin(0, 4, 1, 2, 2)}, {Rgb(5, 0, 1), Rgb(0, 2, 4)}},
      {"green = blue", {Bin(4, 3, 5, 1, 0), Bin(1, 6, 5, 2, 1), Bin(2, 5, 1, 1, 2)}, {Rgb(1, 6, 5), Rgb(3, 4, 3)}},
      {"all three", {Bin(3, 0, 1, 1, 0), Bin(3, 2, 3, 1, 1), Bin(5, 2, 0, 2, 2)}, {Rgb(5, 2, 0), Rgb(3, 1, 2)}},
  };
  for (const TRow& r : rows) {
    TColorBin bins[3] = {r.Bins[0], r.Bins[1], r.Bins[2]};
    TVxPaletteBuild palette;
    DivideColorBins(0, 3, 0, 1, bins, palette, nullptr);
    EXPECT_EQ(Entries(palette), (std::vector<TVxRGBQuad>{r.Expected[0], r.Expected[1]})) << r.Tie;
  }
}

// One heavy bin makes 3 V(R) and 4 V(G) differ in the ninth digit: Q/W - M^2 in doubles picks
// red, the exact comparison green (the part above the green mean is the one (255, 255, 7) bin).
TEST(DivideColorBins, NearTieIsDecidedExactly) {
  TColorBin bins[3] = {Bin(255, 254, 7, 982788690, 0), Bin(254, 254, 7, 4, 1), Bin(255, 255, 7, 3, 2)};
  TVxPaletteBuild palette;
  DivideColorBins(0, 3, 0, 1, bins, palette, nullptr);
  EXPECT_EQ(Entries(palette), (std::vector<TVxRGBQuad>{Rgb(255, 255, 7), Rgb(255, 254, 7)}));
  EXPECT_EQ(bins[2].Count, 0);  // palette indices now
  EXPECT_EQ(bins[0].Count, 1);
  EXPECT_EQ(bins[1].Count, 1);
}

// Four reds 0, 50, 100, 150 to depth 2: 75 splits them in pairs, the upper pair first, and
// each pair splits again; entries come out depth first, the upper part before the lower.
TEST(DivideColorBins, NumbersEntriesDepthFirstUpperPartFirst) {
  TColorBin bins[4] = {Bin(0, 9, 9, 1, 0), Bin(50, 9, 9, 1, 1), Bin(100, 9, 9, 1, 2), Bin(150, 9, 9, 1, 3)};
  TVxPaletteBuild palette;
  TStepCounter steps;
  DivideColorBins(0, 4, 0, 2, bins, palette, steps.Event());
  EXPECT_EQ(Entries(palette), (std::vector<TVxRGBQuad>{Rgb(150, 9, 9), Rgb(100, 9, 9), Rgb(50, 9, 9), Rgb(0, 9, 9)}));
  EXPECT_EQ(steps.Calls, 4);
  for (const TColorBin& b : bins) EXPECT_EQ(b.Count, 3 - b.BinIndex) << b.BinIndex;
}

// Empty parts make no entry but still count their steps: 2^D in every case.
TEST(DivideColorBins, StepsAreTwoToTheDepthWhateverTheParts) {
  for (const int depth : {0, 1, 4, 8}) {
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
      TColorBin bins[3] = {Bin(10, 20, 30, 5, 0), Bin(200, 20, 30, 1, 1), Bin(10, 220, 30, 2, 2)};
      TVxPaletteBuild palette;
      TStepCounter steps;
      DivideColorBins(0, n, 0, depth, bins, palette, steps.Event());
      EXPECT_EQ(steps.Calls, 1 << depth) << depth << " " << n;
      EXPECT_FALSE(steps.NonNullSender);
      EXPECT_EQ(palette.Count, std::min(static_cast<int>(n), 1 << depth)) << depth << " " << n;
    }
  }
}

// The pixel division records its splits: node numbers are handed out upper part first, and
// parts left empty get a number but no node.
TEST(DividePixels, BuildsTheTreeInHandOutOrder) {
  TPixel24 pixels[3] = {{0, 0, 0}, {255, 255, 255}, {0, 0, 0}};  // B, G, R
  TDivideTree tree;
  std::memset(&tree, 0xEE, sizeof tree);
  tree.Count = 1;
  TVxPaletteBuild palette;
  TStepCounter steps;
  DividePixels(0, 3, 0, 2, pixels, palette, steps.Event(), tree, 0);
  EXPECT_EQ(steps.Calls, 4);
  EXPECT_EQ(tree.Count, 7);
  EXPECT_EQ(Entries(palette), (std::vector<TVxRGBQuad>{Rgb(255, 255, 255), Rgb(0, 0, 0)}));
  struct TNodeRow {
    int Node, DivideID, Threshold, PaletteIndex, Lower, Upper;
  };
  const TNodeRow rows[] = {
      {0, 1, 85, 0, 4, 1},    // green (4 V wins), mean 85
      {1, 0, 255, 0, 3, 2},   // one colour: red, everything at or below the mean
      {3, 3, 0, 0, 0, 0},     // white
      {4, 0, 0, 0, 6, 5},
      {6, 3, 0, 1, 0, 0},     // black
  };
  for (const TNodeRow& r : rows) {
    const TDivideNode& n = tree.Nodes[r.Node];
    EXPECT_EQ(n.DivideID, r.DivideID) << r.Node;
    EXPECT_EQ(n.Threshold, r.Threshold) << r.Node;
    EXPECT_EQ(n.PaletteIndex, r.PaletteIndex) << r.Node;
    EXPECT_EQ(n.Lower, r.Lower) << r.Node;
    EXPECT_EQ(n.Upper, r.Upper) << r.Node;
  }
  for (const int unused : {2, 5}) EXPECT_EQ(tree.Nodes[unused].DivideID, 0xEE) << unused;
}

// A mean that is not an integer: values up to its floor go to Lower.
TEST(DividePixels, ThresholdSendsValuesAtOrBelowTheMeanLower) {
  TPixel24 pixels[3] = {{0, 0, 10}, {0, 0, 11}, {0, 0, 12}};  // red 10, 11, 12: mean 11
  TPixel24 skewed[3] = {{0, 0, 10}, {0, 0, 11}, {0, 0, 13}};  // mean 11.33
  for (TPixel24* p : {pixels, skewed}) {
    TDivideTree tree{};
    tree.Count = 1;
    TVxPaletteBuild palette;
    DividePixels(0, 3, 0, 1, p, palette, nullptr, tree, 0);
    ASSERT_EQ(tree.Nodes[0].DivideID, 0);
    EXPECT_EQ(tree.Nodes[0].Threshold, 11);
    ASSERT_EQ(palette.Count, 2);
    EXPECT_EQ(palette.Entries[0].rgbRed, p == pixels ? 12 : 13);
    EXPECT_EQ(palette.Entries[1].rgbRed, 10);  // (10 + 11) / 2 = 10.5 rounds to even
  }
}

// ---------------------------------------------------------------------------- 8 to 4 bits

TEST(Reduce8To4, OnlyUsedEntriesTakePart) {
  TSource src(9, 5, 8);
  for (int i = 0; i < 256; ++i) src.SetColor(i, 255, 0, 255);  // would pull every mean if counted
  const int used[10] = {3, 17, 40, 41, 99, 128, 200, 201, 250, 255};
  for (int k = 0; k < 10; ++k) src.SetColor(used[k], static_cast<std::uint8_t>(k * 20), static_cast<std::uint8_t>(k * 10), 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) src.SetIndex(x, y, static_cast<unsigned>(used[(x + y) % 10]));
  src.Record.Header.biClrUsed = 2;  // all 256 entries are taken whatever this says
  const TSnapshot before(src);
  TResult res;
  TStepCounter steps;
  Convert8BitRGBTo4BitRGB(src.Record, res.Record, false, steps.Event());
  EXPECT_TRUE(before.Matches(src));
  EXPECT_EQ(steps.Calls, 16);
  const TVxBitmapInfoHeader& h = res.Record.Header;
  EXPECT_EQ(h.biBitCount, 4);
  EXPECT_EQ(h.biCompression, 0u);
  // Ten distinct colours to depth 4: every colour is its own entry.
  ASSERT_EQ(h.biClrUsed, 10u);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 9; ++x) {
      const int k = (x + y) % 10;
      EXPECT_TRUE(SameColor(res.Record.ColorTable[res.Index(x, y)], k * 20, k * 10, 5)) << x << "," << y;
    }
  EXPECT_EQ(res.Row(0)[4] & 0x0F, 0);  // odd width
  EXPECT_TRUE(SameColor(res.Record.ColorTable[10], 255, 0, 255));
}

TEST(Reduce8To4, RefusesOtherFormats) {
  for (const auto& [bits, compression] : {std::pair{4, 0u}, std::pair{24, 0u}, std::pair{8, 1u}, std::pair{8, 2u}}) {
    TSource src(2, 2, 8);
    src.Record.Header.biBitCount = static_cast<std::uint16_t>(bits);
    src.Record.Header.biCompression = compression;
    TResult res;
    TStepCounter steps;
    try {
      Convert8BitRGBTo4BitRGB(src.Record, res.Record, false, steps.Event());
      ADD_FAILURE() << bits << " " << compression;
    } catch (const EVxDIBBadDIBType& e) {
      EXPECT_EQ(e.Message(), "Convert8BitRGBTo4BitRGB: Invalid Bitcount or Compression");
    }
    EXPECT_EQ(res.Record.Bits, nullptr);
    EXPECT_EQ(steps.Calls, 0);
  }
}

TEST(Reduce8To4, FailingStepReleasesResultAndKeepsSource) {
  TSource src(6, 4, 8);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) src.SetIndex(x, y, static_cast<unsigned>(x * 4 + y));
  for (int i = 0; i < 24; ++i) src.SetColor(i, static_cast<std::uint8_t>(i * 10), 0, static_cast<std::uint8_t>(255 - i));
  const TSnapshot before(src);
  TResult res;
  int calls = 0;
  EXPECT_THROW(Convert8BitRGBTo4BitRGB(src.Record, res.Record, false,
                                       [&calls](TObject*) {
                                         if (++calls == 5) throw EAbort();
                                       }),
               EAbort);
  EXPECT_EQ(res.Record.Bits, nullptr);
  EXPECT_TRUE(before.Matches(src));
}

TEST(Reduce8To4, MatchesTheReferenceModel) {
  const golden::TCase* g = nullptr;
  for (const auto& c : golden::Cases)
    if (std::string(c.Name) == "From8To4") g = &c;
  ASSERT_NE(g, nullptr);
  TSource src(golden::Width, golden::Height, 8);
  FillGolden8BitImage(src, golden::Seed + 1);
  TResult res;
  Convert8BitRGBTo4BitRGB(src.Record, res.Record, false, nullptr);
  ASSERT_EQ(static_cast<int>(res.Record.Header.biClrUsed), g->ColorCount);
  EXPECT_EQ(PaletteHex(res.Record), g->Palette);
  for (const auto& s : g->Samples) EXPECT_EQ(static_cast<int>(res.Index(s.X, s.Y)), s.Index) << s.X << "," << s.Y;
  EXPECT_EQ(Fnv1a64(res.Bits(), res.Record.BitsSize), g->PixelHash);
}

// ---------------------------------------------------------------------------- mono colour

using TMono = void (*)(const TVxDIBRecord&, TVxDIBRecord&, bool, std::uint32_t);

// Pixels of exactly the mono colour become 1; neighbours one step off in any channel stay 0.
TEST(MonoReduction, KeysExactlyTheMonoColour) {
  const std::uint32_t mono = 0x00030201;  // red 1, green 2, blue 3
  struct TPixelRow {
    int R, G, B;
    unsigned Bit;
  };
  const TPixelRow colours[] = {{1, 2, 3, 1}, {3, 2, 1, 0}, {0, 2, 3, 0}, {1, 1, 3, 0},
                               {1, 2, 4, 0}, {1, 2, 3, 1}, {255, 255, 255, 0}, {0, 0, 0, 0}};
  // 10 pixels: crosses a byte and leaves padding.
  TSource rgb(10, 2, 24), pal8(10, 2, 8), pal4(10, 2, 4);
  for (int i = 0; i < 8; ++i) {
    pal8.SetColor(i + 100, static_cast<std::uint8_t>(colours[i].R), static_cast<std::uint8_t>(colours[i].G),
                  static_cast<std::uint8_t>(colours[i].B));
    pal4.SetColor(i + 8, static_cast<std::uint8_t>(colours[i].R), static_cast<std::uint8_t>(colours[i].G),
                  static_cast<std::uint8_t>(colours[i].B));
  }
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 10; ++x) {
      const int k = (x + 3 * y) % 8;
      rgb.SetRGB(x, y, static_cast<std::uint8_t>(colours[k].R), static_cast<std::uint8_t>(colours[k].G),
                 static_cast<std::uint8_t>(colours[k].B));
      pal8.SetIndex(x, y, static_cast<unsigned>(k + 100));
      pal4.SetIndex(x, y, static_cast<unsigned>(k + 8));
    }
  const std::pair<TSource*, TMono> cases[] = {
      {&rgb, ConvertTrueColorTo1BitRGB}, {&pal8, Convert8BitTo1BitRGB}, {&pal4, Convert4BitRGBTo1BitRGB}};
  for (const auto& [src, fn] : cases) {
    const TSnapshot before(*src);
    TResult res;
    fn(src->Record, res.Record, false, mono);
    EXPECT_TRUE(before.Matches(*src));
    const TVxBitmapInfoHeader& h = res.Record.Header;
    EXPECT_EQ(h.biBitCount, 1);
    EXPECT_EQ(h.biClrUsed, 2u);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(res.Record.BitsSize, 8u);
    EXPECT_TRUE(SameColor(res.Record.ColorTable[0], 0, 0, 0));
    EXPECT_TRUE(SameColor(res.Record.ColorTable[1], 255, 255, 255));
    // Row 0: colours 0..7, 0, 1 -> bits 1000 0100 10; row 1: colours 3..7, 0..4 -> 0010 0100 00.
    EXPECT_EQ(res.Block(), (std::vector<std::uint8_t>{0x84, 0x80, 0, 0, 0x24, 0x00, 0, 0}))
        << src->Record.Header.biBitCount;
  }
}

// White keyed in a table that holds white twice: both indices give 1.
TEST(MonoReduction, EveryTableEntryOfTheColourCounts) {
  TSource src(3, 1, 8);
  src.SetColor(7, 255, 255, 255);
  src.SetColor(9, 255, 255, 255);
  src.SetColor(8, 255, 255, 254);
  src.SetIndex(0, 0, 7);
  src.SetIndex(1, 0, 8);
  src.SetIndex(2, 0, 9);
  TResult res;
  Convert8BitTo1BitRGB(src.Record, res.Record, false, 0x00FFFFFF);
  EXPECT_EQ(res.Row(0)[0], 0xA0);
}

TEST(MonoReduction, RefusesOtherFormats) {
  struct TRow {
    TMono Fn;
    int Bits;
    std::uint32_t Compression;
    const char* Message;
  };
  const TRow rows[] = {
      {ConvertTrueColorTo1BitRGB, 8, 0, "ConvertTrueColorTo1BitRGB: Invalid Bitcount"},
      {ConvertTrueColorTo1BitRGB, 32, 0, "ConvertTrueColorTo1BitRGB: Invalid Bitcount"},
      {Convert8BitTo1BitRGB, 4, 0, "Convert8BitTo1BitRGB: Invalid Bitcount or Compression"},
      {Convert8BitTo1BitRGB, 8, 1, "Convert8BitTo1BitRGB: Invalid Bitcount or Compression"},
      {Convert4BitRGBTo1BitRGB, 8, 0, "Convert4BitRGBTo1BitRGB: Invalid Bitcount"},
      {Convert4BitRGBTo1BitRGB, 4, 2, "Convert4BitRGBTo1BitRGB: Invalid Bitcount"},
  };
  for (const TRow& r : rows) {
    TSource src(2, 2, 24);
    src.Record.Header.biBitCount = static_cast<std::uint16_t>(r.Bits);
    src.Record.Header.biCompression = r.Compression;
    TResult res;
    try {
      r.Fn(src.Record, res.Record, false, 0);
      ADD_FAILURE() << r.Message;
    } catch (const EVxDIBBadDIBType& e) {
      EXPECT_EQ(e.Message(), r.Message);
    }
    EXPECT_EQ(res.Record.Bits, nullptr);
  }
}

// ---------------------------------------------------------------------------- true-colour palette

class TrueColorPalette : public ::testing::TestWithParam<TVxConvertMethod> {
protected:
  // A storage holding the golden image at 24 bits.
  static void FillStorage(TVxInternalDIB& dib) {
    dib.ReleaseStorage();
    dib.CreateDIB(golden::Width, golden::Height, 0, 24);
    TSource src(golden::Width, golden::Height, 24);
    FillGoldenImage(src, golden::Seed);
    std::memcpy(dib.DIB.Bits, src.Pixels.data(), src.Pixels.size());
    dib.PaletteChanged = false;
  }
};

// The palette is that of the 8-bit reduction of the same method; the pixels stay.
TEST_P(TrueColorPalette, StoresThePaletteOfTheReduction) {
  TVxInternalDIB dib(false);
  FillStorage(dib);
  const std::vector<std::uint8_t> pixels(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize);
  TStepCounter steps;
  CreateTrueColorPalette(dib, GetParam(), steps.Event());
  EXPECT_EQ(steps.Calls, 256);
  EXPECT_TRUE(dib.PaletteChanged);
  EXPECT_EQ(dib.DIB.Header.biBitCount, 24);
  EXPECT_EQ(std::vector<std::uint8_t>(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize), pixels);
  const char* name = GetParam() == ConvertMethodLow ? "Low8" : "High8";
  for (const auto& c : golden::Cases)
    if (std::string(c.Name) == name) {
      EXPECT_EQ(static_cast<int>(dib.DIB.Header.biClrUsed), c.ColorCount);
      EXPECT_EQ(PaletteHex(dib.DIB), c.Palette);
    }
}

TEST_P(TrueColorPalette, FailuresLeaveTheTableAlone) {
  TVxInternalDIB dib(false);
  FillStorage(dib);
  dib.DIB.Header.biClrUsed = 3;
  dib.DIB.ColorTable[0] = Rgb(1, 2, 3);
  // A step that aborts half way.
  int calls = 0;
  EXPECT_THROW(CreateTrueColorPalette(dib, GetParam(),
                                      [&calls](TObject*) {
                                        if (++calls == 100) throw EAbort();
                                      }),
               EAbort);
  // A storage shared with another holder.
  dib.RefCount = 2;
  try {
    CreateTrueColorPalette(dib, GetParam(), nullptr);
    ADD_FAILURE() << "shared storage accepted";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "TVxInternalDIB.UpdatePalette: RefCount Must be 1");
  }
  dib.RefCount = 1;
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 3u);
  EXPECT_EQ(dib.DIB.ColorTable[0], Rgb(1, 2, 3));
  EXPECT_FALSE(dib.PaletteChanged);
}

INSTANTIATE_TEST_SUITE_P(Methods, TrueColorPalette, ::testing::Values(ConvertMethodLow, ConvertMethodHigh),
                         [](const ::testing::TestParamInfo<TVxConvertMethod>& p) {
                           return std::string(p.param == ConvertMethodLow ? "Low" : "High");
                         });

TEST(TrueColorPaletteChecks, RefusesOtherDepthsAndIgnoresOtherMethods) {
  TVxInternalDIB dib(false);
  dib.ReleaseStorage();
  dib.CreateDIB(2, 2, 16, 8);
  dib.PaletteChanged = false;
  try {
    CreateTrueColorPalette(dib, ConvertMethodLow, nullptr);
    ADD_FAILURE() << "8-bit storage accepted";
  } catch (const EVxDIBBadDIBType& e) {
    EXPECT_EQ(e.Message(), "TVxInternalDIB.CreateTrueColorPalette: Bad DIB Type");
  }
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 16u);
  dib.ReleaseStorage();
  dib.CreateDIB(2, 2, 0, 24);
  dib.PaletteChanged = false;
  CreateTrueColorPalette(dib, static_cast<TVxConvertMethod>(2), nullptr);
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 0u);
  EXPECT_FALSE(dib.PaletteChanged);
}

}  // namespace
