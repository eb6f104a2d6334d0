#include "app/Startup.h"

#include "jpeg/JPEG.h"
#include "platform/Screen.h"

void TavexStartup() {
  JPEGInitialize(platform::ScreenBitsPerPixel());
}

void TavexShutdown() {
  JPEGFinalize();
}
