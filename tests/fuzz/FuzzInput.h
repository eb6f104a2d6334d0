#pragma once
// Input layouts of the fuzz targets, shared with the unit tests that write the seed corpus.
//
// RLE targets: width (unsigned 16, little-endian), height (signed 16; negative is a
// top-down image), then the compressed stream.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzinput {

// Images beyond this many pixels are skipped, so that a target never allocates more
// than a few tens of megabytes per input.
inline constexpr std::int64_t MaxPixels = 16 * 1024 * 1024;

inline constexpr std::size_t RleHeaderSize = 4;

struct TRleInput {
  std::int32_t Width;
  std::int32_t Height;
  const std::uint8_t* Stream;
  std::size_t StreamSize;
};

// False when the input is too short for its header.
inline bool ParseRle(const std::uint8_t* data, std::size_t size, TRleInput& input) {
  if (size < RleHeaderSize) return false;
  input.Width = data[0] | data[1] << 8;
  input.Height = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[2] | data[3] << 8));
  input.Stream = data + RleHeaderSize;
  input.StreamSize = size - RleHeaderSize;
  return true;
}

inline std::vector<std::uint8_t> MakeRle(std::uint16_t width, std::int16_t height,
                                         const std::vector<std::uint8_t>& stream) {
  const auto h = static_cast<std::uint16_t>(height);
  std::vector<std::uint8_t> input;
  input.reserve(RleHeaderSize + stream.size());
  input.push_back(static_cast<std::uint8_t>(width & 0xFF));
  input.push_back(static_cast<std::uint8_t>(width >> 8));
  input.push_back(static_cast<std::uint8_t>(h & 0xFF));
  input.push_back(static_cast<std::uint8_t>(h >> 8));
  input.insert(input.end(), stream.begin(), stream.end());
  return input;
}

// BMP and packed-DIB targets take the bytes as they are; these read the few header
// fields that decide whether an input stays within the size limits.
inline std::uint32_t ReadU32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint16_t ReadU16(const std::uint8_t* p) noexcept { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Largest pixel block a BMP file may announce (bfSize - bfOffBits): enough for 16 M
// pixels of 32 bits.
inline constexpr std::int64_t MaxBitsSize = MaxPixels * 4;

// The image described by a 40- or 12-byte header at `header` stays within MaxPixels.
// Other headers pass (the reader rejects them).
inline bool HeaderWithinLimits(const std::uint8_t* header, std::size_t available) noexcept {
  if (available < 4) return true;
  const std::uint32_t headerSize = ReadU32(header);
  std::int64_t width = 0;
  std::int64_t height = 0;
  if (headerSize == 40 && available >= 12) {
    width = static_cast<std::int32_t>(ReadU32(header + 4));
    height = static_cast<std::int32_t>(ReadU32(header + 8));
  } else if (headerSize == 12 && available >= 8) {
    width = ReadU16(header + 4);
    height = ReadU16(header + 6);
  }
  if (width < 0) width = -width;
  if (height < 0) height = -height;
  return width * height <= MaxPixels;
}

// A BMP file within the limits: its image and the block it announces.
inline bool BmpWithinLimits(const std::uint8_t* data, std::size_t size) noexcept {
  if (size < 14) return true;
  const auto bitsSize = static_cast<std::int32_t>(ReadU32(data + 2) - ReadU32(data + 10));
  return bitsSize <= MaxBitsSize && HeaderWithinLimits(data + 14, size - 14);
}

}  // namespace fuzzinput
