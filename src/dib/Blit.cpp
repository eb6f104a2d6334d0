// The portable renderer: draws a DIB into a bitmap as the OS's StretchDIBits does for the
// system's uses (unscaled, upright, colours through the DIB's table). Run-length data is
// decoded first; a stream the decoder rejects fails the whole draw with its error instead
// of leaving a partly drawn picture.
#include <algorithm>
#include <cstring>
#include <memory>

#include "dib/Rle.h"
#include "dib/VxDIB.h"
#include "graphics/NearestColor.h"
#include "graphics/PixelAccess.h"
#include "rtl/BlockPool.h"

namespace {

constexpr char PixelDataTooShort[] = "BlitDIB: Pixel Data Too Short";

// A decoded copy of a run-length DIB, released with the draw.
class TDecodedDIB {
public:
  explicit TDecodedDIB(const TVxDIBRecord& dib) {
    if (dib.Header.biCompression == CompressionRLE8)
      Convert8BitRLETo8BitRGB(dib, FRecord, false);
    else
      Convert4BitRLETo4BitRGB(dib, FRecord, false);
  }
  ~TDecodedDIB() {
    if (FRecord.Bits) {
      try {
        ReleaseMemory(FRecord.MappingHandle, FRecord.Bits, false);
      } catch (...) {
        // Heap memory: releasing it cannot fail.
      }
    }
  }
  TDecodedDIB(const TDecodedDIB&) = delete;
  TDecodedDIB& operator=(const TDecodedDIB&) = delete;
  const TVxDIBRecord& Record() const noexcept { return FRecord; }
  // The block is the caller's from now on.
  std::uint8_t* Release() noexcept {
    std::uint8_t* bits = FRecord.Bits;
    FRecord.Bits = nullptr;
    return bits;
  }

private:
  TVxDIBRecord FRecord;
};

// Decoded rows that became a bitmap's pixels.
class TDecodedPixels : public TPixelBuffer {
public:
  TDecodedPixels(std::uint8_t* data, std::size_t size) noexcept : TPixelBuffer(data, size) {}
  ~TDecodedPixels() override { FreeBlock(Data()); }
};

// Colours as 0x00BBGGRR.
std::uint32_t ColorOf(const TVxRGBQuad& q) {
  return static_cast<std::uint32_t>(q.rgbRed) | static_cast<std::uint32_t>(q.rgbGreen) << 8 |
         static_cast<std::uint32_t>(q.rgbBlue) << 16;
}

// True when the bitmap's palette holds the DIB's table entry for entry, so indices can be
// copied as they are (the palette is kept, duplicates included).
bool SameTable(const TVxDIBRecord& dib, const TBitmap& bitmap) {
  const TPaletteHandle palette = bitmap.GetPalette();
  const int used = static_cast<int>(std::min<std::uint32_t>(dib.Header.biClrUsed, 256));
  if (!palette) return used == 0;
  platform::TPaletteEntry entries[256];
  const int count = platform::GetPaletteEntries(palette, 0, 256, entries);
  if (count != used) return false;
  for (int i = 0; i < count; ++i) {
    const TVxRGBQuad& q = dib.ColorTable[i];
    if (entries[i].peRed != q.rgbRed || entries[i].peGreen != q.rgbGreen || entries[i].peBlue != q.rgbBlue)
      return false;
  }
  return true;
}

void BlitPlain(const TVxDIBRecord& dib, TBitmap& bitmap, const TRect& dest) {
  const TVxBitmapInfoHeader& h = dib.Header;
  const int bits = h.biBitCount;
  const std::int64_t width = h.biWidth;
  const std::int64_t height = h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight;
  const std::int64_t size = DIBImageSize(width, height, bits);
  if (size < 0 || !dib.Bits || dib.BitsSize < size) throw EVxDIBInvalidDIB(PixelDataTooShort);
  const std::size_t rowSize = static_cast<std::size_t>(DIBRowSize(width, bits));
  const bool topDown = h.biHeight < 0;
  // Row y of the picture, counted from the top.
  auto sourceRow = [&](std::int64_t y) {
    return dib.Bits + static_cast<std::size_t>(topDown ? y : height - 1 - y) * rowSize;
  };

  const int destWidth = dest.Width(), destHeight = dest.Height();
  if (destWidth <= 0 || destHeight <= 0) return;
  const int x0 = std::max(dest.Left, 0), x1 = std::min(dest.Right, bitmap.Width());
  const int y0 = std::max(dest.Top, 0), y1 = std::min(dest.Bottom, bitmap.Height());
  if (x0 >= x1 || y0 >= y1) return;

  const int destBits = bitmap.BitsPerPixel();
  const bool direct = bits == destBits && bits != 24 && SameTable(dib, bitmap);
  const bool unscaled = destWidth == width && destHeight == height;

  // The whole picture onto a bitmap of its own size and layout: rows copy as they are.
  if (unscaled && (direct || (bits == 24 && destBits == 24)) && dest.Left == 0 && dest.Top == 0 &&
      bitmap.Width() == width && static_cast<std::size_t>(bitmap.RowBytes()) == rowSize) {
    for (int y = y0; y < y1; ++y) std::memcpy(bitmap.ScanLine(y), sourceRow(y), rowSize);
    return;
  }

  std::uint32_t colors[256]{};
  if (bits != 24) {
    const int used = static_cast<int>(std::min<std::uint32_t>(h.biClrUsed, 256));
    for (int i = 0; i < used; ++i) colors[i] = ColorOf(dib.ColorTable[i]);
  }
  std::uint32_t destTable[256];
  int destCount = 0;
  bitmap.GetColorTable(destTable, destCount);
  TNearestColor nearest(destTable, destCount);
  int mapped[256];
  if (bits != 24 && destBits != 24 && !direct)
    for (int i = 0; i < 256; ++i) mapped[i] = nearest.Find(colors[i]);

  for (int y = y0; y < y1; ++y) {
    const std::int64_t sy = static_cast<std::int64_t>(y - dest.Top) * height / destHeight;
    const std::uint8_t* src = sourceRow(sy);
    std::uint8_t* out = bitmap.ScanLine(y);
    for (int x = x0; x < x1; ++x) {
      const std::int64_t sx = static_cast<std::int64_t>(x - dest.Left) * width / destWidth;
      if (bits == 24) {
        const std::uint8_t* p = src + 3 * sx;
        if (destBits == 24) {
          std::memcpy(out + 3 * x, p, 3);
        } else {
          const std::uint32_t c = static_cast<std::uint32_t>(p[2]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                  static_cast<std::uint32_t>(p[0]) << 16;
          PutPixelIndex(out, x, destBits, nearest.Find(c));
        }
        continue;
      }
      const int index = GetPixelIndex(src, sx, bits);
      if (direct) {
        PutPixelIndex(out, x, destBits, index);
      } else if (destBits == 24) {
        const std::uint32_t c = colors[index];
        out[3 * x] = static_cast<std::uint8_t>(c >> 16);
        out[3 * x + 1] = static_cast<std::uint8_t>(c >> 8);
        out[3 * x + 2] = static_cast<std::uint8_t>(c);
      } else {
        PutPixelIndex(out, x, destBits, mapped[index]);
      }
    }
  }
}

// The whole decoded picture onto a bitmap of its size and layout: instead of copying the
// rows, the decoded block becomes the bitmap's pixels, its rows put bottom-up in place.
// A huge run-length image then costs one block of pixels, not two.
bool HandOver(TDecodedDIB& decoded, TBitmap& bitmap, const TRect& dest) {
  const TVxDIBRecord& dib = decoded.Record();
  const TVxBitmapInfoHeader& h = dib.Header;
  const std::int64_t height = h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight;
  const std::int64_t size = DIBImageSize(h.biWidth, height, h.biBitCount);
  if (size < 0 || !dib.Bits || dib.BitsSize < size) return false;
  if (dest.Left != 0 || dest.Top != 0 || dest.Width() != h.biWidth || dest.Height() != height ||
      bitmap.Width() != h.biWidth || bitmap.Height() != height || bitmap.BitsPerPixel() != h.biBitCount ||
      !SameTable(dib, bitmap))
    return false;
  const auto rowSize = static_cast<std::size_t>(DIBRowSize(h.biWidth, h.biBitCount));
  if (static_cast<std::size_t>(bitmap.RowBytes()) != rowSize) return false;
  if (h.biHeight < 0)
    for (std::int64_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
      std::swap_ranges(dib.Bits + static_cast<std::size_t>(top) * rowSize,
                       dib.Bits + static_cast<std::size_t>(top + 1) * rowSize,
                       dib.Bits + static_cast<std::size_t>(bottom) * rowSize);
  auto pixels = std::make_shared<TDecodedPixels>(dib.Bits, static_cast<std::size_t>(size));
  decoded.Release();
  bitmap.SetPixelBuffer(std::move(pixels));
  return true;
}

}  // namespace

void BlitDIB(const TVxDIBRecord& dib, TBitmap& bitmap, const TRect& dest) {
  const TVxBitmapInfoHeader& h = dib.Header;
  if (h.biWidth <= 0 || h.biHeight == 0) throw EVxDIBInvalidDIB("BlitDIB: Invalid Width or Height");
  const bool rle8 = h.biBitCount == 8 && h.biCompression == CompressionRLE8;
  const bool rle4 = h.biBitCount == 4 && h.biCompression == CompressionRLE4;
  if (rle8 || rle4) {
    TDecodedDIB decoded(dib);
    if (!HandOver(decoded, bitmap, dest)) BlitPlain(decoded.Record(), bitmap, dest);
    return;
  }
  const int bits = h.biBitCount;
  if (h.biCompression != CompressionRGB || (bits != 1 && bits != 4 && bits != 8 && bits != 24))
    throw EVxDIBBadDIBType("BlitDIB: Invalid Bitcount & Compression Combination");
  BlitPlain(dib, bitmap, dest);
}
