// The last resort of the Windows builds: the system's imaging component (WIC), for the
// formats that only a Windows codec reads (icons, JPEG XR, DDS); everything else decodes with
// the same libraries as natively. Frames are copied in the decoder's own pixel format
// wherever that is one of the common layouts, and unpacked here, so that alpha and 16-bit
// channels reach the target untouched and are treated by the plug-in's rules. Only layouts
// outside that list go through WIC's format converter.
#include <wincodec.h>
#include <windows.h>

#include <cstring>
#include <vector>

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
  case fmtIco: return &GUID_ContainerFormatIco;
  case fmtJxr: return &GUID_ContainerFormatWmp;
  case fmtDds: return &GUID_ContainerFormatDds;
  default: return nullptr;
  }
}

struct TSession {
  TComPtr<IWICImagingFactory> factory;
  TComPtr<IWICStream> stream;
  TComPtr<IWICBitmapDecoder> decoder;
  TComPtr<IWICBitmapFrameDecode> frame;
  UINT frameWidth = 0, frameHeight = 0;
};

int Open(const uint8_t* data, size_t size, TFormat format, TSession& s) {
  const GUID* container = ContainerOf(format);
  if (!container) return SPI_NOT_SUPPORT;
  if (size > 0xFFFFFFFFu) return SPI_NO_MEMORY;
  if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(s.factory.Out()))))
    return SPI_OTHER_ERROR;
  if (FAILED(s.factory->CreateStream(s.stream.Out())) ||
      FAILED(s.stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size))))
    return SPI_NO_MEMORY;
  // The decoder of the format the signature named, never one that WIC guesses.
  if (FAILED(s.factory->CreateDecoder(*container, nullptr, s.decoder.Out())))
    return SPI_NOT_SUPPORT; // this Windows has no codec for the format
  UINT frames = 0;
  if (FAILED(s.decoder->Initialize(s.stream.Get(), WICDecodeMetadataCacheOnDemand)) ||
      FAILED(s.decoder->GetFrameCount(&frames)) || frames == 0)
    return SPI_OUT_OF_ORDER;
  // An icon holds one picture per size, a DDS its smaller mipmaps: the largest is the
  // picture (the first of equal ones).
  unsigned long long best = 0;
  UINT chosen = 0;
  for (UINT i = 0; i < frames && i < 256; ++i) {
    TComPtr<IWICBitmapFrameDecode> frame;
    UINT w = 0, h = 0;
    if (FAILED(s.decoder->GetFrame(i, frame.Out())) || FAILED(frame->GetSize(&w, &h))) return SPI_OUT_OF_ORDER;
    const unsigned long long area = static_cast<unsigned long long>(w) * h;
    if (area > best) best = area, chosen = i;
  }
  if (FAILED(s.decoder->GetFrame(chosen, s.frame.Out())) || FAILED(s.frame->GetSize(&s.frameWidth, &s.frameHeight)))
    return SPI_OUT_OF_ORDER;
  if (s.frameWidth == 0 || s.frameHeight == 0 || s.frameWidth > 0x7FFFFFFFu || s.frameHeight > 0x7FFFFFFFu)
    return SPI_OUT_OF_ORDER;
  return SPI_SUCCESS;
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

int Decode(TSession& s, TTarget* target) {
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
  if (layout->kind == TKind::Indexed) {
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

  const UINT width = s.frameWidth, height = s.frameHeight;
  int rc = TargetBegin(target, static_cast<int>(width), static_cast<int>(height), 0);
  if (rc != SPI_SUCCESS) return rc;

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
        const int row = static_cast<int>(y + i);
        if (Wide(layout->kind))
          TargetPutRow16(target, row, 0, static_cast<int>(width), out16.data(), layout->premultiplied);
        else
          TargetPutRow8(target, row, 0, static_cast<int>(width), out8.data(), layout->premultiplied);
      }
      if (TargetProgress(target, static_cast<int>(y + n))) return SPI_ABORT;
    }
  } catch (const std::bad_alloc&) {
    return SPI_NO_MEMORY;
  }
  return SPI_SUCCESS;
}

} // namespace

extern "C" int WicQueryInfo(const uint8_t* data, size_t size, TFormat format, int* width, int* height) {
  TComScope com;
  if (!com.Usable()) return SPI_OTHER_ERROR;
  TSession s;
  int rc = Open(data, size, format, s);
  if (rc == SPI_SUCCESS) {
    *width = static_cast<int>(s.frameWidth);
    *height = static_cast<int>(s.frameHeight);
  }
  return rc;
}

extern "C" int WicDecode(const uint8_t* data, size_t size, TFormat format, TTarget* target) {
  TComScope com;
  if (!com.Usable()) return SPI_OTHER_ERROR;
  int rc;
  {
    TSession s; // released before COM is
    rc = Open(data, size, format, s);
    if (rc == SPI_SUCCESS) rc = Decode(s, target);
  }
  return rc;
}
