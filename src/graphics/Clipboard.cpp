#include "graphics/Clipboard.h"

#include "platform/Clipboard.h"
#include "platform/Memory.h"
#include "platform/Palette.h"
#include "rtl/Exception.h"

TVX_DEFINE_CLASS(TClipboard, TPersistent)

void TClipboard::Open() {
  if (FOpenCount == 0 && !platform::OpenClipboard()) throw EInvalidOperation("Cannot open clipboard");
  ++FOpenCount;
}

void TClipboard::Close() noexcept {
  if (FOpenCount == 0) return;
  if (--FOpenCount == 0) platform::CloseClipboard();
}

void TClipboard::Clear() {
  Open();
  platform::EmptyClipboard();
  Close();
}

bool TClipboard::HasFormat(std::uint16_t format) const noexcept { return platform::IsClipboardFormatAvailable(format); }

TGlobalHandle TClipboard::GetAsHandle(std::uint16_t format) const noexcept { return platform::GetClipboardData(format); }

void TClipboard::SetAsHandle(std::uint16_t format, TGlobalHandle data) {
  try {
    Open();
  } catch (...) {
    platform::GlobalFree(data);
    throw;
  }
  platform::EmptyClipboard();
  const bool stored = platform::SetClipboardData(format, data);
  Close();
  if (!stored) throw EOutOfResources("TClipboard.SetAsHandle: The clipboard did not take the data");
}

void TClipboard::Assign(const TPersistent* source) {
  const auto* graphic = dynamic_cast<const TGraphic*>(source);
  if (!graphic) {
    TPersistent::Assign(source);
    return;
  }
  std::uint16_t format = 0;
  TGlobalHandle data = nullptr;
  TPaletteHandle palette = nullptr;
  graphic->SaveToClipboardFormat(format, data, palette);
  // A palette that comes with the data is not put on the clipboard here; it is ours to drop.
  if (palette) platform::DeletePalette(palette);
  SetAsHandle(format, data);
}

TClipboard& Clipboard() {
  static TClipboard clipboard;
  return clipboard;
}
