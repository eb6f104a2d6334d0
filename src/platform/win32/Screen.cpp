#include "platform/Screen.h"

#include "platform/win32/WinHeaders.h"

namespace platform {

int ScreenBitsPerPixel() noexcept {
  HDC dc = ::GetDC(nullptr);
  if (!dc) return 0;
  const int bits = ::GetDeviceCaps(dc, PLANES) * ::GetDeviceCaps(dc, BITSPIXEL);
  ::ReleaseDC(nullptr, dc);
  return bits;
}

}  // namespace platform
