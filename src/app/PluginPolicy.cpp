#include "app/PluginPolicy.h"

#include "platform/Folders.h"
#include "rtl/Text.h"
#include "spi/SPIVxDIB.h"

void SPIsSearching(TObject*, const std::string& fileName, bool& accept) {
  static const char* const leftOut[] = {"IFHG.SPI", "IFBMP.SPI", "IFGIF.SPI", "ifply.spi", "if3ds.spi", "IFMM.SPI"};
  const std::string name = ExtractFileName(fileName);
  for (const char* refused : leftOut)
    if (SameTextAscii(name, refused)) {
      accept = false;
      return;
    }
}

void SPIsSearch(TObject*, TSPI* aspi, bool& accept) { accept = aspi && aspi->InheritsFrom(TInSPI::ClassInfo()); }

void SPIsPictureRegister(TObject*, TInSPI*, const std::string& aExtension, const std::string&,
                         const TClass*& aGraphicClass) {
  // The program's own classes decode these; a plug-in's registration would shadow them.
  static const char* const ownFormats[] = {"JPG", "JPEG", "ICO", "BMP", "PNG", "GIF"};
  aGraphicClass = &TSPIVxDIB::ClassInfo();
  const std::string upper = AsciiUpper(aExtension);
  for (const char* own : ownFormats)
    if (upper == own) aGraphicClass = nullptr;
}

void ApplyMainFormPluginSettings(TSPIs& spis) {
  spis.GraphicPreview = false;
  spis.SearchOptions = {spsSusieDir, spsAppDir, spsCurrentDir, spsSystemDir, spsWindowsDir};
  spis.OnSearch = SPIsSearch;
  spis.OnSearching = SPIsSearching;
  spis.OnPictureRegister = SPIsPictureRegister;
  // Hosts remember what unchanged plug-ins answered: the next start registers them
  // without starting a host.
  spis.HostCacheFolder = platform::UserCacheFolder();
}
