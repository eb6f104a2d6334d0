#include "spi/SPIVxDIB.h"

#include "graphics/Graphic.h"
#include "platform/Screen.h"
#include "spi/SPIBmp.h"

TVX_DEFINE_CLASS(TSPIVxDIB, TVxDIB)

namespace {
bool GLowColorDisplay = false;
}  // namespace

bool LowColorDisplay() noexcept { return GLowColorDisplay; }
void SetLowColorDisplay(bool value) noexcept { GLowColorDisplay = value; }

void TSPIVxDIB::Assign(const TPersistent* source) {
  if (auto* graphic = dynamic_cast<const TSPIGraphic*>(source)) {
    TSPIDecodedBy by = graphic->DecodedBy();
    TVxDIB dib;
    const_cast<TSPIGraphic*>(graphic)->ConvertTo(dib, false);
    TVxDIB::Assign(&dib);
    FDecodedBy = std::move(by);
    return;
  }
  TSPIDecodedBy by;
  if (auto* other = dynamic_cast<const TSPIVxDIB*>(source)) {
    TrueColorPaletteMode = other->TrueColorPaletteMode;
    by = other->FDecodedBy;
  }
  TVxDIB::Assign(source);
  FDecodedBy = std::move(by);
}

void TSPIVxDIB::Changed(TObject* sender) {
  // The colour table, not the GDI palette made of it: a system that cannot make palettes
  // must not ask again and again.
  if (BitCount() >= 16 && InternalDIB()->DIB.Header.biClrUsed == 0 &&
      (TrueColorPaletteMode == 2 || (TrueColorPaletteMode == 1 && LowColorDisplay())))
    CreateTrueColorPalette();
  TVxDIB::Changed(sender);
}

void TSPIVxDIB::AssignLoaded(std::unique_ptr<TGraphic> graphic) {
  if (!graphic) throw EInvalidGraphic(SPICouldNotDecode);
  if (auto* plugin = dynamic_cast<TSPIGraphic*>(graphic.get())) {
    // Known before the hand-over, which empties the plug-in graphic.
    TSPIDecodedBy by = plugin->DecodedBy();
    // The plug-in's rows become the DIB's own when the DIB holds them as they are: no copy.
    TVxDIB dib;
    if (!plugin->HandOver(dib)) plugin->ConvertTo(dib, true);
    TVxDIB::Assign(&dib);
    FDecodedBy = std::move(by);
    return;
  }
  TVxDIB::Assign(graphic.get());
  FDecodedBy = {};
}

void TSPIVxDIB::LoadFromFile(const std::filesystem::path& fileName) {
  LoadAndAssign(*this, nullptr, fileName, [this](std::unique_ptr<TGraphic> g) { AssignLoaded(std::move(g)); });
}

void TSPIVxDIB::LoadFromStream(TStream& stream) { LoadFromStreamWithName(stream, {}); }

void TSPIVxDIB::LoadFromStreamWithName(TStream& stream, const std::filesystem::path& fileName) {
  LoadAndAssign(*this, &stream, fileName, [this](std::unique_ptr<TGraphic> g) { AssignLoaded(std::move(g)); });
}

void SPIVxDIBInitialize() { GLowColorDisplay = platform::IsLowColorDisplay(platform::ScreenBitsPerPixel()); }

void SPIVxDIBFinalize() { TPicture::UnregisterGraphicClass(TSPIVxDIB::ClassInfo()); }
