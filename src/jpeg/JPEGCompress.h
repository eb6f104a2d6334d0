#pragma once
// Baseline JPEG compression of blue-green-red rows into memory, over libjpeg-turbo.
#include <cstddef>
#include <cstdint>
#include <functional>

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
};

// Appends the compressed stream to dest (whose size is then the end of the JPEG data).
// A width or height of 0 appends nothing. Failures: EJPEG "JPEG エラー #code" for the
// library's errors; an exception of the progress handler or of growing dest passes on
// unchanged. Never lets an exception cross the library's frames.
void JPEGCompressBGR(const TJPEGCompressParams& params, TMemoryStream& dest, const TJPEGProgress& progress = {});
