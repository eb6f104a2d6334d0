#include "spi/SPIBmp.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <cstring>
#include <vector>

#include "graphics/DibFormat.h"
#include "rtl/Stream.h"
#include "rtl/Text.h"
#include "spi/PluginHost.h"
#include "spi/SPIsHelper.h"

namespace {

// The kernel's MulDiv: a × b / c rounded half away from zero; -1 when c is 0 or the
// result does not fit.
int MulDiv(int a, int b, int c) noexcept {
  if (c == 0) return -1;
  std::int64_t p = static_cast<std::int64_t>(a) * b;
  const bool negative = (p < 0) != (c < 0);
  const std::int64_t ap = p < 0 ? -p : p, ac = c < 0 ? -static_cast<std::int64_t>(c) : c;
  std::int64_t q = (ap + ac / 2) / ac;
  if (negative) q = -q;
  return q > INT_MAX || q < INT_MIN ? -1 : static_cast<int>(q);
}

// A handle a plug-in wrote, when it names a live block (a plug-in may leave anything there).
platform::TLocalHandle LiveBlock(platform::TLocalHandle handle) noexcept {
  return handle && platform::LocalSize(handle) > 0 ? handle : nullptr;
}

const TClass& InSPIKind() { return TInSPI::ClassInfo(); }

std::string PluginNameOf(const std::filesystem::path& fileName) {
  return fileName.empty() ? std::string() : ToPluginFileName(fileName);
}

// The decoders that recognised the data of the load running on this thread: a plug-in's
// IsSupported saying yes, the DIB reader finding "BM".
thread_local int GClaims = 0;

// One load's claims; a load inside another adds its claims to the outer one's.
class TClaimScope {
public:
  TClaimScope() noexcept : FOuter(GClaims) { GClaims = 0; }
  ~TClaimScope() { GClaims += FOuter; }
  TClaimScope(const TClaimScope&) = delete;
  TClaimScope& operator=(const TClaimScope&) = delete;
  bool Any() const noexcept { return GClaims > 0; }

private:
  int FOuter;
};

}  // namespace

// ---- TInSPIAbleData

TInSPIAbleData::TInSPIAbleData(TGraphic* owner, std::filesystem::path fileName)
    : FFileName(std::move(fileName)), FOwner(owner) {}

TInSPIAbleData::~TInSPIAbleData() { Clear(); }

void TInSPIAbleData::SendProgress(TProgressStage stage, std::uint8_t percent, const std::string& msg) {
  if (OnProgress) OnProgress(FOwner, stage, percent, stage == psEnding, TRect{}, msg);
}

void TInSPIAbleData::Run() {
  TSPIs* spis = TSPIs::Instance();
  const int offsets = spis && spis->MacBinary ? 2 : 1;
  SendProgress(psStarting, 0, "Loading Graphic by Susie Plugin");
  // The source of this job is new to the plug-in hosts.
  const TPluginHost::TJobSource jobSource;
  try {
    Clear();
    SendProgress(psRunning, 1, "Seeking enabled Susie Plugins");
    std::vector<TSPI*> candidates;
    if (spis) spis->CollectPlugins({&InSPIKind()}, candidates, PathToUtf8(FFileName));
    unsigned char header[SPIHeaderSize] = {};
    ReadHeader(header, sizeof header);
    for (TSPI* module : candidates) {
      bool done = false;
      for (int i = 0; i < offsets && !done; ++i) {
        SendProgress(psRunning, 1, "Loading by [" + PathToUtf8(module->FileName().filename()) + "]");
        TryPlugin(*module, header, i * SPIMacBinaryOffset);
        done = !Empty();
        if (!done) Clear();
      }
      if (done) {
        FDecoder = module;
        break;
      }
    }
  } catch (...) {
    // The failure that is passing wins over one of the ending event.
    try {
      SendProgress(psEnding, 100, "Loaded Graphic by Susie Plugin");
    } catch (...) {
    }
    throw;
  }
  SendProgress(psEnding, 100, "Loaded Graphic by Susie Plugin");
}

const std::string& TInSPIAbleData::PluginName() {
  if (!FPluginNameKnown) {
    FPluginName = PluginNameOf(FFileName);
    FPluginNameKnown = true;
  }
  return FPluginName;
}

bool TInSPIAbleData::Supported(TSPI& module, const unsigned char* header, int offset) {
  if (Refused()) return false;
  const std::string& name = PluginName();
  if (!FFileName.empty() && name.empty()) return false;
  if (module.IsSupported(name.c_str(), header + offset) == 0) return false;
  ++GClaims;
  return true;
}

void TInSPIAbleData::TryPlugin(TSPI& module, const unsigned char* header, int offset) {
  if (!Supported(module, header, offset)) return;
  QueryInfo(module, offset);
  const TSPIs* spis = TSPIs::Instance();
  if (spis && spis->GraphicPreview) {
    try {
      QueryPreview(module, offset);
    } catch (const ESPIInvalidAPI&) {
      // No GetPreview: the picture itself is asked for next.
    }
    if (Empty()) QueryPicture(module, offset);
  } else {
    QueryPicture(module, offset);
  }
}

void TInSPIAbleData::Decode(TSPI& module, TDecodeCall call, const void* source, TSPILength length,
                            unsigned flags) {
  platform::TLocalHandle info = nullptr, pixels = nullptr;
  FProgressFailure = nullptr;
  const int rc = (module.*call)(source, length, flags, &info, &pixels, &TInSPIAbleData::ProgressCallback,
                                reinterpret_cast<TSPILength>(this));
  // Owned from here on, whatever the plug-in answered: a failed call may still have filled
  // them. A block handed back twice, or the picture-information text that the job already
  // owns handed back again, would be freed while the picture is still read: each distinct
  // block gets one owner, and such a result is impossible.
  const platform::TLocalHandle text = FPictureInfo.Info;
  const bool aliased = (info && (info == pixels || info == text)) || (pixels && pixels == text);
  platform::TLocalMemory infoBlock(info == text ? nullptr : LiveBlock(info));
  platform::TLocalMemory pixelBlock(pixels == info || pixels == text ? nullptr : LiveBlock(pixels));
  if (FProgressFailure) std::rethrow_exception(std::exchange(FProgressFailure, nullptr));
  if (rc != 0 || aliased || !infoBlock || !pixelBlock) return;
  TSPIResultLayout layout;
  {
    platform::TLocalLock lock(infoBlock.Get());
    if (!ReadSPIResultLayout(lock.Get(), infoBlock.Size(), pixelBlock.Size(), layout)) return;
  }
  FInfo = std::move(infoBlock);
  FPixels = std::move(pixelBlock);
}

int TAVEX_WINAPI TInSPIAbleData::ProgressCallback(int step, int steps, TSPILength userValue) {
  auto* job = reinterpret_cast<TInSPIAbleData*>(userValue);
  if (!job || !job->OnProgress) return 0;
  // A failure never unwinds through the plug-in's frames: it waits for the plug-in to return.
  if (job->FProgressFailure) return 1;
  try {
    job->SendProgress(psRunning, static_cast<std::uint8_t>(MulDiv(step, 97, steps) + 2), std::string());
  } catch (const EAbort&) {
    return 1;
  } catch (...) {
    job->FProgressFailure = std::current_exception();
    return 1;
  }
  return 0;
}

const void* TInSPIAbleData::BitmapInfo() {
  if (!FInfoAddress && FInfo) FInfoAddress = platform::LocalLock(FInfo.Get());
  return FInfoAddress;
}

const void* TInSPIAbleData::PixelMemory() {
  if (!FPixelAddress && FPixels) FPixelAddress = platform::LocalLock(FPixels.Get());
  return FPixelAddress;
}

namespace {
// A plug-in's pixel block lent to a DIB: kept locked until the DIB lets it go.
class TPluginPixels : public TForeignPixels {
public:
  TPluginPixels(platform::TLocalMemory block, bool locked) noexcept : FBlock(std::move(block)), FLocked(locked) {}
  ~TPluginPixels() override {
    if (FLocked) platform::LocalUnlock(FBlock.Get());
  }

private:
  platform::TLocalMemory FBlock;
  bool FLocked;
};
}  // namespace

std::unique_ptr<TForeignPixels> TInSPIAbleData::TakePixels() {
  PixelMemory();
  auto owner = std::make_unique<TPluginPixels>(std::move(FPixels), FPixelAddress != nullptr);
  FPixelAddress = nullptr;
  return owner;
}

void TInSPIAbleData::SetPictureInfo(const TSPIPictureInfo& info) noexcept {
  if (FPictureInfo.Info) platform::LocalFree(FPictureInfo.Info);
  FPictureInfo = info;
}

void TInSPIAbleData::Clear() noexcept {
  if (FInfoAddress) platform::LocalUnlock(FInfo.Get());
  if (FPixelAddress) platform::LocalUnlock(FPixels.Get());
  FInfoAddress = FPixelAddress = nullptr;
  FInfo.Reset();
  FPixels.Reset();
  SetPictureInfo(TSPIPictureInfo{});
  FDecoder = nullptr;
}

// ---- The file job

TInSPIAbleFromFile::TInSPIAbleFromFile(TGraphic* owner, std::filesystem::path fileName)
    : TInSPIAbleData(owner, std::move(fileName)) {}

void TInSPIAbleFromFile::ReadHeader(void* buffer, std::size_t count) {
  try {
    TFileStream file(FileName(), fmOpenRead | fmShareExclusive);
    const std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(count), file.Size());
    if (n > 0) file.ReadBuffer(buffer, n);
  } catch (const std::exception&) {
    // The plug-ins see zeros.
  }
}

void TInSPIAbleFromFile::QueryInfo(TSPI& module, int offset) {
  const std::string& name = PluginName();
  if (name.empty()) return;
  TSPIPictureInfo info;
  module.GetPictureInfo(name.c_str(), offset, 0, info);
  SetPictureInfo(info);
}

void TInSPIAbleFromFile::QueryPicture(TSPI& module, int offset) {
  const std::string& name = PluginName();
  if (!name.empty()) Decode(module, &TSPI::GetPicture, name.c_str(), offset, 0);
}

void TInSPIAbleFromFile::QueryPreview(TSPI& module, int offset) {
  const std::string& name = PluginName();
  if (!name.empty()) Decode(module, &TSPI::GetPreview, name.c_str(), offset, 0);
}

// ---- The stream job

TInSPIAbleFromStream::TInSPIAbleFromStream(TGraphic* owner, std::filesystem::path fileName, TStream& stream)
    : TInSPIAbleData(owner, std::move(fileName)) {
  const std::int64_t size = stream.Size();
  // Plug-ins take a 32-bit size: a larger source is left to the native reader.
  if (size < 0 || size > MaxBitsSize) {
    FTooLarge = true;
    return;
  }
  FSize = static_cast<std::uint32_t>(size);
  if (const auto* memory = dynamic_cast<const TCustomMemoryStream*>(&stream)) {
    FMemory = static_cast<const unsigned char*>(memory->Memory());
    return;
  }
  // Copied when a plug-in takes the data, not before: a file that no plug-in accepts (every
  // BMP, with the program's plug-ins) costs no second copy of itself.
  FStream = &stream;
}

TInSPIAbleFromStream::~TInSPIAbleFromStream() { Clear(); }

const unsigned char* TInSPIAbleFromStream::Source() {
  if (!FMemory && FStream && FSize) {
    // Read where the plug-in hosts are sent it from, when it may be; else a block here.
    void* into = TPluginHost::TJobSource::Buffer(FSize);
    TVxMemory copy;
    if (!into) {
      copy = TVxMemory(FSize, false, false);
      into = copy.Bits();
    }
    FStream->SetPosition(0);
    FStream->ReadBuffer(into, FSize);
    FCopy = std::move(copy);
    FMemory = static_cast<const unsigned char*>(into);
    FStream = nullptr;
  }
  return FMemory;
}

void TInSPIAbleFromStream::ReadHeader(void* buffer, std::size_t count) {
  const std::size_t n = std::min<std::size_t>(count, FSize);
  if (!n) return;
  if (FMemory) {
    std::memcpy(buffer, FMemory, n);
    return;
  }
  try {
    FStream->SetPosition(0);
    FStream->ReadBuffer(buffer, static_cast<std::int64_t>(n));
  } catch (const EStreamError&) {
    // The plug-ins see zeros.
  }
}

bool TInSPIAbleFromStream::Refused() const noexcept { return FTooLarge; }

const unsigned char* TInSPIAbleFromStream::At(int offset, TSPILength& length) {
  const std::uint32_t k = std::min<std::uint32_t>(static_cast<std::uint32_t>(offset), FSize);
  length = static_cast<TSPILength>(FSize - k);
  const unsigned char* source = Source();
  return source ? source + k : nullptr;
}

void TInSPIAbleFromStream::QueryInfo(TSPI& module, int offset) {
  TSPILength length = 0;
  const unsigned char* source = At(offset, length);
  TSPIPictureInfo info;
  module.GetPictureInfo(source, length, 1, info);
  SetPictureInfo(info);
}

void TInSPIAbleFromStream::QueryPicture(TSPI& module, int offset) {
  TSPILength length = 0;
  const unsigned char* source = At(offset, length);
  Decode(module, &TSPI::GetPicture, source, length, 1);
}

void TInSPIAbleFromStream::QueryPreview(TSPI& module, int offset) {
  TSPILength length = 0;
  const unsigned char* source = At(offset, length);
  Decode(module, &TSPI::GetPreview, source, length, 1);
}

// ---- What a plug-in delivered

bool ReadSPIResultLayout(const void* info, std::size_t infoSize, std::size_t pixelSize, TSPIResultLayout& layout) {
  if (!info || infoSize < BmpInfoHeaderSize) return false;
  TBitmapInfoHeader h;
  std::memcpy(&h, info, sizeof h);
  const std::size_t headerSize = h.biSize;
  if (headerSize < BmpInfoHeaderSize || headerSize > infoSize) return false;
  const int bits = h.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  const bool bitFields = h.biCompression == CompressionBitFields;
  if (h.biCompression != CompressionRGB && !(bitFields && (bits == 16 || bits == 32))) return false;
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return false;
  const std::int64_t image = DIBImageSize(h.biWidth, h.biHeight < 0 ? -std::int64_t{h.biHeight} : h.biHeight, bits);
  if (image <= 0 || static_cast<std::uint64_t>(image) > pixelSize) return false;
  int colors = 0;
  if (bits <= 8) {
    if (h.biClrUsed > (1u << bits)) return false;
    colors = h.biClrUsed ? static_cast<int>(h.biClrUsed) : 1 << bits;
  } else {
    if (h.biClrUsed > 256) return false;
    colors = static_cast<int>(h.biClrUsed);
  }
  TSPIResultLayout l;
  l.SourceHeaderSize = headerSize;
  l.ColorCount = colors;
  l.PixelSize = static_cast<std::size_t>(image);
  // The masks follow a 40-byte header; the longer headers hold them at offset 40.
  constexpr std::size_t MaskedHeaderSize = 52;
  l.MaskBytes = bitFields ? 12 : 0;
  l.MaskOffset = bitFields && headerSize >= MaskedHeaderSize ? BmpInfoHeaderSize : headerSize;
  l.TableOffset = bitFields && headerSize < MaskedHeaderSize ? headerSize + 12 : headerSize;
  if (l.TableOffset + 4 * static_cast<std::size_t>(colors) > infoSize) return false;
  l.Header = h;
  l.Header.biSize = BmpInfoHeaderSize;
  l.Header.biPlanes = 1;
  l.Header.biSizeImage = static_cast<std::uint32_t>(image);
  layout = l;
  return true;
}

namespace {

// The byte of a 32-bit pixel that no colour mask covers, when the masks are three whole
// bytes; -1 when there is none.
int AlphaByteIndex(const TBitmapInfoHeader& h, const std::uint8_t* masks) {
  if (h.biBitCount != 32) return -1;
  if (h.biCompression == CompressionRGB) return 3;
  std::uint32_t m[3];
  std::memcpy(m, masks, sizeof m);
  unsigned used = 0;
  for (std::uint32_t mask : m) {
    int byte = -1;
    for (int b = 0; b < 4; ++b)
      if (mask == 0xFFu << (8 * b)) byte = b;
    if (byte < 0 || (used & (1u << byte))) return -1;
    used |= 1u << byte;
  }
  for (int b = 0; b < 4; ++b)
    if (!(used & (1u << b))) return b;
  return -1;
}

// A JPEG has no transparency: a picture whose alpha bytes are neither all 0 nor all 255 is
// put on white (straight alpha, rounded), the way the own plug-in does it.
void CompositeOnWhite(std::uint8_t* pixels, std::size_t size, int alphaByte) {
  bool any0 = false, any255 = false, other = false;
  for (std::size_t i = static_cast<std::size_t>(alphaByte); i < size; i += 4) {
    const std::uint8_t a = pixels[i];
    any0 |= a == 0;
    any255 |= a == 255;
    other |= a != 0 && a != 255;
    if (other || (any0 && any255)) break;
  }
  if (!other && !(any0 && any255)) return;
  for (std::size_t p = 0; p + 4 <= size; p += 4) {
    const unsigned a = pixels[p + static_cast<std::size_t>(alphaByte)];
    if (a == 255) continue;
    for (int b = 0; b < 4; ++b) {
      if (b == alphaByte) continue;
      std::uint8_t& c = pixels[p + static_cast<std::size_t>(b)];
      c = static_cast<std::uint8_t>((c * a + 255u * (255u - a) + 127u) / 255u);
    }
    pixels[p + static_cast<std::size_t>(alphaByte)] = 255;
  }
}

}  // namespace

// ---- TSPIGraphic

TVX_DEFINE_CLASS(TSPIGraphic, TGraphic)

TSPIGraphic::~TSPIGraphic() { Clear(); }

void TSPIGraphic::Clear() noexcept {
  FJob.reset();
  FPalette.reset();
  FLayout = TSPIResultLayout{};
  FInfoValid = false;
}

bool TSPIGraphic::GetEmpty() const { return !FJob || FJob->Empty(); }

TSPIDecodedBy TSPIGraphic::DecodedBy() const {
  if (GetEmpty() || !FJob->Decoder()) return {};
  return TSPIDecodedBy::Module(*FJob->Decoder());
}

void TSPIGraphic::EnsureInfo() const {
  if (FInfoValid) return;
  FLayout = TSPIResultLayout{};
  FPalette.reset();
  if (!GetEmpty() &&
      ReadSPIResultLayout(FJob->BitmapInfo(), FJob->BitmapInfoSize(), FJob->PixelMemorySize(), FLayout) &&
      FLayout.ColorCount > 0) {
    const auto* table = static_cast<const std::uint8_t*>(FJob->BitmapInfo()) + FLayout.TableOffset;
    std::vector<platform::TPaletteEntry> entries(static_cast<std::size_t>(FLayout.ColorCount));
    for (std::size_t i = 0; i < entries.size(); ++i)
      entries[i] = {table[4 * i + 2], table[4 * i + 1], table[4 * i], 0};
    // Only drawing needs the palette: a system without one still converts the picture.
    FPalette.reset(platform::CreatePalette(entries.data(), FLayout.ColorCount));
  }
  FInfoValid = true;
}

int TSPIGraphic::GetWidth() const {
  EnsureInfo();
  return FLayout.Header.biWidth;
}

int TSPIGraphic::GetHeight() const {
  EnsureInfo();
  return FLayout.Header.biHeight;
}

int TSPIGraphic::BitCount() const {
  EnsureInfo();
  return FLayout.Header.biBitCount;
}

TPaletteHandle TSPIGraphic::GetPalette() const {
  EnsureInfo();
  return FPalette.get();
}

void TSPIGraphic::SetHeight(int) {}
void TSPIGraphic::SetWidth(int) {}
void TSPIGraphic::LoadFromClipboardFormat(std::uint16_t, TGlobalHandle, TPaletteHandle) {}
void TSPIGraphic::SaveToClipboardFormat(std::uint16_t&, TGlobalHandle&, TPaletteHandle&) const {}

void TSPIGraphic::LoadFromFile(const std::filesystem::path& fileName) {
  Clear();
  Decode(std::make_unique<TInSPIAbleFromFile>(this, fileName));
}

void TSPIGraphic::LoadFromStream(TStream& stream) { LoadFromStreamWithName(stream, {}); }

void TSPIGraphic::LoadFromStreamWithName(TStream& stream, const std::filesystem::path& fileName) {
  Clear();
  Decode(std::make_unique<TInSPIAbleFromStream>(this, fileName, stream));
}

void TSPIGraphic::Decode(std::unique_ptr<TInSPIAbleData> job) {
  job->OnProgress = OnProgress;
  FJob = std::move(job);
  try {
    FJob->Run();
    if (FJob->Empty()) throw EInvalidGraphic(SPICouldNotDecode);
  } catch (...) {
    Clear();
    throw;
  }
  Changed(this);
}

std::size_t TSPIGraphic::BmpImageSize() const {
  EnsureInfo();
  return GetEmpty() ? 0 : BmpFileHeaderSize + FLayout.HeaderSize() + FLayout.PixelSize;
}

void TSPIGraphic::WriteBmpImage(std::uint8_t* dest, bool onWhite) const {
  EnsureInfo();
  if (GetEmpty()) return;
  const auto* info = static_cast<const std::uint8_t*>(FJob->BitmapInfo());
  const std::size_t headerSize = FLayout.HeaderSize();
  TBmpFileHeader file;
  file.Type = BmpFileType;
  file.Size = static_cast<std::uint32_t>(BmpFileHeaderSize + headerSize + FLayout.PixelSize);
  file.OffBits = static_cast<std::uint32_t>(BmpFileHeaderSize + headerSize);
  FormatBmpFileHeader(file, dest);
  std::uint8_t* p = dest + BmpFileHeaderSize;
  FormatBmpInfoHeader(FLayout.Header, p);
  p += BmpInfoHeaderSize;
  std::memcpy(p, info + FLayout.MaskOffset, FLayout.MaskBytes);
  const std::uint8_t* masks = p;
  p += FLayout.MaskBytes;
  std::memcpy(p, info + FLayout.TableOffset, 4 * static_cast<std::size_t>(FLayout.ColorCount));
  p += 4 * static_cast<std::size_t>(FLayout.ColorCount);
  std::memcpy(p, FJob->PixelMemory(), FLayout.PixelSize);
  if (onWhite) {
    const int alpha = AlphaByteIndex(FLayout.Header, masks);
    if (alpha >= 0) CompositeOnWhite(p, FLayout.PixelSize, alpha);
  }
}

void TSPIGraphic::SaveToStream(TStream& stream) const {
  const std::size_t size = BmpImageSize();
  if (!size) return;
  TVxMemory image(static_cast<std::uint32_t>(size), false, false);
  WriteBmpImage(image.Bits(), false);
  stream.WriteBuffer(image.Bits(), static_cast<std::int64_t>(size));
}

void TSPIGraphic::ConvertTo(TGraphic& native, bool releaseSource) {
  const std::size_t size = BmpImageSize();
  if (!size) throw EInvalidGraphic(SPICouldNotDecode);
  // The image block comes from the block pool, so a batch does not pay for fresh pages per file.
  TVxMemory image(static_cast<std::uint32_t>(size), false, false);
  WriteBmpImage(image.Bits(), true);
  // The plug-in's copy goes before the native reader makes its own.
  if (releaseSource) Clear();
  TCustomMemoryStream stream(image.Bits(), static_cast<std::int64_t>(size));
  native.LoadFromStream(stream);
}

bool TSPIGraphic::HandOver(TVxDIB& dib) {
  EnsureInfo();
  const TBitmapInfoHeader& h = FLayout.Header;
  const int bits = h.biBitCount;
  if (GetEmpty() || h.biCompression != CompressionRGB || (bits != 1 && bits != 4 && bits != 8 && bits != 24))
    return false;
  const auto* table = static_cast<const std::uint8_t*>(FJob->BitmapInfo()) + FLayout.TableOffset;
  auto* pixels = static_cast<std::uint8_t*>(const_cast<void*>(FJob->PixelMemory()));
  std::unique_ptr<TForeignPixels> owner = FJob->TakePixels();
  try {
    dib.LoadAdoptedPixels(h, table, pixels, static_cast<std::uint32_t>(FLayout.PixelSize), std::move(owner));
  } catch (...) {
    Clear();
    throw;
  }
  Clear();
  return true;
}

void TSPIGraphic::Draw(TCanvas& canvas, const TRect& rect) {
  if (!FJob) return;
  EnsureInfo();
  if (GetEmpty()) return;
  if (TDCHandle dc = canvas.Handle()) {
    const int height = FLayout.Header.biHeight < 0 ? -FLayout.Header.biHeight : FLayout.Header.biHeight;
    platform::StretchDIB(dc, {rect.Left, rect.Top, rect.Width(), rect.Height(), 0, 0, FLayout.Header.biWidth, height},
                         FJob->PixelMemory(), FJob->BitmapInfo(), FPalette.get(), canvas.CopyMode());
    return;
  }
  // A canvas without a device context takes DIBs only.
  TVxDIB dib;
  ConvertTo(dib, false);
  dib.Draw(canvas, rect);
}

// ---- The loader chain

TProgressEvent ProgressRelay(TGraphic& loader) {
  return [&loader](TObject*, TProgressStage stage, std::uint8_t percent, bool redraw, const TRect& r,
                   const std::string& msg) {
    if (stage != psEnding) loader.Progress(&loader, stage, percent, redraw, r, msg);
  };
}

namespace {
void SendLoadedProgress(TGraphic& loader) {
  loader.Progress(&loader, psEnding, 100, true, TRect{0, 0, loader.Width(), loader.Height()}, "Loaded Graphic");
}
}  // namespace

void LoadAndAssign(TGraphic& loader, TStream* stream, const std::filesystem::path& fileName,
                   const std::function<void(std::unique_ptr<TGraphic>)>& assign) {
  const TPluginFailureLog failures;
  const TClaimScope claims;
  try {
    try {
      assign(LoadThroughChain(loader, stream, fileName));
    } catch (const EInvalidGraphic& e) {
      if (e.Message() != SPICouldNotDecode) throw;
      if (failures.Reasons().empty() && stream && !claims.Any()) throw EUnclaimedGraphic(SPICouldNotDecode);
      // Nothing decoded, and a plug-in failed in its host on the way: the message says why.
      if (failures.Reasons().empty()) throw;
      std::string message = SPICouldNotDecode;
      for (const std::string& reason : failures.Reasons()) message += "\n" + reason;
      throw EInvalidGraphic(message);
    }
  } catch (...) {
    SendLoadedProgress(loader);
    throw;
  }
  SendLoadedProgress(loader);
}

namespace {
// The framework's bitmap reading BMP data through the DIB library's reader, which knows every
// form a BMP file takes (run-length data, bit fields, OS/2 headers).
class TDIBReaderBitmap : public TBitmap {
public:
  void LoadFromStream(TStream& stream) override {
    TVxDIB dib;
    dib.LoadFromStream(stream);
    Assign(&dib);
  }
};

std::unique_ptr<TGraphic> NewNative(const TClass& nativeClass) {
  if (&nativeClass == &TBitmap::ClassInfo()) return std::make_unique<TDIBReaderBitmap>();
  return NewInstance<TGraphic>(nativeClass);
}
}  // namespace

std::unique_ptr<TGraphic> LoadThroughChain(TGraphic& loader, TStream* stream, const std::filesystem::path& fileName) {
  const TClass* nativeClass = loader.ClassType().Parent;
  const bool nativeFirst = AsciiUpper(PathToUtf8(fileName.extension())) == ".BMP";
  const std::int64_t start = stream ? stream->Position() : 0;
  for (int i = 0; i < 2; ++i) {
    const bool native = (i == 0) == nativeFirst;
    std::unique_ptr<TGraphic> graphic =
        native ? NewNative(*nativeClass) : std::unique_ptr<TGraphic>(new TSPIGraphic);
    if (!graphic) continue;
    graphic->OnProgress = ProgressRelay(loader);
    if (native && stream) {
      // The reader knows its data by the file type at the start.
      std::uint8_t type[2] = {};
      if (stream->Read(type, 2) == 2 && type[0] == 'B' && type[1] == 'M') ++GClaims;
      stream->SetPosition(start);
    }
    try {
      if (!stream)
        graphic->LoadFromFile(fileName);
      else if (native)
        graphic->LoadFromStream(*stream);
      else
        static_cast<TSPIGraphic&>(*graphic).LoadFromStreamWithName(*stream, fileName);
      return graphic;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const EOutOfMemory&) {
      // Memory is no property of the data: the other reader would only fail the same way.
      throw;
    } catch (const std::exception&) {
      if (stream) stream->SetPosition(start);
    }
  }
  return nullptr;
}

// ---- TSPIBitmap

TVX_DEFINE_CLASS(TSPIBitmap, TBitmap)

void TSPIBitmap::AssignFromPlugin(TSPIGraphic& graphic, bool releaseSource) {
  platform::TPaletteOwner palette;
  if (graphic.BitCount() == 4) palette.reset(CopyPalette(graphic.GetPalette()));
  // Through the DIB library's reader, which reads every form a plug-in may deliver; the
  // forms a DIB holds as they are go over without a copy when the source may go.
  TVxDIB dib;
  if (!releaseSource || !graphic.HandOver(dib)) graphic.ConvertTo(dib, releaseSource);
  TBitmap::Assign(&dib);
  if (palette) SetPalette(palette.release());
}

void TSPIBitmap::Assign(const TPersistent* source) {
  if (auto* graphic = dynamic_cast<const TSPIGraphic*>(source)) {
    AssignFromPlugin(const_cast<TSPIGraphic&>(*graphic), false);
    return;
  }
  TBitmap::Assign(source);
}

void TSPIBitmap::AssignLoaded(std::unique_ptr<TGraphic> graphic) {
  if (!graphic) throw EInvalidGraphic(SPICouldNotDecode);
  if (auto* plugin = dynamic_cast<TSPIGraphic*>(graphic.get()))
    AssignFromPlugin(*plugin, true);
  else
    TBitmap::Assign(graphic.get());
}

void TSPIBitmap::LoadFromFile(const std::filesystem::path& fileName) {
  LoadAndAssign(*this, nullptr, fileName, [this](std::unique_ptr<TGraphic> g) { AssignLoaded(std::move(g)); });
}

void TSPIBitmap::LoadFromStream(TStream& stream) { LoadFromStreamWithName(stream, {}); }

void TSPIBitmap::LoadFromStreamWithName(TStream& stream, const std::filesystem::path& fileName) {
  LoadAndAssign(*this, &stream, fileName, [this](std::unique_ptr<TGraphic> g) { AssignLoaded(std::move(g)); });
}

void SPIBmpInitialize() { TSPIs::SetDefaultGraphicClass(&TSPIBitmap::ClassInfo()); }

void SPIBmpFinalize() { TPicture::UnregisterGraphicClass(TSPIBitmap::ClassInfo()); }
