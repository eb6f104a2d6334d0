#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "dib/ConvertTestSupport.h"

using namespace convtest;

namespace {

using TExpand = void (*)(const TVxDIBRecord&, TVxDIBRecord&, bool);

struct TExpandCase {
  const char* Name;
  TExpand Fn;
  int From;
  int To;
};

const TExpandCase ExpandCases[] = {
    {"Convert1BitRGBTo4BitRGB", Convert1BitRGBTo4BitRGB, 1, 4},
    {"Convert1BitRGBTo8BitRGB", Convert1BitRGBTo8BitRGB, 1, 8},
    {"Convert4BitRGBTo8BitRGB", Convert4BitRGBTo8BitRGB, 4, 8},
    {"Convert1BitRGBToTrueColor", Convert1BitRGBToTrueColor, 1, 24},
    {"Convert4BitRGBToTrueColor", Convert4BitRGBToTrueColor, 4, 24},
    {"Convert8BitRGBToTrueColor", Convert8BitRGBToTrueColor, 8, 24},
};

// Index pattern of a test image: mixes every index of the depth over rows and columns.
unsigned PatternIndex(int x, int y, int bits) { return static_cast<unsigned>((x * 7 + y * 3 + x * y) % (1 << bits)); }

void FillPattern(TSource& src) {
  const int bits = src.Record.Header.biBitCount;
  for (int y = 0; y < src.Rows(); ++y)
    for (int x = 0; x < src.Record.Header.biWidth; ++x) src.SetIndex(x, y, PatternIndex(x, y, bits));
  for (int i = 0; i < 256; ++i)
    src.SetColor(i, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 37));
}

class Expansion : public ::testing::TestWithParam<std::tuple<TExpandCase, int, bool>> {
protected:
  const TExpandCase& Case() const { return std::get<0>(GetParam()); }
  int Width() const { return std::get<1>(GetParam()); }
  bool UseFMO() const { return std::get<2>(GetParam()); }
};

std::string ExpansionName(const ::testing::TestParamInfo<std::tuple<TExpandCase, int, bool>>& info) {
  return std::string(std::get<0>(info.param).Name) + "_W" + std::to_string(std::get<1>(info.param)) +
         (std::get<2>(info.param) ? "_Mapped" : "_Heap");
}

// Every pixel keeps its colour; the record is the source's except for the block and depth.
TEST_P(Expansion, KeepsEveryPixelAndTheRestOfTheRecord) {
  for (const int height : {3, -3}) {
    TSource src(Width(), height, Case().From);
    FillPattern(src);
    src.Record.Header.biClrUsed = 5;  // kept, also where indices go beyond it
    const TSnapshot before(src);
    TResult res(UseFMO());
    Case().Fn(src.Record, res.Record, UseFMO());
    EXPECT_TRUE(before.Matches(src));

    const TVxBitmapInfoHeader& h = res.Record.Header;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, Width());
    EXPECT_EQ(h.biHeight, height);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, Case().To);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biXPelsPerMeter, 2835);
    EXPECT_EQ(h.biYPelsPerMeter, 3780);
    EXPECT_EQ(h.biClrUsed, 5u);
    EXPECT_EQ(h.biClrImportant, 7u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(res.Record.ColorTable[i], src.Record.ColorTable[i]) << i;
    ASSERT_EQ(res.Record.BitsSize, 3 * Stride(Width(), Case().To));
    ASSERT_NE(res.Record.Bits, nullptr);
    EXPECT_NE(res.Record.Bits, src.Record.Bits);

    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < Width(); ++x) {
        const unsigned index = PatternIndex(x, y, Case().From);
        if (Case().To == 24) {
          const std::uint8_t* p = res.Row(y) + 3 * x;
          const TVxRGBQuad& c = src.Record.ColorTable[index];
          EXPECT_EQ(p[0], c.rgbBlue) << x << "," << y;
          EXPECT_EQ(p[1], c.rgbGreen) << x << "," << y;
          EXPECT_EQ(p[2], c.rgbRed) << x << "," << y;
        } else {
          EXPECT_EQ(res.Index(x, y), index) << x << "," << y;
        }
      }
      // Whatever no pixel fills stays 0: row padding and a lone high nibble's partner.
      const std::size_t used = (static_cast<std::size_t>(Width()) * static_cast<std::size_t>(Case().To) + 7) / 8;
      for (std::size_t i = used; i < res.RowBytes(); ++i) EXPECT_EQ(res.Row(y)[i], 0) << "row " << y << " byte " << i;
      if (Case().To == 4 && Width() % 2 == 1) {
        EXPECT_EQ(res.Row(y)[used - 1] & 0x0F, 0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Routines, Expansion,
                         ::testing::Combine(::testing::ValuesIn(ExpandCases), ::testing::Values(1, 7, 8, 9, 17, 33),
                                            ::testing::Bool()),
                         ExpansionName);

class ExpansionRefusal : public ::testing::TestWithParam<TExpandCase> {};

// Any other depth, and any compression, is refused with the routine's own message before
// memory is taken; the result record stays as it was.
TEST_P(ExpansionRefusal, RefusesOtherDepthsAndCompression) {
  const TExpandCase& c = GetParam();
  const std::string message = std::string(c.Name) + ": Invalid Bitcount & Compression Combination";
  struct TBad {
    int Bits;
    std::uint32_t Compression;
  };
  const TBad bad[] = {{1, 0}, {4, 0}, {8, 0}, {24, 0}, {16, 0}, {32, 0}, {c.From, 1}, {c.From, 2}, {c.From, 3}};
  for (const TBad& b : bad) {
    if (b.Bits == c.From && b.Compression == 0) continue;
    TSource src(4, 2, c.From);
    src.Record.Header.biBitCount = static_cast<std::uint16_t>(b.Bits);
    src.Record.Header.biCompression = b.Compression;
    const TSnapshot before(src);
    TResult res;
    res.Record.Header.biWidth = 99;
    try {
      c.Fn(src.Record, res.Record, false);
      ADD_FAILURE() << c.Name << " accepted " << b.Bits << " bits, compression " << b.Compression;
    } catch (const EVxDIBBadDIBType& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
    EXPECT_EQ(res.Record.Bits, nullptr);
    EXPECT_EQ(res.Record.Header.biWidth, 99);
    EXPECT_TRUE(before.Matches(src));
  }
}

INSTANTIATE_TEST_SUITE_P(Routines, ExpansionRefusal, ::testing::ValuesIn(ExpandCases),
                         [](const ::testing::TestParamInfo<TExpandCase>& p) { return std::string(p.param.Name); });

// Hand-packed bytes: pixels 1 0 1 1 0 in one 1-bit byte (1011 0000).
TEST(Expansion, OneBitRowByHand) {
  TSource src(5, 1, 1);
  src.Row(0)[0] = 0xB0;
  src.SetColor(0, 10, 20, 30);
  src.SetColor(1, 40, 50, 60);
  TResult to4, to8, to24;
  Convert1BitRGBTo4BitRGB(src.Record, to4.Record, false);
  Convert1BitRGBTo8BitRGB(src.Record, to8.Record, false);
  Convert1BitRGBToTrueColor(src.Record, to24.Record, false);
  EXPECT_EQ(to4.Block(), (std::vector<std::uint8_t>{0x10, 0x11, 0x00, 0x00}));
  EXPECT_EQ(to8.Block(), (std::vector<std::uint8_t>{1, 0, 1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(to24.Block(), (std::vector<std::uint8_t>{60, 50, 40, 30, 20, 10, 60, 50, 40, 60, 50, 40, 30, 20, 10, 0}));
}

// A 4-bit row of odd width: the last pixel sits in the high nibble of the last byte.
TEST(Expansion, FourBitOddWidthByHand) {
  TSource src(3, 1, 4);
  src.Row(0)[0] = 0x5A;
  src.Row(0)[1] = 0xC7;  // 7 in the low nibble belongs to no pixel
  TResult to8;
  Convert4BitRGBTo8BitRGB(src.Record, to8.Record, false);
  EXPECT_EQ(to8.Block(), (std::vector<std::uint8_t>{0x05, 0x0A, 0x0C, 0x00}));
}

// One pixel wide: every depth has a 4-byte stride.
TEST(Expansion, OnePixelWideRowsAreFourBytes) {
  TSource src(1, 2, 1);
  src.Row(0)[0] = 0x80;
  src.SetColor(1, 1, 2, 3);
  TResult to4, to8, to24;
  Convert1BitRGBTo4BitRGB(src.Record, to4.Record, false);
  Convert1BitRGBTo8BitRGB(src.Record, to8.Record, false);
  Convert1BitRGBToTrueColor(src.Record, to24.Record, false);
  EXPECT_EQ(to4.Block(), (std::vector<std::uint8_t>{0x10, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(to8.Block(), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(to24.Block(), (std::vector<std::uint8_t>{3, 2, 1, 0, 0, 0, 0, 0}));
}

// 17 pixels of 24 bits are 51 bytes, padded to 52.
TEST(Expansion, SeventeenPixelsMakeFiftyTwoByteRows) {
  TSource src(17, 2, 8);
  for (int x = 0; x < 17; ++x) {
    src.SetIndex(x, 0, static_cast<unsigned>(x));
    src.SetIndex(x, 1, static_cast<unsigned>(100 + x));
    src.SetColor(x, 1, 1, static_cast<std::uint8_t>(x));
    src.SetColor(100 + x, 2, 2, static_cast<std::uint8_t>(x));
  }
  TResult res;
  Convert8BitRGBToTrueColor(src.Record, res.Record, false);
  EXPECT_EQ(res.Record.BitsSize, 104u);
  EXPECT_EQ(res.Row(0)[50], 1);   // red of pixel 16
  EXPECT_EQ(res.Row(0)[51], 0);   // padding
  EXPECT_EQ(res.Row(1)[0], 0);    // blue of pixel 0 of row 1
  EXPECT_EQ(res.Row(1)[50], 2);
  EXPECT_EQ(res.Row(1)[48], 16);
}

// Indices beyond biClrUsed read the table entry stored there.
TEST(Expansion, IndexBeyondTheUsedColoursReadsTheTable) {
  TSource src(2, 1, 8);
  src.Record.Header.biClrUsed = 16;
  src.SetIndex(0, 0, 200);
  src.SetIndex(1, 0, 201);
  src.SetColor(200, 9, 8, 7);
  TResult res;
  Convert8BitRGBToTrueColor(src.Record, res.Record, false);
  EXPECT_EQ(res.Block(), (std::vector<std::uint8_t>{7, 8, 9, 0, 0, 0, 0, 0}));
  EXPECT_EQ(res.Record.Header.biClrUsed, 16u);
}

}  // namespace
