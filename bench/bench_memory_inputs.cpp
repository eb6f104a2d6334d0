// Writes the peak-memory benchmark's inputs into a folder:
//   rgb24.bmp   6000 x 4000, 24 bits   (24 megapixels, 72 MB of pixels)
//   pal8.bmp    6000 x 4000, 8 bits    (24 megapixels, a 256-grey palette)
//   rle8.bmp    20000 x 20000, BI_RLE8 (about 1 KB that declares 400 megapixels)
// The pictures are gradients with a little noise: they compress like a photograph
// rather than like a flat field.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void Put16(std::vector<std::uint8_t>& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// File and info headers; bfSize is patched once the pixels are known.
std::vector<std::uint8_t> Headers(int width, int height, int bits, std::uint32_t compression, int colors) {
  std::vector<std::uint8_t> b;
  b.push_back('B');
  b.push_back('M');
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 14 + 40 + 4 * static_cast<std::uint32_t>(colors));
  Put32(b, 40);
  Put32(b, static_cast<std::uint32_t>(width));
  Put32(b, static_cast<std::uint32_t>(height));
  Put16(b, 1);
  Put16(b, static_cast<unsigned>(bits));
  Put32(b, compression);
  for (int i = 0; i < 3; ++i) Put32(b, 0);
  Put32(b, static_cast<std::uint32_t>(colors));
  Put32(b, 0);
  for (int i = 0; i < colors; ++i) {
    for (int c = 0; c < 3; ++c) b.push_back(static_cast<std::uint8_t>(i));
    b.push_back(0);
  }
  return b;
}

bool Write(const std::string& name, std::vector<std::uint8_t>& b) {
  const auto size = static_cast<std::uint32_t>(b.size());
  for (int i = 0; i < 4; ++i) b[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
  return std::fclose(f) == 0 && ok;
}

std::uint8_t Sample(std::uint32_t& state, int x, int y, int shift) {
  state = state * 1664525u + 1013904223u;
  return static_cast<std::uint8_t>(((x + y + shift) / 24 + (state >> 29)) & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_memory_inputs OUTDIR\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  const int w = 6000, h = 4000;
  std::uint32_t state = 12345;

  std::vector<std::uint8_t> rgb = Headers(w, h, 24, 0, 0);
  const std::size_t rgbRow = (static_cast<std::size_t>(w) * 3 + 3) / 4 * 4;
  rgb.reserve(rgb.size() + rgbRow * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) rgb.push_back(Sample(state, x, y, c * 2000));
    rgb.resize(rgb.size() + rgbRow - static_cast<std::size_t>(w) * 3, 0);
  }
  if (!Write(dir + "rgb24.bmp", rgb)) return 1;
  rgb = {};

  std::vector<std::uint8_t> pal = Headers(w, h, 8, 0, 256);
  pal.reserve(pal.size() + static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pal.push_back(Sample(state, x, y, 0));
  if (!Write(dir + "pal8.bmp", pal)) return 1;
  pal = {};

  // A few coded runs at the bottom, then the end of the bitmap: every other pixel is
  // index 0. What the header declares decides the memory, not what the file holds.
  const int side = 20000;
  std::vector<std::uint8_t> rle = Headers(side, side, 8, 1, 256);
  for (int y = 0; y < 8; ++y) {
    for (int i = 0; i < 8; ++i) {
      rle.push_back(250);
      rle.push_back(static_cast<std::uint8_t>(y * 32 + i * 4));
    }
    rle.push_back(0);
    rle.push_back(0);  // end of line
  }
  rle.push_back(0);
  rle.push_back(1);  // end of bitmap
  if (!Write(dir + "rle8.bmp", rle)) return 1;
  return 0;
}
