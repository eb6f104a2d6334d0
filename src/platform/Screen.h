#pragma once
// The screen the program draws on.

namespace platform {

// Colour planes times bits per pixel of the screen's device context; 0 when there is
// no screen to ask (no display, or a platform without one), as a Windows machine
// without a screen device context would answer.
int ScreenBitsPerPixel() noexcept;

// Whether a screen of this depth shows colours through a palette: 1 to 8 bits per pixel.
// No screen (0) is no palette display.
constexpr bool IsLowColorDisplay(int bitsPerPixel) noexcept { return bitsPerPixel > 0 && bitsPerPixel <= 8; }

}  // namespace platform
