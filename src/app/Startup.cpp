#include "app/Startup.h"

#include "dib/VxDIB.h"
#include "graphics/Bitmap.h"
#include "jpeg/JPEG.h"
#include "platform/Screen.h"
#include "spi/SPIBmp.h"
#include "spi/SPIVxDIB.h"

void TavexStartup() {
  GraphicsInitialize();
  JPEGInitialize(platform::ScreenBitsPerPixel());
  VxDIBInitialize();
  SPIBmpInitialize();
  SPIVxDIBInitialize();
}

void TavexShutdown() {
  SPIVxDIBFinalize();
  SPIBmpFinalize();
  VxDIBFinalize();
  ReleaseSharedPalettes();
  JPEGFinalize();
  GraphicsFinalize();
}
