#pragma once
// The drawing surface that graphics draw on. A bitmap's canvas draws into the bitmap's
// own pixels; on Windows a canvas may also stand for a window's device context.
#include <cstdint>

#include "graphics/Graphic.h"
#include "platform/Handles.h"

class TCanvas {
public:
  virtual ~TCanvas() = default;
  // Draws a graphic at (x, y) at its own size.
  void Draw(int x, int y, TGraphic& graphic) {
    graphic.Draw(*this, TRect{x, y, x + graphic.Width(), y + graphic.Height()});
  }
  void StretchDraw(const TRect& rect, TGraphic& graphic) { graphic.Draw(*this, rect); }

  // The device context the canvas draws on; null for a canvas that draws into memory of
  // its own. The canvas does not own it.
  TDCHandle Handle() const noexcept { return FHandle; }
  void SetHandle(TDCHandle handle) noexcept { FHandle = handle; }
  // The raster operation of drawing on the device context (the OS's SRCCOPY by default).
  std::uint32_t CopyMode() const noexcept { return FCopyMode; }
  void SetCopyMode(std::uint32_t value) noexcept { FCopyMode = value; }

private:
  TDCHandle FHandle = nullptr;
  std::uint32_t FCopyMode = 0x00CC0020;
};
