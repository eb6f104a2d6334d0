// Drawing a DIB through a halftoned copy on a device context: the bitmap of a window's
// format must receive the halftone routine's pixels, drawn by GDI from the copy that the
// DIB canvas filled through a DIB section.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dib/BmpBuilder.h"
#include "dib/Convert.h"
#include "dib/DIBTestSupport.h"
#include "dib/VxDIB.h"
#include "platform/win32/WinHeaders.h"

namespace {

constexpr int W = 23, H = 7;

// The halftone routine's result as colours 0x00BBGGRR, top row first.
std::vector<std::uint32_t> Halftoned(const TVxDIBRecord& source, bool bw) {
  TVxDIBRecord r;
  if (bw)
    ConvertToHalfToneBW(source, r, false);
  else
    ConvertToHalfTone(source, r, false);
  const int bits = r.Header.biBitCount;
  const auto stride = static_cast<std::size_t>(DIBRowSize(W, bits));
  std::vector<std::uint32_t> out;
  for (int y = 0; y < H; ++y) {
    const std::uint8_t* row = r.Bits + static_cast<std::size_t>(H - 1 - y) * stride;
    for (int x = 0; x < W; ++x) {
      const unsigned index = bits == 8 ? row[x] : (row[x / 8] >> (7 - x % 8)) & 1u;
      const TVxRGBQuad& q = r.ColorTable[index];
      out.push_back(q.rgbRed | q.rgbGreen << 8 | q.rgbBlue << 16);
    }
  }
  ReleaseMemory(r.MappingHandle, r.Bits, false);
  return out;
}

TEST(DIBHalftoneGdi, DrawsTheHalftonedPixelsIntoAWindowCompatibleBitmap) {
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, W, H, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  HDC windowDC = ::GetDC(window);
  ASSERT_NE(windowDC, nullptr);
  for (const int bits : {8, 24})
    for (const TVxHalftoneMode mode : {hmHalftone, hmHalftoneBW}) {
      TBmpBuilder b;
      b.Width = W;
      b.Height = H;
      b.BitCount = static_cast<std::uint16_t>(bits);
      b.ClrUsed = bits == 8 ? 256 : 0;
      b.Palette = TBmpBuilder::RampPalette(bits == 8 ? 256 : 0);
      b.Pixels = TBmpBuilder::Rows(W, H, bits, [](int x, int y) -> std::uint32_t {
        return static_cast<std::uint32_t>(x * 11) << 16 | static_cast<std::uint32_t>(y * 37) << 8 |
               static_cast<std::uint32_t>(x * 5 + y * 9);
      });
      if (bits == 8)
        for (auto& p : b.Pixels) p = static_cast<std::uint8_t>(p * 7);
      TVxDIB dib;
      LoadBytes(dib, b.Build());
      const std::vector<std::uint32_t> want = Halftoned(dib.InternalDIB()->DIB, mode == hmHalftoneBW);
      dib.SetHalftoneMode(mode);

      HBITMAP bitmap = ::CreateCompatibleBitmap(windowDC, W, H);
      HDC dc = ::CreateCompatibleDC(windowDC);
      ASSERT_TRUE(bitmap && dc);
      HGDIOBJ old = ::SelectObject(dc, bitmap);
      TCanvas canvas;
      canvas.SetHandle(reinterpret_cast<TDCHandle>(dc));
      canvas.Draw(0, 0, dib);
      ::SelectObject(dc, old);

      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
      info.bmiHeader.biWidth = W;
      info.bmiHeader.biHeight = -H;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      std::vector<std::uint8_t> pixels(static_cast<std::size_t>(W * H * 4));
      EXPECT_EQ(::GetDIBits(dc, bitmap, 0, H, pixels.data(), &info, DIB_RGB_COLORS), H);
      ::DeleteDC(dc);
      ::DeleteObject(bitmap);
      std::vector<std::uint32_t> got;
      for (int i = 0; i < W * H; ++i)
        got.push_back(pixels[4 * i + 2] | pixels[4 * i + 1] << 8 | pixels[4 * i] << 16);
      EXPECT_EQ(got, want) << bits << " bits, mode " << int(mode);
      EXPECT_EQ(dib.HalftoneMode(), mode);
    }
  ReleaseSharedPalettes();
  ::ReleaseDC(window, windowDC);
  ::DestroyWindow(window);
}

}  // namespace
