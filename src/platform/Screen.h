#pragma once
// The screen the program draws on.

namespace platform {

// Colour planes times bits per pixel of the screen's device context; 0 when there is
// no screen to ask (no display, or a platform without one), as a Windows machine
// without a screen device context would answer.
int ScreenBitsPerPixel() noexcept;

}  // namespace platform
