#pragma once
// Small byte-level helpers shared by the bitmap and the DIB library: palette indices packed
// into rows (most significant bits first, as in every DIB) and little-endian header fields.
#include <cstdint>

inline int GetPixelIndex(const std::uint8_t* row, std::int64_t x, int bits) {
  switch (bits) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    default: return row[x];
  }
}

inline void PutPixelIndex(std::uint8_t* row, std::int64_t x, int bits, int index) {
  switch (bits) {
    case 1: {
      const auto bit = static_cast<std::uint8_t>(0x80 >> (x & 7));
      row[x >> 3] = static_cast<std::uint8_t>(index ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit));
      break;
    }
    case 4:
      if (x & 1)
        row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & 0xF0) | (index & 0x0F));
      else
        row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & 0x0F) | (index & 0x0F) << 4);
      break;
    default: row[x] = static_cast<std::uint8_t>(index);
  }
}

inline std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
