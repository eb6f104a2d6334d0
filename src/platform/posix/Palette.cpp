#include "platform/Palette.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

// What a palette handle points to on POSIX: the logical palette's entries.
struct HPALETTE__ {
  std::vector<platform::TPaletteEntry> Entries;
};

namespace platform {

TPaletteHandle CreatePalette(const TPaletteEntry* entries, int count) noexcept {
  if (!entries || count <= 0 || count > 0xFFFF) return nullptr;
  try {
    // The record is owned until its entries are in: a failed copy must not leak it.
    auto p = std::make_unique<HPALETTE__>();
    p->Entries.assign(entries, entries + count);
    return p.release();
  } catch (...) {
    return nullptr;
  }
}

int GetPaletteEntries(TPaletteHandle palette, int start, int count, TPaletteEntry* entries) noexcept {
  if (!palette) return 0;
  const int size = static_cast<int>(palette->Entries.size());
  if (!entries) return size;
  if (start < 0 || start >= size || count <= 0) return 0;
  const int n = std::min(count, size - start);
  std::copy_n(palette->Entries.begin() + start, n, entries);
  return n;
}

bool DeletePalette(TPaletteHandle palette) noexcept {
  if (!palette) return false;
  delete palette;
  return true;
}

}  // namespace platform
