#pragma once
// The framework's clipboard object: the one source that graphics read from the system
// clipboard when it is assigned to them, and the target they are copied to.
#include <cstdint>

#include "graphics/Graphic.h"
#include "platform/Handles.h"

class TClipboard : public TPersistent {
  TVX_DECLARE_CLASS
public:
  // Nested opens are counted; only the outermost pair opens and closes the clipboard.
  // Raises EInvalidOperation "Cannot open clipboard" when another owner holds it.
  void Open();
  void Close() noexcept;
  bool IsOpen() const noexcept { return FOpenCount > 0; }
  // Empties the clipboard (opening it for the call).
  void Clear();
  bool HasFormat(std::uint16_t format) const noexcept;
  // The block under a format, still the clipboard's; null when none. The clipboard must be open.
  TGlobalHandle GetAsHandle(std::uint16_t format) const noexcept;
  // Empties the clipboard and hands it the block (the clipboard owns it from then on).
  void SetAsHandle(std::uint16_t format, TGlobalHandle data);
  // A graphic: the clipboard takes its clipboard form. Anything else: the inherited Assign.
  void Assign(const TPersistent* source) override;

private:
  int FOpenCount = 0;
};

// The process's clipboard object.
TClipboard& Clipboard();
