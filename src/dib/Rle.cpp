// Run-length codecs (BI_RLE8, BI_RLE4).
//
// Decoding walks the stream pair by pair with a cursor (x, y) and writes straight into a
// zero-filled block of plain rows, so pixels the stream skips stay index 0. Every item is
// checked against the compressed block before it is read and against the rows before it
// is written: a stream that ends early, or lacks its end-of-bitmap pair, is an error, as is
// a run, literal or delta that leaves the image. The column limit is the width, rounded up
// to even for 4 bits (a 4-bit row's last byte always holds two pixel slots).
//
// Encoding compresses each row with a small state machine over the row's bytes (for 4
// bits, pixel pairs):
//
//   empty --b--> single(p) --b == p--> run(p, 2) --b == p, c < limit--> run(p, c + 1)
//                          --b != p--> literal(p, b)
//   literal(q1..qk) --b != qk, k < limit--> append b
//                   --b == qk--> write q1..qk-1 as absolute, then run(qk, 2)
//
// so two equal neighbours always start a run and a literal list never holds them. Rows go
// out bottom-up whatever the source order. The stream is collected in a scratch buffer of
// the plain image's size; each item first checks that enough of the buffer is left
// (TVxRleWriter), which makes small or incompressible images fail rather than grow.
#include "dib/Rle.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

struct TGeometry {
  std::int64_t Width;
  std::int64_t Height;   // absolute
  std::int64_t RowSize;  // plain rows, padded to 4 bytes
  std::int64_t Size;     // Height rows
};

TGeometry GetGeometry(const TVxDIBRecord& record, int bitCount, const std::string& codec) {
  const std::int64_t width = record.Header.biWidth;
  const std::int64_t height = record.Header.biHeight;
  if (width <= 0 || height == 0) throw EVxDIBInvalidDIB(codec + ": Invalid Width or Height");
  const std::int64_t size = DIBImageSize(width, height, bitCount);
  if (size < 0) throw EVxDIBInvalidDIB(codec + ": Image Too Large");
  return TGeometry{width, height < 0 ? -height : height, DIBRowSize(width, bitCount), size};
}

struct TDecoder {
  const char* Codec;
  int BitCount;
  std::uint32_t Compression;
  const char* EndOfLineError;
  const char* DeltaError;
  const char* AbsoluteError;
  const char* RunError;
};

constexpr TDecoder Rle8Decoder{"Convert8BitRLETo8BitRGB", 8, 1,
                               "Convert8BitRLETo8BitRGB: Bad RLE Data 1", "Convert8BitRLETo8BitRGB: Bad RLE Data 2",
                               "Convert8BitRLETo8BitRGB: Bad RLE Data 3", "Convert8BitRLETo8BitRGB: Bad RLE Data 4"};
constexpr TDecoder Rle4Decoder{"Convert4BitRLETo4BitRGB", 4, 2,
                               "Convert4BitRLETo4BitRGB: Bad RLE Data 5", "Convert4BitRLETo4BitRGB: Bad RLE Data 6",
                               "Convert4BitRLETo4BitRGB: Bad RLE Data 7", "Convert4BitRLETo4BitRGB: Bad RLE Data 8"};

// Sets pixel x of a 4-bit row: an even column takes the high nibble and clears the low
// one, an odd column is or-ed into the low nibble.
inline void PutNibble(std::uint8_t* row, std::int64_t x, std::uint8_t pixel) noexcept {
  std::uint8_t& b = row[x / 2];
  if (x % 2 == 0)
    b = static_cast<std::uint8_t>(pixel << 4);
  else
    b = static_cast<std::uint8_t>(b | (pixel & 0x0F));
}

void DecodeStream(const TDecoder& d, const std::uint8_t* src, std::size_t srcSize, const TGeometry& g,
                  std::uint8_t* out) {
  const bool fourBit = d.BitCount == 4;
  const std::int64_t limit = fourBit ? (g.Width + 1) / 2 * 2 : g.Width;
  const std::string truncated = std::string(d.Codec) + ": Unexpected End of RLE Data";
  std::size_t pos = 0;  // never beyond srcSize
  auto need = [&](std::size_t bytes) {
    if (srcSize - pos < bytes) throw EVxDIBInvalidDIB(truncated);
  };
  std::int64_t x = 0;
  std::int64_t y = 0;
  for (;;) {
    need(2);
    const std::uint8_t first = src[pos];
    const std::uint8_t second = src[pos + 1];
    pos += 2;
    if (first > 0) {
      if (x + first > limit || y >= g.Height) throw EVxDIBInvalidDIB(d.RunError);
      std::uint8_t* row = out + y * g.RowSize;
      if (fourBit) {
        const std::uint8_t nibbles[2] = {static_cast<std::uint8_t>(second >> 4),
                                         static_cast<std::uint8_t>(second & 0x0F)};
        for (int i = 0; i < first; ++i) PutNibble(row, x + i, nibbles[i % 2]);
      } else {
        std::memset(row + x, second, first);
      }
      x += first;
    } else if (second == 0) {  // end of line; one directly after the last row is fine
      ++y;
      x = 0;
      if (y > g.Height) throw EVxDIBInvalidDIB(d.EndOfLineError);
    } else if (second == 1) {
      return;
    } else if (second == 2) {
      need(2);
      x += src[pos];
      y += src[pos + 1];
      pos += 2;
      if (x > limit || y > g.Height) throw EVxDIBInvalidDIB(d.DeltaError);
    } else {
      const int n = second;
      if (x + n > limit || y >= g.Height) throw EVxDIBInvalidDIB(d.AbsoluteError);
      const std::size_t bytes = fourBit ? static_cast<std::size_t>(n + 1) / 2 : static_cast<std::size_t>(n);
      const std::size_t padded = bytes + bytes % 2;
      need(padded);
      std::uint8_t* row = out + y * g.RowSize;
      if (fourBit) {
        for (int i = 0; i < n; ++i) {
          const std::uint8_t b = src[pos + static_cast<std::size_t>(i / 2)];
          PutNibble(row, x + i, static_cast<std::uint8_t>(i % 2 == 0 ? b >> 4 : b & 0x0F));
        }
      } else {
        std::memcpy(row + x, src + pos, bytes);
      }
      pos += padded;
      x += n;
    }
  }
}

void Decode(const TDecoder& d, const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO) {
  if (source.Header.biBitCount != d.BitCount || source.Header.biCompression != d.Compression)
    throw EVxDIBBadDIBType(std::string(d.Codec) + ": Invalid Bitcount & Compression Combination");
  const TGeometry g = GetGeometry(source, d.BitCount, d.Codec);
  const std::size_t srcSize = source.Bits ? static_cast<std::size_t>(source.BitsSize) : 0;

  TVxMemory block(static_cast<std::uint32_t>(g.Size), useFMO);
  DecodeStream(d, source.Bits, srcSize, g, block.Bits());

  TVxDIBRecord result = source;
  block.MoveTo(result);
  result.Header.biCompression = 0;
  result.Header.biSizeImage = 0;
  dest = result;
}

struct TEncoder {
  const char* Codec;
  int BitCount;
  std::uint32_t Compression;  // of the result
};

constexpr TEncoder Rle8Encoder{"Convert8BitRGBTo8BitRLE", 8, 1};
constexpr TEncoder Rle4Encoder{"Convert4BitRGBTo4BitRLE", 4, 2};

void Encode(const TEncoder& e, const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO) {
  if (source.Header.biBitCount != e.BitCount || source.Header.biCompression != 0)
    throw EVxDIBBadDIBType(std::string(e.Codec) + ": Invalid Bitcount & Compression Combination");
  const TGeometry g = GetGeometry(source, e.BitCount, e.Codec);
  if (!source.Bits || static_cast<std::int64_t>(source.BitsSize) < g.Size)
    throw EVxDIBInvalidDIB(std::string(e.Codec) + ": Pixel Data Too Short");

  const bool fourBit = e.BitCount == 4;
  const std::uint8_t* bits = source.Bits;
  const bool topDown = source.Header.biHeight < 0;
  const auto rowBytes = static_cast<std::size_t>(fourBit ? (g.Width + 1) / 2 : g.Width);

  // The stream may not outgrow the plain image, so that is all the room it gets.
  TVxMemory scratch(static_cast<std::uint32_t>(g.Size), false, false);
  TVxRleWriter writer(scratch.Bits(), static_cast<std::size_t>(g.Size), fourBit,
                      static_cast<std::int32_t>(g.Width));
  for (std::int64_t r = 0; r < g.Height; ++r) {
    const std::int64_t sourceRow = topDown ? g.Height - 1 - r : r;
    writer.WriteRow(bits + sourceRow * g.RowSize, rowBytes);
  }
  writer.WriteEndOfBitmap();

  const auto size = static_cast<std::uint32_t>(writer.Written());
  TVxMemory block(size, useFMO, false);
  std::memcpy(block.Bits(), scratch.Bits(), size);

  TVxDIBRecord result = source;
  block.MoveTo(result);
  result.Header.biCompression = e.Compression;
  result.Header.biSizeImage = size;
  result.Header.biHeight = static_cast<std::int32_t>(g.Height);
  dest = result;
}

}  // namespace

void TVxRleWriter::WriteRow(const std::uint8_t* row, std::size_t count) {
  const std::size_t limit = FFourBit ? 127 : 255;  // bytes; 254 pixels for 4 bits
  if (count == 0) {
    WriteEndOfLine();
    return;
  }
  enum { Single, Run, Literal } state = Single;
  std::uint8_t pending[255];
  std::size_t k = 1;  // bytes in pending (literal) or the run's count (run)
  pending[0] = row[0];
  for (std::size_t i = 1; i < count; ++i) {
    const std::uint8_t b = row[i];
    switch (state) {
    case Single:
      if (b == pending[0]) {
        state = Run;
        k = 2;
      } else {
        pending[1] = b;
        k = 2;
        state = Literal;
      }
      break;
    case Run:
      if (b == pending[0] && k < limit) {
        ++k;
      } else {
        WriteRun(static_cast<std::uint8_t>(k), pending[0]);
        pending[0] = b;
        k = 1;
        state = Single;
      }
      break;
    case Literal:
      if (b == pending[k - 1]) {
        WriteAbsolute(pending, k - 1);
        pending[0] = b;
        k = 2;
        state = Run;
      } else if (k < limit) {
        pending[k++] = b;
      } else {
        WriteAbsolute(pending, k);
        pending[0] = b;
        k = 1;
        state = Single;
      }
      break;
    }
  }
  switch (state) {
  case Single: WriteRun(1, pending[0]); break;
  case Run: WriteRun(static_cast<std::uint8_t>(k), pending[0]); break;
  case Literal: WriteAbsolute(pending, k); break;
  }
  WriteEndOfLine();
}

void TVxRleWriter::Require(std::size_t bytes) const {
  if (FSize - FWritten < bytes)
    throw EVxDIBCompressionFailed(FFourBit ? "Convert4BitRGBTo4BitRLE: Compression Failed"
                                           : "Convert8BitRGBTo8BitRLE: Compression Failed");
}

// The 4-bit counts are pixels: two per byte, but never past the row's width (an odd
// width leaves the last byte's low nibble as padding).
std::uint8_t TVxRleWriter::PixelsFor(std::size_t bytes) noexcept {
  const std::int64_t pixels = std::min<std::int64_t>(static_cast<std::int64_t>(bytes) * 2, FWidth - FRowPixels);
  FRowPixels += pixels;
  return static_cast<std::uint8_t>(pixels);
}

void TVxRleWriter::WriteRun(std::uint8_t count, std::uint8_t value) {
  Require(6);
  Put(FFourBit ? PixelsFor(count) : count);
  Put(value);
}

void TVxRleWriter::WriteAbsolute(const std::uint8_t* bytes, std::size_t count) {
  Assert(count > 0, FFourBit ? "Convert4BitRGBTo4BitRLE: WriteAbsolute Error"
                             : "Convert8BitRGBTo8BitRLE: WriteAbsolute Error");
  Require((count + 1) / 2 * 2 + 6);
  // Counts 1 and 2 would read as end of line / end of bitmap / delta: write them as runs.
  if (count <= (FFourBit ? 1u : 2u)) {
    for (std::size_t i = 0; i < count; ++i) WriteRun(1, bytes[i]);
    return;
  }
  Put(0);
  Put(FFourBit ? PixelsFor(count) : static_cast<std::uint8_t>(count));
  for (std::size_t i = 0; i < count; ++i) Put(bytes[i]);
  if (count % 2 != 0) Put(0);
}

void TVxRleWriter::WriteEndOfLine() {
  Require(4);
  Put(0);
  Put(0);
  FRowPixels = 0;
}

void TVxRleWriter::WriteEndOfBitmap() {
  Require(2);
  Put(0);
  Put(1);
}

void Convert8BitRLETo8BitRGB(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO) {
  Decode(Rle8Decoder, source, dest, useFMO);
}

void Convert4BitRLETo4BitRGB(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO) {
  Decode(Rle4Decoder, source, dest, useFMO);
}

void Convert8BitRGBTo8BitRLE(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO) {
  Encode(Rle8Encoder, source, dest, useFMO);
}

void Convert4BitRGBTo4BitRLE(const TVxDIBRecord& source, TVxDIBRecord& dest, bool useFMO) {
  Encode(Rle4Encoder, source, dest, useFMO);
}
