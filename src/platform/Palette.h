#pragma once
// Logical palettes through the OS: HPALETTE on Windows, an owned entry list on POSIX.
#include <cstdint>
#include <memory>
#include <type_traits>

#include "platform/Handles.h"

namespace platform {

// The layout of the OS's PALETTEENTRY.
struct TPaletteEntry {
  std::uint8_t peRed = 0;
  std::uint8_t peGreen = 0;
  std::uint8_t peBlue = 0;
  std::uint8_t peFlags = 0;
  friend bool operator==(const TPaletteEntry&, const TPaletteEntry&) = default;
};

// A new palette of count entries (1 to 65535); null on failure or a count outside that range.
TPaletteHandle CreatePalette(const TPaletteEntry* entries, int count) noexcept;
// Copies up to count entries from start; returns the number copied (0 on failure).
// With entries null it returns the palette's entry count.
int GetPaletteEntries(TPaletteHandle palette, int start, int count, TPaletteEntry* entries) noexcept;
// False when the OS reports a failure.
bool DeletePalette(TPaletteHandle palette) noexcept;

struct TPaletteDeleter {
  void operator()(TPaletteHandle h) const noexcept { DeletePalette(h); }
};
// The one owner of a palette handle.
using TPaletteOwner = std::unique_ptr<std::remove_pointer_t<TPaletteHandle>, TPaletteDeleter>;

}  // namespace platform
