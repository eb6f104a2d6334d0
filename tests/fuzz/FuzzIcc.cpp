// libFuzzer target: untrusted colour profiles through the plug-in's colour management. The
// first byte chooses the road, the rest is the profile:
//   bits 0-1  the pixels the profile is for: 0 or 3 RGB, 1 grey, 2 CMYK
//   bit 7     a PNG's gamma and chromaticities instead: nine big-endian 32-bit values in
//             units of 1/100000 (gamma, then white, red, green and blue x, y; the
//             chromaticities only when all 36 bytes are there)
// A conversion that comes of it converts rows at 8 and 16 bits (CMYK plain and inverted), and
// alpha must come through untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "../../plugins/iftavex/Colour.h"

namespace {

[[noreturn]] void Fail() { std::abort(); }

std::uint32_t Big32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

constexpr int Pixels = 300; // more than one chunk of the row conversions

void ConvertRows(TColour* colour) {
  static std::uint8_t rgba[Pixels * 4], cmyk[Pixels * 4];
  static std::uint16_t rgba16[Pixels * 4];
  for (int i = 0; i < Pixels * 4; ++i) {
    rgba[i] = static_cast<std::uint8_t>(i * 37);
    cmyk[i] = static_cast<std::uint8_t>(i * 53);
    rgba16[i] = static_cast<std::uint16_t>(i * 2711);
  }
  if (ColourChannels(colour) == 4) {
    for (int inverted = 0; inverted < 2; ++inverted) {
      ColourCmykRow8(colour, cmyk, inverted, rgba, Pixels);
      for (int i = 0; i < Pixels; ++i)
        if (rgba[i * 4 + 3] != 255) Fail();
    }
    return;
  }
  ColourRow8(colour, rgba, rgba, Pixels);
  ColourRow16(colour, rgba16, rgba16, Pixels);
  for (int i = 0; i < Pixels; ++i)
    if (rgba[i * 4 + 3] != static_cast<std::uint8_t>((i * 4 + 3) * 37) ||
        rgba16[i * 4 + 3] != static_cast<std::uint16_t>((i * 4 + 3) * 2711))
      Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  TColour* colour = nullptr;
  if (mode & 0x80) {
    if (size < 5) return 0;
    double values[9] = {};
    for (int i = 0; i < 9 && 1 + 4 * static_cast<std::size_t>(i) + 4 <= size; ++i)
      values[i] = Big32(data + 1 + 4 * i) / 100000.0;
    colour = ColourFromPng(values[0], size >= 37 ? values + 1 : nullptr);
    if (colour && ColourChannels(colour) != 3) Fail();
  } else {
    const int channels[4] = {3, 1, 4, 3};
    colour = ColourFromIcc(data + 1, size - 1, channels[mode & 3]);
    if (colour && ColourChannels(colour) != channels[mode & 3]) Fail();
  }
  if (colour) ConvertRows(colour);
  ColourFree(colour);
  return 0;
}
