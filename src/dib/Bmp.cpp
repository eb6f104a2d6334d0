// The BMP file and packed-DIB (CF_DIB) forms of a storage: the two readers, which keep
// 1-, 4-, 8- and 24-bit data as stored and turn 16- and 32-bit data into 24 bits, and the
// two writers, which always write a 40-byte header.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dib/VxDIB.h"
#include "graphics/DibFormat.h"
#include "graphics/PixelAccess.h"
#include "platform/Memory.h"

namespace {

constexpr std::int32_t DefaultResolution = 3780;
constexpr std::uint32_t FileHeaderSize = BmpFileHeaderSize;
constexpr std::uint32_t InfoHeaderSize = BmpInfoHeaderSize;
constexpr std::uint32_t CoreHeaderSize = BmpCoreHeaderSize;
constexpr std::uint32_t MasksSize = 12;

constexpr char StreamReader[] = "TVxInternalDIB.LoadFromStream";
constexpr char ClipboardReader[] = "TVxInternalDIB.LoadFromClipboardFormat";

// What a header (40 or 12 bytes, as parsed) says about the table area behind it: the
// bit-field masks, then the colour entries.
struct TTableArea {
  std::uint32_t Entries;    // biClrUsed, or ColorCount when 0; a 12-byte header always ColorCount
  std::uint32_t EntrySize;  // RGBQUAD 4, RGBTRIPLE 3
  std::uint32_t MaskBytes;  // 12 for BI_BITFIELDS behind a 40-byte header
  // Bytes as stored, and the bytes of it that the record keeps (masks and 256 entries).
  std::int64_t Bytes() const noexcept { return MaskBytes + static_cast<std::int64_t>(Entries) * EntrySize; }
  std::int64_t KeptBytes() const noexcept {
    return MaskBytes + static_cast<std::int64_t>(std::min<std::uint32_t>(Entries, 256)) * EntrySize;
  }
};

TTableArea TableAreaOf(const TVxBitmapInfoHeader& h) {
  const auto colors = static_cast<std::uint32_t>(ColorCount(h.biBitCount));
  if (h.biSize == CoreHeaderSize) return TTableArea{colors, 3, 0};
  return TTableArea{h.biClrUsed ? h.biClrUsed : colors, 4,
                    h.biCompression == CompressionBitFields ? MasksSize : 0};
}

// The 12-byte OS/2 header (as parsed) as a 40-byte one; the table's RGBTRIPLEs, already at
// the start of the table area, become RGBQUADs.
void ConvertCoreHeader(TVxDIBRecord& dib) {
  TVxBitmapInfoHeader& h = dib.Header;
  h.biSize = InfoHeaderSize;
  h.biCompression = CompressionRGB;
  h.biSizeImage = 0;
  h.biXPelsPerMeter = DefaultResolution;
  h.biYPelsPerMeter = DefaultResolution;
  h.biClrUsed = static_cast<std::uint32_t>(ColorCount(h.biBitCount));
  h.biClrImportant = 0;
  const std::uint8_t* table = dib.TableBytes();
  // Backwards, so that no triple is overwritten before it is read.
  for (int i = static_cast<int>(h.biClrUsed) - 1; i >= 0; --i) {
    const std::uint8_t* t = table + 3 * i;
    dib.ColorTable[i] = TVxRGBQuad{t[0], t[1], t[2], 0};
  }
}

// The most negative height has no magnitude in 32 bits: it names no image, whatever the
// compression, and must not reach the |height| of the storage.
void CheckWidthAndHeight(const TVxBitmapInfoHeader& h) {
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN)
    throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromStream: Invalid Width or Height");
}

// Both readers, once the table area is in the record: the header and table in the
// storage's form (40-byte header, RGBQUADs, resolutions set, at most 256 entries), then
// the width and height checked.
void FinishHeader(TVxDIBRecord& dib, const TTableArea& area) {
  TVxBitmapInfoHeader& h = dib.Header;
  if (h.biSize == CoreHeaderSize) {
    ConvertCoreHeader(dib);
  } else {
    if (h.biXPelsPerMeter == 0) h.biXPelsPerMeter = DefaultResolution;
    if (h.biYPelsPerMeter == 0) h.biYPelsPerMeter = DefaultResolution;
    h.biClrUsed = std::min<std::uint32_t>(area.Entries, 256);
  }
  CheckWidthAndHeight(h);
}

[[noreturn]] void Fail(const char* reader, const char* text) {
  throw EVxDIBInvalidDIB(std::string(reader) + ": " + text);
}

// The pixel block of 1-, 4-, 8- and 24-bit data must hold something, and uncompressed
// data every row the header describes, so that no consumer reads past it.
void CheckPixelBlock(const char* reader, const TVxBitmapInfoHeader& h, std::int64_t blockSize) {
  if (blockSize <= 0 || blockSize > MaxBitsSize) Fail(reader, "Invalid Pixel Data Size");
  if (h.biCompression != CompressionRGB) return;
  const std::int64_t need = DIBImageSize(h.biWidth, h.biHeight, h.biBitCount);
  if (need < 0) Fail(reader, "Image Too Large");
  if (blockSize < need) Fail(reader, "Pixel Data Too Short");
}

// 16- and 32-bit data turned into 24 bits, row by row, in the order stored (so a
// top-down image stays top-down). The rows are the header's: the stream reader reads them
// whatever bfSize says; a packed DIB's block (blockSize >= 0) must hold them.
class TTrueColorConverter {
public:
  static constexpr std::int64_t RowsFromStream = -1;

  TTrueColorConverter(const char* reader, TVxDIBRecord& dib, std::int64_t blockSize) : FDib(dib) {
    const TVxBitmapInfoHeader& h = dib.Header;
    FBits = h.biBitCount;
    // Masks come only from BI_BITFIELDS; any other compression names data we cannot read.
    if (h.biCompression != CompressionRGB && h.biCompression != CompressionBitFields)
      Fail(reader, "Invalid Compression");
    FWidth = h.biWidth;
    FRows = h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight;
    FSourceRow = DIBRowSize(FWidth, FBits);
    const std::int64_t destSize = DIBImageSize(FWidth, FRows, 24);
    if (destSize < 0 || FSourceRow > MaxBitsSize / FRows) Fail(reader, "Image Too Large");
    if (blockSize != RowsFromStream) {
      if (blockSize <= 0 || blockSize > MaxBitsSize) Fail(reader, "Invalid Pixel Data Size");
      if (blockSize < FSourceRow * FRows) Fail(reader, "Pixel Data Too Short");
    }
    FDestRow = DIBRowSize(FWidth, 24);
    FDestSize = static_cast<std::uint32_t>(destSize);

    std::uint32_t masks[3];
    if (h.biCompression == CompressionBitFields) {
      for (int i = 0; i < 3; ++i) masks[i] = Le32(dib.TableBytes() + 4 * i);
    } else if (FBits == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else {
      masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
    }
    for (int i = 0; i < 3; ++i) {
      if (masks[i] == 0) throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromStream: Invalid Masks");
      FMask[i] = masks[i];
      FShift[i] = MaskShift(masks[i]);
      FMax[i] = FShift[i] >= 0 ? masks[i] >> FShift[i] : masks[i] << -FShift[i];
    }
  }

  std::int64_t Rows() const noexcept { return FRows; }
  std::size_t SourceRowSize() const noexcept { return static_cast<std::size_t>(FSourceRow); }
  std::uint32_t DestSize() const noexcept { return FDestSize; }

  void ConvertRow(const std::uint8_t* src, std::uint8_t* dest) const {
    std::memset(dest + FDestRow - 4, 0, 4);
    for (std::int64_t x = 0; x < FWidth; ++x) {
      const std::uint32_t p = FBits == 16 ? Le16(src + 2 * x) : Le32(src + 4 * x);
      std::uint8_t* d = dest + 3 * x;
      d[0] = Channel(p, 2);
      d[1] = Channel(p, 1);
      d[2] = Channel(p, 0);
    }
  }

  // The header and table as a 24-bit image: the palette after the masks moves to the front.
  void Finish(TVxMemory& block) {
    TVxBitmapInfoHeader& h = FDib.Header;
    if (h.biCompression == CompressionBitFields)
      std::memmove(FDib.TableBytes(), FDib.TableBytes() + MasksSize, 256 * sizeof(TVxRGBQuad));
    h.biCompression = CompressionRGB;
    h.biBitCount = 24;
    h.biSizeImage = 0;
    block.MoveTo(FDib);
  }

private:
  std::uint8_t Channel(std::uint32_t p, int i) const {
    const std::uint32_t masked = p & FMask[i];
    const std::uint32_t v = FShift[i] >= 0 ? masked >> FShift[i] : masked << -FShift[i];
    return static_cast<std::uint8_t>(v * 255u / FMax[i]);
  }

  TVxDIBRecord& FDib;
  int FBits = 0;
  std::int64_t FWidth = 0;
  std::int64_t FRows = 0;
  std::int64_t FSourceRow = 0;
  std::int64_t FDestRow = 0;
  std::uint32_t FDestSize = 0;
  std::uint32_t FMask[3]{};
  int FShift[3]{};
  std::uint32_t FMax[3]{};
};

void Skip(TStream& stream, std::int64_t count) {
  if (count > 0) stream.Seek(count, soCurrent);
}

// A block larger than what is left of the stream cannot be read; fail as the read would,
// before allocating it.
void CheckRemaining(TStream& stream, std::int64_t count) {
  const std::int64_t position = stream.Position();
  const std::int64_t size = stream.Size();
  // A position past the end (bfOffBits beyond the file) leaves nothing to read.
  if (position >= 0 && size >= 0 && count > std::max<std::int64_t>(size - position, 0))
    throw EReadError("Stream read error");
}

}  // namespace

void TVxInternalDIB::LoadFromStream(TStream& stream) {
  std::uint8_t bytes[FileHeaderSize];
  stream.ReadBuffer(bytes, FileHeaderSize);
  const TBmpFileHeader file = ParseBmpFileHeader(bytes);
  if (file.Type != BmpFileType) throw EVxDIBInvalidDIBFile("TVxInternalDIB.LoadFromFile: File type is invalid");
  // Signed: bfSize may lie before bfOffBits.
  const std::int64_t blockSize = static_cast<std::int64_t>(file.Size) - file.OffBits;

  TVxDIBRecord dib;
  std::uint8_t header[InfoHeaderSize]{};
  stream.ReadBuffer(header, 4);
  const std::uint32_t headerSize = Le32(header);
  if (headerSize != InfoHeaderSize && headerSize != CoreHeaderSize)
    throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromStream: Invalid Bitmap Header Size");
  stream.ReadBuffer(header + 4, headerSize - 4);
  dib.Header = ParseBmpInfoHeader(header);
  const int bitCount = dib.Header.biBitCount;
  if (headerSize == InfoHeaderSize) {
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
      throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromStream: Invalid BitCout");
  } else if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24) {
    throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromStream: Invalid BitCount");
  }
  const TTableArea area = TableAreaOf(dib.Header);
  stream.ReadBuffer(dib.TableBytes(), area.KeptBytes());
  Skip(stream, area.Bytes() - area.KeptBytes());
  const std::int64_t tableEnd = FileHeaderSize + headerSize + area.Bytes();
  if (file.OffBits < tableEnd) throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromFile: bfOffBits is too small");
  Skip(stream, file.OffBits - tableEnd);
  FinishHeader(dib, area);

  TVxMemory block;
  switch (dib.Header.biBitCount) {
    case 1:
    case 4:
    case 8:
    case 24:
      CheckPixelBlock(StreamReader, dib.Header, blockSize);
      CheckRemaining(stream, blockSize);
      block = TVxMemory(static_cast<std::uint32_t>(blockSize), UseFMO, false);
      stream.ReadBuffer(block.Bits(), blockSize);
      block.MoveTo(dib);
      break;
    case 16:
    case 32: {
      TTrueColorConverter converter(StreamReader, dib, TTrueColorConverter::RowsFromStream);
      CheckRemaining(stream, static_cast<std::int64_t>(converter.SourceRowSize()) * converter.Rows());
      block = TVxMemory(converter.DestSize(), UseFMO);
      // The row buffer is as wide as the header says, so it comes through the same
      // allocator as the picture, which refuses what it cannot hold.
      const TVxMemory row(static_cast<std::uint32_t>(converter.SourceRowSize()), false, false);
      const std::size_t destRow = static_cast<std::size_t>(DIBRowSize(dib.Header.biWidth, 24));
      for (std::int64_t r = 0; r < converter.Rows(); ++r) {
        stream.ReadBuffer(row.Bits(), static_cast<std::int64_t>(converter.SourceRowSize()));
        converter.ConvertRow(row.Bits(), block.Bits() + static_cast<std::size_t>(r) * destRow);
      }
      converter.Finish(block);
      break;
    }
    default:
      throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromStream: Invalid biBitCount");
  }

  MoveInDIB(dib);
  UpdatePalette();
}

void TVxInternalDIB::AdoptPixels(const TVxBitmapInfoHeader& header, const void* table, std::uint8_t* pixels,
                                 std::uint32_t size, std::unique_ptr<TForeignPixels> owner) {
  TVxDIBRecord dib;
  dib.Header = header;
  const int bitCount = header.biBitCount;
  if (header.biSize != InfoHeaderSize || header.biCompression != CompressionRGB ||
      (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24))
    throw EVxDIBInvalidDIB("TVxInternalDIB.AdoptPixels: Invalid DIB");
  const TTableArea area = TableAreaOf(dib.Header);
  std::memcpy(dib.TableBytes(), table, static_cast<std::size_t>(area.KeptBytes()));
  FinishHeader(dib, area);
  CheckPixelBlock("TVxInternalDIB.AdoptPixels", dib.Header, size);
  dib.Bits = pixels;
  dib.BitsSize = size;
  MoveInDIB(dib);
  ForeignPixels = std::move(owner);
  UpdatePalette();
}

void TVxInternalDIB::SaveToStream(TStream& stream) const {
  const std::uint32_t colors = std::min<std::uint32_t>(DIB.Header.biClrUsed, 256);
  const std::uint32_t offBits = FileHeaderSize + InfoHeaderSize + 4 * colors;
  std::vector<std::uint8_t> head(offBits);
  FormatBmpFileHeader(TBmpFileHeader{BmpFileType, offBits + DIB.BitsSize, offBits}, head.data());
  FormatBmpInfoHeader(DIB.Header, head.data() + FileHeaderSize);
  std::memcpy(head.data() + FileHeaderSize + InfoHeaderSize, DIB.ColorTable, 4 * colors);
  stream.WriteBuffer(head.data(), static_cast<std::int64_t>(head.size()));
  if (DIB.Bits) stream.WriteBuffer(DIB.Bits, DIB.BitsSize);
}

void TVxInternalDIB::LoadFromClipboardFormat(TGlobalHandle handle) {
  constexpr char InvalidData[] = "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Data";
  platform::TGlobalLock lock(handle);
  const auto* data = static_cast<const std::uint8_t*>(lock.Get());
  const std::int64_t size = static_cast<std::int64_t>(platform::GlobalSize(handle));
  if (!data || size < 4) throw EVxDIBInvalidDIB(InvalidData);

  TVxDIBRecord dib;
  const std::uint32_t headerSize = Le32(data);
  if ((headerSize != InfoHeaderSize && headerSize != CoreHeaderSize) || size < headerSize)
    throw EVxDIBInvalidDIB(InvalidData);
  dib.Header = ParseBmpInfoHeader(data);
  const TTableArea area = TableAreaOf(dib.Header);
  // The table must lie inside the block.
  const std::int64_t headerLength = headerSize + area.Bytes();
  if (headerLength > size) throw EVxDIBInvalidDIB(InvalidData);
  std::memcpy(dib.TableBytes(), data + headerSize, static_cast<std::size_t>(area.KeptBytes()));
  FinishHeader(dib, area);

  const std::int64_t blockSize = size - headerLength;
  const std::uint8_t* pixels = data + headerLength;
  TVxMemory block;
  switch (dib.Header.biBitCount) {
    case 1:
    case 4:
    case 8:
    case 24:
      CheckPixelBlock(ClipboardReader, dib.Header, blockSize);
      block = TVxMemory(static_cast<std::uint32_t>(blockSize), UseFMO, false);
      std::memcpy(block.Bits(), pixels, static_cast<std::size_t>(blockSize));
      block.MoveTo(dib);
      break;
    case 16:
    case 32: {
      TTrueColorConverter converter(ClipboardReader, dib, blockSize);
      block = TVxMemory(converter.DestSize(), UseFMO);
      const std::size_t destRow = static_cast<std::size_t>(DIBRowSize(dib.Header.biWidth, 24));
      for (std::int64_t r = 0; r < converter.Rows(); ++r)
        converter.ConvertRow(pixels + static_cast<std::size_t>(r) * converter.SourceRowSize(),
                             block.Bits() + static_cast<std::size_t>(r) * destRow);
      converter.Finish(block);
      break;
    }
    default:
      throw EVxDIBInvalidDIB("TVxInternalDIB.LoadFromClipboardFormat: Invalid biBitCount");
  }

  MoveInDIB(dib);
  UpdatePalette();
}

TGlobalHandle TVxInternalDIB::SaveToClipboardFormat() const {
  const std::uint32_t colors = std::min<std::uint32_t>(DIB.Header.biClrUsed, 256);
  const std::size_t infoSize = InfoHeaderSize + 4 * colors;
  const std::size_t size = infoSize + DIB.BitsSize;
  TGlobalHandle handle = platform::GlobalAllocZeroed(size);
  if (!handle) throw EOutOfMemory("TVxInternalDIB.SaveToClipboardFormat: Out Of Memory");
  {
    platform::TGlobalLock lock(handle);
    auto* p = static_cast<std::uint8_t*>(lock.Get());
    if (!p) {
      platform::GlobalFree(handle);
      throw EOutOfMemory("TVxInternalDIB.SaveToClipboardFormat: Out Of Memory");
    }
    FormatBmpInfoHeader(DIB.Header, p);
    std::memcpy(p + InfoHeaderSize, DIB.ColorTable, 4 * colors);
    if (DIB.Bits) std::memcpy(p + infoSize, DIB.Bits, DIB.BitsSize);
  }
  return handle;
}
