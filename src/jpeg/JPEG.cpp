#include "jpeg/JPEG.h"

#include <atomic>
#include <string>
#include <system_error>
#include <utility>

#include "platform/File.h"
#include "rtl/Exception.h"

TJPEGDefaults JPEGDefaults;

namespace {

[[noreturn]] void RaiseCreateError(const std::filesystem::path& fileName, const std::string& reason) {
  throw EFCreateError(FCreateErrorText(fileName, reason));
}

// A name for the new content beside the final file, in its folder so that the move
// over the final name stays on one volume. The counter keeps two saves of one process
// apart; CreateNew keeps us off anything that exists.
std::filesystem::path SideName(const std::filesystem::path& fileName, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path side = fileName;
  side += ".tavex-" + std::to_string(counter++) + "-" + std::to_string(attempt) + ".tmp";
  return side;
}

}  // namespace

void SaveBytesReplacing(const std::filesystem::path& fileName, const void* data, std::size_t size) {
  std::string reason;
  if (!fileName.has_filename()) {
    // No name to put anything beside: let the OS say why the name itself cannot be made.
    platform::TFile probe = platform::TFile::Open(fileName, platform::TFileAccess::ReadWrite,
                                                  platform::TFileShare::Exclusive,
                                                  platform::TFileCreate::OpenExisting, reason);
    RaiseCreateError(fileName, probe.IsOpen() ? "Is a directory" : reason);
  }

  std::filesystem::path side;
  platform::TFile file;
  for (unsigned attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
    side = SideName(fileName, attempt);
    file = platform::TFile::Open(side, platform::TFileAccess::ReadWrite, platform::TFileShare::Exclusive,
                                 platform::TFileCreate::CreateNew, reason);
    std::error_code ec;
    // Only a name that is already taken is worth another try; any other reason is final.
    if (!file.IsOpen() && !std::filesystem::exists(std::filesystem::symlink_status(side, ec))) break;
  }
  if (!file.IsOpen()) RaiseCreateError(fileName, reason);

  // Removes the side file on every failing path from here on. It refers to the name
  // rather than copying it: a copy could fail for lack of memory and leave the file.
  struct TSideGuard {
    const std::filesystem::path& Name;
    bool Armed = true;
    ~TSideGuard() {
      if (!Armed) return;
      std::error_code ec;
      std::filesystem::remove(Name, ec);
    }
  } guard{side};

  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t written = 0;
  while (written < size) {
    const std::int64_t n = file.Write(bytes + written, static_cast<std::int64_t>(size - written));
    if (n <= 0) {
      const std::string why = n < 0 ? platform::LastErrorText() : std::string("No space left on device");
      file.Close();
      RaiseCreateError(fileName, why);
    }
    written += static_cast<std::size_t>(n);
  }
  file.Close();
  if (!platform::RenameReplacing(side, fileName, reason)) RaiseCreateError(fileName, reason);
  guard.Armed = false;
}

TVX_DEFINE_CLASS(TJPEGImage, TGraphic)

TJPEGImage::TJPEGImage() : Options(JPEGDefaults), FData(std::make_shared<TJPEGData>()) {}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::Assign(const TPersistent* source) {
  if (source == nullptr) {
    FData = std::make_shared<TJPEGData>();
    FBitmap.reset();
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
    FData = jpeg.FData;
    FBitmap = std::move(bitmap);
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
