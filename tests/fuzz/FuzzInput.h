#pragma once
// Input layouts of the fuzz targets, shared with the unit tests that write the seed corpus.
//
// RLE targets: width (unsigned 16, little-endian), height (signed 16; negative is a
// top-down image), then the compressed stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtl/BlockPool.h"

namespace fuzzinput {

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

// Memory is bounded by libFuzzer's own limits, not by skipping large headers: a target
// reads -malloc_limit_mb (else -rss_limit_mb, else libFuzzer's 2048) from its command
// line, and the allocation seam refuses any block above it, so a huge declared image
// runs the program's out-of-memory path instead of tripping libFuzzer's malloc limit.
// What does not go through the seam stays under libFuzzer's watch.
inline std::size_t GBlockLimit = std::size_t{2048} << 20;

// Room for the block's own header and the allocator's bookkeeping, which libFuzzer
// counts against its limit too.
inline constexpr std::size_t BlockOverhead = 4096;

inline bool WithinBlockLimit(std::size_t size) noexcept { return size <= GBlockLimit - BlockOverhead; }

inline void InstallLimits(int argc, char** argv) {
  long rss = 2048, mallocMb = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-rss_limit_mb=", 0) == 0) rss = std::atol(arg.c_str() + 14);
    if (arg.rfind("-malloc_limit_mb=", 0) == 0) mallocMb = std::atol(arg.c_str() + 17);
  }
  const long limit = mallocMb > 0 ? mallocMb : rss;
  if (limit > 0) GBlockLimit = static_cast<std::size_t>(limit) << 20;
  SetAllocationHook(WithinBlockLimit);
}

}  // namespace fuzzinput
