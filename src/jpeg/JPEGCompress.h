#pragma once
// Baseline JPEG compression of blue-green-red rows into memory, over libjpeg-turbo.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "graphics/Graphic.h"
#include "rtl/Exception.h"

// Any failure reported by libjpeg; the message carries the library's message code.
class EJPEG : public EInvalidGraphic { public: using EInvalidGraphic::EInvalidGraphic; };

// Progress of one compression: stage and percentage done.
using TJPEGProgress = std::function<void(TProgressStage stage, std::uint8_t percentDone)>;

struct TJPEGCompressParams {
  int Width = 0;
  int Height = 0;
  // The top picture row, then each row below it at TopRow + y * RowStride (negative for a
  // bottom-up layout). Pixels are 3 bytes: blue, green, red.
  const std::uint8_t* TopRow = nullptr;
  std::ptrdiff_t RowStride = 0;
  int Quality = 90;
  bool Grayscale = false;
  bool Progressive = false;
  // Written after the JFIF header, in this order: the EXIF block (its TIFF structure) as an
  // APP1 "Exif" segment, the XMP packet as an APP1 segment, the ICC profile as APP2
  // "ICC_PROFILE" chunks. Each is left out when empty or larger than its segments allow.
  std::span<const std::uint8_t> Exif{};
  std::span<const std::uint8_t> Xmp{};
  std::span<const std::uint8_t> Icc{};
};

// The most each block can be: the EXIF block what a segment's 65533 bytes hold after
// "Exif\0\0"; the XMP packet the 65502 bytes that XMP allows a packet in a JPEG; the profile
// 255 chunks of 65519 bytes.
inline constexpr std::size_t JPEGMaxExifBytes = 65533 - 6;
inline constexpr std::size_t JPEGMaxXmpBytes = 65502;
inline constexpr std::size_t JPEGMaxIccBytes = std::size_t{255} * 65519;

// Appends the compressed stream to dest (whose size is then the end of the JPEG data).
// A width or height of 0 appends nothing. Failures: EJPEG "JPEG エラー #code" for the
// library's errors; an exception of the progress handler or of growing dest passes on
// unchanged. Never lets an exception cross the library's frames.
void JPEGCompressBGR(const TJPEGCompressParams& params, TMemoryStream& dest, const TJPEGProgress& progress = {});
