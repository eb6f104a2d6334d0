#pragma once
// Which plug-ins the program uses: the main window's three registry handlers, shared by
// the window and tavex-cli.
#include <string>

#include "spi/SPIs.h"

// Refuses, before loading, the six plug-in files the program leaves out (the file-name
// part compared without regard to the case of ASCII letters).
void SPIsSearching(TObject* sender, const std::string& fileName, bool& accept);
// Keeps import filters only.
void SPIsSearch(TObject* sender, TSPI* aspi, bool& accept);
// TSPIVxDIB for every declared extension except JPG, JPEG, ICO, BMP, PNG and GIF, which
// get nothing.
void SPIsPictureRegister(TObject* sender, TInSPI* aspi, const std::string& aExtension, const std::string& aDescription,
                         const TClass*& aGraphicClass);

// The registry as the main window's form describes it: all five search places, no
// preview, the three handlers above.
void ApplyMainFormPluginSettings(TSPIs& spis);
