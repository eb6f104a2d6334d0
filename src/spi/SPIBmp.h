#pragma once
// The framework's bitmap that can also load through the plug-ins. For now it is the
// registry's default graphic class and the class its registrations name; loading through
// the plug-ins comes with the decoding jobs.
#include "graphics/Bitmap.h"

class TSPIBitmap : public TBitmap {
  TVX_DECLARE_CLASS
};

// Program start: TSPIBitmap becomes the registry's DefaultGraphicClass.
void SPIBmpInitialize();
// Program end: every registration of TSPIBitmap is withdrawn.
void SPIBmpFinalize();
