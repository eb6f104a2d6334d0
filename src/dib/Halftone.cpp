// Halftones by error diffusion over a fixed palette: 6 x 7 x 5 levels of red, green and blue
// (8 bits) or black and white (1 bit).
//
// Rows run in storage order and alternate direction (serpentine). Every pixel's error, the
// chosen value minus the wanted one, is subtracted from the pixels that follow:
//
//     previous row:   D  A         (even rows, scanning right)     A  D   (odd rows, left)
//     this row:       C  *                                         *  C
//
//     wanted = colour - (12 A + 12 C + 5 D) div 32      (29/32 of the error passed on)
//
// where A is the pixel above, C the one handled just before in this row and D the pixel
// above-behind. Errors stay within +-32 per channel in colour, so the adjusted values stay
// within -29 .. 284 and the 769-entry quantisation tables (-256 .. 512) are never left.
#include <algorithm>
#include <array>
#include <cstring>

#include "dib/Convert.h"
#include "dib/ConvertSupport.h"

using namespace convert_detail;

namespace {

constexpr std::uint8_t RedLevels[6] = {0, 51, 102, 153, 204, 255};
constexpr std::uint8_t GreenLevels[7] = {0, 43, 85, 128, 171, 214, 255};
constexpr std::uint8_t BlueLevels[5] = {0, 64, 128, 192, 255};

constexpr int TableLow = -256, TableSize = 769;

// Level index of every adjusted value from -256 to 512; bounds are the highest value of each
// level but the last.
template <std::size_t N>
constexpr std::array<std::uint8_t, TableSize> QuantTable(const int (&bounds)[N]) {
  std::array<std::uint8_t, TableSize> t{};
  for (int i = 0; i < TableSize; ++i) {
    std::uint8_t level = 0;
    while (level < N && i + TableLow > bounds[level]) ++level;
    t[static_cast<std::size_t>(i)] = level;
  }
  return t;
}

constexpr int RedBounds[] = {25, 76, 127, 178, 230};
constexpr int GreenBounds[] = {21, 63, 106, 149, 192, 233};
constexpr int BlueBounds[] = {31, 95, 159, 223};
constexpr auto RedQuant = QuantTable(RedBounds);
constexpr auto GreenQuant = QuantTable(GreenBounds);
constexpr auto BlueQuant = QuantTable(BlueBounds);

struct TError {
  std::int16_t R, G, B;
};

struct TColour {
  int R, G, B;
};

inline TColour TableColour(const TVxDIBRecord& dib, unsigned index) {
  const TVxRGBQuad& c = dib.ColorTable[index];
  return TColour{c.rgbRed, c.rgbGreen, c.rgbBlue};
}

inline TColour SourceColour(const TVxDIBRecord& dib, const std::uint8_t* row, std::int64_t x, int bitCount) {
  switch (bitCount) {
    case 24: {
      const std::uint8_t* p = row + 3 * x;
      return TColour{p[2], p[1], p[0]};
    }
    case 8: return TableColour(dib, row[x]);
    case 4: return TableColour(dib, (x & 1) ? row[x >> 1] & 0x0Fu : row[x >> 1] >> 4u);
    default: return TableColour(dib, (row[x >> 3] & (0x80u >> (x & 7))) ? 1u : 0u);
  }
}

// Chooses the output for the adjusted colour v at pixel x of row out and returns the error.
using TQuantise = TError (*)(std::uint8_t* out, std::int64_t x, const TColour& v);

TError QuantiseColour(std::uint8_t* out, std::int64_t x, const TColour& v) {
  const std::uint8_t r = RedQuant[static_cast<std::size_t>(v.R - TableLow)];
  const std::uint8_t g = GreenQuant[static_cast<std::size_t>(v.G - TableLow)];
  const std::uint8_t b = BlueQuant[static_cast<std::size_t>(v.B - TableLow)];
  out[x] = static_cast<std::uint8_t>(35 * r + 5 * g + b);
  return TError{static_cast<std::int16_t>(RedLevels[r] - v.R), static_cast<std::int16_t>(GreenLevels[g] - v.G),
                static_cast<std::int16_t>(BlueLevels[b] - v.B)};
}

TError QuantiseBW(std::uint8_t* out, std::int64_t x, const TColour& v) {
  const auto mask = static_cast<std::uint8_t>(0x80u >> (x & 7));
  if (v.R + v.G + v.B >= 384) {
    out[x >> 3] = static_cast<std::uint8_t>(out[x >> 3] | mask);
    return TError{static_cast<std::int16_t>(255 - v.R), static_cast<std::int16_t>(255 - v.G),
                  static_cast<std::int16_t>(255 - v.B)};
  }
  out[x >> 3] = static_cast<std::uint8_t>(out[x >> 3] & ~mask);
  return TError{static_cast<std::int16_t>(-v.R), static_cast<std::int16_t>(-v.G), static_cast<std::int16_t>(-v.B)};
}

inline int Adjust(int colour, int above, int carried, int diagonal) {
  return colour - (12 * above + 12 * carried + 5 * diagonal) / 32;  // C++ division truncates toward zero
}

void Diffuse(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, int resultBits, TQuantise quantise,
             const char* routine, const char* formatMessage, const char* bitCountMessage) {
  Assert(source.Header.biCompression == 0, formatMessage);
  const int bitCount = source.Header.biBitCount;
  // A bit count outside 1, 4, 8, 24 is the assertion at the first pixel, below.
  if (bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 24) CheckSourceRows(source, bitCount, routine);
  const TRows src(source, bitCount);
  const std::size_t entries = static_cast<std::size_t>(src.Width) + 2;
  const auto current = NewBuffer<TError>(entries);
  const auto previous = NewBuffer<TError>(entries);
  std::fill_n(current.get(), entries, TError{0, 0, 0});
  const auto stride = static_cast<std::uint64_t>(DIBRowSize(src.Width, resultBits));
  TResultMemory memory(stride * static_cast<std::uint64_t>(src.Height), useFMO);
  if (src.Width > 0 && src.Height > 0)
    Assert(bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 24, bitCountMessage);

  for (std::int64_t y = 0; y < src.Height; ++y) {
    std::copy_n(current.get(), entries, previous.get());
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    std::uint8_t* out = memory.Row(static_cast<std::size_t>(stride), y);
    const bool even = (y & 1) == 0;
    TError carried{0, 0, 0};
    for (std::int64_t i = 0; i < src.Width; ++i) {
      const std::int64_t x = even ? i : src.Width - 1 - i;
      const TColour c = SourceColour(source, in, x, bitCount);
      const TError& above = previous[static_cast<std::size_t>(x + 1)];
      const TError& diagonal = previous[static_cast<std::size_t>(even ? x : x + 2)];
      const TColour v{Adjust(c.R, above.R, carried.R, diagonal.R), Adjust(c.G, above.G, carried.G, diagonal.G),
                      Adjust(c.B, above.B, carried.B, diagonal.B)};
      carried = quantise(out, x, v);
      current[static_cast<std::size_t>(x + 1)] = carried;
    }
  }
  memory.HandTo(source, result, resultBits);
}

}  // namespace

void ConvertToHalfTone(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Diffuse(source, result, useFMO, 8, QuantiseColour, "ConvertToHalfTone", "ConvertToHalfTone: Invalid DIB Format",
          "ConvertToHalfTone: Invalid Bit Count");
  result.Header.biClrUsed = 215;
  int i = 0;
  for (std::uint8_t r : RedLevels)
    for (std::uint8_t g : GreenLevels)
      for (std::uint8_t b : BlueLevels) result.ColorTable[i++] = TVxRGBQuad{b, g, r, 0};
  result.ColorTable[210] = TVxRGBQuad{0, 0, 128, 0};
  result.ColorTable[211] = TVxRGBQuad{0, 128, 128, 0};
  result.ColorTable[212] = TVxRGBQuad{128, 0, 128, 0};
  result.ColorTable[213] = TVxRGBQuad{192, 192, 192, 0};
  result.ColorTable[214] = TVxRGBQuad{128, 128, 128, 0};
}

void ConvertToHalfToneBW(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Diffuse(source, result, useFMO, 1, QuantiseBW, "ConvertToHalfToneBW", "ConvertToHalfToneBW: Invalid DIB Format",
          "ConvertToHalfToneBW: Invalid Bit Count");
  result.Header.biClrUsed = 2;
  result.ColorTable[0] = TVxRGBQuad{0, 0, 0, 0};
  result.ColorTable[1] = TVxRGBQuad{255, 255, 255, 0};
}
