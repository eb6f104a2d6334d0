#include "platform/Gdi.h"

#include "platform/win32/WinHeaders.h"

namespace platform {

bool DeviceContextsAvailable() noexcept { return true; }

std::uint32_t ColorToRGB(std::uint32_t color) noexcept {
  if ((color & 0x80000000u) == 0) return color & 0x00FFFFFFu;
  return static_cast<std::uint32_t>(::GetSysColor(static_cast<int>(color & 0xFFu)));
}

int StretchDIB(TDCHandle dc, const TDIBPlacement& p, const void* bits, const void* bitmapInfo, TPaletteHandle palette,
               std::uint32_t copyMode) noexcept {
  if (!dc) return 0;
  HPALETTE oldPalette = nullptr;
  if (palette) {
    oldPalette = ::SelectPalette(dc, palette, TRUE);
    ::RealizePalette(dc);
  }
  const int oldMode = ::SetStretchBltMode(dc, COLORONCOLOR);
  const int lines = ::StretchDIBits(dc, p.DestX, p.DestY, p.DestWidth, p.DestHeight, p.SourceX, p.SourceY,
                                    p.SourceWidth, p.SourceHeight, bits, static_cast<const BITMAPINFO*>(bitmapInfo),
                                    DIB_RGB_COLORS, copyMode);
  if (oldMode) ::SetStretchBltMode(dc, oldMode);
  if (palette) ::SelectPalette(dc, oldPalette, TRUE);
  return lines > 0 ? lines : 0;  // GDI_ERROR is negative
}

bool TDIBSectionDC::Create(const void* bitmapInfo, TMappingHandle mapping, TPaletteHandle palette) noexcept {
  ReleaseDC();
  FDC = ::CreateCompatibleDC(nullptr);
  if (!FDC) return false;
  if (palette) {
    FOldPalette = ::SelectPalette(FDC, palette, TRUE);
    ::RealizePalette(FDC);
  }
  void* bits = nullptr;
  HBITMAP section = ::CreateDIBSection(FDC, static_cast<const BITMAPINFO*>(bitmapInfo), DIB_RGB_COLORS, &bits,
                                       static_cast<HANDLE>(mapping), 0);
  if (!section) {
    ReleaseDC();
    return false;
  }
  FSection = section;
  FBits = bits;
  FOldBitmap = ::SelectObject(FDC, section);
  return true;
}

void TDIBSectionDC::ReleaseSection() noexcept {
  if (!FSection) return;
  ::GdiFlush();
  if (FOldBitmap) ::SelectObject(FDC, static_cast<HGDIOBJ>(FOldBitmap));
  ::DeleteObject(static_cast<HGDIOBJ>(FSection));
  FSection = nullptr;
  FOldBitmap = nullptr;
  FBits = nullptr;
}

void TDIBSectionDC::ReleaseDC() noexcept {
  ReleaseSection();
  if (!FDC) return;
  // The palette still belongs to the DIB: it must not be selected when the DIB deletes it.
  if (FOldPalette) ::SelectPalette(FDC, FOldPalette, TRUE);
  ::DeleteDC(FDC);
  FDC = nullptr;
  FOldPalette = nullptr;
}

}  // namespace platform
