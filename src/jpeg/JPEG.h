#pragma once
// The JPEG image object: a graphic class whose compressed data lives in a shared,
// reference-counted holder, made from a picture assigned to it and written to a file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "graphics/Graphic.h"
#include "jpeg/JPEGCompress.h"
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

// A picture as the compressor takes it: 24-bit blue-green-red rows, the top row at
// TopRow and each row below at TopRow + y * RowStride. Owner keeps the pixels alive
// (they are shared with the picture they came from, never copied for their own sake).
struct TJPEGPicture {
  int Width = 0;
  int Height = 0;
  const std::uint8_t* TopRow = nullptr;
  std::ptrdiff_t RowStride = 0;
  std::shared_ptr<const void> Owner;
};

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

  // From a JPEG object: shares its data and picture. From nil: empty. From a picture
  // that the JPEG side knows (see SetPictureSource): a fresh, empty data holder and the
  // picture's pixels, shared. Anything else: the source's AssignTo.
  void Assign(const TPersistent* source) override;

  // Produces the compressed data from the picture if there is none yet.
  void Compress();
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
  // The size comes from the picture; these do nothing.
  void SetWidth(int value) override;
  void SetHeight(int value) override;

  // The options, copied from JPEGDefaults at creation.
  TJPEGDefaults Options;

  const TJPEGData& Data() const noexcept { return *FData; }
  const TJPEGPicture& Picture() const noexcept { return FPicture; }
  // Takes the picture with a fresh, empty data holder (assignment without a graphic).
  void SetPicture(TJPEGPicture picture);

private:
  void NewData();
  void CompressInto(TJPEGData& data) const;

  std::shared_ptr<TJPEGData> FData;
  TJPEGPicture FPicture;
};

// How a graphic class other than TJPEGImage becomes a JPEG picture: fills picture from
// source and returns true, or returns false for a source it does not take. The picture
// library that owns the bitmap class sets this at start-up.
using TJPEGPictureSource = bool (*)(const TPersistent& source, TJPEGPicture& picture);
void SetJPEGPictureSource(TJPEGPictureSource source) noexcept;

struct TVxDIBRecord;

// The rows of a DIB as the compressor takes them: a 24-bit uncompressed DIB's own pixels
// (keep holds whatever keeps them alive); any other DIB is expanded through its colour
// table (run-length data unpacked first) into a block that the picture owns. The DIB
// library's errors pass on unchanged.
TJPEGPicture DIBRecordPicture(const TVxDIBRecord& dib, bool useFMO, std::shared_ptr<const void> keep);

// Writes size bytes as the whole content of fileName: into a new file beside it first,
// then moved over the name. Failures raise EFCreateError naming fileName (never the
// file beside it, which is removed); the old file, if any, stays as it was.
void SaveBytesReplacing(const std::filesystem::path& fileName, const void* data, std::size_t size);

// Start-up: the decoding pixel format from the screen's bits per pixel (8-bit at 8 or
// fewer, as a screen that cannot be asked answers 0), and "jpeg"/"jpg" in the picture
// registry. Shutdown withdraws the registrations.
void JPEGInitialize(int screenBitsPerPixel);
void JPEGFinalize();
