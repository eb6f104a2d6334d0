#pragma once
// Device contexts through the OS: drawing a DIB on a window's or a memory device context,
// and the memory context of the DIB canvas, whose DIB section lies over the pixel mapping
// of a DIB storage. POSIX has no device contexts: DeviceContextsAvailable() is false there,
// every drawing call reports failure and no context can be made, as on a Windows machine
// without a screen.
#include <cstdint>

#include "platform/Handles.h"
#include "platform/Memory.h"

namespace platform {

bool DeviceContextsAvailable() noexcept;

// A colour as 0x00BBGGRR; a system colour (0x80000000 | index) resolved to the one the
// system shows for it.
std::uint32_t ColorToRGB(std::uint32_t color) noexcept;

// The OS's SRCCOPY raster operation.
inline constexpr std::uint32_t CopyModeSrcCopy = 0x00CC0020;

struct TDIBPlacement {
  int DestX, DestY, DestWidth, DestHeight;
  int SourceX, SourceY, SourceWidth, SourceHeight;
};

// StretchDIBits of a packed-DIB header (bitmapInfo) and its pixels on dc, with palette (when
// not null) selected as a background palette and realised, and the stretch mode
// COLORONCOLOR; both are put back afterwards. Returns the lines drawn, 0 on failure.
int StretchDIB(TDCHandle dc, const TDIBPlacement& placement, const void* bits, const void* bitmapInfo,
               TPaletteHandle palette, std::uint32_t copyMode) noexcept;

// A memory device context compatible with the screen, holding a DIB section over a pixel
// mapping from offset 0: drawing on the context changes the mapping's pixels.
class TDIBSectionDC {
public:
  TDIBSectionDC() noexcept = default;
  ~TDIBSectionDC() { ReleaseDC(); }
  TDIBSectionDC(const TDIBSectionDC&) = delete;
  TDIBSectionDC& operator=(const TDIBSectionDC&) = delete;

  // Makes the context, selects palette (when not null) as a background palette and realises
  // it, makes the section from the header (bitmapInfo, DIB_RGB_COLORS) over mapping and
  // selects it. False when the context or the section cannot be made; nothing is left then.
  bool Create(const void* bitmapInfo, TMappingHandle mapping, TPaletteHandle palette) noexcept;
  TDCHandle Handle() const noexcept { return FDC; }
  // The section's own view of the pixels.
  void* Bits() const noexcept { return FBits; }
  // Finishes pending drawing, selects the previous bitmap back and deletes the section.
  void ReleaseSection() noexcept;
  // ReleaseSection, then the previous palette goes back in and the context is deleted.
  void ReleaseDC() noexcept;

private:
  TDCHandle FDC = nullptr;
  void* FSection = nullptr;
  void* FOldBitmap = nullptr;
  TPaletteHandle FOldPalette = nullptr;
  void* FBits = nullptr;
};

}  // namespace platform
