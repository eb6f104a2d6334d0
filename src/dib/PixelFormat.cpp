// The pixel-format change of a storage: every pair of formats is a chain of at most three
// conversions (decode, change depth, encode). Each step reads the previous step's record
// and fills a new one; the storage's own record is replaced only after the last step, so a
// failure anywhere leaves the image exactly as it was.
#include <cstdint>

#include "dib/Convert.h"
#include "dib/Rle.h"
#include "dib/VxDIB.h"

namespace {

constexpr char PixelFormatError[] = "TVxIntenalDIB.SetPixelsFormat: PixelFormat Error";

enum TStep : std::uint8_t {
  sNone,
  sDec4,
  sDec8,
  sEnc4,
  sEnc8,
  s1To4,
  s1To8,
  s4To8,
  s1To24,
  s4To24,
  s8To24,
  s8To4,
  s24To1,
  s8To1,
  s4To1,
  sReduce4,
  sReduce8,
  sHalftone,
  sHalftoneBW,
};

struct TRoute {
  TStep Steps[3];
};

// Rows: the current format; columns: the target (vxpf1Bit .. vxpf24Bit). An empty route is
// the same format.
constexpr TRoute Routes[6][6] = {
    // vxpf1Bit
    {{}, {s1To4}, {s1To4, sEnc4}, {s1To8}, {s1To8, sEnc8}, {s1To24}},
    // vxpf4Bit
    {{s4To1}, {}, {sEnc4}, {s4To8}, {s4To8, sEnc8}, {s4To24}},
    // vxpf4BitRLE
    {{sDec4, s4To1}, {sDec4}, {}, {sDec4, s4To8}, {sDec4, s4To8, sEnc8}, {sDec4, s4To24}},
    // vxpf8Bit
    {{s8To1}, {s8To4}, {s8To4, sEnc4}, {}, {sEnc8}, {s8To24}},
    // vxpf8BitRLE
    {{sDec8, s8To1}, {sDec8, s8To4}, {sDec8, s8To4, sEnc4}, {sDec8}, {}, {sDec8, s8To24}},
    // vxpf24Bit
    {{s24To1}, {sReduce4}, {sReduce4, sEnc4}, {sReduce8}, {sReduce8, sEnc8}, {}},
};

// The route to a halftone: run-length data is decoded first.
TRoute HalftoneRoute(TVxPixelFormat current, TVxPixelFormat target) {
  const TStep halftone = target == vxpfHalftone ? sHalftone : sHalftoneBW;
  if (current == vxpf4BitRLE) return TRoute{{sDec4, halftone}};
  if (current == vxpf8BitRLE) return TRoute{{sDec8, halftone}};
  return TRoute{{halftone}};
}

struct TStepArgs {
  bool UseFMO;
  TVxConvertMethod Method;
  const TVxStepEvent& Step;
  std::uint32_t MonoColor;
};

void RunStep(TStep step, const TVxDIBRecord& source, TVxDIBRecord& result, const TStepArgs& a) {
  switch (step) {
    case sDec4: Convert4BitRLETo4BitRGB(source, result, a.UseFMO); break;
    case sDec8: Convert8BitRLETo8BitRGB(source, result, a.UseFMO); break;
    case sEnc4: Convert4BitRGBTo4BitRLE(source, result, a.UseFMO); break;
    case sEnc8: Convert8BitRGBTo8BitRLE(source, result, a.UseFMO); break;
    case s1To4: Convert1BitRGBTo4BitRGB(source, result, a.UseFMO); break;
    case s1To8: Convert1BitRGBTo8BitRGB(source, result, a.UseFMO); break;
    case s4To8: Convert4BitRGBTo8BitRGB(source, result, a.UseFMO); break;
    case s1To24: Convert1BitRGBToTrueColor(source, result, a.UseFMO); break;
    case s4To24: Convert4BitRGBToTrueColor(source, result, a.UseFMO); break;
    case s8To24: Convert8BitRGBToTrueColor(source, result, a.UseFMO); break;
    case s8To4: Convert8BitRGBTo4BitRGB(source, result, a.UseFMO, a.Step); break;
    case s24To1: ConvertTrueColorTo1BitRGB(source, result, a.UseFMO, a.MonoColor); break;
    case s8To1: Convert8BitTo1BitRGB(source, result, a.UseFMO, a.MonoColor); break;
    case s4To1: Convert4BitRGBTo1BitRGB(source, result, a.UseFMO, a.MonoColor); break;
    case sReduce4:
      if (a.Method == cmLow)
        ConvertTrueColorTo4BitRGBLow(source, result, a.UseFMO, a.Step);
      else
        ConvertTrueColorTo4BitRGBHigh(source, result, a.UseFMO, a.Step);
      break;
    case sReduce8:
      if (a.Method == cmLow)
        ConvertTrueColorTo8BitRGBLow(source, result, a.UseFMO, a.Step);
      else
        ConvertTrueColorTo8BitRGBHigh(source, result, a.UseFMO, a.Step);
      break;
    case sHalftone: ConvertToHalfTone(source, result, a.UseFMO); break;
    case sHalftoneBW: ConvertToHalfToneBW(source, result, a.UseFMO); break;
    case sNone: break;
  }
}

// The records a chain makes; whatever is still held here when the chain ends (the
// intermediates, or everything after a failure) goes back to where it came from.
class TChainRecords {
public:
  explicit TChainRecords(bool useFMO) noexcept : FUseFMO(useFMO) {}
  ~TChainRecords() {
    for (TVxDIBRecord& r : FRecords)
      if (r.Bits) {
        try {
          ReleaseMemory(r.MappingHandle, r.Bits, FUseFMO);
        } catch (...) {
          // A view the OS refuses to unmap is lost; the conversion's own outcome stands.
        }
      }
  }
  TChainRecords(const TChainRecords&) = delete;
  TChainRecords& operator=(const TChainRecords&) = delete;

  TVxDIBRecord& operator[](int i) noexcept { return FRecords[i]; }
  // The record now belongs to the storage.
  void Forget(int i) noexcept { FRecords[i].Bits = nullptr; }

private:
  bool FUseFMO;
  TVxDIBRecord FRecords[3]{};
};

// Whether a plain image's block holds all its rows; run-length streams are checked by
// their decoders.
bool HoldsRows(const TVxDIBRecord& dib) {
  const TVxBitmapInfoHeader& h = dib.Header;
  if (h.biCompression != CompressionRGB) return true;
  const std::int64_t size = DIBImageSize(h.biWidth, h.biHeight, h.biBitCount);
  return size >= 0 && dib.Bits && static_cast<std::int64_t>(dib.BitsSize) >= size;
}

}  // namespace

void TVxInternalDIB::SetPixelsFormat(TVxPixelFormat target, TVxConvertMethod method, const TVxStepEvent& step,
                                     std::uint32_t monoColor) {
  const TVxPixelFormat current = GetPixelFormat();
  if (target == current || target > vxpfHalftoneBW) Assert(false, PixelFormatError);
  const TRoute route = target >= vxpfHalftone ? HalftoneRoute(current, target) : Routes[current][target];
  const bool reduces = route.Steps[0] == sReduce4 || route.Steps[0] == sReduce8;
  if (reduces && method != cmLow && method != cmHigh) Assert(false, PixelFormatError);
  if (!HoldsRows(DIB)) throw EVxDIBInvalidDIB("TVxInternalDIB.SetPixelsFormat: Pixel Data Too Short");

  const TStepArgs args{UseFMO, method, step, monoColor};
  TChainRecords records(UseFMO);
  const TVxDIBRecord* source = &DIB;
  int last = -1;
  for (const TStep s : route.Steps) {
    if (s == sNone) break;
    ++last;
    RunStep(s, *source, records[last], args);
    source = &records[last];
  }
  // MoveInDIB gives the old pixel block back (and the cached palette, which the new table
  // makes stale anyway).
  MoveInDIB(records[last]);
  records.Forget(last);
  UpdatePalette();
}
