// The canvas over a DIB graphic's own pixels.
#include <memory>

#include "dib/VxDIB.h"
#include "platform/Gdi.h"

namespace {

// The storage's mapped pixels as a bitmap's block: the bitmap writes into them in place.
class TMappedPixels : public TPixelBuffer {
public:
  TMappedPixels(std::uint8_t* data, std::size_t size) noexcept : TPixelBuffer(data, size) {}
};

TPixelFormat BitmapFormatOf(int bitCount) {
  switch (bitCount) {
    case 1: return pf1bit;
    case 4: return pf4bit;
    case 8: return pf8bit;
    default: return pf24bit;
  }
}

constexpr char NoMemoryDC[] = "TVxDIBCanvas.Create: Cannot Create Memory DC";

}  // namespace

TVxDIBCanvas::TVxDIBCanvas(TVxDIB* dib) : FDIB(dib) {
  if (!dib || !dib->UseFMO()) throw EVxDIBCanvasFailed("TVxDIBCanvas.Create: Cannot Create Canvas");
  dib->UniqueDIB();
  TVxInternalDIB& storage = *dib->InternalDIB();
  if (platform::DeviceContextsAvailable()) {
    TPaletteHandle palette = nullptr;
    {
      TVxHalftoneModeOverride plain(*dib, hmNone);
      palette = dib->GetPalette();
    }
    // Without a mapping the OS would give the section memory of its own.
    if (!storage.DIB.MappingHandle ||
        !FSection.Create(storage.DIB.BitmapInfo(), storage.DIB.MappingHandle, palette))
      throw EOutOfResources(NoMemoryDC);
    SetHandle(FSection.Handle());
    return;
  }
  // The portable renderer draws into bottom-up rows only; any other image has no surface
  // here, as the OS makes no section over run-length data.
  const TVxBitmapInfoHeader& h = storage.DIB.Header;
  const std::int64_t size = DIBImageSize(h.biWidth, h.biHeight, h.biBitCount);
  if (h.biCompression != CompressionRGB || h.biHeight <= 0 || size < 0 || !storage.DIB.Bits ||
      size > static_cast<std::int64_t>(storage.DIB.BitsSize))
    throw EOutOfResources(NoMemoryDC);
  auto view = std::make_unique<TBitmap>();
  view->SetPixelFormat(BitmapFormatOf(h.biBitCount));
  view->SetSize(h.biWidth, h.biHeight);
  if (h.biBitCount != 24) view->SetPalette(GetPaletteFromDIBInfos(storage.DIB));
  view->SetPixelBuffer(std::make_shared<TMappedPixels>(storage.DIB.Bits, storage.DIB.BitsSize));
  FView = std::move(view);
}

TVxDIBCanvas::~TVxDIBCanvas() {
  FView.reset();
  FSection.ReleaseSection();
  SetHandle(nullptr);
  FSection.ReleaseDC();
  // The pixels changed behind the DIB's back; a destructor has no one to report a failure to.
  try {
    FDIB->UpdatePaletteModified();
    FDIB->Changed(FDIB);
  } catch (...) {
  }
}
