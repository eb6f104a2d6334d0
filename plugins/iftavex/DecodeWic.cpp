// The Windows decoders: the system's imaging component (WIC), so users also get the codecs
// their Windows has. Frames are copied in the decoder's own pixel format wherever that is
// one of the common layouts, and unpacked here, so that alpha and 16-bit channels reach the
// target untouched and are treated by the same rules as in the native build. Only layouts
// outside that list go through WIC's format converter.
#include <wincodec.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "Exif.h"
#include "Plugin.h"

namespace {

// A COM interface pointer that releases itself.
template <class T>
class TComPtr {
public:
  TComPtr() = default;
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;
  ~TComPtr() {
    if (FPtr) FPtr->Release();
  }
  T** Out() noexcept { return &FPtr; }
  T* operator->() const noexcept { return FPtr; }
  T* Get() const noexcept { return FPtr; }

private:
  T* FPtr = nullptr;
};

// COM for the calling thread, balanced: uninitialised only if this call initialised it
// (S_FALSE included). A thread already in the multithreaded apartment keeps it; WIC works there.
class TComScope {
public:
  TComScope() noexcept : FResult(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  TComScope(const TComScope&) = delete;
  TComScope& operator=(const TComScope&) = delete;
  ~TComScope() {
    if (SUCCEEDED(FResult)) ::CoUninitialize();
  }
  bool Usable() const noexcept { return SUCCEEDED(FResult) || FResult == RPC_E_CHANGED_MODE; }

private:
  HRESULT FResult;
};

class TPropVariant {
public:
  TPropVariant() noexcept { ::PropVariantInit(&FValue); }
  TPropVariant(const TPropVariant&) = delete;
  TPropVariant& operator=(const TPropVariant&) = delete;
  ~TPropVariant() { ::PropVariantClear(&FValue); }
  PROPVARIANT* Get() noexcept { return &FValue; }

private:
  PROPVARIANT FValue;
};

enum class TKind { Rgba8, Bgra8, Bgrx8, Bgr8, Rgb8, Rgba16, Bgra16, Rgb16, Bgr16, Gray8, Gray16, GrayLow, Indexed };

struct TLayout {
  const GUID* format;
  TKind kind;
  unsigned bitsPerPixel;
  bool premultiplied;
};

const TLayout Layouts[] = {
    {&GUID_WICPixelFormat32bppRGBA, TKind::Rgba8, 32, false},
    {&GUID_WICPixelFormat32bppBGRA, TKind::Bgra8, 32, false},
    {&GUID_WICPixelFormat32bppPRGBA, TKind::Rgba8, 32, true},
    {&GUID_WICPixelFormat32bppPBGRA, TKind::Bgra8, 32, true},
    {&GUID_WICPixelFormat32bppBGR, TKind::Bgrx8, 32, false},
    {&GUID_WICPixelFormat24bppBGR, TKind::Bgr8, 24, false},
    {&GUID_WICPixelFormat24bppRGB, TKind::Rgb8, 24, false},
    {&GUID_WICPixelFormat64bppRGBA, TKind::Rgba16, 64, false},
    {&GUID_WICPixelFormat64bppBGRA, TKind::Bgra16, 64, false},
    {&GUID_WICPixelFormat64bppPRGBA, TKind::Rgba16, 64, true},
    {&GUID_WICPixelFormat64bppPBGRA, TKind::Bgra16, 64, true},
    {&GUID_WICPixelFormat48bppRGB, TKind::Rgb16, 48, false},
    {&GUID_WICPixelFormat48bppBGR, TKind::Bgr16, 48, false},
    {&GUID_WICPixelFormat8bppGray, TKind::Gray8, 8, false},
    {&GUID_WICPixelFormat16bppGray, TKind::Gray16, 16, false},
    {&GUID_WICPixelFormatBlackWhite, TKind::GrayLow, 1, false},
    {&GUID_WICPixelFormat2bppGray, TKind::GrayLow, 2, false},
    {&GUID_WICPixelFormat4bppGray, TKind::GrayLow, 4, false},
    {&GUID_WICPixelFormat1bppIndexed, TKind::Indexed, 1, false},
    {&GUID_WICPixelFormat2bppIndexed, TKind::Indexed, 2, false},
    {&GUID_WICPixelFormat4bppIndexed, TKind::Indexed, 4, false},
    {&GUID_WICPixelFormat8bppIndexed, TKind::Indexed, 8, false},
};

const TLayout* FindLayout(const GUID& format) {
  for (const TLayout& l : Layouts)
    if (::IsEqualGUID(*l.format, format)) return &l;
  return nullptr;
}

const GUID* ContainerOf(TFormat format) {
  switch (format) {
  case fmtPng: return &GUID_ContainerFormatPng;
  case fmtGif: return &GUID_ContainerFormatGif;
  case fmtTiff: return &GUID_ContainerFormatTiff;
  case fmtWebp: return &GUID_ContainerFormatWebp;
  default: return nullptr;
  }
}

unsigned ReadUInt(IWICMetadataQueryReader* reader, const wchar_t* name, bool* ok) {
  TPropVariant value;
  if (!reader || FAILED(reader->GetMetadataByName(name, value.Get()))) {
    *ok = false;
    return 0;
  }
  switch (value.Get()->vt) {
  case VT_UI1: return value.Get()->bVal;
  case VT_UI2: return value.Get()->uiVal;
  case VT_UI4: return value.Get()->ulVal;
  default: *ok = false; return 0;
  }
}

// The picture's canvas: for a GIF its logical screen, with the first frame at its place on
// it; for a TIFF the frame turned upright by its Orientation tag (which WIC leaves to the
// caller); for everything else the frame itself.
struct TCanvas {
  int width = 0, height = 0, left = 0, top = 0;
  int orientation = 1;
};

struct TSession {
  TComPtr<IWICImagingFactory> factory;
  TComPtr<IWICStream> stream;
  TComPtr<IWICBitmapDecoder> decoder;
  TComPtr<IWICBitmapFrameDecode> frame;
  UINT frameWidth = 0, frameHeight = 0;
  TCanvas canvas;
};

uint32_t Big32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Whether every chunk before the image data fits in the file. The system's PNG decoder may
// make and zero a buffer of the length a chunk header declares before it finds the file ends
// (2 GB for 57 bytes under Wine): such a file is refused here, as the native decoder refuses
// it, without the cost.
bool PngChunksFit(const uint8_t* data, size_t size) {
  size_t at = 8;
  while (size - at >= 8) {
    const uint32_t length = Big32(data + at);
    if (length > 0x7FFFFFFFu || length + 12ull > size - at) return false;
    if (std::memcmp(data + at + 4, "IDAT", 4) == 0) return true;
    at += 12ull + length;
  }
  return true; // what is left is no chunk header; the decoder tells what it makes of it
}

// The EXIF Orientation of a PNG's eXIf chunk before the image data, as the native decoder
// reads it; 1 without one. PngChunksFit has checked that the chunks fit.
int PngOrientation(const uint8_t* data, size_t size) {
  size_t at = 8;
  while (size - at >= 8) {
    const uint32_t length = Big32(data + at);
    if (length + 12ull > size - at || std::memcmp(data + at + 4, "IDAT", 4) == 0) return 1;
    if (std::memcmp(data + at + 4, "eXIf", 4) == 0) return ExifOrientation(data + at + 8, length);
    at += 12ull + length;
  }
  return 1;
}

// The EXIF Orientation of a WebP's EXIF chunk, which the extended header announces; a file
// that announces one and ends before it is cut (SPI_OUT_OF_ORDER), as on the native road.
int WebpOrientation(const uint8_t* data, size_t size, int* orientation) {
  *orientation = 1;
  if (size < 21 || std::memcmp(data + 12, "VP8X", 4) != 0 || !(data[20] & 0x08)) return SPI_SUCCESS;
  size_t at = 12;
  while (size - at >= 8) {
    const uint32_t length = static_cast<uint32_t>(data[at + 4] | data[at + 5] << 8 | data[at + 6] << 16) |
                            static_cast<uint32_t>(data[at + 7]) << 24;
    if (length > size - at - 8) break;
    if (std::memcmp(data + at, "EXIF", 4) == 0) {
      *orientation = ExifOrientation(data + at + 8, length);
      return SPI_SUCCESS;
    }
    at += 8ull + length + (length & 1u);
    if (at > size) break;
  }
  return SPI_OUT_OF_ORDER;
}

// One entry of a TIFF's first directory: type, count, and where the values are.
struct TTiffEntry {
  unsigned type = 0;
  uint32_t count = 0;
  size_t at = 0;
};

// The first directory of a TIFF in memory, the one WIC's first frame and libtiff's first page
// decode. WIC leaves the Orientation tag and the colour map's 16-bit entries to the caller,
// and Wine 8's metadata query reader crashes on some cut files, so the tags are read here,
// every read within the block.
class TTiffDirectory {
public:
  TTiffDirectory(const uint8_t* data, size_t size) noexcept : FData(data), FSize(size), FBig(size >= 2 && data[0] == 'M') {}

  // SHORT and LONG entries only; false when the tag is missing or its values leave the file.
  bool Find(unsigned tag, TTiffEntry& entry) const noexcept {
    uint32_t ifd = FSize >= 8 ? U32(4) : 0;
    if (ifd < 8 || ifd > FSize - 2) return false;
    const unsigned n = U16(ifd);
    for (unsigned i = 0; i < n; ++i) {
      const size_t e = ifd + 2 + size_t{12} * i;
      if (e + 12 > FSize) return false;
      if (U16(e) != tag) continue;
      entry.type = U16(e + 2);
      entry.count = U32(e + 4);
      if (entry.type != 3 && entry.type != 4) return false;
      const unsigned long long bytes = static_cast<unsigned long long>(entry.count) * (entry.type == 3 ? 2 : 4);
      entry.at = bytes <= 4 ? e + 8 : U32(e + 8);
      return entry.at <= FSize && bytes <= FSize - entry.at;
    }
    return false;
  }

  // Value i of an entry that Find gave.
  uint32_t Value(const TTiffEntry& entry, size_t i) const noexcept {
    return entry.type == 3 ? U16(entry.at + 2 * i) : U32(entry.at + 4 * i);
  }

private:
  unsigned U16(size_t at) const noexcept {
    return FBig ? FData[at] << 8 | FData[at + 1] : FData[at + 1] << 8 | FData[at];
  }
  uint32_t U32(size_t at) const noexcept {
    const uint32_t a = U16(at), b = U16(at + 2);
    return FBig ? a << 16 | b : b << 16 | a;
  }

  const uint8_t* FData;
  size_t FSize;
  bool FBig;
};

int Open(const uint8_t* data, size_t size, TFormat format, TSession& s) {
  const GUID* container = ContainerOf(format);
  if (!container) return SPI_NOT_SUPPORT;
  if (size > 0xFFFFFFFFu) return SPI_NO_MEMORY;
  if (format == fmtPng && !PngChunksFit(data, size)) return SPI_OUT_OF_ORDER;
  if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(s.factory.Out()))))
    return SPI_OTHER_ERROR;
  if (FAILED(s.factory->CreateStream(s.stream.Out())) ||
      FAILED(s.stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size))))
    return SPI_NO_MEMORY;
  // The decoder of the format the signature named, never one that WIC guesses: the other
  // builds decode these four formats and no others.
  if (FAILED(s.factory->CreateDecoder(*container, nullptr, s.decoder.Out())))
    return SPI_NOT_SUPPORT; // this Windows has no codec for the format
  if (FAILED(s.decoder->Initialize(s.stream.Get(), WICDecodeMetadataCacheOnDemand)) ||
      FAILED(s.decoder->GetFrame(0, s.frame.Out())) ||
      FAILED(s.frame->GetSize(&s.frameWidth, &s.frameHeight)))
    return SPI_OUT_OF_ORDER;
  if (s.frameWidth == 0 || s.frameHeight == 0 || s.frameWidth > 0x7FFFFFFFu || s.frameHeight > 0x7FFFFFFFu)
    return SPI_OUT_OF_ORDER;
  s.canvas.width = static_cast<int>(s.frameWidth);
  s.canvas.height = static_cast<int>(s.frameHeight);
  if (format == fmtGif) {
    TComPtr<IWICMetadataQueryReader> screen, image;
    s.decoder->GetMetadataQueryReader(screen.Out());
    s.frame->GetMetadataQueryReader(image.Out());
    bool ok = true;
    unsigned w = ReadUInt(screen.Get(), L"/logscrdesc/Width", &ok);
    unsigned h = ReadUInt(screen.Get(), L"/logscrdesc/Height", &ok);
    unsigned x = ReadUInt(image.Get(), L"/imgdesc/Left", &ok);
    unsigned y = ReadUInt(image.Get(), L"/imgdesc/Top", &ok);
    if (ok && w > 0 && h > 0) {
      s.canvas.width = static_cast<int>(w);
      s.canvas.height = static_cast<int>(h);
      s.canvas.left = static_cast<int>(x);
      s.canvas.top = static_cast<int>(y);
    }
  }
  if (format == fmtTiff) {
    TTiffEntry entry;
    const TTiffDirectory ifd(data, size);
    unsigned orientation = ifd.Find(274, entry) && entry.count >= 1 ? ifd.Value(entry, 0) : 1;
    if (orientation >= 1 && orientation <= 8) s.canvas.orientation = static_cast<int>(orientation);
  }
  // PNG and WebP carry the Orientation in EXIF, which WIC leaves to the caller too.
  if (format == fmtPng) s.canvas.orientation = PngOrientation(data, size);
  if (format == fmtWebp) {
    const int rc = WebpOrientation(data, size, &s.canvas.orientation);
    if (rc != SPI_SUCCESS) return rc;
  }
  if (format == fmtTiff || format == fmtPng || format == fmtWebp) {
    if (OrientationSwaps(s.canvas.orientation)) {
      s.canvas.width = static_cast<int>(s.frameHeight);
      s.canvas.height = static_cast<int>(s.frameWidth);
    }
  }
  return SPI_SUCCESS;
}

// A TIFF's colour map by the plug-in's rule, as the native decoder reads it: 16-bit entries
// rounded to the nearest 8-bit value, a map with no entry above 255 taken as 8-bit. WIC
// reduces the entries by its own rule (Wine's drops the low byte). Empty when the map cannot
// be read or does not fit the pixel depth; the decoder's palette is used then.
std::vector<uint32_t> TiffColormap(const uint8_t* data, size_t size, unsigned bitsPerPixel) {
  std::vector<uint32_t> palette;
  const TTiffDirectory ifd(data, size);
  TTiffEntry map;
  const size_t n = size_t{1} << bitsPerPixel;
  if (!ifd.Find(320, map) || map.type != 3 || map.count != 3 * n) return palette;
  bool wide = false;
  for (size_t i = 0; i < 3 * n; ++i) wide = wide || ifd.Value(map, i) > 255;
  auto to8 = [&](size_t i) {
    const uint32_t v = ifd.Value(map, i);
    return wide ? To8(static_cast<uint16_t>(v)) : v;
  };
  palette.resize(n);
  for (size_t i = 0; i < n; ++i) palette[i] = 0xFF000000u | to8(i) << 16 | to8(n + i) << 8 | to8(2 * n + i);
  return palette;
}

uint8_t Scale(unsigned v, unsigned bits) { return static_cast<uint8_t>(v * 255u / ((1u << bits) - 1u)); }

// One row of the copied layout into 4 channels of 8 or 16 bits.
void Unpack(const TLayout& l, const uint8_t* in, UINT width, const std::vector<uint32_t>& palette,
            uint8_t* out8, uint16_t* out16) {
  auto u16 = [in](size_t i) {
    uint16_t v;
    std::memcpy(&v, in + i * 2, 2);
    return v;
  };
  for (UINT x = 0; x < width; ++x) {
    uint8_t* o = out8 + static_cast<size_t>(x) * 4;
    uint16_t* w = out16 + static_cast<size_t>(x) * 4;
    const uint8_t* p8 = in + static_cast<size_t>(x) * (l.bitsPerPixel / 8);
    switch (l.kind) {
    case TKind::Rgba8: o[0] = p8[0], o[1] = p8[1], o[2] = p8[2], o[3] = p8[3]; break;
    case TKind::Bgra8: o[0] = p8[2], o[1] = p8[1], o[2] = p8[0], o[3] = p8[3]; break;
    case TKind::Bgrx8: o[0] = p8[2], o[1] = p8[1], o[2] = p8[0], o[3] = 255; break;
    case TKind::Bgr8: o[0] = p8[2], o[1] = p8[1], o[2] = p8[0], o[3] = 255; break;
    case TKind::Rgb8: o[0] = p8[0], o[1] = p8[1], o[2] = p8[2], o[3] = 255; break;
    case TKind::Gray8: o[0] = o[1] = o[2] = p8[0], o[3] = 255; break;
    case TKind::Rgba16: w[0] = u16(x * 4), w[1] = u16(x * 4 + 1), w[2] = u16(x * 4 + 2), w[3] = u16(x * 4 + 3); break;
    case TKind::Bgra16: w[0] = u16(x * 4 + 2), w[1] = u16(x * 4 + 1), w[2] = u16(x * 4), w[3] = u16(x * 4 + 3); break;
    case TKind::Rgb16: w[0] = u16(x * 3), w[1] = u16(x * 3 + 1), w[2] = u16(x * 3 + 2), w[3] = 65535; break;
    case TKind::Bgr16: w[0] = u16(x * 3 + 2), w[1] = u16(x * 3 + 1), w[2] = u16(x * 3), w[3] = 65535; break;
    case TKind::Gray16: w[0] = w[1] = w[2] = u16(x), w[3] = 65535; break;
    case TKind::GrayLow:
    case TKind::Indexed: {
      unsigned bits = l.bitsPerPixel;
      size_t bit = static_cast<size_t>(x) * bits;
      unsigned v = (in[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1u);
      if (l.kind == TKind::GrayLow) {
        o[0] = o[1] = o[2] = Scale(v, bits), o[3] = 255;
      } else if (v < palette.size()) {
        uint32_t c = palette[v]; // 0xAARRGGBB
        o[0] = static_cast<uint8_t>(c >> 16), o[1] = static_cast<uint8_t>(c >> 8);
        o[2] = static_cast<uint8_t>(c), o[3] = static_cast<uint8_t>(c >> 24);
      } else {
        o[0] = o[1] = o[2] = 0, o[3] = 255; // an index past the table shows black
      }
      break;
    }
    }
  }
}

bool Wide(TKind k) {
  return k == TKind::Rgba16 || k == TKind::Bgra16 || k == TKind::Rgb16 || k == TKind::Bgr16 || k == TKind::Gray16;
}

int Decode(TSession& s, const uint8_t* data, size_t size, TFormat format, TTarget* target) {
  WICPixelFormatGUID native{};
  if (FAILED(s.frame->GetPixelFormat(&native))) return SPI_OUT_OF_ORDER;
  const TLayout* layout = FindLayout(native);
  TComPtr<IWICFormatConverter> converter;
  IWICBitmapSource* source = s.frame.Get();
  if (!layout) {
    if (FAILED(s.factory->CreateFormatConverter(converter.Out()))) return SPI_NO_MEMORY;
    static const TLayout Fallbacks[] = {{&GUID_WICPixelFormat32bppRGBA, TKind::Rgba8, 32, false},
                                        {&GUID_WICPixelFormat32bppBGRA, TKind::Bgra8, 32, false}};
    for (const TLayout& f : Fallbacks) {
      BOOL can = FALSE;
      if (SUCCEEDED(converter->CanConvert(native, *f.format, &can)) && can &&
          SUCCEEDED(converter->Initialize(s.frame.Get(), *f.format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                          WICBitmapPaletteTypeCustom))) {
        layout = &f;
        break;
      }
    }
    if (!layout) return SPI_NOT_SUPPORT;
    source = converter.Get();
  }

  std::vector<uint32_t> palette;
  if (layout->kind == TKind::Indexed && format == fmtTiff) palette = TiffColormap(data, size, layout->bitsPerPixel);
  if (layout->kind == TKind::Indexed && palette.empty()) {
    TComPtr<IWICPalette> p;
    UINT count = 0;
    if (FAILED(s.factory->CreatePalette(p.Out()))) return SPI_NO_MEMORY;
    if (FAILED(s.frame->CopyPalette(p.Get())) && FAILED(s.decoder->CopyPalette(p.Get())))
      return SPI_OUT_OF_ORDER;
    if (FAILED(p->GetColorCount(&count)) || count > 256) return SPI_OUT_OF_ORDER;
    palette.resize(count);
    if (count && FAILED(p->GetColors(count, reinterpret_cast<WICColor*>(palette.data()), &count)))
      return SPI_OUT_OF_ORDER;
    palette.resize(count);
  }

  const bool swaps = OrientationSwaps(s.canvas.orientation);
  const int uprightWidth = static_cast<int>(swaps ? s.frameHeight : s.frameWidth);
  const int uprightHeight = static_cast<int>(swaps ? s.frameWidth : s.frameHeight);
  const bool partial = s.canvas.left != 0 || s.canvas.top != 0 || s.canvas.width != uprightWidth ||
                       s.canvas.height != uprightHeight;
  int rc = partial ? TargetBegin(target, s.canvas.width, s.canvas.height, 1)
                   : TargetBeginOriented(target, static_cast<int>(s.frameWidth), static_cast<int>(s.frameHeight),
                                         s.canvas.orientation);
  if (rc != SPI_SUCCESS) return rc;

  const UINT width = s.frameWidth, height = s.frameHeight;
  const unsigned long long strideWide = (static_cast<unsigned long long>(width) * layout->bitsPerPixel + 7) / 8;
  if (strideWide > 0x7FFFFFFFull / 4) return SPI_NO_MEMORY;
  const UINT stride = static_cast<UINT>((strideWide + 3) & ~3ull);
  // Bands of about a megabyte keep the copy small and give the progress callback steps.
  const UINT band = stride >= (1u << 20) ? 1u : (1u << 20) / stride;
  try {
    std::vector<uint8_t> rows(static_cast<size_t>(stride) * band);
    std::vector<uint8_t> out8(static_cast<size_t>(width) * 4);
    std::vector<uint16_t> out16(static_cast<size_t>(width) * 4);
    for (UINT y = 0; y < height; y += band) {
      UINT n = height - y < band ? height - y : band;
      WICRect rect{0, static_cast<INT>(y), static_cast<INT>(width), static_cast<INT>(n)};
      if (FAILED(source->CopyPixels(&rect, stride, stride * n, rows.data()))) return SPI_OUT_OF_ORDER;
      for (UINT i = 0; i < n; ++i) {
        Unpack(*layout, rows.data() + static_cast<size_t>(stride) * i, width, palette, out8.data(), out16.data());
        int row = s.canvas.top + static_cast<int>(y + i);
        if (Wide(layout->kind))
          TargetPutRow16(target, row, s.canvas.left, static_cast<int>(width), out16.data(), layout->premultiplied);
        else
          TargetPutRow8(target, row, s.canvas.left, static_cast<int>(width), out8.data(), layout->premultiplied);
      }
      long long done = static_cast<long long>(y + n) * s.canvas.height / static_cast<long long>(height);
      if (partial ? TargetProgress(target, static_cast<int>(done)) : TargetProgressSource(target, static_cast<int>(y + n)))
        return SPI_ABORT;
    }
  } catch (const std::bad_alloc&) {
    return SPI_NO_MEMORY;
  }
  return SPI_SUCCESS;
}

} // namespace

extern "C" int DecoderQueryInfo(const uint8_t* data, size_t size, TFormat format, int* width, int* height) {
  TComScope com;
  if (!com.Usable()) return SPI_OTHER_ERROR;
  TSession s;
  int rc = Open(data, size, format, s);
  if (rc == SPI_SUCCESS) {
    *width = s.canvas.width;
    *height = s.canvas.height;
  }
  return rc;
}

extern "C" int DecoderDecode(const uint8_t* data, size_t size, TFormat format, TTarget* target) {
  TComScope com;
  if (!com.Usable()) return SPI_OTHER_ERROR;
  int rc;
  {
    TSession s; // released before COM is
    rc = Open(data, size, format, s);
    if (rc == SPI_SUCCESS) rc = Decode(s, data, size, format, target);
  }
  return rc;
}
