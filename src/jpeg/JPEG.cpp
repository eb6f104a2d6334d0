#include "jpeg/JPEG.h"

#include <string>
#include <utility>

#include "rtl/Exception.h"
#include "rtl/File.h"

TJPEGDefaults JPEGDefaults;

TVX_DEFINE_CLASS(TJPEGImage, TGraphic)

TJPEGImage::TJPEGImage() : Options(JPEGDefaults), FData(std::make_shared<TJPEGData>()) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::Assign(const TPersistent* source) {
  if (source == nullptr) {
    FData = std::make_shared<TJPEGData>();
    FBitmap.reset();
    FMetadata = TImageMetadata{};
    Changed(this);
    return;
  }
  if (source->InheritsFrom(TJPEGImage::ClassInfo())) {
    const auto& jpeg = static_cast<const TJPEGImage&>(*source);
    if (&jpeg == this) return;
    std::unique_ptr<TBitmap> bitmap;
    if (jpeg.FBitmap) {
      bitmap = std::make_unique<TBitmap>();
      bitmap->Assign(jpeg.FBitmap.get());
    }
    TImageMetadata metadata = jpeg.FMetadata;
    FData = jpeg.FData;
    FBitmap = std::move(bitmap);
    FMetadata = std::move(metadata);
    Changed(this);
    return;
  }
  if (const auto* given = dynamic_cast<const TBitmap*>(source)) {
    // Both parts are made before the object changes, so a failure leaves it as it was.
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->Assign(given);
    auto data = std::make_shared<TJPEGData>();
    FData = std::move(data);
    FBitmap = std::move(bitmap);
    FMetadata = TImageMetadata{};
    Changed(this);
    return;
  }
  TGraphic::Assign(source);
}

void TJPEGImage::CompressInto(TJPEGData& data) const {
  data.Data.Clear();
  data.Compressed = false;
  if (FBitmap && FBitmap->Width() > 0 && FBitmap->Height() > 0) {
    // The private copy shares the pixels; converting it makes 24-bit pixels of its own
    // only when the bitmap has another format. The rows are read in place.
    TBitmap copy;
    copy.Assign(FBitmap.get());
    copy.SetPixelFormat(pf24bit);
    const TBitmap& rows = copy;
    TJPEGCompressParams params;
    params.Width = rows.Width();
    params.Height = rows.Height();
    params.TopRow = rows.ScanLine(0);
    // Rows lie bottom-up in the bitmap's block: each row below is one row back.
    params.RowStride = -static_cast<std::ptrdiff_t>(rows.RowBytes());
    params.Quality = Options.CompressionQuality;
    params.Grayscale = Options.Grayscale;
    params.Progressive = Options.ProgressiveEncoding;
    params.Exif = FMetadata.Exif;
    params.Xmp = FMetadata.Xmp;
    params.Icc = FMetadata.Icc;
    data.Width = params.Width;
    data.Height = params.Height;
    data.Grayscale = Options.Grayscale;
    // The object's progress handler hears the library's progress; nothing in the
    // program sets one.
    TJPEGImage* self = const_cast<TJPEGImage*>(this);
    TJPEGProgress progress;
    if (OnProgress)
      progress = [self](TProgressStage stage, std::uint8_t percent) {
        self->Progress(self, stage, percent, false, TRect{}, "");
      };
    JPEGCompressBGR(params, data.Data, progress);
  }
  data.Compressed = true;
}

void TJPEGImage::Compress() {
  if (FData->Compressed) return;
  CompressInto(*FData);
}

void TJPEGImage::FreeBitmap() noexcept {
  if (!FData->Compressed) return;
  FBitmap.reset();
  FMetadata = TImageMetadata{};
}

void TJPEGImage::SetMetadata(TImageMetadata metadata) {
  std::shared_ptr<TJPEGData> data = FData->Compressed && FBitmap ? std::make_shared<TJPEGData>() : FData;
  FMetadata = std::move(metadata);
  FData = std::move(data);
}

void TJPEGImage::SaveToFile(const std::filesystem::path& fileName) const {
  // Compressing first means a failure leaves the file system untouched.
  const_cast<TJPEGImage*>(this)->Compress();
  TMemoryStream& stream = FData->Data;
  SaveBytesReplacing(fileName, stream.Memory(), static_cast<std::size_t>(stream.Size()));
}

void TJPEGImage::SaveToStream(TStream& stream) const {
  const_cast<TJPEGImage*>(this)->Compress();
  TMemoryStream& data = FData->Data;
  if (data.Size() > 0) stream.WriteBuffer(data.Memory(), data.Size());
}

void TJPEGImage::LoadFromStream(TStream&) {
  throw EInvalidGraphic("TJPEGImage.LoadFromStream: JPEG decoding is not supported");
}

void TJPEGImage::LoadFromClipboardFormat(std::uint16_t, TGlobalHandle, TPaletteHandle) {
  throw EInvalidGraphic("TJPEGImage.LoadFromClipboardFormat: Unsupported clipboard format");
}

void TJPEGImage::SaveToClipboardFormat(std::uint16_t&, TGlobalHandle&, TPaletteHandle&) const {
  throw EInvalidGraphic("TJPEGImage.SaveToClipboardFormat: Unsupported clipboard format");
}

// The program never shows a JPEG object, and without a decoder there is nothing of its
// own to draw.
void TJPEGImage::Draw(TCanvas&, const TRect&) {}

bool TJPEGImage::GetEmpty() const { return FBitmap == nullptr && !FData->Compressed; }

int TJPEGImage::GetWidth() const { return FBitmap ? FBitmap->Width() : FData->Width; }

int TJPEGImage::GetHeight() const { return FBitmap ? FBitmap->Height() : FData->Height; }

void TJPEGImage::SetWidth(int) {}

void TJPEGImage::SetHeight(int) {}

void JPEGInitialize(int screenBitsPerPixel) {
  JPEGDefaults.PixelFormat = screenBitsPerPixel <= 8 ? jf8Bit : jf24Bit;
  TPicture::RegisterFileFormat("jpeg", "JPEG イメージファイル", TJPEGImage::ClassInfo());
  TPicture::RegisterFileFormat("jpg", "JPEG イメージファイル", TJPEGImage::ClassInfo());
}

void JPEGFinalize() {
  TPicture::UnregisterGraphicClass(TJPEGImage::ClassInfo());
  JPEGDefaults = TJPEGDefaults{};
}
