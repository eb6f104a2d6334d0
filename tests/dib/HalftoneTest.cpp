#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dib/ConvertGolden.h"
#include "dib/ConvertTestSupport.h"

using namespace convtest;

namespace {

using THalftone = void (*)(const TVxDIBRecord&, TVxDIBRecord&, bool);

std::vector<unsigned> RowIndices(const TResult& res, int y) {
  std::vector<unsigned> out;
  for (int x = 0; x < res.Width(); ++x) out.push_back(res.Index(x, y));
  return out;
}

// One colour on a level of every channel: nothing to diffuse.
TEST(HalftoneColour, ExactLevelColourIsOneIndexEverywhere) {
  TSource src(7, 5, 24);
  src.Fill(51, 43, 64);
  TResult res;
  ConvertToHalfTone(src.Record, res.Record, false);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) EXPECT_EQ(res.Index(x, y), 41u) << x << "," << y;
}

// Mid grey: green and blue sit on a level, red dithers between 102 and 153. The first pixel
// takes 153 (index 122) and carries an error of 25, which pushes its neighbour down to 102
// (index 87); the odd row runs right to left.
//   row 0: v = 128, 128 - 300/32 = 119, 128 + 204/32 = 134, 128 - 228/32 = 121
//   row 1 (from x = 3): 128 + 228/32 = 135, 128 - 349/32 = 118, 128 + 301/32 = 137, 128 - 407/32 = 116
TEST(HalftoneColour, MidGreyDithersRedOnly) {
  TSource src(4, 2, 24);
  src.Fill(128, 128, 128);
  TResult res;
  ConvertToHalfTone(src.Record, res.Record, false);
  EXPECT_EQ(RowIndices(res, 0), (std::vector<unsigned>{122, 87, 122, 87}));
  EXPECT_EQ(RowIndices(res, 1), (std::vector<unsigned>{87, 122, 87, 122}));
}

// One pixel wide: both neighbours of the diagonal are borders, only the pixel above counts.
TEST(HalftoneColour, OnePixelWideColumn) {
  TSource src(1, 4, 24);
  src.Fill(128, 128, 128);
  TResult res;
  ConvertToHalfTone(src.Record, res.Record, false);
  EXPECT_EQ(res.Record.BitsSize, 16u);
  EXPECT_EQ(res.Block(), (std::vector<std::uint8_t>{122, 0, 0, 0, 87, 0, 0, 0, 122, 0, 0, 0, 87, 0, 0, 0}));
}

TEST(HalftoneColour, ResultRecordCarriesThePalette) {
  TSource src(3, -2, 24);
  src.SetColor(214, 1, 1, 1);
  src.SetColor(215, 9, 8, 7);
  src.SetColor(255, 6, 5, 4);
  const TSnapshot before(src);
  TResult res;
  ConvertToHalfTone(src.Record, res.Record, false);
  EXPECT_TRUE(before.Matches(src));
  const TVxBitmapInfoHeader& h = res.Record.Header;
  EXPECT_EQ(h.biBitCount, 8);
  EXPECT_EQ(h.biHeight, -2);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(h.biClrUsed, 215u);
  EXPECT_EQ(h.biClrImportant, 7u);
  EXPECT_EQ(res.Record.BitsSize, 8u);
  const TVxRGBQuad* t = res.Record.ColorTable;
  struct TEntry {
    int Index, R, G, B;
  };
  const TEntry entries[] = {{0, 0, 0, 0},       {1, 0, 0, 64},      {4, 0, 0, 255},      {5, 0, 43, 0},
                            {34, 0, 255, 255},  {35, 51, 0, 0},     {41, 51, 43, 64},    {122, 153, 128, 128},
                            {209, 255, 255, 255}, {210, 128, 0, 0}, {211, 128, 128, 0},  {212, 128, 0, 128},
                            {213, 192, 192, 192}, {214, 128, 128, 128}, {215, 9, 8, 7},  {255, 6, 5, 4}};
  for (const TEntry& e : entries) EXPECT_TRUE(SameColor(t[e.Index], e.R, e.G, e.B)) << e.Index << " " << ColorText(t[e.Index]);
}

// Grey 128 in black and white: 384 is white, the error 127 makes the next pixel black.
//   row 0: 128 (white, e 127), 128 - 1524/32 = 81 (black), 128 + 972/32 = 158 (white), 128 - 1164/32 = 92
TEST(HalftoneBlackWhite, MidGreyStartsWhite) {
  TSource src(4, 2, 24);
  src.Fill(128, 128, 128);
  TResult res;
  ConvertToHalfToneBW(src.Record, res.Record, false);
  EXPECT_EQ(res.Block(), (std::vector<std::uint8_t>{0xA0, 0, 0, 0, 0x50, 0, 0, 0}));
}

TEST(HalftoneBlackWhite, PureWhiteAndPureBlack) {
  for (const bool white : {true, false}) {
    TSource src(11, 3, 24);
    const std::uint8_t v = white ? 255 : 0;
    src.Fill(v, v, v);
    TResult res;
    ConvertToHalfToneBW(src.Record, res.Record, false);
    for (int y = 0; y < 3; ++y) {
      EXPECT_EQ(res.Row(y)[0], white ? 0xFF : 0x00);
      EXPECT_EQ(res.Row(y)[1], white ? 0xE0 : 0x00);  // 11 pixels, the rest is padding
      EXPECT_EQ(res.Row(y)[2], 0);
      EXPECT_EQ(res.Row(y)[3], 0);
    }
  }
}

// A black row leaves no error; the grey row after it runs right to left from x = 9, so
// the white pixels fall on odd columns, starting in byte 1.
TEST(HalftoneBlackWhite, OddRowRunsRightToLeft) {
  TSource src(10, 2, 24);
  for (int x = 0; x < 10; ++x) src.SetRGB(x, 1, 128, 128, 128);
  TResult res;
  ConvertToHalfToneBW(src.Record, res.Record, false);
  EXPECT_EQ(res.Block(), (std::vector<std::uint8_t>{0, 0, 0, 0, 0x55, 0x40, 0, 0}));
}

TEST(HalftoneBlackWhite, ResultRecordIsBlackAndWhite) {
  TSource src(3, 2, 8);
  src.SetColor(2, 9, 8, 7);
  TResult res;
  ConvertToHalfToneBW(src.Record, res.Record, false);
  const TVxBitmapInfoHeader& h = res.Record.Header;
  EXPECT_EQ(h.biBitCount, 1);
  EXPECT_EQ(h.biClrUsed, 2u);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(res.Record.BitsSize, 8u);
  EXPECT_TRUE(SameColor(res.Record.ColorTable[0], 0, 0, 0));
  EXPECT_TRUE(SameColor(res.Record.ColorTable[1], 255, 255, 255));
  EXPECT_TRUE(SameColor(res.Record.ColorTable[2], 9, 8, 7));
}

struct THalftoneCase {
  const char* Name;
  THalftone Fn;
};

const THalftoneCase HalftoneCases[] = {
    {"ConvertToHalfTone", ConvertToHalfTone},
    {"ConvertToHalfToneBW", ConvertToHalfToneBW},
};

class Halftones : public ::testing::TestWithParam<THalftoneCase> {};

// A palette image renders exactly like the 24-bit image of its table colours, whatever
// biClrUsed says.
TEST_P(Halftones, PaletteSourcesRenderThroughTheirTable) {
  constexpr int W = 13, H = 6;
  for (const int bits : {1, 4, 8}) {
    TSource pal(W, H, bits);
    TSource rgb(W, H, 24);
    pal.Record.Header.biClrUsed = 1;
    TLcg rnd{static_cast<std::uint32_t>(bits)};
    for (int i = 0; i < (1 << bits); ++i) {
      const std::uint8_t r = rnd.Byte(), g = rnd.Byte(), b = rnd.Byte();
      pal.SetColor(i, r, g, b);
    }
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const unsigned index = rnd.Byte() % (1u << bits);
        pal.SetIndex(x, y, index);
        const TVxRGBQuad& c = pal.Record.ColorTable[index];
        rgb.SetRGB(x, y, c.rgbRed, c.rgbGreen, c.rgbBlue);
      }
    TResult fromPal, fromRgb;
    GetParam().Fn(pal.Record, fromPal.Record, false);
    GetParam().Fn(rgb.Record, fromRgb.Record, false);
    EXPECT_EQ(fromPal.Block(), fromRgb.Block()) << bits << " bits";
  }
}

// Compression is refused before anything is allocated; an unknown depth at the first pixel,
// after which the result memory goes back (the leak checker sees it) and the record stays.
TEST_P(Halftones, InvalidSourcesAreAssertions) {
  const std::string name = GetParam().Name;
  struct TBad {
    int Bits;
    std::uint32_t Compression;
    const char* Message;
  };
  const TBad bad[] = {{8, 1, ": Invalid DIB Format"},  {4, 2, ": Invalid DIB Format"}, {24, 3, ": Invalid DIB Format"},
                      {16, 0, ": Invalid Bit Count"}, {32, 0, ": Invalid Bit Count"}, {2, 0, ": Invalid Bit Count"}};
  for (const bool useFMO : {false, true}) {
    for (const TBad& b : bad) {
      TSource src(3, 2, 32);
      src.Record.Header.biBitCount = static_cast<std::uint16_t>(b.Bits);
      src.Record.Header.biCompression = b.Compression;
      const TSnapshot before(src);
      TResult res(useFMO);
      try {
        GetParam().Fn(src.Record, res.Record, useFMO);
        ADD_FAILURE() << name << " accepted " << b.Bits << " bits, compression " << b.Compression;
      } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), std::string(GetParam().Name) + b.Message);
      }
      EXPECT_EQ(res.Record.Bits, nullptr);
      EXPECT_EQ(res.Record.BitsSize, 0u);
      EXPECT_TRUE(before.Matches(src));
    }
  }
}

TEST_P(Halftones, MatchesTheReferenceModel) {
  const bool bw = std::string(GetParam().Name) == "ConvertToHalfToneBW";
  const golden::TCase* g = nullptr;
  for (const auto& c : golden::Cases)
    if (std::string(c.Name) == (bw ? "HalftoneBW" : "Halftone")) g = &c;
  ASSERT_NE(g, nullptr);
  for (const bool useFMO : {false, true}) {
    TSource src(golden::Width, golden::Height, 24);
    FillGoldenImage(src, golden::Seed);
    ASSERT_EQ(Fnv1a64(src.Pixels.data(), src.Pixels.size()), golden::SourceHash);
    TResult res(useFMO);
    GetParam().Fn(src.Record, res.Record, useFMO);
    ASSERT_EQ(static_cast<int>(res.Record.Header.biClrUsed), g->ColorCount);
    EXPECT_EQ(PaletteHex(res.Record), g->Palette);
    for (const auto& s : g->Samples) EXPECT_EQ(static_cast<int>(res.Index(s.X, s.Y)), s.Index) << s.X << "," << s.Y;
    EXPECT_EQ(Fnv1a64(res.Bits(), res.Record.BitsSize), g->PixelHash);
  }
}

INSTANTIATE_TEST_SUITE_P(Routines, Halftones, ::testing::ValuesIn(HalftoneCases),
                         [](const ::testing::TestParamInfo<THalftoneCase>& p) { return std::string(p.param.Name); });

}  // namespace
