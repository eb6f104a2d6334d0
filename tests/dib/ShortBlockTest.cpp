// Every conversion that reads source rows refuses a pixel block that does not hold them all
// (the readers keep such blocks), before it reads or allocates anything. The block here is
// a separate allocation of exactly the short size, so a read past it is an ASan report.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dib/ConvertTestSupport.h"
#include "dib/DIBTestSupport.h"

using namespace convtest;

namespace {

using TConvert = std::function<void(const TVxDIBRecord&, TVxDIBRecord&)>;

struct TShortCase {
  const char* Routine;
  int Bits;
  TConvert Run;
};

const TVxStepEvent NoStep;

const TShortCase ShortCases[] = {
    {"Convert1BitRGBTo4BitRGB", 1, [](auto& s, auto& r) { Convert1BitRGBTo4BitRGB(s, r, false); }},
    {"Convert1BitRGBTo8BitRGB", 1, [](auto& s, auto& r) { Convert1BitRGBTo8BitRGB(s, r, false); }},
    {"Convert4BitRGBTo8BitRGB", 4, [](auto& s, auto& r) { Convert4BitRGBTo8BitRGB(s, r, false); }},
    {"Convert1BitRGBToTrueColor", 1, [](auto& s, auto& r) { Convert1BitRGBToTrueColor(s, r, false); }},
    {"Convert4BitRGBToTrueColor", 4, [](auto& s, auto& r) { Convert4BitRGBToTrueColor(s, r, false); }},
    {"Convert8BitRGBToTrueColor", 8, [](auto& s, auto& r) { Convert8BitRGBToTrueColor(s, r, false); }},
    {"ConvertTrueColorTo8BitRGBLow", 24, [](auto& s, auto& r) { ConvertTrueColorTo8BitRGBLow(s, r, false, NoStep); }},
    {"ConvertTrueColorTo4BitRGBLow", 24, [](auto& s, auto& r) { ConvertTrueColorTo4BitRGBLow(s, r, false, NoStep); }},
    {"ConvertTrueColorTo8BitRGBHigh", 24, [](auto& s, auto& r) { ConvertTrueColorTo8BitRGBHigh(s, r, false, NoStep); }},
    {"ConvertTrueColorTo4BitRGBHigh", 24, [](auto& s, auto& r) { ConvertTrueColorTo4BitRGBHigh(s, r, false, NoStep); }},
    {"Convert8BitRGBTo4BitRGB", 8, [](auto& s, auto& r) { Convert8BitRGBTo4BitRGB(s, r, false, NoStep); }},
    {"ConvertTrueColorTo1BitRGB", 24, [](auto& s, auto& r) { ConvertTrueColorTo1BitRGB(s, r, false, 0xFFFFFF); }},
    {"Convert8BitTo1BitRGB", 8, [](auto& s, auto& r) { Convert8BitTo1BitRGB(s, r, false, 0xFFFFFF); }},
    {"Convert4BitRGBTo1BitRGB", 4, [](auto& s, auto& r) { Convert4BitRGBTo1BitRGB(s, r, false, 0xFFFFFF); }},
    {"ConvertToHalfTone", 8, [](auto& s, auto& r) { ConvertToHalfTone(s, r, false); }},
    {"ConvertToHalfToneBW", 24, [](auto& s, auto& r) { ConvertToHalfToneBW(s, r, false); }},
};

class ShortPixelBlock : public ::testing::TestWithParam<TShortCase> {};

TEST_P(ShortPixelBlock, IsRefusedBeforeAnyRowIsRead) {
  const TShortCase& c = GetParam();
  const std::string want = std::string(c.Routine) + ": Pixel Data Too Short";
  for (const int height : {4, -4}) {
    TSource src(37, height, c.Bits);
    const std::size_t whole = src.Pixels.size();
    // The last row missing, and no block at all.
    for (const std::size_t size : {whole - Stride(37, c.Bits), std::size_t{0}}) {
      SCOPED_TRACE(std::to_string(height) + " rows, " + std::to_string(size) + " bytes");
      std::vector<std::uint8_t> block(src.Pixels.begin(), src.Pixels.begin() + static_cast<std::ptrdiff_t>(size));
      src.Record.Bits = size ? block.data() : nullptr;
      src.Record.BitsSize = static_cast<std::uint32_t>(size);
      TResult res;
      EXPECT_EQ(MessageOf<EVxDIBInvalidDIB>([&] { c.Run(src.Record, res.Record); }), want);
      EXPECT_EQ(res.Record.Bits, nullptr);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Conversions, ShortPixelBlock, ::testing::ValuesIn(ShortCases),
                         [](const auto& p) { return std::string(p.param.Routine); });

TEST(ShortPixelBlock, CreateTrueColorPaletteLeavesTheTable) {
  for (const TVxConvertMethod method : {cmLow, cmHigh}) {
    TVxInternalDIB dib(false);
    dib.ReleaseStorage();
    dib.CreateDIB(37, 4, 0, 24);
    dib.DIB.BitsSize -= 1;
    EXPECT_EQ(MessageOf<EVxDIBInvalidDIB>([&] { CreateTrueColorPalette(dib, method, NoStep); }),
              "TVxInternalDIB.CreateTrueColorPalette: Pixel Data Too Short");
    EXPECT_EQ(dib.DIB.Header.biClrUsed, 0u);
    dib.DIB.BitsSize += 1;
  }
}

}  // namespace
