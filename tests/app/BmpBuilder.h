#pragma once
// BMP files built byte by byte, with the red-green-blue picture they stand for, so that a
// conversion's output can be judged by its pixels.
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

using TRGB = std::array<std::uint8_t, 3>;

struct TBmpPicture {
  int Width = 0;
  int Height = 0;
  int Bits = 24;             // 1, 4, 8 or 24
  bool TopDown = false;      // negative height in the header
  std::vector<TRGB> Palette; // indexed formats: the colour table
  // The pixel at (x, y), y counted from the top: an index for indexed formats, else
  // ignored in favour of Colour.
  std::function<int(int x, int y)> Index;
  std::function<TRGB(int x, int y)> Colour;
};

// The file: 14-byte file header, 40-byte info header, colour table, padded rows.
std::vector<unsigned char> BuildBmp(const TBmpPicture& picture);
// Top-down red-green-blue pixels of the picture.
std::vector<std::uint8_t> PictureRGB(const TBmpPicture& picture);
// A pattern picture of the depth: colours spread so that every channel and position matters.
TBmpPicture PatternPicture(int width, int height, int bits, bool topDown);
