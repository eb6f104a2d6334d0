#pragma once
// Builds BMP files and packed DIBs byte by byte, for any header size, bit depth and
// compression, including malformed ones (every field can be set to any value).
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

struct TBmpColor {
  std::uint8_t Blue = 0, Green = 0, Red = 0;
};

struct TBmpBuilder {
  // File header. Unset sizes are computed from what is written.
  std::uint16_t Type = 0x4D42;
  std::optional<std::uint32_t> FileSize;
  std::optional<std::uint32_t> OffBits;

  // Info header: 40 (BITMAPINFOHEADER), 12 (BITMAPCOREHEADER, 16-bit fields), or any other
  // size (written as a 40-byte header padded with zeros or cut to HeaderSize).
  std::uint32_t HeaderSize = 40;
  std::int32_t Width = 1;
  std::int32_t Height = 1;
  std::uint16_t Planes = 1;
  std::uint16_t BitCount = 8;
  std::uint32_t Compression = 0;
  std::uint32_t SizeImage = 0;
  std::int32_t XPelsPerMeter = 2835;
  std::int32_t YPelsPerMeter = 2835;
  std::uint32_t ClrUsed = 0;
  std::uint32_t ClrImportant = 0;

  std::vector<std::uint32_t> Masks;  // written right after the header when not empty
  std::vector<TBmpColor> Palette;    // RGBQUAD entries (RGBTRIPLE for a 12-byte header)
  std::size_t Gap = 0;               // zero bytes between the table and the pixels
  std::vector<std::uint8_t> Pixels;  // the pixel block as stored

  static void Put(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  // Header, masks and colour table: the packed DIB without its pixels.
  std::vector<std::uint8_t> BuildInfo() const {
    std::vector<std::uint8_t> out;
    if (HeaderSize == 12) {
      Put(out, 12, 4);
      Put(out, static_cast<std::uint32_t>(Width), 2);
      Put(out, static_cast<std::uint32_t>(Height), 2);
      Put(out, Planes, 2);
      Put(out, BitCount, 2);
    } else {
      Put(out, HeaderSize, 4);
      Put(out, static_cast<std::uint32_t>(Width), 4);
      Put(out, static_cast<std::uint32_t>(Height), 4);
      Put(out, Planes, 2);
      Put(out, BitCount, 2);
      Put(out, Compression, 4);
      Put(out, SizeImage, 4);
      Put(out, static_cast<std::uint32_t>(XPelsPerMeter), 4);
      Put(out, static_cast<std::uint32_t>(YPelsPerMeter), 4);
      Put(out, ClrUsed, 4);
      Put(out, ClrImportant, 4);
      out.resize(HeaderSize < 4 ? 4 : HeaderSize, 0);
    }
    for (std::uint32_t m : Masks) Put(out, m, 4);
    for (const TBmpColor& c : Palette) {
      out.push_back(c.Blue);
      out.push_back(c.Green);
      out.push_back(c.Red);
      if (HeaderSize != 12) out.push_back(0);
    }
    return out;
  }

  std::vector<std::uint8_t> Build() const {
    const std::vector<std::uint8_t> info = BuildInfo();
    const auto off = static_cast<std::uint32_t>(14 + info.size() + Gap);
    std::vector<std::uint8_t> out;
    Put(out, Type, 2);
    Put(out, FileSize.value_or(off + static_cast<std::uint32_t>(Pixels.size())), 4);
    Put(out, 0, 4);
    Put(out, OffBits.value_or(off), 4);
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), Gap, 0);
    out.insert(out.end(), Pixels.begin(), Pixels.end());
    return out;
  }

  // The CF_DIB form: header, masks, table, pixels; no file header.
  std::vector<std::uint8_t> BuildPacked() const {
    std::vector<std::uint8_t> out = BuildInfo();
    out.insert(out.end(), Pixels.begin(), Pixels.end());
    return out;
  }

  // Bytes of one row at a bit depth: padded to 4.
  static std::size_t RowSize(int width, int bits) {
    return static_cast<std::size_t>((static_cast<long long>(width) * bits + 31) / 32 * 4);
  }

  // Rows in stored order, row r taking value(x, r) for each pixel: an index for 1, 4 and
  // 8 bits, 0x00RRGGBB for 24 and 32 bits, the raw value for 16 bits. Padding is 0.
  static std::vector<std::uint8_t> Rows(int width, int rows, int bits,
                                        const std::function<std::uint32_t(int x, int r)>& value) {
    const std::size_t rowSize = RowSize(width, bits);
    std::vector<std::uint8_t> out(rowSize * static_cast<std::size_t>(rows), 0);
    for (int r = 0; r < rows; ++r) {
      std::uint8_t* row = out.data() + rowSize * static_cast<std::size_t>(r);
      for (int x = 0; x < width; ++x) {
        const std::uint32_t v = value(x, r);
        switch (bits) {
          case 1: row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (v & 1) << (7 - x % 8)); break;
          case 4: row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | (v & 15) << (x % 2 ? 0 : 4)); break;
          case 8: row[x] = static_cast<std::uint8_t>(v); break;
          case 16:
            row[x * 2] = static_cast<std::uint8_t>(v);
            row[x * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
            break;
          case 24:
            row[x * 3] = static_cast<std::uint8_t>(v);
            row[x * 3 + 1] = static_cast<std::uint8_t>(v >> 8);
            row[x * 3 + 2] = static_cast<std::uint8_t>(v >> 16);
            break;
          case 32:
            for (int i = 0; i < 4; ++i) row[x * 4 + i] = static_cast<std::uint8_t>(v >> (8 * i));
            break;
          default: break;
        }
      }
    }
    return out;
  }

  // A palette of n entries whose entry i is (blue i, green 255 - i, red i * 7 mod 256):
  // distinct colours, easy to compute in an expectation.
  static std::vector<TBmpColor> RampPalette(int n) {
    std::vector<TBmpColor> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
      p[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                                        static_cast<std::uint8_t>(i * 7)};
    return p;
  }
};
