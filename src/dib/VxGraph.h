#pragma once
// The DIB library's own abstract graphic: a clipboard format per class, and
// assignment from the system clipboard.
#include <cstdint>

#include "graphics/Graphic.h"

class TVxGraphic : public TGraphic {
  TVX_DECLARE_CLASS
public:
  void Assign(const TPersistent* source) override;
  // The clipboard format number that the class reads and writes.
  virtual std::uint16_t ClipboardFormat() const = 0;
};
