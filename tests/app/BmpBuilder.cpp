#include "app/BmpBuilder.h"

namespace {

void Put16(std::vector<unsigned char>& out, unsigned v) {
  out.push_back(static_cast<unsigned char>(v));
  out.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

std::vector<unsigned char> BuildBmp(const TBmpPicture& p) {
  const int rowBytes = ((p.Width * p.Bits + 31) / 32) * 4;
  const int colours = p.Bits == 24 ? 0 : static_cast<int>(p.Palette.size());
  const std::uint32_t offBits = 14 + 40 + 4 * static_cast<std::uint32_t>(colours);
  const std::uint32_t imageSize = static_cast<std::uint32_t>(rowBytes * p.Height);
  std::vector<unsigned char> out;
  out.push_back('B');
  out.push_back('M');
  Put32(out, offBits + imageSize);
  Put32(out, 0);
  Put32(out, offBits);
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(p.Width));
  Put32(out, static_cast<std::uint32_t>(p.TopDown ? -p.Height : p.Height));
  Put16(out, 1);
  Put16(out, static_cast<unsigned>(p.Bits));
  Put32(out, 0);  // uncompressed
  Put32(out, imageSize);
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, static_cast<std::uint32_t>(colours));
  Put32(out, 0);
  for (int i = 0; i < colours; ++i) {
    const TRGB& c = p.Palette[static_cast<std::size_t>(i)];
    out.push_back(c[2]);
    out.push_back(c[1]);
    out.push_back(c[0]);
    out.push_back(0);
  }
  for (int fileRow = 0; fileRow < p.Height; ++fileRow) {
    const int y = p.TopDown ? fileRow : p.Height - 1 - fileRow;
    std::vector<unsigned char> row(static_cast<std::size_t>(rowBytes), 0);
    for (int x = 0; x < p.Width; ++x) {
      if (p.Bits == 24) {
        const TRGB c = p.Colour(x, y);
        row[static_cast<std::size_t>(x * 3)] = c[2];
        row[static_cast<std::size_t>(x * 3 + 1)] = c[1];
        row[static_cast<std::size_t>(x * 3 + 2)] = c[0];
      } else {
        const int bit = x * p.Bits;
        row[static_cast<std::size_t>(bit / 8)] |= static_cast<unsigned char>(p.Index(x, y) << (8 - p.Bits - bit % 8));
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

std::vector<std::uint8_t> PictureRGB(const TBmpPicture& p) {
  std::vector<std::uint8_t> rgb;
  rgb.reserve(static_cast<std::size_t>(p.Width * p.Height * 3));
  for (int y = 0; y < p.Height; ++y)
    for (int x = 0; x < p.Width; ++x) {
      const TRGB c = p.Bits == 24 ? p.Colour(x, y) : p.Palette[static_cast<std::size_t>(p.Index(x, y))];
      rgb.insert(rgb.end(), c.begin(), c.end());
    }
  return rgb;
}

TBmpPicture PatternPicture(int width, int height, int bits, bool topDown) {
  TBmpPicture p;
  p.Width = width;
  p.Height = height;
  p.Bits = bits;
  p.TopDown = topDown;
  if (bits == 24) {
    p.Colour = [width, height](int x, int y) {
      return TRGB{static_cast<std::uint8_t>(x * 255 / std::max(width - 1, 1)),
                  static_cast<std::uint8_t>(y * 255 / std::max(height - 1, 1)),
                  static_cast<std::uint8_t>((x * 7 + y * 13) % 256)};
    };
    return p;
  }
  const int count = 1 << bits;
  // Pure red first: a swapped byte order shows at once.
  p.Palette.push_back({255, 0, 0});
  for (int i = 1; i < count; ++i)
    p.Palette.push_back({static_cast<std::uint8_t>(i * 37 % 256), static_cast<std::uint8_t>(i * 91 % 256),
                         static_cast<std::uint8_t>(255 - i * 53 % 256)});
  p.Index = [count](int x, int y) { return (x / 2 + y * 3) % count; };
  return p;
}
