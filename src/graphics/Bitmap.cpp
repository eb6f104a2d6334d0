#include "graphics/Bitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "graphics/DibFormat.h"
#include "graphics/NearestColor.h"
#include "graphics/PixelAccess.h"
#include "platform/Memory.h"
#include "rtl/BlockPool.h"
#include "rtl/Exception.h"

TVX_DEFINE_CLASS(TBitmap, TGraphic)

namespace {

constexpr char InvalidBitmap[] = "Bitmap image is not valid";
constexpr std::int64_t MaxImageBytes = 0x7FFFFFFF;

// ---- pixel blocks -----------------------------------------------------------------------

class THeapPixelBuffer : public TPixelBuffer {
public:
  THeapPixelBuffer(std::uint8_t* data, std::size_t size) noexcept : TPixelBuffer(data, size) {}
  ~THeapPixelBuffer() override { FreeBlock(Data()); }
};

// ---- colours ----------------------------------------------------------------------------

std::uint32_t Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return static_cast<std::uint32_t>(r) | static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b) << 16;
}
std::uint8_t RedOf(std::uint32_t c) { return static_cast<std::uint8_t>(c); }
std::uint8_t GreenOf(std::uint32_t c) { return static_cast<std::uint8_t>(c >> 8); }
std::uint8_t BlueOf(std::uint32_t c) { return static_cast<std::uint8_t>(c >> 16); }

TPixelFormat FormatOfBits(int bits) {
  switch (bits) {
    case 1: return pf1bit;
    case 4: return pf4bit;
    case 8: return pf8bit;
    default: return pf24bit;
  }
}

}  // namespace

int PixelFormatBits(TPixelFormat format) noexcept {
  switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    default: return 24;
  }
}

TPixelBufferRef NewPixelBuffer(std::size_t size, bool zeroFill) {
  std::uint8_t* p = GetBlock(size, zeroFill);
  try {
    return std::make_shared<THeapPixelBuffer>(p, size);
  } catch (...) {
    FreeBlock(p);
    throw;
  }
}

TPaletteHandle CopyPalette(TPaletteHandle palette) {
  if (!palette) return nullptr;
  const int count = platform::GetPaletteEntries(palette, 0, 0, nullptr);
  std::vector<platform::TPaletteEntry> entries(static_cast<std::size_t>(std::max(count, 1)));
  const int read = count > 0 ? platform::GetPaletteEntries(palette, 0, count, entries.data()) : 0;
  TPaletteHandle copy = read > 0 ? platform::CreatePalette(entries.data(), read) : nullptr;
  if (!copy) throw EOutOfResources("CopyPalette: Cannot Make Palette");
  return copy;
}

// ---- canvas -----------------------------------------------------------------------------

std::uint32_t TBitmapCanvas::Pixel(int x, int y) const {
  const TBitmap& b = FBitmap;
  if (x < 0 || y < 0 || x >= b.Width() || y >= b.Height()) return 0;
  const std::uint8_t* row = b.ScanLine(y);
  const int bits = b.BitsPerPixel();
  if (bits == 24) return Rgb(row[x * 3 + 2], row[x * 3 + 1], row[x * 3]);
  std::uint32_t table[256];
  int count = 0;
  b.GetColorTable(table, count);
  return table[GetPixelIndex(row, x, bits)];
}

void TBitmapCanvas::SetPixel(int x, int y, std::uint32_t color) {
  FillRect(TRect{x, y, x + 1, y + 1}, color);
}

void TBitmapCanvas::FillRect(const TRect& rect, std::uint32_t color) {
  TBitmap& b = FBitmap;
  const int left = std::max(rect.Left, 0), right = std::min(rect.Right, b.Width());
  const int top = std::max(rect.Top, 0), bottom = std::min(rect.Bottom, b.Height());
  if (left >= right || top >= bottom) return;
  const int bits = b.BitsPerPixel();
  int index = 0;
  if (bits != 24) {
    std::uint32_t table[256];
    int count = 0;
    b.GetColorTable(table, count);
    index = TNearestColor(table, count).Find(color & 0xFFFFFF);
  }
  for (int y = top; y < bottom; ++y) {
    std::uint8_t* row = b.ScanLine(y);
    for (int x = left; x < right; ++x) {
      if (bits == 24) {
        row[x * 3] = BlueOf(color);
        row[x * 3 + 1] = GreenOf(color);
        row[x * 3 + 2] = RedOf(color);
      } else {
        PutPixelIndex(row, x, bits, index);
      }
    }
  }
}

// ---- bitmap -----------------------------------------------------------------------------

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

int TBitmap::RowBytes() const noexcept { return static_cast<int>(DIBRowSize(FWidth, BitsPerPixel())); }

std::size_t TBitmap::ImageBytes() const noexcept {
  return static_cast<std::size_t>(RowBytes()) * static_cast<std::size_t>(FHeight);
}

void TBitmap::EnsurePixels() const {
  if (!FPixels && FWidth > 0 && FHeight > 0) FPixels = NewPixelBuffer(ImageBytes());
}

void TBitmap::MakeUnique() {
  EnsurePixels();
  if (FPixels && (FPixels.use_count() > 1 || FPixels->SharedElsewhere())) {
    TPixelBufferRef copy = NewPixelBuffer(ImageBytes(), false);
    std::memcpy(copy->Data(), FPixels->Data(), ImageBytes());
    FPixels = std::move(copy);
  }
}

void TBitmap::Assign(const TPersistent* source) {
  if (!source) {
    FPixels.reset();
    FPalette.reset();
    FWidth = FHeight = 0;
    Changed(this);
    return;
  }
  if (const auto* other = dynamic_cast<const TBitmap*>(source)) {
    if (other == this) return;
    platform::TPaletteOwner palette(CopyPalette(other->FPalette.get()));
    FPixels = other->FPixels;
    FWidth = other->FWidth;
    FHeight = other->FHeight;
    FPixelFormat = other->FPixelFormat;
    FPalette = std::move(palette);
    SetPaletteModified(true);
    Changed(this);
    return;
  }
  TGraphic::Assign(source);
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
  auto* target = dynamic_cast<TBitmapCanvas*>(&canvas);
  if (!target) throw EInvalidOperation("TBitmap.Draw: The canvas cannot take a bitmap");
  if (target == FCanvas.get()) throw EInvalidOperation("TBitmap.Draw: A bitmap cannot draw onto itself");
  const int w = rect.Width(), h = rect.Height();
  if (w <= 0 || h <= 0 || FWidth == 0 || FHeight == 0) return;
  TBitmap& dest = target->Bitmap();
  const int bits = BitsPerPixel();
  std::uint32_t table[256];
  int count = 0;
  if (bits != 24) GetColorTable(table, count);
  std::uint32_t destTable[256];
  int destCount = 0;
  if (dest.BitsPerPixel() != 24) dest.GetColorTable(destTable, destCount);
  TNearestColor nearest(destTable, destCount);
  const int y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, dest.Height());
  const int x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, dest.Width());
  for (int y = y0; y < y1; ++y) {
    const int sy = static_cast<int>(std::int64_t{y - rect.Top} * FHeight / h);
    const std::uint8_t* src = static_cast<const TBitmap&>(*this).ScanLine(sy);
    std::uint8_t* dst = dest.ScanLine(y);
    for (int x = x0; x < x1; ++x) {
      const int sx = static_cast<int>(std::int64_t{x - rect.Left} * FWidth / w);
      const std::uint32_t c = bits == 24 ? Rgb(src[sx * 3 + 2], src[sx * 3 + 1], src[sx * 3]) : table[GetPixelIndex(src, sx, bits)];
      if (dest.BitsPerPixel() == 24) {
        dst[x * 3] = BlueOf(c);
        dst[x * 3 + 1] = GreenOf(c);
        dst[x * 3 + 2] = RedOf(c);
      } else {
        PutPixelIndex(dst, x, dest.BitsPerPixel(), nearest.Find(c));
      }
    }
  }
  dest.Changed(&dest);
}

bool TBitmap::GetEmpty() const { return FWidth == 0 || FHeight == 0; }
int TBitmap::GetHeight() const { return FHeight; }
int TBitmap::GetWidth() const { return FWidth; }
TPaletteHandle TBitmap::GetPalette() const { return FPalette.get(); }

void TBitmap::SetPalette(TPaletteHandle value) {
  if (value == FPalette.get()) return;
  FPalette.reset(value);
  SetPaletteModified(true);
  Changed(this);
}

void TBitmap::Resize(int width, int height) {
  if (width < 0 || height < 0) throw EInvalidGraphic("TBitmap.SetSize: Invalid bitmap size");
  if (width == FWidth && height == FHeight) return;
  const std::int64_t row = DIBRowSize(width, BitsPerPixel());
  if (height != 0 && row > MaxImageBytes / height) throw EOutOfResources("Out of system resources");
  if (FPixels && width > 0 && height > 0) {
    TPixelBufferRef next = NewPixelBuffer(static_cast<std::size_t>(row) * static_cast<std::size_t>(height));
    const std::size_t oldRow = static_cast<std::size_t>(RowBytes());
    const std::size_t copyBytes =
        static_cast<std::size_t>((std::int64_t{std::min(width, FWidth)} * BitsPerPixel() + 7) / 8);
    for (int r = 0; r < std::min(height, FHeight); ++r)
      std::memcpy(next->Data() + static_cast<std::size_t>(height - 1 - r) * static_cast<std::size_t>(row),
                  FPixels->Data() + static_cast<std::size_t>(FHeight - 1 - r) * oldRow, copyBytes);
    FPixels = std::move(next);
  } else {
    FPixels.reset();
  }
  FWidth = width;
  FHeight = height;
  Changed(this);
}

void TBitmap::SetHeight(int value) { Resize(FWidth, value); }
void TBitmap::SetWidth(int value) { Resize(value, FHeight); }
void TBitmap::SetSize(int width, int height) { Resize(width, height); }

void TBitmap::GetColorTable(std::uint32_t (&table)[256], int& count) const {
  std::fill(std::begin(table), std::end(table), 0u);
  const int bits = BitsPerPixel();
  if (FPalette) {
    platform::TPaletteEntry entries[256];
    // An indexed format addresses only its first 2^bits entries: a search for the nearest
    // colour must not find one it cannot store.
    count = platform::GetPaletteEntries(FPalette.get(), 0, bits == 24 ? 256 : 1 << bits, entries);
    for (int i = 0; i < count; ++i) table[i] = Rgb(entries[i].peRed, entries[i].peGreen, entries[i].peBlue);
    return;
  }
  count = bits == 24 ? 256 : 1 << bits;
  for (int i = 0; i < count; ++i) {
    const auto v = static_cast<std::uint8_t>(i * 255 / (count - 1));
    table[i] = Rgb(v, v, v);
  }
}

void TBitmap::SetPixelFormat(TPixelFormat value) {
  if (value == FPixelFormat) return;
  const int oldBits = BitsPerPixel();
  const int newBits = PixelFormatBits(value);
  // Without rows there is nothing to convert (and no height to divide the limit by).
  if (!FPixels || oldBits == newBits || FHeight == 0) {
    const std::int64_t row = DIBRowSize(FWidth, newBits);
    if (FHeight != 0 && row > MaxImageBytes / FHeight) throw EOutOfResources("Out of system resources");
    FPixelFormat = value;
    Changed(this);
    return;
  }
  const std::int64_t newRow = DIBRowSize(FWidth, newBits);
  if (newRow > MaxImageBytes / FHeight) throw EOutOfResources("Out of system resources");
  std::uint32_t srcTable[256];
  int srcCount = 0;
  GetColorTable(srcTable, srcCount);
  const TPixelFormat oldFormat = FPixelFormat;
  FPixelFormat = value;  // the target's table (palette or grey ramp) for the nearest search
  std::uint32_t dstTable[256];
  int dstCount = 0;
  GetColorTable(dstTable, dstCount);
  FPixelFormat = oldFormat;
  TPixelBufferRef next = NewPixelBuffer(static_cast<std::size_t>(newRow) * static_cast<std::size_t>(FHeight), false);
  const std::size_t oldRowBytes = static_cast<std::size_t>(RowBytes());
  const std::size_t nr = static_cast<std::size_t>(newRow);
  TNearestColor nearest(dstTable, dstCount);
  // Palette entries as blue, green, red bytes, for the common indexed-to-24-bit case.
  std::uint8_t bgr[256][3];
  for (int i = 0; i < 256; ++i) {
    bgr[i][0] = BlueOf(srcTable[i]);
    bgr[i][1] = GreenOf(srcTable[i]);
    bgr[i][2] = RedOf(srcTable[i]);
  }
  for (int r = 0; r < FHeight; ++r) {
    const std::uint8_t* src = FPixels->Data() + static_cast<std::size_t>(r) * oldRowBytes;
    std::uint8_t* dst = next->Data() + static_cast<std::size_t>(r) * nr;
    std::memset(dst, 0, nr);
    if (newBits == 24) {
      if (oldBits == 8) {
        for (int x = 0; x < FWidth; ++x) std::memcpy(dst + x * 3, bgr[src[x]], 3);
      } else {
        for (int x = 0; x < FWidth; ++x) std::memcpy(dst + x * 3, bgr[GetPixelIndex(src, x, oldBits)], 3);
      }
    } else {
      for (int x = 0; x < FWidth; ++x) {
        const std::uint32_t c =
            oldBits == 24 ? Rgb(src[x * 3 + 2], src[x * 3 + 1], src[x * 3]) : srcTable[GetPixelIndex(src, x, oldBits)];
        PutPixelIndex(dst, x, newBits, nearest.Find(c));
      }
    }
  }
  FPixels = std::move(next);
  FPixelFormat = value;
  Changed(this);
}

std::uint8_t* TBitmap::ScanLine(int row) {
  if (row < 0 || row >= FHeight || FWidth == 0) throw EInvalidGraphic("Scan line index out of range");
  MakeUnique();
  return FPixels->Data() + static_cast<std::size_t>(FHeight - 1 - row) * static_cast<std::size_t>(RowBytes());
}

const std::uint8_t* TBitmap::ScanLine(int row) const {
  if (row < 0 || row >= FHeight || FWidth == 0) throw EInvalidGraphic("Scan line index out of range");
  EnsurePixels();
  return FPixels->Data() + static_cast<std::size_t>(FHeight - 1 - row) * static_cast<std::size_t>(RowBytes());
}

TCanvas& TBitmap::Canvas() {
  if (!FCanvas) FCanvas = std::make_unique<TBitmapCanvas>(*this);
  return *FCanvas;
}

void TBitmap::SetPixelBuffer(TPixelBufferRef buffer) {
  if (buffer && buffer->Size() < ImageBytes()) throw EInvalidOperation("TBitmap.SetPixelBuffer: Block too small");
  FPixels = std::move(buffer);
  Changed(this);
}

namespace {

// Header and table of a DIB as this bitmap reads them.
struct TDibInfo {
  int Width = 0;
  int Height = 0;  // negative: rows top-down
  int Bits = 0;
  std::uint32_t ColorsUsed = 0;
  platform::TPaletteEntry Palette[256]{};
  std::size_t TableBytes = 0;
};

// Parses header and table from the stream (positioned at the header).
TDibInfo ReadInfo(TStream& stream) {
  std::uint8_t bytes[BmpInfoHeaderSize];
  stream.ReadBuffer(bytes, BmpInfoHeaderSize);
  if (Le32(bytes) != BmpInfoHeaderSize) throw EInvalidGraphic(InvalidBitmap);
  const TBitmapInfoHeader h = ParseBmpInfoHeader(bytes);
  TDibInfo info;
  info.Width = h.biWidth;
  info.Height = h.biHeight;
  info.Bits = h.biBitCount;
  const std::uint32_t compression = h.biCompression;
  std::uint32_t used = h.biClrUsed;
  if (info.Width <= 0 || info.Height == 0 || info.Height == INT32_MIN || compression != 0 ||
      (info.Bits != 1 && info.Bits != 4 && info.Bits != 8 && info.Bits != 24))
    throw EInvalidGraphic(InvalidBitmap);
  const std::uint32_t maxColors = info.Bits == 24 ? 256u : (1u << info.Bits);
  if (used == 0 && info.Bits != 24) used = maxColors;
  if (used > maxColors) throw EInvalidGraphic(InvalidBitmap);
  info.ColorsUsed = used;
  std::uint8_t table[1024];
  stream.ReadBuffer(table, used * 4);
  for (std::uint32_t i = 0; i < used; ++i)
    info.Palette[i] = {table[i * 4 + 2], table[i * 4 + 1], table[i * 4], 0};
  info.TableBytes = used * 4;
  const std::int64_t rows = info.Height < 0 ? -std::int64_t{info.Height} : info.Height;
  if (DIBRowSize(info.Width, info.Bits) > MaxImageBytes / rows) throw EInvalidGraphic(InvalidBitmap);
  return info;
}

}  // namespace

void TBitmap::LoadFromStream(TStream& stream) {
  std::uint8_t fh[BmpFileHeaderSize];
  stream.ReadBuffer(fh, BmpFileHeaderSize);
  const TBmpFileHeader file = ParseBmpFileHeader(fh);
  if (file.Type != BmpFileType) throw EInvalidGraphic(InvalidBitmap);
  const std::uint32_t offBits = file.OffBits;
  const TDibInfo info = ReadInfo(stream);
  const std::size_t headerEnd = BmpFileHeaderSize + BmpInfoHeaderSize + info.TableBytes;
  if (offBits < headerEnd) throw EInvalidGraphic(InvalidBitmap);
  if (offBits > headerEnd) stream.Seek(offBits - headerEnd, soCurrent);

  TBitmap next;
  next.FPixelFormat = FormatOfBits(info.Bits);
  next.FWidth = info.Width;
  next.FHeight = info.Height < 0 ? -info.Height : info.Height;
  if (info.ColorsUsed && info.Bits != 24) {
    next.FPalette.reset(platform::CreatePalette(info.Palette, static_cast<int>(info.ColorsUsed)));
    if (!next.FPalette) throw EOutOfResources("Out of system resources");
  }
  const std::size_t row = static_cast<std::size_t>(next.RowBytes());
  TPixelBufferRef pixels = NewPixelBuffer(next.ImageBytes(), false);
  if (info.Height > 0) {
    stream.ReadBuffer(pixels->Data(), static_cast<std::int64_t>(next.ImageBytes()));
  } else {
    for (int r = 0; r < next.FHeight; ++r)
      stream.ReadBuffer(pixels->Data() + static_cast<std::size_t>(next.FHeight - 1 - r) * row,
                        static_cast<std::int64_t>(row));
  }
  FPixels = std::move(pixels);
  FWidth = next.FWidth;
  FHeight = next.FHeight;
  FPixelFormat = next.FPixelFormat;
  FPalette = std::move(next.FPalette);
  SetPaletteModified(true);
  Changed(this);
}

namespace {

// Header, table and size of the pixel block of a bitmap written as a DIB.
void WriteInfo(const TBitmap& b, std::vector<std::uint8_t>& out) {
  const int bits = b.BitsPerPixel();
  std::uint32_t table[256];
  int count = 0;
  if (bits != 24) b.GetColorTable(table, count);
  if (bits != 24) count = std::min(count, 1 << bits);
  out.assign(BmpInfoHeaderSize + static_cast<std::size_t>(count) * 4, 0);
  std::uint8_t* h = out.data();
  TBitmapInfoHeader header{};
  header.biSize = BmpInfoHeaderSize;
  header.biWidth = b.Width();
  header.biHeight = b.Height();
  header.biPlanes = 1;
  header.biBitCount = static_cast<std::uint16_t>(bits);
  header.biSizeImage = static_cast<std::uint32_t>(b.RowBytes()) * static_cast<std::uint32_t>(b.Height());
  header.biXPelsPerMeter = 3780;
  header.biYPelsPerMeter = 3780;
  header.biClrUsed = static_cast<std::uint32_t>(count);
  FormatBmpInfoHeader(header, h);
  for (int i = 0; i < count; ++i) {
    h[40 + i * 4] = BlueOf(table[i]);
    h[41 + i * 4] = GreenOf(table[i]);
    h[42 + i * 4] = RedOf(table[i]);
  }
}

}  // namespace

void TBitmap::SaveToStream(TStream& stream) const {
  std::vector<std::uint8_t> info;
  WriteInfo(*this, info);
  const std::size_t bytes = ImageBytes();
  std::uint8_t fh[BmpFileHeaderSize];
  const auto offBits = static_cast<std::uint32_t>(BmpFileHeaderSize + info.size());
  FormatBmpFileHeader(TBmpFileHeader{BmpFileType, offBits + static_cast<std::uint32_t>(bytes), offBits}, fh);
  stream.WriteBuffer(fh, BmpFileHeaderSize);
  stream.WriteBuffer(info.data(), static_cast<std::int64_t>(info.size()));
  if (bytes == 0) return;
  EnsurePixels();
  stream.WriteBuffer(FPixels->Data(), static_cast<std::int64_t>(bytes));
}

void TBitmap::LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle) {
  if (format != 8 || !data) throw EInvalidGraphic("Unsupported clipboard format");
  platform::TGlobalLock lock(data);
  if (!lock.Get()) throw EInvalidGraphic(InvalidBitmap);
  const std::size_t size = platform::GlobalSize(data);
  // Read through a file header in front of the packed DIB, so both forms share one reader.
  TMemoryStream s;
  TCustomMemoryStream packed(lock.Get(), static_cast<std::int64_t>(size));
  const TDibInfo info = ReadInfo(packed);
  std::uint8_t fh[BmpFileHeaderSize];
  const auto offBits = static_cast<std::uint32_t>(BmpFileHeaderSize + BmpInfoHeaderSize + info.TableBytes);
  FormatBmpFileHeader(TBmpFileHeader{BmpFileType, 0, offBits}, fh);
  s.WriteBuffer(fh, BmpFileHeaderSize);
  s.WriteBuffer(lock.Get(), static_cast<std::int64_t>(size));
  s.SetPosition(0);
  LoadFromStream(s);
}

void TBitmap::SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const {
  std::vector<std::uint8_t> info;
  WriteInfo(*this, info);
  const std::size_t bytes = ImageBytes();
  TGlobalHandle h = platform::GlobalAllocZeroed(info.size() + bytes);
  if (!h) throw EOutOfMemory("Out of memory");
  {
    platform::TGlobalLock lock(h);
    if (!lock.Get()) {
      platform::GlobalFree(h);
      throw EOutOfMemory("Out of memory");
    }
    auto* p = static_cast<std::uint8_t*>(lock.Get());
    std::memcpy(p, info.data(), info.size());
    if (bytes) {
      EnsurePixels();
      std::memcpy(p + info.size(), FPixels->Data(), bytes);
    }
  }
  format = 8;
  data = h;
  palette = nullptr;
}

void GraphicsInitialize() { TPicture::RegisterFileFormat("bmp", "Bitmaps", TBitmap::ClassInfo()); }

void GraphicsFinalize() { TPicture::UnregisterGraphicClass(TBitmap::ClassInfo()); }
