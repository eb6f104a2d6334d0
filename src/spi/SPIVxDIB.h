#pragma once
// The DIB object that can also load through the plug-ins: the class the main window
// registers for the extensions that the plug-ins declare. Loading through the plug-ins
// comes with the decoding jobs.
#include "dib/VxDIB.h"

class TSPIVxDIB : public TVxDIB {
  TVX_DECLARE_CLASS
};

// Program end: every registration of TSPIVxDIB is withdrawn.
void SPIVxDIBFinalize();
