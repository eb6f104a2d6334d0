#include "graphics/DibFormat.h"

#include "graphics/PixelAccess.h"

TBmpFileHeader ParseBmpFileHeader(const std::uint8_t* p) noexcept {
  return TBmpFileHeader{Le16(p), Le32(p + 2), Le32(p + 10)};
}

void FormatBmpFileHeader(const TBmpFileHeader& h, std::uint8_t* p) noexcept {
  Put16(p, h.Type);
  Put32(p + 2, h.Size);
  Put32(p + 6, 0);
  Put32(p + 10, h.OffBits);
}

TBitmapInfoHeader ParseBmpInfoHeader(const std::uint8_t* p) noexcept {
  TBitmapInfoHeader h{};
  h.biSize = Le32(p);
  if (h.biSize == BmpCoreHeaderSize) {
    h.biWidth = Le16(p + 4);
    h.biHeight = Le16(p + 6);
    h.biPlanes = Le16(p + 8);
    h.biBitCount = Le16(p + 10);
  } else if (h.biSize == BmpInfoHeaderSize) {
    h.biWidth = static_cast<std::int32_t>(Le32(p + 4));
    h.biHeight = static_cast<std::int32_t>(Le32(p + 8));
    h.biPlanes = Le16(p + 12);
    h.biBitCount = Le16(p + 14);
    h.biCompression = Le32(p + 16);
    h.biSizeImage = Le32(p + 20);
    h.biXPelsPerMeter = static_cast<std::int32_t>(Le32(p + 24));
    h.biYPelsPerMeter = static_cast<std::int32_t>(Le32(p + 28));
    h.biClrUsed = Le32(p + 32);
    h.biClrImportant = Le32(p + 36);
  }
  return h;
}

void FormatBmpInfoHeader(const TBitmapInfoHeader& h, std::uint8_t* p) noexcept {
  Put32(p, h.biSize);
  Put32(p + 4, static_cast<std::uint32_t>(h.biWidth));
  Put32(p + 8, static_cast<std::uint32_t>(h.biHeight));
  Put16(p + 12, h.biPlanes);
  Put16(p + 14, h.biBitCount);
  Put32(p + 16, h.biCompression);
  Put32(p + 20, h.biSizeImage);
  Put32(p + 24, static_cast<std::uint32_t>(h.biXPelsPerMeter));
  Put32(p + 28, static_cast<std::uint32_t>(h.biYPelsPerMeter));
  Put32(p + 32, h.biClrUsed);
  Put32(p + 36, h.biClrImportant);
}
