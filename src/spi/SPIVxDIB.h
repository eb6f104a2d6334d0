#pragma once
// The DIB object that can also load through the plug-ins: the class the batch loads every
// file into, and the one the main window registers for the extensions the plug-ins declare.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "dib/VxDIB.h"
#include "rtl/Stream.h"
#include "spi/SPIs.h"

using TSPILoadFromStreamWithNameEvent = std::function<void(TStream& stream, const std::filesystem::path& fileName)>;

class TSPIVxDIB : public TVxDIB {
  TVX_DECLARE_CLASS
public:
  // 0: never a palette for a direct-colour image; 1: one when the display shows colours
  // through a palette (LowColorDisplay); 2: always one.
  std::uint8_t TrueColorPaletteMode = 1;
  // This object's LoadFromStreamWithName, bound to it.
  TSPILoadFromStreamWithNameEvent OnLoadFromStreamWithName() {
    return [this](TStream& stream, const std::filesystem::path& fileName) { LoadFromStreamWithName(stream, fileName); };
  }

  // A plug-in graphic is converted through its BMP image; another TSPIVxDIB passes its
  // TrueColorPaletteMode on first.
  void Assign(const TPersistent* source) override;
  // Direct-colour images get their palette here when the mode and the display ask for one.
  void Changed(TObject* sender) override;
  // The plug-ins first (the DIB reader first for ".bmp"); "Susie Plugins could not decode"
  // when neither reads the data. The load ends with a "Loaded Graphic" event in every case.
  void LoadFromFile(const std::filesystem::path& fileName) override;
  void LoadFromStream(TStream& stream) override;
  virtual void AssignLoaded(std::unique_ptr<TGraphic> graphic);
  virtual void LoadFromStreamWithName(TStream& stream, const std::filesystem::path& fileName);
  // Who decoded the picture of the last load or assignment: the plug-in, or the DIB
  // library's reader (Plugin false, as for a picture assigned from anything else).
  const TSPIDecodedBy& DecodedBy() const noexcept { return FDecodedBy; }

private:
  TSPIDecodedBy FDecodedBy;
};

// Whether the screen shows colours through a palette (at most 8 bits per pixel); false
// without a screen. Set at program start; tests set it to what they need.
bool LowColorDisplay() noexcept;
void SetLowColorDisplay(bool value) noexcept;

// Program start: takes LowColorDisplay from the screen.
void SPIVxDIBInitialize();
// Program end: every registration of TSPIVxDIB is withdrawn.
void SPIVxDIBFinalize();
