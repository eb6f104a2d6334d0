// The DIB graphic with the framework's bitmap: assignment both ways and drawing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dib/BmpBuilder.h"
#include "dib/DIBTestSupport.h"
#include "dib/Rle.h"
#include "dib/VxDIB.h"
#include "platform/Palette.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// 0x00BBGGRR of ramp entry i of TBmpBuilder::RampPalette.
std::uint32_t Ramp(int i) {
  return static_cast<std::uint32_t>((i * 7) & 0xFF) | static_cast<std::uint32_t>(255 - i) << 8 |
         static_cast<std::uint32_t>(i) << 16;
}

// A w x h picture of the given depth whose pixel (x, y from the top) is value(x, y).
TBmpBuilder Picture(int w, int h, std::uint16_t bits, int colors, bool topDown,
                    const std::function<std::uint32_t(int, int)>& value) {
  TBmpBuilder b;
  b.Width = w;
  b.Height = topDown ? -h : h;
  b.BitCount = bits;
  b.ClrUsed = static_cast<std::uint32_t>(colors);
  b.Palette = TBmpBuilder::RampPalette(colors);
  b.Pixels = TBmpBuilder::Rows(w, h, bits, [&](int x, int r) { return value(x, topDown ? r : h - 1 - r); });
  return b;
}

int IndexAt(const TBitmap& bmp, int x, int y) {
  const std::uint8_t* row = bmp.ScanLine(y);
  switch (bmp.BitsPerPixel()) {
    case 1: return (row[x / 8] >> (7 - x % 8)) & 1;
    case 4: return x % 2 ? row[x / 2] & 15 : row[x / 2] >> 4;
    default: return row[x];
  }
}

std::uint32_t ColorAt(TBitmap& bmp, int x, int y) {
  return static_cast<TBitmapCanvas&>(bmp.Canvas()).Pixel(x, y);
}

// ---- AssignTo a bitmap -----------------------------------------------------------------------

struct TAssignCase {
  const char* Name;
  std::uint16_t Bits;
  int Colors;
  bool TopDown;
  TPixelFormat Format;
  friend std::ostream& operator<<(std::ostream& os, const TAssignCase& c) { return os << c.Name; }
};

class AssignToBitmap : public ::testing::TestWithParam<TAssignCase> {};

TEST_P(AssignToBitmap, GivesSizeDepthPaletteAndUprightPixels) {
  const TAssignCase& c = GetParam();
  const int w = 13, h = 5;
  const auto value = [&](int x, int y) -> std::uint32_t {
    if (c.Bits == 24) return static_cast<std::uint32_t>(x * 19 + y * 40) << 16 | static_cast<std::uint32_t>(y * 50) << 8 | 7u * x;
    return static_cast<std::uint32_t>(x + 3 * y) % static_cast<std::uint32_t>(c.Colors);
  };
  TVxDIB dib;
  LoadBytes(dib, Picture(w, h, c.Bits, c.Colors, c.TopDown, value).Build());
  TBitmap bmp;
  bmp.Assign(&dib);
  EXPECT_EQ(bmp.Width(), w);
  EXPECT_EQ(bmp.Height(), h);
  EXPECT_EQ(bmp.PixelFormat(), c.Format);
  // A bottom-up DIB's block already is the bitmap's layout: lent, not drawn.
  ASSERT_NE(bmp.PixelBuffer(), nullptr);
  EXPECT_EQ(bmp.PixelBuffer()->Data() == dib.InternalDIB()->DIB.Bits, !c.TopDown);
  if (c.Colors == 0) {
    EXPECT_EQ(bmp.Palette(), nullptr);
  } else {
    ASSERT_NE(bmp.Palette(), nullptr);
    EXPECT_NE(bmp.Palette(), dib.Palette());  // a copy, the DIB keeps its own
    std::vector<platform::TPaletteEntry> e(256);
    ASSERT_EQ(platform::GetPaletteEntries(bmp.Palette(), 0, 256, e.data()), c.Colors);
    for (int i = 0; i < c.Colors; ++i)
      ASSERT_EQ(e[static_cast<std::size_t>(i)],
                (platform::TPaletteEntry{std::uint8_t(i * 7), std::uint8_t(255 - i), std::uint8_t(i), 0}));
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (c.Bits == 24) {
        const std::uint32_t v = value(x, y);  // 0x00RRGGBB
        const std::uint32_t bgr = (v >> 16 & 0xFF) | (v & 0xFF00) | (v & 0xFF) << 16;
        ASSERT_EQ(ColorAt(bmp, x, y), bgr) << x << "," << y;
      } else {
        ASSERT_EQ(IndexAt(bmp, x, y), static_cast<int>(value(x, y))) << x << "," << y;
        ASSERT_EQ(ColorAt(bmp, x, y), Ramp(static_cast<int>(value(x, y))));
      }
    }
}

INSTANTIATE_TEST_SUITE_P(TVxDIB, AssignToBitmap,
                         ::testing::Values(TAssignCase{"OneBit", 1, 2, false, pf1bit},
                                           TAssignCase{"OneBitTopDown", 1, 2, true, pf1bit},
                                           TAssignCase{"FourBits", 4, 16, false, pf4bit},
                                           TAssignCase{"FourBitsFewColours", 4, 5, true, pf4bit},
                                           TAssignCase{"EightBits", 8, 256, false, pf8bit},
                                           TAssignCase{"EightBitsTopDown", 8, 40, true, pf8bit},
                                           TAssignCase{"TwentyFourBits", 24, 0, false, pf24bit},
                                           TAssignCase{"TwentyFourBitsTopDown", 24, 0, true, pf24bit}),
                         [](const auto& p) { return std::string(p.param.Name); });

// 24-bit picture whose pixel (x, y) is red 9, green y, blue x.
TBmpBuilder Lendable(int w, int h) {
  return Picture(w, h, 24, 0, false, [](int x, int y) { return 9u << 16 | static_cast<std::uint32_t>(y) << 8 | static_cast<std::uint32_t>(x); });
}

TEST(TVxDIBAssignTo, LentPixelsAreCopiedBeforeTheBitmapWrites) {
  TVxDIB dib;
  LoadBytes(dib, Lendable(5, 3).Build());
  const std::uint8_t* dibBits = dib.InternalDIB()->DIB.Bits;
  TBitmap bmp;
  bmp.Assign(&dib);
  ASSERT_EQ(bmp.PixelBuffer()->Data(), dibBits);
  EXPECT_EQ(dib.InternalDIB()->RefCount, 2);  // the loan holds the storage
  bmp.ScanLine(2)[0] = 0xEE;  // bottom row, first pixel's blue
  EXPECT_NE(bmp.PixelBuffer()->Data(), dibBits);
  EXPECT_EQ(dibBits[0], 0);  // the DIB's bottom-left pixel is unchanged
  EXPECT_EQ(ColorAt(bmp, 0, 2), 0xEE0209u);
  EXPECT_EQ(ColorAt(bmp, 4, 1), 0x040109u);
  EXPECT_EQ(dib.InternalDIB()->RefCount, 1);  // the copy let go of the storage
}

TEST(TVxDIBAssignTo, TheDIBCopiesItsStorageBeforeChangingWhileLent) {
  TVxDIB dib;
  LoadBytes(dib, Lendable(4, 2).Build());
  TBitmap bmp;
  bmp.Assign(&dib);
  const std::uint8_t* lent = bmp.PixelBuffer()->Data();
  dib.UniqueDIB();
  EXPECT_NE(dib.InternalDIB()->DIB.Bits, lent);
  dib.InternalDIB()->DIB.Bits[0] = 0x77;
  EXPECT_EQ(ColorAt(bmp, 0, 1), 0x000109u);
  // The bitmap is now the storage's only holder: writing needs no copy.
  bmp.ScanLine(0)[0] = 0x55;
  EXPECT_EQ(bmp.PixelBuffer()->Data(), lent);
}

TEST(TVxDIBAssignTo, TheBitmapOutlivesTheDIB) {
  TBitmap bmp;
  {
    TVxDIB dib;
    LoadBytes(dib, Lendable(3, 3).Build());
    bmp.Assign(&dib);
  }
  const std::uint8_t* lent = bmp.PixelBuffer()->Data();
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) ASSERT_EQ(ColorAt(bmp, x, y), static_cast<std::uint32_t>(x) << 16 | static_cast<std::uint32_t>(y) << 8 | 9u);
  bmp.ScanLine(1)[0] = 1;
  EXPECT_EQ(bmp.PixelBuffer()->Data(), lent);
}

TEST(TVxDIBAssignTo, Rle8IsDrawnDecoded) {
  TBmpBuilder b = Picture(4, 2, 8, 16, false, [](int, int) { return 0u; });
  b.Compression = 1;
  b.Pixels = {4, 7, 0, 0, 2, 1, 2, 2, 0, 0, 0, 1};  // bottom row 7 7 7 7, top row 1 1 2 2
  TVxDIB dib;
  LoadBytes(dib, b.Build());
  ASSERT_EQ(dib.PixelFormat(), vxpf8BitRLE);
  TBitmap bmp;
  bmp.Assign(&dib);
  EXPECT_EQ(bmp.PixelFormat(), pf8bit);
  const int expected[2][4] = {{1, 1, 2, 2}, {7, 7, 7, 7}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(IndexAt(bmp, x, y), expected[y][x]) << x << "," << y;
  EXPECT_EQ(ColorAt(bmp, 0, 1), Ramp(7));
}

TEST(TVxDIBAssignTo, Rle4IsDrawnDecoded) {
  TBmpBuilder b = Picture(5, 2, 4, 16, false, [](int, int) { return 0u; });
  b.Compression = 2;
  // bottom row: run of 5 alternating 1, 2; top row: literal 3 4 5 then run 2 of 6
  b.Pixels = {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 2, 0x66, 0, 1};
  TVxDIB dib;
  LoadBytes(dib, b.Build());
  TBitmap bmp;
  bmp.Assign(&dib);
  EXPECT_EQ(bmp.PixelFormat(), pf4bit);
  const int expected[2][5] = {{3, 4, 5, 6, 6}, {1, 2, 1, 2, 1}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(IndexAt(bmp, x, y), expected[y][x]) << x << "," << y;
}

TEST(TVxDIBAssignTo, RejectedRunLengthDataFailsWithTheDecodersMessage) {
  const Bytes streams[] = {{4, 7, 0, 0},           // no end of bitmap
                           {4, 7, 0},              // cut inside an escape
                           {9, 7, 0, 0, 0, 1}};    // run past the row
  for (const Bytes& stream : streams) {
    TBmpBuilder b = Picture(4, 2, 8, 16, false, [](int, int) { return 0u; });
    b.Compression = 1;
    b.Pixels = stream;
    TVxDIB dib;
    LoadBytes(dib, b.Build());
    const std::string decoder = MessageOf<EVxDIBError>([&] {
      TVxDIBRecord plain;
      Convert8BitRLETo8BitRGB(dib.InternalDIB()->DIB, plain, false);
      ReleaseMemory(plain.MappingHandle, plain.Bits, false);
    });
    ASSERT_NE(decoder, "<no exception>");
    TBitmap bmp;
    EXPECT_EQ(MessageOf<EVxDIBError>([&] { bmp.Assign(&dib); }), decoder);
  }
}

TEST(TVxDIBAssignTo, PaletteDuplicatesKeepTheirIndices) {
  TBmpBuilder b = Picture(3, 1, 8, 3, false, [](int x, int) { return static_cast<std::uint32_t>(x); });
  b.Palette = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  TVxDIB dib;
  LoadBytes(dib, b.Build());
  TBitmap bmp;
  bmp.Assign(&dib);
  for (int x = 0; x < 3; ++x) EXPECT_EQ(IndexAt(bmp, x, 0), x);
}

TEST(TVxDIBAssignTo, DIBWithoutTableGivesABitmapWithoutPalette) {
  TVxDIB dib;
  LoadBytes(dib, Picture(3, 2, 8, 16, false, [](int x, int) { return static_cast<std::uint32_t>(x); }).Build());
  dib.SetPalette(nullptr);
  TBitmap bmp;
  bmp.Assign(&dib);
  EXPECT_EQ(bmp.Palette(), nullptr);
  EXPECT_EQ(IndexAt(bmp, 2, 1), 2);
}

TEST(TVxDIBAssignTo, HalftoneModeIsRestored) {
  TVxDIB dib;
  dib.SetHalftoneMode(hmHalftone);
  TBitmap bmp;
  bmp.Assign(&dib);
  EXPECT_EQ(dib.HalftoneMode(), hmHalftone);
  EXPECT_EQ(bmp.Width(), 1);
}

TEST(TVxDIBAssignTo, HeaderWithoutPixelFormatFails) {
  TBmpBuilder b = Picture(2, 2, 8, 16, false, [](int, int) { return 0u; });
  b.Compression = 3;
  b.Masks = {1, 2, 3};
  TVxDIB dib;
  LoadBytes(dib, b.Build());
  TBitmap bmp;
  EXPECT_EQ(MessageOf<EVxDIBInvalidDIB>([&] { bmp.Assign(&dib); }), "TVxInternalDIB.GetPixelFormat: Invalid DIB(8Bit)");
}

TEST(TVxDIBAssignTo, AnotherDIBSharesAndOtherClassesFail) {
  TVxDIB a, b;
  a.SetWidth(4);
  b.Assign(&a);  // through TVxDIB.Assign
  EXPECT_EQ(b.InternalDIB(), a.InternalDIB());
  class TOther : public TPersistent {};
  TOther other;
  EXPECT_THROW(other.Assign(&a), EConvertError);
}

// ---- Assign from a bitmap ------------------------------------------------------------------------

TEST(TVxDIBAssign, EightBitBitmapGivesItsPixelsAndPalette) {
  TBitmap bmp;
  bmp.SetPixelFormat(pf8bit);
  bmp.SetSize(3, 2);
  platform::TPaletteEntry entries[3] = {{10, 20, 30, 0}, {40, 50, 60, 0}, {70, 80, 90, 0}};
  bmp.SetPalette(platform::CreatePalette(entries, 3));
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) bmp.ScanLine(y)[x] = static_cast<std::uint8_t>((x + y) % 3);
  TVxDIB dib;
  dib.Assign(&bmp);
  const TVxDIBRecord& r = dib.InternalDIB()->DIB;
  EXPECT_EQ(dib.Width(), 3);
  EXPECT_EQ(r.Header.biHeight, 2);
  EXPECT_EQ(r.Header.biBitCount, 8);
  EXPECT_EQ(r.Header.biClrUsed, 256u);
  EXPECT_EQ(r.Header.biXPelsPerMeter, 3780);
  EXPECT_EQ(r.ColorTable[1], (TVxRGBQuad{60, 50, 40, 0}));
  EXPECT_EQ(r.ColorTable[3], (TVxRGBQuad{0, 0, 0, 0}));
  EXPECT_EQ(r.Bits[0], 1);  // bottom row (y = 1), x = 0
  EXPECT_EQ(r.Bits[4 + 2], 2);  // top row, x = 2
  EXPECT_TRUE(dib.Modified());
  EXPECT_TRUE(dib.PaletteModified());
  // and back: the same picture
  TBitmap again;
  again.Assign(&dib);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(IndexAt(again, x, y), (x + y) % 3);
}

TEST(TVxDIBAssign, TrueColourBitmapGivesTwentyFourBits) {
  TBitmap bmp;
  bmp.SetPixelFormat(pf24bit);
  bmp.SetSize(2, 2);
  static_cast<TBitmapCanvas&>(bmp.Canvas()).SetPixel(1, 0, 0x00332211);
  TVxDIB dib;
  dib.Assign(&bmp);
  EXPECT_EQ(dib.BitCount(), 24);
  EXPECT_EQ(dib.InternalDIB()->DIB.Header.biClrUsed, 0u);
  const std::uint8_t* top = dib.InternalDIB()->DIB.Bits + 8;  // bottom-up: row 1 holds y = 0
  EXPECT_EQ(top[3], 0x33);
  EXPECT_EQ(top[4], 0x22);
  EXPECT_EQ(top[5], 0x11);
}

TEST(TVxDIBAssign, EmptyBitmapFailsAndKeepsTheImage) {
  TBitmap bmp;
  TVxDIB dib;
  dib.SetWidth(5);
  EXPECT_EQ(MessageOf<EVxDIBInvalidDIBPara>([&] { dib.Assign(&bmp); }), "TVxInternalDIB.CreateDIB: Invalid Parameters");
  EXPECT_EQ(dib.Width(), 5);
}

// ---- Draw ------------------------------------------------------------------------------------------

TEST(TVxDIBDraw, StretchesByNearestPixelsOntoABitmapCanvas) {
  TVxDIB dib;
  LoadBytes(dib, Picture(2, 2, 24, 0, false, [](int x, int y) { return x == 0 && y == 0 ? 0xFF0000u : 0x0000FFu; }).Build());
  TBitmap bmp;
  bmp.SetPixelFormat(pf24bit);
  bmp.SetSize(6, 6);
  bmp.Canvas().StretchDraw(TRect{1, 1, 5, 5}, dib);
  EXPECT_EQ(ColorAt(bmp, 0, 0), 0u);  // outside the rectangle
  EXPECT_EQ(ColorAt(bmp, 1, 1), 0x0000FFu);  // red, as 0x00BBGGRR
  EXPECT_EQ(ColorAt(bmp, 2, 2), 0x0000FFu);
  EXPECT_EQ(ColorAt(bmp, 3, 2), 0xFF0000u);
  EXPECT_EQ(ColorAt(bmp, 4, 4), 0xFF0000u);
  EXPECT_EQ(ColorAt(bmp, 5, 5), 0u);
}

TEST(TVxDIBDraw, MapsColoursOntoAnIndexedBitmapsPalette) {
  TVxDIB dib;
  LoadBytes(dib, Picture(2, 1, 24, 0, false, [](int x, int) { return x == 0 ? 0xF00000u : 0x0000F0u; }).Build());
  TBitmap bmp;
  bmp.SetPixelFormat(pf1bit);
  bmp.SetSize(2, 1);
  platform::TPaletteEntry entries[2] = {{0, 0, 255, 0}, {255, 0, 0, 0}};  // blue, red
  bmp.SetPalette(platform::CreatePalette(entries, 2));
  bmp.Canvas().Draw(0, 0, dib);
  EXPECT_EQ(IndexAt(bmp, 0, 0), 1);
  EXPECT_EQ(IndexAt(bmp, 1, 0), 0);
}

}  // namespace
