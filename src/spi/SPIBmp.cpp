#include "spi/SPIBmp.h"

#include "graphics/Graphic.h"
#include "spi/SPIs.h"

TVX_DEFINE_CLASS(TSPIBitmap, TBitmap)

void SPIBmpInitialize() { TSPIs::SetDefaultGraphicClass(&TSPIBitmap::ClassInfo()); }

void SPIBmpFinalize() { TPicture::UnregisterGraphicClass(TSPIBitmap::ClassInfo()); }
