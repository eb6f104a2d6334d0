#include "dib/ConvertSupport.h"

#include <limits>
#include <string>

namespace convert_detail {

void CheckSourceRows(const TVxDIBRecord& dib, int bitCount, const char* routine) {
  const std::int64_t width = dib.Header.biWidth;
  const std::int64_t height = dib.Header.biHeight;
  if (width <= 0 || height == 0) return;  // no row is read
  // Beyond MaxBitsSize (-1) no block can hold the rows.
  const std::int64_t need = DIBImageSize(width, height, bitCount);
  if (need < 0 || !dib.Bits || static_cast<std::int64_t>(dib.BitsSize) < need)
    throw EVxDIBInvalidDIB(std::string(routine) + ": Pixel Data Too Short");
}

TResultMemory::TResultMemory(std::uint64_t size, bool useFMO) : FSize(0), FUseFMO(useFMO) {
  // A block's size is a 32-bit field of the record: anything larger cannot be described.
  if (size > std::numeric_limits<std::uint32_t>::max()) throw EOutOfMemory("Out of memory");
  FSize = static_cast<std::uint32_t>(size);
  GetMemory(FSize, useFMO, FMapping, FBits);
}

TResultMemory::~TResultMemory() {
  // Only reached with memory still owned while an error unwinds: that error is the one
  // to report, so a failing release must not replace it.
  if (!FBits) return;
  try {
    ReleaseMemory(FMapping, FBits, FUseFMO);
  } catch (...) {
  }
}

void TResultMemory::HandTo(const TVxDIBRecord& source, TVxDIBRecord& result, int bitCount) {
  if (&result != &source) result = source;
  result.BitsSize = FSize;
  result.MappingHandle = FMapping;
  result.Bits = FBits;
  result.Header.biBitCount = static_cast<std::uint16_t>(bitCount);
  result.Header.biCompression = 0;
  result.Header.biSizeImage = 0;
  FMapping = {};
  FBits = nullptr;
}

}  // namespace convert_detail
