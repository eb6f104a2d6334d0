#pragma once
// Decoding and reference encoding with libjpeg itself, to judge our output by its pixels.
#include <cstdint>
#include <string>
#include <vector>

struct TDecodedJPEG {
  int Width = 0;
  int Height = 0;
  int Components = 0;
  std::vector<std::uint8_t> Pixels;  // rows top-down, red-green-blue
  std::string Error;                 // empty when the data decoded
};

TDecodedJPEG DecodeJPEG(const std::uint8_t* data, std::size_t size);
inline TDecodedJPEG DecodeJPEG(const std::vector<std::uint8_t>& data) { return DecodeJPEG(data.data(), data.size()); }

// What "cjpeg -quality 90" makes of a 24-bit PPM with these red-green-blue rows
// (top-down): the library's defaults, quality 90.
std::vector<std::uint8_t> ReferenceJPEG(int width, int height, const std::vector<std::uint8_t>& rgb);

// A deterministic test picture, red-green-blue, top-down: smooth ramps with some
// pseudo-random detail, so every colour channel and block position matters.
std::vector<std::uint8_t> TestPictureRGB(int width, int height, unsigned seed);

// The same picture as a bottom-up blue-green-red DIB with rows padded to 4 bytes.
std::vector<std::uint8_t> ToBottomUpBGR(int width, int height, const std::vector<std::uint8_t>& rgb);
