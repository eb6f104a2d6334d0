#include "app/Startup.h"

#include "dib/VxDIB.h"
#include "graphics/Bitmap.h"
#include "jpeg/JPEG.h"
#include "platform/Screen.h"

void TavexStartup() {
  GraphicsInitialize();
  JPEGInitialize(platform::ScreenBitsPerPixel());
  VxDIBInitialize();
}

void TavexShutdown() {
  VxDIBFinalize();
  ReleaseSharedPalettes();
  JPEGFinalize();
  GraphicsFinalize();
}
