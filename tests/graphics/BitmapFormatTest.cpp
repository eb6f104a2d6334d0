// The bitmap's pixel-format change onto a smaller index range: every pixel takes the
// nearest of the entries that the target format can address, never an entry beyond them.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "graphics/Bitmap.h"
#include "graphics/DibFormat.h"
#include "rtl/Exception.h"

namespace {

struct TReduction {
  TPixelFormat From, To;
};

const TReduction Reductions[] = {
    {pf8bit, pf4bit}, {pf8bit, pf1bit}, {pf4bit, pf1bit}, {pf24bit, pf8bit}, {pf24bit, pf4bit}, {pf24bit, pf1bit},
};

std::uint32_t Rgb(int r, int g, int b) {
  return static_cast<std::uint32_t>(r) | static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b) << 16;
}

long Distance(std::uint32_t a, std::uint32_t b) {
  long d = 0;
  for (int shift : {0, 8, 16}) {
    const long v = static_cast<long>(a >> shift & 0xFF) - static_cast<long>(b >> shift & 0xFF);
    d += v * v;
  }
  return d;
}

class SmallerPalette : public ::testing::TestWithParam<TReduction> {};

TEST_P(SmallerPalette, EveryPixelTakesTheNearestTargetEntry) {
  const TReduction c = GetParam();
  // A 256-entry palette, greys from white down, so the entries a small format can address
  // are all light and a pixel's own entry usually lies beyond them.
  std::vector<platform::TPaletteEntry> entries(256);
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(255 - i);
    entries[static_cast<std::size_t>(i)] = {v, v, static_cast<std::uint8_t>(i % 7 * 9), 0};
  }
  TBitmap b;
  b.SetPixelFormat(c.From);
  b.SetSize(64, 4);
  b.SetPalette(platform::CreatePalette(entries.data(), 256));
  auto& canvas = static_cast<TBitmapCanvas&>(b.Canvas());
  const int fromBits = PixelFormatBits(c.From);
  std::vector<std::uint32_t> colours;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 64; ++x) {
      const int i = (x * 4 + y) % 256;
      if (fromBits == 24)
        canvas.SetPixel(x, y, Rgb(i, 255 - i, i * 3 % 256));
      else
        b.ScanLine(y)[x * fromBits / 8] |=
            static_cast<std::uint8_t>((i % (1 << fromBits)) << (8 - fromBits - x * fromBits % 8));
      colours.push_back(canvas.Pixel(x, y));
    }

  b.SetPixelFormat(c.To);
  const int toBits = PixelFormatBits(c.To);
  const int targetCount = 1 << toBits;
  std::uint32_t target[256];
  for (int i = 0; i < targetCount; ++i)
    target[i] = Rgb(entries[static_cast<std::size_t>(i)].peRed, entries[static_cast<std::size_t>(i)].peGreen,
                    entries[static_cast<std::size_t>(i)].peBlue);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 64; ++x) {
      const std::uint8_t* row = b.ScanLine(y);
      const int shift = 8 - toBits - x * toBits % 8;
      const int index = toBits == 8 ? row[x] : (row[x * toBits / 8] >> shift) & (targetCount - 1);
      const std::uint32_t wanted = colours[static_cast<std::size_t>(y * 64 + x)];
      long best = Distance(wanted, target[0]);
      for (int i = 1; i < targetCount; ++i) best = std::min(best, Distance(wanted, target[i]));
      ASSERT_EQ(Distance(wanted, target[index]), best) << "pixel " << x << "," << y << " index " << index;
      EXPECT_EQ(canvas.Pixel(x, y), target[index]);
    }
}

INSTANTIATE_TEST_SUITE_P(TBitmap, SmallerPalette, ::testing::ValuesIn(Reductions), [](const auto& p) {
  return std::to_string(PixelFormatBits(p.param.From)) + "To" + std::to_string(PixelFormatBits(p.param.To));
});

// A bitmap of no rows that still holds a (zero-byte) pixel block.
TEST(TBitmap, FormatChangeOfAnImageWithoutRows) {
  for (const TPixelFormat to : {pf1bit, pf8bit, pf24bit}) {
    TBitmap b;
    b.SetPixelFormat(pf4bit);
    b.SetSize(5, 0);
    b.SetPixelBuffer(NewPixelBuffer(0));
    ASSERT_NE(b.PixelBuffer(), nullptr);
    b.SetPixelFormat(to);
    EXPECT_EQ(b.PixelFormat(), to);
    EXPECT_EQ(b.Width(), 5);
    EXPECT_EQ(b.Height(), 0);
  }
}

// The one parser of both image layers: each header field at its offset, little-endian,
// signed where the format says so; the OS/2 header's 16-bit fields zero-extended.
TEST(BmpHeaders, ParseEachFieldAtItsOffsetAndFormatBack) {
  std::vector<std::uint8_t> info(40);
  for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(0x80 + i);
  info[0] = 40, info[1] = info[2] = info[3] = 0;
  const TBitmapInfoHeader h = ParseBmpInfoHeader(info.data());
  const std::int64_t want[] = {40,         -2021227132, -1953855096, 0x8D8C,     0x8F8E,    0x93929190,
                               0x97969594, -1684366952, -1616994916, 0xA3A2A1A0, 0xA7A6A5A4};
  const std::int64_t got[] = {h.biSize,        h.biWidth,       h.biHeight,  h.biPlanes,
                              h.biBitCount,    h.biCompression, h.biSizeImage, h.biXPelsPerMeter,
                              h.biYPelsPerMeter, h.biClrUsed,    h.biClrImportant};
  for (std::size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]) << "field " << i;
  std::vector<std::uint8_t> back(40);
  FormatBmpInfoHeader(h, back.data());
  EXPECT_EQ(back, info);

  const std::uint8_t core[12] = {12, 0, 0, 0, 0xFF, 0xFF, 0x02, 0x80, 1, 0, 24, 0};
  const TBitmapInfoHeader c = ParseBmpInfoHeader(core);
  EXPECT_EQ(c.biSize, 12u);
  EXPECT_EQ(c.biWidth, 65535);
  EXPECT_EQ(c.biHeight, 0x8002);  // bottom-up, never negative
  EXPECT_EQ(c.biPlanes, 1);
  EXPECT_EQ(c.biBitCount, 24);
  EXPECT_EQ(c.biCompression | c.biClrUsed | c.biSizeImage, 0u);

  const std::uint8_t other[4] = {108, 0, 0, 0};
  const TBitmapInfoHeader v4 = ParseBmpInfoHeader(other);
  EXPECT_EQ(v4.biSize, 108u);
  EXPECT_EQ(v4.biWidth | v4.biHeight | v4.biBitCount, 0);

  const std::uint8_t file[14] = {'B', 'M', 0x11, 0x22, 0x33, 0x44, 9, 9, 9, 9, 0x36, 0x04, 0, 0};
  const TBmpFileHeader f = ParseBmpFileHeader(file);
  EXPECT_EQ(f.Type, BmpFileType);
  EXPECT_EQ(f.Size, 0x44332211u);
  EXPECT_EQ(f.OffBits, 1078u);
  std::uint8_t written[14];
  FormatBmpFileHeader(f, written);
  EXPECT_EQ(std::vector<std::uint8_t>(written, written + 14),
            (std::vector<std::uint8_t>{'B', 'M', 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 0x36, 0x04, 0, 0}));
}

}  // namespace
