#pragma once
// Run-length codecs between the plain 4- and 8-bit pixel layouts and BI_RLE4 / BI_RLE8.
//
// Each codec reads a source DIB record and fills a destination record: a copy of the
// source with a new pixel block (allocated with GetMemory and the given UseFMO) and the
// header changed for the new layout. The source is never changed. On failure nothing
// allocated by the call survives and the destination is left as it was.
//
// The compressed stream is a sequence of byte pairs:
//
//   n v          n > 0: a run of n pixels of value v (4 bits: v's high nibble, then its
//                low nibble, alternating, starting with the high one)
//   0 0          end of line: next row, column 0
//   0 1          end of bitmap
//   0 2 dx dy    move dx columns right and dy rows up
//   0 n ...      n >= 3: n literal pixels (n bytes, or n nibbles high first), padded to
//                an even number of bytes
#include <cstddef>
#include <cstdint>

#include "dib/VxDIB.h"

// BI_RLE8 (8 bits, compression 1) to plain 8 bits. The result keeps the height's sign,
// has compression 0 and biSizeImage 0; pixels the stream never reaches are index 0.
void Convert8BitRLETo8BitRGB(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO);
// BI_RLE4 (4 bits, compression 2) to plain 4 bits, as above.
void Convert4BitRLETo4BitRGB(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO);
// Plain 8 bits to BI_RLE8. The stream runs bottom-up, so the result's height is positive;
// biSizeImage is the stream's size. A stream that would not fit in the size of the plain
// image raises EVxDIBCompressionFailed.
void Convert8BitRGBTo8BitRLE(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO);
// Plain 4 bits to BI_RLE4, as above.
void Convert4BitRGBTo4BitRLE(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO);

// The encoders' output stage: appends the stream's items to a fixed buffer and checks
// before each item that the buffer keeps the space the item reserves (a run 6 bytes, an
// absolute list its padded length + 6, an end of line 4, the end of bitmap 2); a shortage
// raises EVxDIBCompressionFailed. In the 4-bit form every count is in pixels, cut to the
// pixels left in the row, and the bytes are pixel pairs.
class TVxRleWriter {
public:
  TVxRleWriter(std::uint8_t* buffer, std::size_t size, bool fourBit, std::int32_t width) noexcept
      : FBuffer(buffer), FSize(size), FFourBit(fourBit), FWidth(width) {}

  // Compresses one row of bytes (4 bits: pixel pairs, the last one possibly half padding)
  // and ends it with an end of line. The row must not be empty.
  void WriteRow(const std::uint8_t* row, std::size_t bytes);
  void WriteRun(std::uint8_t count, std::uint8_t value);
  void WriteAbsolute(const std::uint8_t* bytes, std::size_t count);
  void WriteEndOfLine();
  void WriteEndOfBitmap();
  std::size_t Written() const noexcept { return FWritten; }

private:
  void Require(std::size_t bytes) const;
  void Put(std::uint8_t byte) noexcept { FBuffer[FWritten++] = byte; }
  std::uint8_t PixelsFor(std::size_t bytes) noexcept;

  std::uint8_t* FBuffer;
  std::size_t FSize;
  std::size_t FWritten = 0;
  bool FFourBit;
  std::int32_t FWidth;
  std::int64_t FRowPixels = 0;
};
