// The portable renderer against GDI: a DIB assigned to a bitmap must show the picture
// that StretchDIBits draws unscaled into a 32-bit DIB section, for every pixel format
// (indices below biClrUsed, well-formed run-length data).
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dib/BmpBuilder.h"
#include "dib/DIBTestSupport.h"
#include "dib/Rle.h"
#include "dib/VxDIB.h"
#include "platform/win32/WinHeaders.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Draws the DIB record with GDI into a top-down 32-bit DIB section; pixels as 0x00BBGGRR.
std::vector<std::uint32_t> DrawWithGdi(const TVxDIBRecord& dib, int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = ::CreateCompatibleDC(nullptr);
  EXPECT_NE(dc, nullptr);
  HBITMAP section = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  EXPECT_NE(section, nullptr);
  std::vector<std::uint32_t> out;
  if (dc && section && bits) {
    HGDIOBJ old = ::SelectObject(dc, section);
    std::memset(bits, 0x5A, static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    const int lines = ::StretchDIBits(dc, 0, 0, width, height, 0, 0, width, height, dib.Bits,
                                      static_cast<const BITMAPINFO*>(dib.BitmapInfo()), DIB_RGB_COLORS, SRCCOPY);
    EXPECT_NE(lines, 0);
    ::GdiFlush();
    const auto* p = static_cast<const std::uint8_t*>(bits);
    for (int i = 0; i < width * height; ++i)
      out.push_back(static_cast<std::uint32_t>(p[4 * i + 2]) | static_cast<std::uint32_t>(p[4 * i + 1]) << 8 |
                    static_cast<std::uint32_t>(p[4 * i]) << 16);
    ::SelectObject(dc, old);
  }
  if (section) ::DeleteObject(section);
  if (dc) ::DeleteDC(dc);
  return out;
}

struct TGdiCase {
  const char* Name;
  std::uint16_t Bits;
  int Colors;
  bool TopDown;
  std::uint32_t Compression;  // 1 or 2: the plain picture run-length encoded
  friend std::ostream& operator<<(std::ostream& os, const TGdiCase& c) { return os << c.Name; }
};

class BlitAgainstGdi : public ::testing::TestWithParam<TGdiCase> {};

TEST_P(BlitAgainstGdi, DrawsTheSamePixels) {
  const TGdiCase& c = GetParam();
  const int w = 37, h = 11;
  TBmpBuilder b;
  b.Width = w;
  b.Height = c.TopDown ? -h : h;
  b.BitCount = c.Bits;
  b.ClrUsed = static_cast<std::uint32_t>(c.Colors);
  b.Palette = TBmpBuilder::RampPalette(c.Colors);
  b.Pixels = TBmpBuilder::Rows(w, h, c.Bits, [&](int x, int r) -> std::uint32_t {
    if (c.Bits == 24) return static_cast<std::uint32_t>(x * 7 + r * 50) << 16 | static_cast<std::uint32_t>(r * 23) << 8 | (255u - x);
    // runs of equal bytes, and the odd last pixel of the 4-bit rows
    return static_cast<std::uint32_t>(x < 12 ? r : x / 8 + r) % static_cast<std::uint32_t>(c.Colors);
  });
  if (c.Compression) {
    TVxInternalDIB plain(false);
    const Bytes file = b.Build();
    TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
    plain.LoadFromStream(s);
    TVxDIBRecord encoded;
    if (c.Compression == 1)
      Convert8BitRGBTo8BitRLE(plain.DIB, encoded, false);
    else
      Convert4BitRGBTo4BitRLE(plain.DIB, encoded, false);
    b.Pixels.assign(encoded.Bits, encoded.Bits + encoded.BitsSize);
    ReleaseMemory(encoded.MappingHandle, encoded.Bits, false);
    b.Compression = c.Compression;
    b.SizeImage = static_cast<std::uint32_t>(b.Pixels.size());  // GDI needs the size of compressed data
  }
  TVxDIB dib;
  const Bytes file = b.Build();
  TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
  dib.LoadFromStream(s);
  const std::vector<std::uint32_t> portable = DrawnPicture(dib);
  const std::vector<std::uint32_t> gdi = DrawWithGdi(dib.InternalDIB()->DIB, w, h);
  ASSERT_EQ(portable.size(), gdi.size());
  for (std::size_t i = 0; i < gdi.size(); ++i)
    ASSERT_EQ(portable[i], gdi[i]) << "pixel " << i % w << "," << i / w;
}

INSTANTIATE_TEST_SUITE_P(TVxDIB, BlitAgainstGdi,
                         ::testing::Values(TGdiCase{"OneBit", 1, 2, false, 0}, TGdiCase{"OneBitTopDown", 1, 2, true, 0},
                                           TGdiCase{"FourBits", 4, 16, false, 0}, TGdiCase{"FourBitsTopDown", 4, 9, true, 0},
                                           TGdiCase{"FourBitsRle", 4, 16, false, 2},
                                           TGdiCase{"EightBits", 8, 256, false, 0},
                                           TGdiCase{"EightBitsTopDown", 8, 100, true, 0},
                                           TGdiCase{"EightBitsRle", 8, 256, false, 1},
                                           TGdiCase{"TwentyFourBits", 24, 0, false, 0},
                                           TGdiCase{"TwentyFourBitsTopDown", 24, 0, true, 0}),
                         [](const auto& p) { return std::string(p.param.Name); });

}  // namespace
