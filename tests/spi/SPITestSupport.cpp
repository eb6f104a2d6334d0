#include "spi/SPITestSupport.h"

#include "spi/SPIs.h"

std::string TPluginFolder::Folder() const { return AppendBackslash(PathToUtf8(FDir.Path())); }
