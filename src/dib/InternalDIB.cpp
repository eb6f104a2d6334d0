#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "dib/VxDIB.h"
#include "rtl/BlockPool.h"
#include "platform/Palette.h"

namespace {

bool GDefaultUseFMO = true;


void FreeMappingBlock(const TPooledBlock& block) noexcept {
  // Pooled blocks were checked when they came back; nothing is left to report here.
  platform::UnmapViewOfFile(block.Handle, block.Data);
  platform::CloseMapping(block.Handle);
}

// Both kinds come zero-filled unless the caller overwrites every byte at once.
void AllocateBlock(std::uint32_t size, bool useFMO, bool zeroFill, platform::TMappingHandle& mappingHandle,
                   std::uint8_t*& block) {
  if (!useFMO) {
    block = GetBlock(size, zeroFill);
    mappingHandle = nullptr;
    return;
  }
  // A mapping of 0 bytes cannot be made; the OS says so below.
  const TPooledBlock kept = size == 0 ? TPooledBlock{} : MappingBlockPool().Take(size);
  if (kept.Data) {
    if (zeroFill) std::memset(kept.Data, 0, size);
    mappingHandle = kept.Handle;
    block = kept.Data;
    return;
  }
  // New mappings are zero pages from the OS. Whole granules: a view takes that much
  // address space anyway.
  const std::size_t capacity =
      size == 0 ? 0
                : (TBlockPool::CapacityFor(size) + TBlockPool::Granule - 1) / TBlockPool::Granule * TBlockPool::Granule;
  platform::TMappingHandle h = platform::CreateMapping(capacity);
  if (!h) throw EOutOfResources("GetMemory: Cannot Make File Mapping Object");
  void* view = platform::MapViewOfFile(h);
  if (!view) {
    platform::CloseMapping(h);
    throw EOutOfResources("GetMemory: Cannot Make View of File Map");
  }
  mappingHandle = h;
  block = static_cast<std::uint8_t*>(view);
}

}  // namespace

// Mappings given back, kept for the next image: a fresh mapping's pages fault in one by
// one as the image is written into it.
TBlockPool& MappingBlockPool() noexcept {
  // Never destroyed, like the heap's pool; shutdown empties it.
  // Every mapping is worth keeping: even a one-pixel image costs two system calls afresh.
  static TBlockPool* pool =
      new TBlockPool(FreeMappingBlock, 0, sizeof(void*) >= 8 ? std::size_t{512} << 20 : std::size_t{128} << 20, 8);
  return *pool;
}

void ReleasePooledMemory() noexcept {
  MappingBlockPool().Clear();
  HeapBlockPool().Clear();
}

void TrimPooledMemory(std::size_t floorBytes) noexcept {
  MappingBlockPool().Trim(floorBytes / 2);
  HeapBlockPool().Trim(floorBytes / 2);
}

int ColorCount(int bitCount) noexcept {
  switch (bitCount) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

std::int64_t DIBImageSize(std::int64_t width, std::int64_t height, int bitCount) noexcept {
  if (width <= 0 || bitCount <= 0 || bitCount > 32 || width > MaxBitsSize) return -1;
  const std::int64_t rows = height < 0 ? -height : height;
  if (rows > MaxBitsSize) return -1;
  const std::int64_t row = DIBRowSize(width, bitCount);
  if (rows != 0 && row > MaxBitsSize / rows) return -1;
  return row * rows;
}

void GetMemory(std::uint32_t size, bool useFMO, platform::TMappingHandle& mappingHandle, std::uint8_t*& block) {
  AllocateBlock(size, useFMO, true, mappingHandle, block);
}

void GetMemoryForOverwrite(std::uint32_t size, bool useFMO, platform::TMappingHandle& mappingHandle,
                           std::uint8_t*& block) {
  AllocateBlock(size, useFMO, false, mappingHandle, block);
}

void ReleaseMemory(platform::TMappingHandle mappingHandle, void* block, bool useFMO) {
  if (!useFMO) {
    FreeBlock(block);
    return;
  }
  // A view that the OS knows goes back to the pool; anything else is freed now, and a
  // failure is reported.
  if (const std::size_t capacity = platform::ViewSize(mappingHandle, block); capacity > 0) {
    MappingBlockPool().Put(TPooledBlock{static_cast<std::uint8_t*>(block), capacity, mappingHandle});
    return;
  }
  Assert(platform::UnmapViewOfFile(mappingHandle, block), "ReleaseMemory: Failed To Unmap View of File map");
  Assert(platform::CloseMapping(mappingHandle), "ReleaseMemory: Failed To Close File Map");
}

TVxMemory::TVxMemory(std::uint32_t size, bool useFMO, bool zeroFill) : FSize(size), FUseFMO(useFMO) {
  AllocateBlock(size, useFMO, zeroFill, FMapping, FBits);
}

TVxMemory::TVxMemory(TVxMemory&& other) noexcept
    : FMapping(other.FMapping), FBits(other.FBits), FSize(other.FSize), FUseFMO(other.FUseFMO) {
  other.FMapping = nullptr;
  other.FBits = nullptr;
  other.FSize = 0;
}

TVxMemory& TVxMemory::operator=(TVxMemory&& other) noexcept {
  if (this != &other) {
    Reset();
    FMapping = other.FMapping;
    FBits = other.FBits;
    FSize = other.FSize;
    FUseFMO = other.FUseFMO;
    other.FMapping = nullptr;
    other.FBits = nullptr;
    other.FSize = 0;
  }
  return *this;
}

TVxMemory::~TVxMemory() { Reset(); }

void TVxMemory::Reset() noexcept {
  if (FBits) {
    try {
      ReleaseMemory(FMapping, FBits, FUseFMO);
    } catch (...) {
      // A block that the OS refuses to unmap is lost; a destructor cannot report it.
    }
  }
  FMapping = nullptr;
  FBits = nullptr;
  FSize = 0;
}

void TVxMemory::MoveTo(TVxDIBRecord& record) noexcept {
  record.BitsSize = FSize;
  record.MappingHandle = FMapping;
  record.Bits = FBits;
  FMapping = nullptr;
  FBits = nullptr;
  FSize = 0;
}

TPaletteHandle GetPaletteFromDIBInfos(const TVxDIBRecord& dib) {
  const std::uint32_t count = std::min<std::uint32_t>(dib.Header.biClrUsed, 256);
  if (count == 0) return nullptr;
  platform::TPaletteEntry entries[256];
  for (std::uint32_t i = 0; i < count; ++i)
    entries[i] = {dib.ColorTable[i].rgbRed, dib.ColorTable[i].rgbGreen, dib.ColorTable[i].rgbBlue, 0};
  TPaletteHandle h = platform::CreatePalette(entries, static_cast<int>(count));
  if (!h) throw EOutOfResources("GetPaletteFromDIBInfos: Cannot Make Palette");
  return h;
}

int MaskShift(std::uint32_t mask) noexcept {
  int shift = 0;
  while (mask >= 256) {
    mask >>= 1;
    ++shift;
  }
  while (mask < 128) {
    mask <<= 1;
    --shift;
  }
  return shift;
}

bool DefaultUseFMO() noexcept { return GDefaultUseFMO; }
void SetDefaultUseFMO(bool value) noexcept { GDefaultUseFMO = value; }

TVxInternalDIB::TVxInternalDIB(bool useFMO) : UseFMO(useFMO) { CreateDIB(1, 1, 256, 8); }

TVxInternalDIB::~TVxInternalDIB() { ReleaseStorage(); }

void TVxInternalDIB::ReleaseStorage() noexcept {
  if (ForeignPixels) {
    ForeignPixels.reset();
  } else if (DIB.Bits) {
    try {
      ReleaseMemory(DIB.MappingHandle, DIB.Bits, UseFMO);
    } catch (...) {
      // The OS refused to unmap; nothing left to do but forget the block.
    }
  }
  DIB.BitsSize = 0;
  DIB.MappingHandle = nullptr;
  DIB.Bits = nullptr;
  if (PaletteHandle) {
    platform::DeletePalette(PaletteHandle);
    PaletteHandle = nullptr;
  }
}

void TVxInternalDIB::CreateDIB(int width, int height, int colorCount, int bitCount) {
  if (width <= 0 || height == 0 || colorCount < 0 || colorCount > 256 ||
      (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24))
    throw EVxDIBInvalidDIBPara("TVxInternalDIB.CreateDIB: Invalid Parameters");
  // A size that does not fit the block's 32-bit range names no image we can hold.
  const std::int64_t size = DIBImageSize(width, height, bitCount);
  if (size < 0) throw EVxDIBInvalidDIBPara("TVxInternalDIB.CreateDIB: Invalid Parameters");
  TVxMemory block(static_cast<std::uint32_t>(size), UseFMO);
  block.MoveTo(DIB);
  PaletteHandle = nullptr;
  Width = width;
  Height = height < 0 ? -height : height;
  TVxBitmapInfoHeader& h = DIB.Header;
  h = TVxBitmapInfoHeader{};
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<std::uint16_t>(bitCount);
  h.biCompression = CompressionRGB;
  h.biXPelsPerMeter = 3780;
  h.biYPelsPerMeter = 3780;
  h.biClrUsed = static_cast<std::uint32_t>(colorCount);
  std::memset(DIB.ColorTable, 0, sizeof(DIB.ColorTable));
  PaletteChanged = true;
}

void TVxInternalDIB::UpdatePalette() {
  Assert(RefCount == 1, "TVxInternalDIB.UpdatePalette: RefCount Must be 1");
  if (PaletteHandle) {
    platform::DeletePalette(PaletteHandle);
    PaletteHandle = nullptr;
  }
  PaletteChanged = true;
}

TVxPixelFormat TVxInternalDIB::GetPixelFormat() const {
  const std::uint32_t c = DIB.Header.biCompression;
  switch (DIB.Header.biBitCount) {
    case 1:
      if (c == CompressionRGB) return vxpf1Bit;
      throw EVxDIBInvalidDIB("TVxInternalDIB.GetPixelFormat: Invalid DIB(1Bit)");
    case 4:
      if (c == CompressionRGB) return vxpf4Bit;
      if (c == CompressionRLE4) return vxpf4BitRLE;
      throw EVxDIBInvalidDIB("TVxInternalDIB.GetPixelFormat: Invalid DIB(4Bit)");
    case 8:
      if (c == CompressionRGB) return vxpf8Bit;
      if (c == CompressionRLE8) return vxpf8BitRLE;
      throw EVxDIBInvalidDIB("TVxInternalDIB.GetPixelFormat: Invalid DIB(8Bit)");
    case 24:
      if (c == CompressionRGB) return vxpf24Bit;
      throw EVxDIBInvalidDIB("TVxInternalDIB.GetPixelFormat: Invalid DIB(24Bit)");
    default:
      throw EVxDIBInvalidDIB("TVxInternalDIB.GetPixelFormat: Invalid DIB(Illegal BitCount)");
  }
}

void TVxInternalDIB::MoveInDIB(const TVxDIBRecord& record) noexcept {
  ReleaseStorage();
  DIB = record;
  Width = DIB.Header.biWidth;
  // In 64 bits: a header that no reader accepts must still not overflow here.
  const std::int64_t height = DIB.Header.biHeight;
  Height = static_cast<std::int32_t>(height < 0 ? -height : height);
}
