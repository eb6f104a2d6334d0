#include "spi/SPIVxDIB.h"

#include "graphics/Graphic.h"

TVX_DEFINE_CLASS(TSPIVxDIB, TVxDIB)

void SPIVxDIBFinalize() { TPicture::UnregisterGraphicClass(TSPIVxDIB::ClassInfo()); }
