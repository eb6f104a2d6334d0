// The DIB graphic: a TGraphic over a shared, copy-on-write TVxInternalDIB.
#include "dib/VxDIB.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/Palette.h"

TVX_DEFINE_CLASS(TVxDIB, TVxGraphic)

namespace {

std::unique_ptr<TVxInternalDIB> NewStorage(bool useFMO) { return std::make_unique<TVxInternalDIB>(useFMO); }

// A storage's pixel block lent to bitmaps: the storage stays alive as long as they hold
// it, and a bitmap copies the pixels before writing while any DIB object still shares it
// (DIB objects likewise copy the storage before changing it while the loan is out).
class TLentDIBPixels : public TPixelBuffer {
public:
  explicit TLentDIBPixels(TVxInternalDIB* storage) noexcept
      : TPixelBuffer(storage->DIB.Bits, storage->DIB.BitsSize), FStorage(storage) {
    ++FStorage->RefCount;
  }
  ~TLentDIBPixels() override {
    if (--FStorage->RefCount == 0) delete FStorage;
  }
  bool SharedElsewhere() const noexcept override { return FStorage->RefCount > 1; }

private:
  TVxInternalDIB* FStorage;
};

// Whether a bitmap of the DIB's own depth can use the storage's block as it is: the same
// layout of bottom-up, uncompressed rows padded to 4 bytes.
bool CanLendPixels(const TVxDIBRecord& dib) noexcept {
  const TVxBitmapInfoHeader& h = dib.Header;
  if (!dib.Bits || h.biCompression != CompressionRGB || h.biWidth <= 0 || h.biHeight <= 0) return false;
  if (h.biBitCount != 1 && h.biBitCount != 4 && h.biBitCount != 8 && h.biBitCount != 24) return false;
  const std::int64_t bytes = DIBImageSize(h.biWidth, h.biHeight, h.biBitCount);
  return bytes >= 0 && bytes <= static_cast<std::int64_t>(dib.BitsSize);
}

}  // namespace

TVxDIB::TVxDIB() {
  FInternalDIB = NewStorage(DefaultUseFMO()).release();
  UpdatePaletteModified();
}

TVxDIB::~TVxDIB() { ReleaseInternalDIB(); }

void TVxDIB::CheckInternalDIB(const char* operation) const {
  if (!FInternalDIB) Assert(false, (std::string(operation) + ": InternalDIB Should not be Nil").c_str());
}

void TVxDIB::ReleaseInternalDIB() noexcept {
  if (!FInternalDIB) return;
  if (--FInternalDIB->RefCount == 0) delete FInternalDIB;
  FInternalDIB = nullptr;
}

void TVxDIB::TakeInternalDIB(std::unique_ptr<TVxInternalDIB> storage) noexcept {
  ReleaseInternalDIB();
  FInternalDIB = storage.release();
}

void TVxDIB::UpdatePaletteModified() {
  CheckInternalDIB("TVxDIB.UpdatePaletteModified");
  Assert(FInternalDIB->RefCount == 1, "TVxDIB.UpdatePaletteModified RefCount Must be 1");
  if (FInternalDIB->PaletteChanged) {
    FInternalDIB->PaletteChanged = false;
    SetPaletteModified(true);
  }
}

void TVxDIB::UniqueDIB() {
  CheckInternalDIB("TVxDIB.UniqueDIB");
  if (FInternalDIB->RefCount == 1) return;
  auto copy = NewStorage(FInternalDIB->UseFMO);
  copy->ReleaseStorage();
  TVxMemory block(FInternalDIB->DIB.BitsSize, copy->UseFMO, false);
  if (FInternalDIB->DIB.Bits && FInternalDIB->DIB.BitsSize)
    std::memcpy(block.Bits(), FInternalDIB->DIB.Bits, FInternalDIB->DIB.BitsSize);
  TVxDIBRecord record = FInternalDIB->DIB;
  block.MoveTo(record);
  copy->MoveInDIB(record);
  TakeInternalDIB(std::move(copy));
  UpdatePaletteModified();
}

void TVxDIB::FreshImage(int width, int height, int colorCount, int bitCount) {
  auto storage = NewStorage(FInternalDIB->UseFMO);
  storage->ReleaseStorage();
  storage->CreateDIB(width, height, colorCount, bitCount);
  TakeInternalDIB(std::move(storage));
  UpdatePaletteModified();
  SetModified(true);
}

void TVxDIB::Assign(const TPersistent* source) {
  CheckInternalDIB("TVxDIB.Assign");
  if (!source) {
    TakeInternalDIB(NewStorage(FInternalDIB->UseFMO));
    UpdatePaletteModified();
    SetModified(true);
    return;
  }
  if (const auto* other = dynamic_cast<const TVxDIB*>(source)) {
    if (other == this) return;
    other->CheckInternalDIB("TVxDIB.Assign");
    TVxInternalDIB* shared = other->FInternalDIB;
    ++shared->RefCount;
    ReleaseInternalDIB();
    FInternalDIB = shared;
    FMonoColor = other->FMonoColor;
    FConvertMethod = other->FConvertMethod;
    FHalftoneMode = other->FHalftoneMode;
    SetPaletteModified(true);
    SetModified(true);
    return;
  }
  if (const auto* bitmap = dynamic_cast<const TBitmap*>(source)) {
    AssignBitmap(*bitmap);
    return;
  }
  TVxGraphic::Assign(source);
}

void TVxDIB::AssignBitmap(const TBitmap& bitmap) {
  const int bitCount = bitmap.BitsPerPixel();
  auto storage = NewStorage(FInternalDIB->UseFMO);
  storage->ReleaseStorage();
  storage->CreateDIB(bitmap.Width(), bitmap.Height(), 0, bitCount);
  TVxDIBRecord& dib = storage->DIB;
  // Both keep bottom-up rows padded to 4 bytes: the block copies as it is.
  const std::size_t rowBytes = static_cast<std::size_t>(bitmap.RowBytes());
  for (int y = 0; y < bitmap.Height(); ++y)
    std::memcpy(dib.Bits + static_cast<std::size_t>(bitmap.Height() - 1 - y) * rowBytes, bitmap.ScanLine(y),
                rowBytes);
  if (bitCount <= 8) {
    std::uint32_t table[256];
    int count = 0;
    bitmap.GetColorTable(table, count);
    const int entries = ColorCount(bitCount);
    for (int i = 0; i < entries; ++i)
      dib.ColorTable[i] = TVxRGBQuad{static_cast<std::uint8_t>(table[i] >> 16), static_cast<std::uint8_t>(table[i] >> 8),
                                     static_cast<std::uint8_t>(table[i]), 0};
    dib.Header.biClrUsed = static_cast<std::uint32_t>(entries);
  }
  TakeInternalDIB(std::move(storage));
  FInternalDIB->UpdatePalette();
  UpdatePaletteModified();
  SetModified(true);
}

void TVxDIB::AssignTo(TPersistent& dest) const {
  CheckInternalDIB("TVxDIB.AssignTo");
  if (auto* dib = dynamic_cast<TVxDIB*>(&dest)) {
    dib->Assign(this);
    return;
  }
  auto* bitmap = dynamic_cast<TBitmap*>(&dest);
  if (!bitmap) {
    TVxGraphic::AssignTo(dest);
    return;
  }
  bitmap->SetHeight(GetHeight());
  bitmap->SetWidth(GetWidth());
  switch (FInternalDIB->GetPixelFormat()) {
    case vxpf1Bit: bitmap->SetPixelFormat(pf1bit); break;
    case vxpf4Bit:
    case vxpf4BitRLE: bitmap->SetPixelFormat(pf4bit); break;
    case vxpf8Bit:
    case vxpf8BitRLE: bitmap->SetPixelFormat(pf8bit); break;
    case vxpf24Bit: bitmap->SetPixelFormat(pf24bit); break;
    default: Assert(false, "TVxDIB.AssignTo: Illegal PixelFormat");
  }
  {
    auto& self = const_cast<TVxDIB&>(*this);
    TVxHalftoneModeOverride plain(self, hmNone);
    bitmap->SetPalette(CopyPalette(GetPalette()));
  }
  // Drawing unscaled into a bitmap of the same layout gives the storage's own bytes: the
  // bitmap shares them instead (no copy of a whole image per file).
  if (CanLendPixels(FInternalDIB->DIB) && bitmap->BitsPerPixel() == FInternalDIB->DIB.Header.biBitCount) {
    bitmap->SetPixelBuffer(std::make_shared<TLentDIBPixels>(FInternalDIB));
    return;
  }
  BlitDIB(FInternalDIB->DIB, *bitmap, TRect{0, 0, GetWidth(), GetHeight()});
}

void TVxDIB::Draw(TCanvas& canvas, const TRect& rect) {
  CheckInternalDIB("TVxDIB.Draw");
  switch (FHalftoneMode) {
    case hmNone: DrawPlain(canvas, rect); break;
    case hmHalftone:
    case hmHalftoneBW: DrawHalftoned(canvas, rect); break;
  }
}

void TVxDIB::DrawPlain(TCanvas& canvas, const TRect& rect) {
  if (TDCHandle dc = canvas.Handle()) {
    // The OS trusts the header: it must not read beyond the block.
    const TVxDIBRecord& dib = FInternalDIB->DIB;
    const TVxBitmapInfoHeader& h = dib.Header;
    const std::int64_t need = h.biCompression == CompressionRGB ? DIBImageSize(h.biWidth, h.biHeight, h.biBitCount)
                                                                 : static_cast<std::int64_t>(h.biSizeImage);
    if (!dib.Bits || need <= 0 || need > static_cast<std::int64_t>(dib.BitsSize))
      throw EVxDIBInvalidDIB("TVxDIB.Draw: Pixel Data Too Short");
    const int width = FInternalDIB->Width, height = FInternalDIB->Height;
    platform::StretchDIB(dc, {rect.Left, rect.Top, rect.Width(), rect.Height(), 0, 0, width, height},
                         dib.Bits, dib.BitmapInfo(), GetPalette(), canvas.CopyMode());
    return;
  }
  TBitmap* target = nullptr;
  if (auto* bitmapCanvas = dynamic_cast<TBitmapCanvas*>(&canvas)) target = &bitmapCanvas->Bitmap();
  if (auto* dibCanvas = dynamic_cast<TVxDIBCanvas*>(&canvas)) target = dibCanvas->PixelView();
  if (!target) throw EInvalidOperation("TVxDIB.Draw: The canvas cannot take a DIB");
  BlitDIB(FInternalDIB->DIB, *target, rect);
}

void TVxDIB::DrawHalftoned(TCanvas& canvas, const TRect& rect) {
  const int width = rect.Right - rect.Left, height = rect.Bottom - rect.Top;
  if (width == 0 || height == 0) return;
  TVxDIB copy;
  {
    TVxHalftoneModeOverride plain(*this, hmNone);
    copy.SetWidth(width < 0 ? -width : width);
    copy.SetHeight(height < 0 ? -height : height);
    copy.SetBitCount(BitCount());
    copy.SetPalette(CopyPalette(GetPalette()));
    TVxDIBCanvas target(&copy);
    target.StretchDraw(TRect{0, 0, width, height}, *this);
  }
  copy.SetPixelFormat(FHalftoneMode == hmHalftone ? vxpfHalftone : vxpfHalftoneBW);
  copy.Draw(canvas, rect);
}

bool TVxDIB::GetEmpty() const {
  CheckInternalDIB("TVxDIB.GetEmpty");
  return false;
}

int TVxDIB::GetWidth() const {
  CheckInternalDIB("TVxDIB.GetWidth");
  return FInternalDIB->Width;
}

int TVxDIB::GetHeight() const {
  CheckInternalDIB("TVxDIB.GetHeight");
  return FInternalDIB->Height;
}

void TVxDIB::SetWidth(int value) {
  CheckInternalDIB("TVxDIB.SetWidth");
  if (value <= 0) throw EVxDIBInvalidDIBPara("TVxDIB.SetWidth: Invalid Width");
  if (value == FInternalDIB->Width) return;
  const TVxBitmapInfoHeader& h = FInternalDIB->DIB.Header;
  FreshImage(value, FInternalDIB->Height, static_cast<int>(h.biClrUsed), h.biBitCount);
}

void TVxDIB::SetHeight(int value) {
  CheckInternalDIB("TVxDIB.SetHeight");
  if (value == 0) throw EVxDIBInvalidDIBPara("TVxDIB.SetHeight: Invalid Height");
  if (value == FInternalDIB->Height) return;
  const TVxBitmapInfoHeader& h = FInternalDIB->DIB.Header;
  FreshImage(FInternalDIB->Width, value, static_cast<int>(h.biClrUsed), h.biBitCount);
}

int TVxDIB::BitCount() const {
  CheckInternalDIB("TVxDIB.GetBitCount");
  return FInternalDIB->DIB.Header.biBitCount;
}

void TVxDIB::SetBitCount(int value) {
  CheckInternalDIB("TVxDIB.SetBitCount");
  if (value != 1 && value != 4 && value != 8 && value != 24)
    throw EVxDIBInvalidDIBPara("TVxDIB.SetBitCount: Invalid BitCount");
  if (value == FInternalDIB->DIB.Header.biBitCount) return;
  FreshImage(FInternalDIB->Width, FInternalDIB->Height, ColorCount(value), value);
}

TVxPixelFormat TVxDIB::PixelFormat() const {
  CheckInternalDIB("TVxDIB.GetPixelFormat");
  return FInternalDIB->GetPixelFormat();
}

bool TVxDIB::UseFMO() const {
  CheckInternalDIB("TVxDIB.GetUseFMO");
  return FInternalDIB->UseFMO;
}

TPaletteHandle TVxDIB::GetPalette() const {
  CheckInternalDIB("TVxDIB.GetPalette");
  if (FHalftoneMode == hmHalftone || FHalftoneMode == hmHalftoneBW) return SharedPalette(FHalftoneMode);
  TVxInternalDIB& storage = *FInternalDIB;
  if (!storage.PaletteHandle && storage.DIB.Header.biClrUsed != 0)
    storage.PaletteHandle = GetPaletteFromDIBInfos(storage.DIB);
  return storage.PaletteHandle;
}

void TVxDIB::SetPalette(TPaletteHandle value) {
  CheckInternalDIB("TVxDIB.SetPalette");
  platform::TPaletteEntry entries[256];
  int count = 0;
  if (value) {
    count = platform::GetPaletteEntries(value, 0, 256, entries);
    if (count <= 0) throw EVxDIBInvalidPalette("TVxDIB.SetPalette: Invalid Palette");
  }
  // Our own cached handle handed back stays the storage's; it must not be owned twice.
  const bool cached = value && value == FInternalDIB->PaletteHandle;
  UniqueDIB();
  TVxInternalDIB& storage = *FInternalDIB;
  storage.DIB.Header.biClrUsed = static_cast<std::uint32_t>(count);
  for (int i = 0; i < count; ++i)
    storage.DIB.ColorTable[i] = TVxRGBQuad{entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
  if (cached && storage.PaletteHandle == value) {
    storage.PaletteChanged = true;
  } else {
    // Deletes the previous cached handle: it neither leaks nor outlives an emptied table.
    storage.UpdatePalette();
    if (value && !cached) storage.PaletteHandle = value;
  }
  UpdatePaletteModified();
  SetModified(true);
}

void TVxDIB::LoadFromStream(TStream& stream) {
  CheckInternalDIB("TVxDIB.LoadFromStream");
  auto storage = NewStorage(FInternalDIB->UseFMO);
  storage->LoadFromStream(stream);
  TakeInternalDIB(std::move(storage));
  UpdatePaletteModified();
  SetModified(true);
}

void TVxDIB::LoadAdoptedPixels(const TVxBitmapInfoHeader& header, const void* table, std::uint8_t* pixels,
                               std::uint32_t size, std::unique_ptr<TForeignPixels> owner) {
  CheckInternalDIB("TVxDIB.LoadAdoptedPixels");
  auto storage = NewStorage(FInternalDIB->UseFMO);
  storage->ReleaseStorage();
  storage->AdoptPixels(header, table, pixels, size, std::move(owner));
  TakeInternalDIB(std::move(storage));
  UpdatePaletteModified();
  SetModified(true);
}

void TVxDIB::SaveToStream(TStream& stream) const {
  CheckInternalDIB("TVxDIB.SaveToStream");
  FInternalDIB->SaveToStream(stream);
}

void TVxDIB::LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle) {
  CheckInternalDIB("TVxDIB.LoadFromClipboardFormat");
  if (format != ClipboardFormatDIB || !data)
    throw EInvalidGraphic("TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Format or No Data");
  auto storage = NewStorage(FInternalDIB->UseFMO);
  storage->LoadFromClipboardFormat(data);
  TakeInternalDIB(std::move(storage));
  UpdatePaletteModified();
  SetModified(true);
}

void TVxDIB::SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const {
  CheckInternalDIB("TVxDIB.SaveToClipboardFormat");
  data = FInternalDIB->SaveToClipboardFormat();
  format = ClipboardFormatDIB;
  palette = nullptr;
}

void VxDIBInitialize() {
  TPicture::RegisterClipboardFormat(ClipboardFormatDIB, TVxDIB::ClassInfo());
  TPicture::RegisterFileFormat("dib", "Device Independent Bitmap", TVxDIB::ClassInfo());
}

void VxDIBFinalize() {
  TPicture::UnregisterGraphicClass(TVxDIB::ClassInfo());
  ReleasePooledMemory();
}
