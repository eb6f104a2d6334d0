#include "jpeg/JPEG.h"

#include "dib/Convert.h"
#include "dib/Rle.h"
#include "dib/VxDIB.h"

namespace {

// A record made for the compressor alone; its pixel block goes with it.
struct TOwnedRecord {
  TVxDIBRecord Record;
  bool UseFMO = false;
  explicit TOwnedRecord(bool useFMO) : UseFMO(useFMO) {}
  TOwnedRecord(const TOwnedRecord&) = delete;
  TOwnedRecord& operator=(const TOwnedRecord&) = delete;
  ~TOwnedRecord() {
    if (Record.Bits) ReleaseMemory(Record.MappingHandle, Record.Bits, UseFMO);
  }
};

}  // namespace

TJPEGPicture DIBRecordPicture(const TVxDIBRecord& dib, bool useFMO, std::shared_ptr<const void> keep) {
  const TVxDIBRecord* rows = &dib;
  std::shared_ptr<const void> owner = std::move(keep);
  const auto& h = dib.Header;
  if (!(h.biBitCount == 24 && h.biCompression == CompressionRGB)) {
    // Run-length data is unpacked first; then the colour table makes 24-bit pixels.
    std::shared_ptr<TOwnedRecord> plain;
    const TVxDIBRecord* indexed = &dib;
    if (h.biCompression == CompressionRLE8 || h.biCompression == CompressionRLE4) {
      plain = std::make_shared<TOwnedRecord>(useFMO);
      if (h.biCompression == CompressionRLE8)
        Convert8BitRLETo8BitRGB(dib, plain->Record, useFMO);
      else
        Convert4BitRLETo4BitRGB(dib, plain->Record, useFMO);
      indexed = &plain->Record;
    }
    auto expanded = std::make_shared<TOwnedRecord>(useFMO);
    switch (indexed->Header.biBitCount) {
      case 1: Convert1BitRGBToTrueColor(*indexed, expanded->Record, useFMO); break;
      case 4: Convert4BitRGBToTrueColor(*indexed, expanded->Record, useFMO); break;
      default: Convert8BitRGBToTrueColor(*indexed, expanded->Record, useFMO); break;
    }
    rows = &expanded->Record;
    owner = std::move(expanded);
  }
  TJPEGPicture picture;
  picture.Width = rows->Header.biWidth;
  picture.Height = rows->Header.biHeight < 0 ? -rows->Header.biHeight : rows->Header.biHeight;
  if (picture.Width > 0 && picture.Height > 0 && rows->Bits) {
    const auto stride = static_cast<std::ptrdiff_t>(DIBRowSize(picture.Width, 24));
    // Rows run bottom-up unless the height is negative.
    if (rows->Header.biHeight < 0) {
      picture.TopRow = rows->Bits;
      picture.RowStride = stride;
    } else {
      picture.TopRow = rows->Bits + stride * (picture.Height - 1);
      picture.RowStride = -stride;
    }
  }
  picture.Owner = std::move(owner);
  return picture;
}
