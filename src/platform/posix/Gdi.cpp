#include "platform/Gdi.h"

#include <cstddef>
#include <iterator>

namespace platform {

bool DeviceContextsAvailable() noexcept { return false; }

namespace {

// The colours of the OS's classic scheme, by system colour index (COLOR_SCROLLBAR = 0 ...
// COLOR_MENUBAR = 30), as 0x00BBGGRR.
constexpr std::uint32_t SystemColors[] = {
    0xC8C8C8, 0xA56E3A, 0x6A240A, 0x808080, 0xC8D0D4, 0xFFFFFF, 0x000000, 0x000000,
    0x000000, 0xFFFFFF, 0xC8D0D4, 0xC8D0D4, 0x808080, 0x6A240A, 0xFFFFFF, 0xC8D0D4,
    0x808080, 0x808080, 0x000000, 0xC8D0D4, 0xFFFFFF, 0x404040, 0xC8D0D4, 0x000000,
    0xE1FFFF, 0xB5B5B5, 0x800000, 0xF0CAA6, 0xC0C0C0, 0xFF0000, 0xC8D0D4,
};

}  // namespace

std::uint32_t ColorToRGB(std::uint32_t color) noexcept {
  if ((color & 0x80000000u) == 0) return color & 0x00FFFFFFu;
  const std::size_t index = color & 0xFFu;
  return index < std::size(SystemColors) ? SystemColors[index] : 0;
}

int StretchDIB(TDCHandle, const TDIBPlacement&, const void*, const void*, TPaletteHandle, std::uint32_t) noexcept {
  return 0;
}

bool TDIBSectionDC::Create(const void*, TMappingHandle, TPaletteHandle) noexcept { return false; }

void TDIBSectionDC::ReleaseSection() noexcept {}

void TDIBSectionDC::ReleaseDC() noexcept {}

}  // namespace platform
