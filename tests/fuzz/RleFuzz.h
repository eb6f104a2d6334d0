#pragma once
// The body of the RLE decoder targets. A stream is decoded from a block of exactly its
// size (the sanitizer catches any read past it); whatever decodes is encoded again and,
// when the encoder's space rule lets it, decoded once more, which must give the same
// pixels with the rows bottom-up and the unused nibble of an odd 4-bit row cleared.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "dib/Rle.h"

namespace rlefuzz {

// Releases a codec's result block.
struct TOwnedRecord {
  TVxDIBRecord Record{};
  TOwnedRecord() = default;
  TOwnedRecord(const TOwnedRecord&) = delete;
  TOwnedRecord& operator=(const TOwnedRecord&) = delete;
  ~TOwnedRecord() {
    if (Record.Bits) ReleaseMemory(Record.MappingHandle, Record.Bits, false);
  }
};

[[noreturn]] inline void Fail() { std::abort(); }

inline constexpr std::int64_t MaxRoundTripPixels = 256 * 1024;

inline int Run(const std::uint8_t* data, std::size_t size, int bitCount) {
  fuzzinput::TRleInput input{};
  if (!fuzzinput::ParseRle(data, size, input)) return 0;
  const std::int64_t height = input.Height < 0 ? -std::int64_t{input.Height} : input.Height;

  const std::vector<std::uint8_t> stream(input.Stream, input.Stream + input.StreamSize);
  TVxDIBRecord source{};
  source.Header.biSize = 40;
  source.Header.biWidth = input.Width;
  source.Header.biHeight = input.Height;
  source.Header.biPlanes = 1;
  source.Header.biBitCount = static_cast<std::uint16_t>(bitCount);
  source.Header.biCompression = bitCount == 8 ? CompressionRLE8 : CompressionRLE4;
  source.Header.biSizeImage = static_cast<std::uint32_t>(stream.size());
  source.BitsSize = static_cast<std::uint32_t>(stream.size());
  source.Bits = stream.empty() ? nullptr : const_cast<std::uint8_t*>(stream.data());
  const auto decode = bitCount == 8 ? Convert8BitRLETo8BitRGB : Convert4BitRLETo4BitRGB;
  const auto encode = bitCount == 8 ? Convert8BitRGBTo8BitRLE : Convert4BitRGBTo4BitRLE;

  TOwnedRecord plain;
  try {
    decode(source, plain.Record, false);
  } catch (const EVxDIBInvalidDIB&) {
    if (plain.Record.Bits) Fail();  // a failing codec leaves the destination alone
    return 0;
  } catch (const EOutOfMemory&) {  // a declared image above the block limit
    if (plain.Record.Bits) Fail();
    return 0;
  }
  const std::int64_t rowSize = (std::int64_t{input.Width} * bitCount + 31) / 32 * 4;
  if (plain.Record.BitsSize != rowSize * height) Fail();
  if (plain.Record.Header.biCompression != 0 || plain.Record.Header.biHeight != input.Height) Fail();

  // The round trip reads and writes every pixel: kept to images small enough for speed.
  if (std::int64_t{input.Width} * height > MaxRoundTripPixels) return 0;
  TOwnedRecord packed;
  try {
    encode(plain.Record, packed.Record, false);
  } catch (const EVxDIBCompressionFailed&) {
    return 0;
  } catch (const EOutOfMemory&) {
    return 0;
  }
  if (packed.Record.BitsSize > plain.Record.BitsSize || packed.Record.Header.biSizeImage != packed.Record.BitsSize ||
      packed.Record.Header.biHeight != height)
    Fail();

  TOwnedRecord again;
  decode(packed.Record, again.Record, false);  // our own stream must decode
  if (again.Record.BitsSize != plain.Record.BitsSize) Fail();
  const bool clearLastNibble = bitCount == 4 && input.Width % 2 == 1;
  const auto lastByte = static_cast<std::size_t>(input.Width / 2);
  std::vector<std::uint8_t> expected(static_cast<std::size_t>(rowSize));
  for (std::int64_t r = 0; r < height; ++r) {
    const std::int64_t sourceRow = input.Height < 0 ? height - 1 - r : r;
    std::memcpy(expected.data(), plain.Record.Bits + sourceRow * rowSize, expected.size());
    if (clearLastNibble) expected[lastByte] &= 0xF0;
    if (std::memcmp(expected.data(), again.Record.Bits + r * rowSize, expected.size()) != 0) Fail();
  }
  return 0;
}

}  // namespace rlefuzz
