#pragma once
// The drawing surface that graphics draw on. A bitmap's canvas draws into the bitmap's
// own pixels; on Windows a canvas may also stand for a window's device context.
#include "graphics/Graphic.h"

class TCanvas {
public:
  virtual ~TCanvas() = default;
  // Draws a graphic at (x, y) at its own size.
  void Draw(int x, int y, TGraphic& graphic) {
    graphic.Draw(*this, TRect{x, y, x + graphic.Width(), y + graphic.Height()});
  }
  void StretchDraw(const TRect& rect, TGraphic& graphic) { graphic.Draw(*this, rect); }
};
