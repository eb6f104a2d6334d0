#include "platform/Palette.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/win32/WinHeaders.h"

static_assert(sizeof(platform::TPaletteEntry) == sizeof(PALETTEENTRY));

namespace platform {

TPaletteHandle CreatePalette(const TPaletteEntry* entries, int count) noexcept {
  if (!entries || count <= 0 || count > 0xFFFF) return nullptr;
  // LOGPALETTE ends in a one-entry array; the block holds all entries after the header.
  const std::size_t bytes = offsetof(LOGPALETTE, palPalEntry) + sizeof(PALETTEENTRY) * static_cast<std::size_t>(count);
  void* block = std::malloc(bytes);
  if (!block) return nullptr;
  auto* lp = static_cast<LOGPALETTE*>(block);
  lp->palVersion = 0x300;
  lp->palNumEntries = static_cast<WORD>(count);
  std::memcpy(lp->palPalEntry, entries, sizeof(PALETTEENTRY) * static_cast<std::size_t>(count));
  HPALETTE h = ::CreatePalette(lp);
  std::free(block);
  return h;
}

int GetPaletteEntries(TPaletteHandle palette, int start, int count, TPaletteEntry* entries) noexcept {
  if (!palette) return 0;
  if (!entries) return static_cast<int>(::GetPaletteEntries(palette, 0, 0, nullptr));
  if (start < 0 || count <= 0) return 0;
  return static_cast<int>(::GetPaletteEntries(palette, static_cast<UINT>(start), static_cast<UINT>(count),
                                              reinterpret_cast<PALETTEENTRY*>(entries)));
}

bool DeletePalette(TPaletteHandle palette) noexcept { return palette && ::DeleteObject(palette) != FALSE; }

}  // namespace platform
