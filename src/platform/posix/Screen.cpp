#include "platform/Screen.h"

namespace platform {

// The native build draws on no screen of its own: nothing here has a device context.
int ScreenBitsPerPixel() noexcept { return 0; }

}  // namespace platform
