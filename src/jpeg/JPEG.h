#pragma once
// The JPEG image object: a graphic class whose compressed data lives in a shared,
// reference-counted holder, made from a picture assigned to it and written to a file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "graphics/Bitmap.h"
#include "graphics/Graphic.h"
#include "jpeg/JPEGCompress.h"
#include "meta/Metadata.h"
#include "rtl/Stream.h"

enum TJPEGPerformance : std::uint8_t { jpBestQuality, jpBestSpeed };
enum TJPEGPixelFormat : std::uint8_t { jf24Bit, jf8Bit };
enum TJPEGScale : std::uint8_t { jsFullSize, jsHalf, jsQuarter, jsEighth };

// The options every new JPEG object starts with; eight one-byte fields in this order.
// Only quality, grayscale and progressive encoding affect what is written.
struct TJPEGDefaults {
  std::uint8_t CompressionQuality = 90;
  bool Grayscale = false;
  TJPEGPerformance Performance = jpBestQuality;
  TJPEGPixelFormat PixelFormat = jf24Bit;
  bool ProgressiveDisplay = false;
  bool ProgressiveEncoding = false;
  TJPEGScale Scale = jsFullSize;
  bool Smoothing = true;
};
static_assert(sizeof(TJPEGDefaults) == 8);

// Written once at start-up (JPEGInitialize), read by every new JPEG object.
extern TJPEGDefaults JPEGDefaults;

// The compressed stream with the size it was made for. Shared by JPEG objects assigned
// from one another; freed with the last of them.
class TJPEGData {
public:
  TMemoryStream Data;
  int Width = 0;
  int Height = 0;
  bool Grayscale = false;
  bool Compressed = false;  // Data holds the whole stream (empty for a 0-sized picture)

  // The length of the compressed stream (the stream's own Size() is not const).
  std::int64_t DataSize() const { return const_cast<TMemoryStream&>(Data).Size(); }
};

class TJPEGImage : public TGraphic {
  TVX_DECLARE_CLASS
public:
  TJPEGImage();
  ~TJPEGImage() override;

  // From a JPEG object: shares its data, and its bitmap's pixels. From nil: empty. From a
  // bitmap: a fresh, empty data holder and a bitmap of the object's own assigned from the
  // given one (sharing its pixels; the given bitmap may go away). Anything else: the
  // source's AssignTo.
  void Assign(const TPersistent* source) override;

  // Produces the compressed data from the bitmap if there is none yet: a private copy of
  // the bitmap converted to 24 bits (sharing the pixels when they are 24-bit already)
  // hands its rows to the library, top row first.
  void Compress();
  // Lets go of the bitmap, the pixels it shares and the metadata, once the data is
  // compressed: the object then stands for its data alone (a batch holds many such objects until each
  // is saved in turn). Does nothing before that.
  void FreeBitmap() noexcept;
  // The EXIF block, XMP packet and ICC profile that the compressed data carries (see
  // TJPEGCompressParams: a block too large for its segments is left out). Data compressed
  // before is dropped while the bitmap is there to compress again. Assigning a picture
  // other than a JPEG object's clears them; without them the data is what it always was.
  void SetMetadata(TImageMetadata metadata);
  const TImageMetadata& Metadata() const noexcept { return FMetadata; }
  // The compressed data first, then the file: written beside the name and moved over
  // it in one step, so a failure never leaves a partial or empty file where one stood.
  void SaveToFile(const std::filesystem::path& fileName) const override;
  void SaveToStream(TStream& stream) const override;
  // Reading JPEG data is not part of this program: these raise EInvalidGraphic.
  void LoadFromStream(TStream& stream) override;
  void LoadFromClipboardFormat(std::uint16_t format, TGlobalHandle data, TPaletteHandle palette) override;
  void SaveToClipboardFormat(std::uint16_t& format, TGlobalHandle& data, TPaletteHandle& palette) const override;

  void Draw(TCanvas& canvas, const TRect& rect) override;
  bool GetEmpty() const override;
  int GetWidth() const override;
  int GetHeight() const override;
  // The size comes from the bitmap; these do nothing.
  void SetWidth(int value) override;
  void SetHeight(int value) override;

  // The options, copied from JPEGDefaults at creation.
  TJPEGDefaults Options;

  const TJPEGData& Data() const noexcept { return *FData; }
  // The object's own bitmap; null until a bitmap is assigned.
  const TBitmap* Bitmap() const noexcept { return FBitmap.get(); }

private:
  void CompressInto(TJPEGData& data) const;

  std::shared_ptr<TJPEGData> FData;
  std::unique_ptr<TBitmap> FBitmap;
  TImageMetadata FMetadata;
};

// Start-up: the decoding pixel format from the screen's bits per pixel (8-bit at 8 or
// fewer, as a screen that cannot be asked answers 0), and "jpeg"/"jpg" in the picture
// registry. Shutdown withdraws the registrations.
void JPEGInitialize(int screenBitsPerPixel);
void JPEGFinalize();
