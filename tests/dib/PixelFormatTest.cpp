// The storage's pixel-format change against the conversion routines it chains.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dib/Convert.h"
#include "dib/ConvertTestSupport.h"
#include "dib/DIBTestSupport.h"
#include "dib/Rle.h"
#include "rtl/BlockPool.h"

using namespace convtest;

namespace {

constexpr std::uint32_t Mono = 0x1E140A;  // (10, 20, 30): set in the 1-bit source's table

constexpr int W = 25, H = 4;

// A storage in the given format over a picture with runs (so that it compresses), an odd
// last nibble and colours that repeat, so that every routine has something to do.
std::unique_ptr<TVxInternalDIB> MakeStorage(TVxPixelFormat format, int width = W, int height = H) {
  const int bits[] = {1, 4, 4, 8, 8, 24};
  auto dib = std::make_unique<TVxInternalDIB>(true);
  dib->ReleaseStorage();
  dib->CreateDIB(width, height, ColorCount(bits[format]), bits[format]);
  TVxDIBRecord& r = dib->DIB;
  for (int i = 0; i < ColorCount(bits[format]); ++i)
    r.ColorTable[i] = TVxRGBQuad{static_cast<std::uint8_t>(i * 37 + 30), static_cast<std::uint8_t>(i * 11 + 20),
                                 static_cast<std::uint8_t>(i * 3 + 10), 0};
  const auto stride = static_cast<std::size_t>(DIBRowSize(width, bits[format]));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* row = r.Bits + static_cast<std::size_t>(y) * stride;
      const int v = x < 12 ? y : (x / 4 * 5 + y) % 9;
      switch (bits[format]) {
        case 1: row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | ((v & 1) << (7 - x % 8))); break;
        case 4: row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | (x % 2 ? v : v << 4)); break;
        case 8: row[x] = static_cast<std::uint8_t>(v * 29); break;
        default:
          // Rows 0 and 1 (and 2 and 3) differ only within a 5-6-5 bin: the low method merges
          // them, the high one does not.
          row[3 * x] = static_cast<std::uint8_t>(x / 6 * 40 + y % 2 * 3);
          row[3 * x + 1] = static_cast<std::uint8_t>(200 - y / 2 * 60);
          row[3 * x + 2] = static_cast<std::uint8_t>(x / 12 * 80);
      }
    }
  if (format == vxpf4BitRLE || format == vxpf8BitRLE) {
    TVxDIBRecord encoded;
    if (format == vxpf4BitRLE)
      Convert4BitRGBTo4BitRLE(r, encoded, true);
    else
      Convert8BitRGBTo8BitRLE(r, encoded, true);
    dib->MoveInDIB(encoded);
  }
  dib->PaletteChanged = false;
  return dib;
}

using TRoutine = void (*)(const TVxDIBRecord&, TVxDIBRecord&);
const TVxStepEvent NoStep = [](TObject*) {};

// The routines in heap memory, with a step callback or the 1-bit colour where they take one.
template <auto F>
void Plain(const TVxDIBRecord& s, TVxDIBRecord& d) {
  F(s, d, false);
}
template <auto F>
void Stepped(const TVxDIBRecord& s, TVxDIBRecord& d) {
  F(s, d, false, NoStep);
}
template <auto F>
void ToMono(const TVxDIBRecord& s, TVxDIBRecord& d) {
  F(s, d, false, Mono);
}

const TRoutine Dec4 = Plain<Convert4BitRLETo4BitRGB>, Dec8 = Plain<Convert8BitRLETo8BitRGB>;
const TRoutine Enc4 = Plain<Convert4BitRGBTo4BitRLE>, Enc8 = Plain<Convert8BitRGBTo8BitRLE>;
const TRoutine E1To4 = Plain<Convert1BitRGBTo4BitRGB>, E1To8 = Plain<Convert1BitRGBTo8BitRGB>;
const TRoutine E4To8 = Plain<Convert4BitRGBTo8BitRGB>, E1To24 = Plain<Convert1BitRGBToTrueColor>;
const TRoutine E4To24 = Plain<Convert4BitRGBToTrueColor>, E8To24 = Plain<Convert8BitRGBToTrueColor>;
const TRoutine R8To4 = Stepped<Convert8BitRGBTo4BitRGB>, R24To1 = ToMono<ConvertTrueColorTo1BitRGB>;
const TRoutine R8To1 = ToMono<Convert8BitTo1BitRGB>, R4To1 = ToMono<Convert4BitRGBTo1BitRGB>;
const TRoutine Low4 = Stepped<ConvertTrueColorTo4BitRGBLow>, Low8 = Stepped<ConvertTrueColorTo8BitRGBLow>;
const TRoutine High4 = Stepped<ConvertTrueColorTo4BitRGBHigh>, High8 = Stepped<ConvertTrueColorTo8BitRGBHigh>;
const TRoutine Tone = Plain<ConvertToHalfTone>, ToneBW = Plain<ConvertToHalfToneBW>;

struct TRouteCase {
  TVxPixelFormat From, To;
  TVxConvertMethod Method;
  std::vector<TRoutine> Steps;
  TVxPixelFormat ReadBack;
};

std::ostream& operator<<(std::ostream& os, const TRouteCase& c) {
  return os << int(c.From) << "->" << int(c.To) << " method " << int(c.Method);
}

// The expected record: the routines applied one after the other to a copy of the source.
struct TExpected {
  std::vector<std::unique_ptr<TResult>> Chain;
  const TVxDIBRecord& Run(const TVxDIBRecord& source, const std::vector<TRoutine>& steps) {
    const TVxDIBRecord* at = &source;
    for (const TRoutine& step : steps) {
      Chain.push_back(std::make_unique<TResult>());
      step(*at, Chain.back()->Record);
      at = &Chain.back()->Record;
    }
    return *at;
  }
};

std::vector<std::uint8_t> Pixels(const TVxDIBRecord& r) {
  const TVxBitmapInfoHeader& h = r.Header;
  const std::int64_t size = h.biCompression == CompressionRGB ? DIBImageSize(h.biWidth, h.biHeight, h.biBitCount)
                                                              : static_cast<std::int64_t>(r.BitsSize);
  return {r.Bits, r.Bits + size};
}

class PixelFormatRoute : public ::testing::TestWithParam<TRouteCase> {};

TEST_P(PixelFormatRoute, GivesTheChainedRoutinesResult) {
  const TRouteCase& c = GetParam();
  auto dib = MakeStorage(c.From);
  TExpected expected;
  const TVxDIBRecord& want = expected.Run(dib->DIB, c.Steps);
  dib->PaletteHandle = GetPaletteFromDIBInfos(dib->DIB);

  dib->SetPixelsFormat(c.To, c.Method, NoStep, Mono);

  EXPECT_EQ(dib->GetPixelFormat(), c.ReadBack);
  EXPECT_EQ(std::memcmp(&dib->DIB.Header, &want.Header, sizeof want.Header), 0);
  EXPECT_EQ(PaletteHex(dib->DIB), PaletteHex(want));
  EXPECT_EQ(Pixels(dib->DIB), Pixels(want));
  EXPECT_EQ(dib->Width, W);
  EXPECT_EQ(dib->Height, H);
  EXPECT_EQ(dib->PaletteHandle, nullptr);  // made from the old table
  EXPECT_TRUE(dib->PaletteChanged);
  EXPECT_NE(dib->DIB.MappingHandle, nullptr);  // results live where the storage's pixels do
}

const TRouteCase RouteCases[] = {
    {vxpf1Bit, vxpf4Bit, cmLow, {E1To4}, vxpf4Bit},
    {vxpf1Bit, vxpf4BitRLE, cmLow, {E1To4, Enc4}, vxpf4BitRLE},
    {vxpf1Bit, vxpf8Bit, cmLow, {E1To8}, vxpf8Bit},
    {vxpf1Bit, vxpf8BitRLE, cmLow, {E1To8, Enc8}, vxpf8BitRLE},
    {vxpf1Bit, vxpf24Bit, cmLow, {E1To24}, vxpf24Bit},
    {vxpf4Bit, vxpf1Bit, cmLow, {R4To1}, vxpf1Bit},
    {vxpf4Bit, vxpf4BitRLE, cmLow, {Enc4}, vxpf4BitRLE},
    {vxpf4Bit, vxpf8Bit, cmLow, {E4To8}, vxpf8Bit},
    {vxpf4Bit, vxpf8BitRLE, cmLow, {E4To8, Enc8}, vxpf8BitRLE},
    {vxpf4Bit, vxpf24Bit, cmLow, {E4To24}, vxpf24Bit},
    {vxpf4BitRLE, vxpf1Bit, cmLow, {Dec4, R4To1}, vxpf1Bit},
    {vxpf4BitRLE, vxpf4Bit, cmLow, {Dec4}, vxpf4Bit},
    {vxpf4BitRLE, vxpf8Bit, cmLow, {Dec4, E4To8}, vxpf8Bit},
    {vxpf4BitRLE, vxpf8BitRLE, cmLow, {Dec4, E4To8, Enc8}, vxpf8BitRLE},
    {vxpf4BitRLE, vxpf24Bit, cmLow, {Dec4, E4To24}, vxpf24Bit},
    {vxpf8Bit, vxpf1Bit, cmLow, {R8To1}, vxpf1Bit},
    {vxpf8Bit, vxpf4Bit, cmLow, {R8To4}, vxpf4Bit},
    {vxpf8Bit, vxpf4BitRLE, cmLow, {R8To4, Enc4}, vxpf4BitRLE},
    {vxpf8Bit, vxpf8BitRLE, cmLow, {Enc8}, vxpf8BitRLE},
    {vxpf8Bit, vxpf24Bit, cmLow, {E8To24}, vxpf24Bit},
    {vxpf8BitRLE, vxpf1Bit, cmLow, {Dec8, R8To1}, vxpf1Bit},
    {vxpf8BitRLE, vxpf4Bit, cmLow, {Dec8, R8To4}, vxpf4Bit},
    {vxpf8BitRLE, vxpf4BitRLE, cmLow, {Dec8, R8To4, Enc4}, vxpf4BitRLE},
    {vxpf8BitRLE, vxpf8Bit, cmLow, {Dec8}, vxpf8Bit},
    {vxpf8BitRLE, vxpf24Bit, cmLow, {Dec8, E8To24}, vxpf24Bit},
    {vxpf24Bit, vxpf1Bit, cmLow, {R24To1}, vxpf1Bit},
    {vxpf24Bit, vxpf4Bit, cmLow, {Low4}, vxpf4Bit},
    {vxpf24Bit, vxpf4Bit, cmHigh, {High4}, vxpf4Bit},
    {vxpf24Bit, vxpf4BitRLE, cmLow, {Low4, Enc4}, vxpf4BitRLE},
    {vxpf24Bit, vxpf4BitRLE, cmHigh, {High4, Enc4}, vxpf4BitRLE},
    {vxpf24Bit, vxpf8Bit, cmLow, {Low8}, vxpf8Bit},
    {vxpf24Bit, vxpf8Bit, cmHigh, {High8}, vxpf8Bit},
    {vxpf24Bit, vxpf8BitRLE, cmLow, {Low8, Enc8}, vxpf8BitRLE},
    {vxpf24Bit, vxpf8BitRLE, cmHigh, {High8, Enc8}, vxpf8BitRLE},
    {vxpf1Bit, vxpfHalftone, cmLow, {Tone}, vxpf8Bit},
    {vxpf4Bit, vxpfHalftone, cmLow, {Tone}, vxpf8Bit},
    {vxpf4BitRLE, vxpfHalftone, cmLow, {Dec4, Tone}, vxpf8Bit},
    {vxpf8Bit, vxpfHalftone, cmLow, {Tone}, vxpf8Bit},
    {vxpf8BitRLE, vxpfHalftone, cmLow, {Dec8, Tone}, vxpf8Bit},
    {vxpf24Bit, vxpfHalftone, cmLow, {Tone}, vxpf8Bit},
    {vxpf1Bit, vxpfHalftoneBW, cmLow, {ToneBW}, vxpf1Bit},
    {vxpf4Bit, vxpfHalftoneBW, cmLow, {ToneBW}, vxpf1Bit},
    {vxpf4BitRLE, vxpfHalftoneBW, cmLow, {Dec4, ToneBW}, vxpf1Bit},
    {vxpf8Bit, vxpfHalftoneBW, cmLow, {ToneBW}, vxpf1Bit},
    {vxpf8BitRLE, vxpfHalftoneBW, cmLow, {Dec8, ToneBW}, vxpf1Bit},
    {vxpf24Bit, vxpfHalftoneBW, cmLow, {ToneBW}, vxpf1Bit},
};

INSTANTIATE_TEST_SUITE_P(TVxInternalDIB, PixelFormatRoute, ::testing::ValuesIn(RouteCases));

// Everything a route allocates comes back: the old pixels and every intermediate go to the
// pool of mappings, the result stays with the storage.
TEST(PixelFormatChange, ReleasesTheOldPixelsAndBothIntermediates) {
  auto dib = MakeStorage(vxpf8BitRLE);
  ReleasePooledMemory();
  dib->SetPixelsFormat(vxpf4BitRLE, cmLow, NoStep, Mono);
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 3u);
  dib.reset();
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 4u);
  ReleasePooledMemory();
}

// A 1 x 1 image has no room for its 4-bit run-length stream: the encoder fails after the
// reduction, which must not survive it.
TEST(PixelFormatChange, EncoderFailureLeavesTheImageAndReleasesTheReduction) {
  auto dib = MakeStorage(vxpf24Bit, 1, 1);
  const TStorageSnapshot before(*dib);
  ReleasePooledMemory();
  EXPECT_EQ(MessageOf<EVxDIBCompressionFailed>([&] { dib->SetPixelsFormat(vxpf4BitRLE, cmHigh, NoStep, Mono); })
                .rfind("Convert4BitRGBTo4BitRLE", 0),
            0u);
  EXPECT_TRUE(before.Matches(*dib));
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 1u);
  ReleasePooledMemory();
}

struct TRejectCase {
  const char* Name;
  TVxPixelFormat From;
  int To;
  int Method;
  std::uint32_t Compression;  // forced into the header when not 0xFF
  bool Assertion;             // else EVxDIBInvalidDIB
  const char* Message;
};

constexpr char FormatError[] = "TVxIntenalDIB.SetPixelsFormat: PixelFormat Error";

const TRejectCase RejectCases[] = {
    {"SameOneBit", vxpf1Bit, vxpf1Bit, cmLow, 0xFF, true, FormatError},
    {"SameFourBitRle", vxpf4BitRLE, vxpf4BitRLE, cmLow, 0xFF, true, FormatError},
    {"SameTrueColor", vxpf24Bit, vxpf24Bit, cmHigh, 0xFF, true, FormatError},
    {"TargetBeyondTheEnumeration", vxpf8Bit, 8, cmLow, 0xFF, true, FormatError},
    {"UnknownReductionMethod", vxpf24Bit, vxpf8BitRLE, 2, 0xFF, true, FormatError},
    {"EightBitsWithRle4", vxpf8Bit, vxpf24Bit, cmLow, CompressionRLE4, false,
     "TVxInternalDIB.GetPixelFormat: Invalid DIB(8Bit)"},
};

class PixelFormatReject : public ::testing::TestWithParam<TRejectCase> {};

TEST_P(PixelFormatReject, RaisesBeforeAnyWork) {
  const TRejectCase& c = GetParam();
  auto dib = MakeStorage(c.From);
  if (c.Compression != 0xFF) dib->DIB.Header.biCompression = c.Compression;
  const TStorageSnapshot before(*dib);
  bool stepped = false;
  const TVxStepEvent step = [&](TObject*) { stepped = true; };
  auto change = [&] {
    dib->SetPixelsFormat(static_cast<TVxPixelFormat>(c.To), static_cast<TVxConvertMethod>(c.Method), step, Mono);
  };
  EXPECT_EQ(c.Assertion ? MessageOf<EAssertionFailed>(change) : MessageOf<EVxDIBInvalidDIB>(change), c.Message);
  EXPECT_FALSE(stepped);
  EXPECT_TRUE(before.Matches(*dib));
}

INSTANTIATE_TEST_SUITE_P(TVxInternalDIB, PixelFormatReject, ::testing::ValuesIn(RejectCases),
                         [](const auto& p) { return std::string(p.param.Name); });

// A block one byte short of the rows (or a run-length stream cut in half) fails every route
// from that format with the message of the check that found it, and changes nothing.
TEST(PixelFormatChange, ShortPixelBlockFailsEveryRoute) {
  for (int from = vxpf1Bit; from <= vxpf24Bit; ++from)
    for (int to = vxpf1Bit; to <= vxpfHalftoneBW; ++to) {
      if (to == from) continue;
      auto dib = MakeStorage(static_cast<TVxPixelFormat>(from));
      const bool rle = from == vxpf4BitRLE || from == vxpf8BitRLE;
      const std::uint32_t fullSize = dib->DIB.BitsSize;
      dib->DIB.BitsSize = rle ? fullSize / 2 : static_cast<std::uint32_t>(
                                                   DIBImageSize(W, H, dib->DIB.Header.biBitCount) - 1);
      const TStorageSnapshot before(*dib);
      const std::string message = MessageOf<EVxDIBInvalidDIB>(
          [&] { dib->SetPixelsFormat(static_cast<TVxPixelFormat>(to), cmHigh, NoStep, Mono); });
      const std::string expected = !rle ? "TVxInternalDIB.SetPixelsFormat: Pixel Data Too Short"
                                   : from == vxpf4BitRLE ? "Convert4BitRLETo4BitRGB: "
                                                         : "Convert8BitRLETo8BitRGB: ";
      EXPECT_EQ(message.rfind(expected, 0), 0u) << from << "->" << to << ": " << message;
      EXPECT_TRUE(before.Matches(*dib)) << from << "->" << to;
      dib->DIB.BitsSize = fullSize;
    }
}

}  // namespace
