#pragma once
// Shared by the conversion units only: row geometry, the owner of a result's pixel memory
// and the filling of a result record.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "dib/VxDIB.h"

namespace convert_detail {

inline std::int64_t AbsHeight(const TVxBitmapInfoHeader& h) {
  return h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight;
}

// Geometry of a record's rows.
struct TRows {
  std::int64_t Width;
  std::int64_t Height;
  std::size_t Stride;
  explicit TRows(const TVxDIBRecord& dib, int bitCount)
      : Width(dib.Header.biWidth),
        Height(AbsHeight(dib.Header)),
        Stride(static_cast<std::size_t>(DIBRowSize(dib.Header.biWidth, bitCount))) {}
};

// The readers keep whatever pixel block a file brings; a conversion checks once, before it
// reads or allocates anything, that the block holds every source row it is about to read.
// Raises EVxDIBInvalidDIB "<routine>: Pixel Data Too Short".
void CheckSourceRows(const TVxDIBRecord& dib, int bitCount, const char* routine);

inline const std::uint8_t* SourceRow(const TVxDIBRecord& dib, std::size_t stride, std::int64_t y) {
  return dib.Bits + static_cast<std::size_t>(y) * stride;
}

// The result's pixel memory from GetMemory. Released again on destruction unless it has been
// handed to a result record: any failure between getting the memory and the end of the
// conversion frees it on the way out.
class TResultMemory {
public:
  TResultMemory(std::uint64_t size, bool useFMO);
  ~TResultMemory();
  TResultMemory(const TResultMemory&) = delete;
  TResultMemory& operator=(const TResultMemory&) = delete;

  std::uint8_t* Bits() const noexcept { return FBits; }
  std::uint32_t Size() const noexcept { return FSize; }
  std::uint8_t* Row(std::size_t stride, std::int64_t y) const noexcept {
    return Bits() + static_cast<std::size_t>(y) * stride;
  }
  // Makes result a copy of source over this memory, with the new depth, no compression and
  // no recorded image size. The memory belongs to result from now on.
  void HandTo(const TVxDIBRecord& source, TVxDIBRecord& result, int bitCount);

private:
  std::uint32_t FSize;
  bool FUseFMO;
  decltype(TVxDIBRecord::MappingHandle) FMapping{};
  std::uint8_t* FBits = nullptr;
};

// Working buffers (histograms, pixel copies): exhaustion is the run-time's out-of-memory error.
template <class T>
std::unique_ptr<T[]> NewBuffer(std::size_t count) {
  try {
    return std::make_unique_for_overwrite<T[]>(count);
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory("Out of memory");
  }
}

}  // namespace convert_detail
