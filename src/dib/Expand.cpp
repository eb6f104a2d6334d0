// Depth expansion: 1 and 4 bits widen to 4 or 8 bits keeping their indices, and every
// palette depth widens to 24 bits through its colour table. Rows keep their storage order.
#include <string>

#include "dib/Convert.h"
#include "dib/ConvertSupport.h"

using namespace convert_detail;

namespace {

// The index of pixel x of a packed row: 1 bit leftmost in the top bit; 4 bits even x in the
// high nibble; 8 bits one byte.
inline unsigned IndexAt(const std::uint8_t* row, std::int64_t x, int bitCount) {
  switch (bitCount) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 4: return (x & 1) ? row[x >> 1] & 0x0Fu : row[x >> 1] >> 4;
    default: return row[x];
  }
}

void Expand(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, int fromBits, int toBits,
            const char* routine) {
  if (source.Header.biBitCount != fromBits || source.Header.biCompression != 0)
    throw EVxDIBBadDIBType(std::string(routine) + ": Invalid Bitcount & Compression Combination");
  CheckSourceRows(source, fromBits, routine);
  const TRows src(source, fromBits);
  const auto stride = static_cast<std::uint64_t>(DIBRowSize(src.Width, toBits));
  TResultMemory memory(stride * static_cast<std::uint64_t>(src.Height), useFMO);
  for (std::int64_t y = 0; y < src.Height; ++y) {
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    std::uint8_t* out = memory.Row(static_cast<std::size_t>(stride), y);
    for (std::int64_t x = 0; x < src.Width; ++x) {
      const unsigned index = IndexAt(in, x, fromBits);
      switch (toBits) {
        case 4:
          if (x & 1)
            out[x >> 1] = static_cast<std::uint8_t>(out[x >> 1] | index);
          else
            out[x >> 1] = static_cast<std::uint8_t>(index << 4);
          break;
        case 8:
          out[x] = static_cast<std::uint8_t>(index);
          break;
        default: {
          // Indices beyond biClrUsed read whatever the 256-entry table holds there.
          const TVxRGBQuad& c = source.ColorTable[index];
          std::uint8_t* p = out + 3 * x;
          p[0] = c.rgbBlue;
          p[1] = c.rgbGreen;
          p[2] = c.rgbRed;
        }
      }
    }
  }
  memory.HandTo(source, result, toBits);
}

}  // namespace

void Convert1BitRGBTo4BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Expand(source, result, useFMO, 1, 4, "Convert1BitRGBTo4BitRGB");
}

void Convert1BitRGBTo8BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Expand(source, result, useFMO, 1, 8, "Convert1BitRGBTo8BitRGB");
}

void Convert4BitRGBTo8BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Expand(source, result, useFMO, 4, 8, "Convert4BitRGBTo8BitRGB");
}

void Convert1BitRGBToTrueColor(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Expand(source, result, useFMO, 1, 24, "Convert1BitRGBToTrueColor");
}

void Convert4BitRGBToTrueColor(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Expand(source, result, useFMO, 4, 24, "Convert4BitRGBToTrueColor");
}

void Convert8BitRGBToTrueColor(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO) {
  Expand(source, result, useFMO, 8, 24, "Convert8BitRGBToTrueColor");
}
