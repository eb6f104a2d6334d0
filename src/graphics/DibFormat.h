#pragma once
// The Windows bitmap format as both image layers read and write it: the row size of packed
// pixel rows, and the BMP file header and information header in their little-endian byte
// form. The one place where these layouts are parsed and formatted.
#include <cstdint>

// Bytes of one row: ((width * bitCount + 31) div 32) * 4, in 64-bit arithmetic so that no
// width overflows. Rows are padded to 4 bytes.
constexpr std::int64_t DIBRowSize(std::int64_t width, int bitCount) noexcept {
  return ((width * bitCount + 31) / 32) * 4;
}

inline constexpr std::uint32_t BmpFileHeaderSize = 14;
inline constexpr std::uint32_t BmpInfoHeaderSize = 40;  // BITMAPINFOHEADER
inline constexpr std::uint32_t BmpCoreHeaderSize = 12;  // BITMAPCOREHEADER (OS/2)
inline constexpr std::uint16_t BmpFileType = 0x4D42;    // "BM"

struct TBmpFileHeader {
  std::uint16_t Type = 0;
  std::uint32_t Size = 0;     // bfSize
  std::uint32_t OffBits = 0;  // bfOffBits
};

// The layout of the OS's BITMAPINFOHEADER.
struct TBitmapInfoHeader {
  std::uint32_t biSize;
  std::int32_t biWidth;
  std::int32_t biHeight;  // positive: rows bottom-up; negative: rows top-down
  std::uint16_t biPlanes;
  std::uint16_t biBitCount;
  std::uint32_t biCompression;
  std::uint32_t biSizeImage;
  std::int32_t biXPelsPerMeter;
  std::int32_t biYPelsPerMeter;
  std::uint32_t biClrUsed;
  std::uint32_t biClrImportant;
};
static_assert(sizeof(TBitmapInfoHeader) == 40);

// From the 14 bytes at p.
TBmpFileHeader ParseBmpFileHeader(const std::uint8_t* p) noexcept;
void FormatBmpFileHeader(const TBmpFileHeader& h, std::uint8_t* p) noexcept;

// The information header at p, whose first 4 bytes give its size: 40 reads the 40 bytes as
// stored; 12 reads the OS/2 header's 16-bit width, height, planes and bit count (as
// unsigned values) into the same fields and leaves the rest 0. Any other size gives a
// header with only biSize set. p must hold the bytes that the size names.
TBitmapInfoHeader ParseBmpInfoHeader(const std::uint8_t* p) noexcept;
// The 40 bytes of a BITMAPINFOHEADER at p.
void FormatBmpInfoHeader(const TBitmapInfoHeader& h, std::uint8_t* p) noexcept;
