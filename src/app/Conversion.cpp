#include "app/Batch.h"

#include "graphics/Bitmap.h"
#include "jpeg/JPEG.h"
#include "meta/Metadata.h"
#include "rtl/File.h"
#include "rtl/Stream.h"
#include "spi/SPIVxDIB.h"
#include "spi/SPIs.h"

namespace {

// One file's road: the source decoded into a DIB object (by the plug-ins, else by the DIB
// library's reader), the DIB assigned to a bitmap (which shares the DIB's pixels where
// their layouts agree), the bitmap to the JPEG object, which compresses and is saved. The JPEG object keeps what it needs of the
// pixels; the DIB and the bitmap go as soon as it has them, and everything goes with the
// conversion object, on every path. Only the JPEG object crosses to the encoding
// thread, and nothing else holds it meanwhile.
class TProgramConversion : public TFileConversion {
public:
  // keepMetadata: the JPEG carries the source's EXIF, XMP and colour profile, as fits the
  // pixels of whichever reader decoded it.
  explicit TProgramConversion(bool keepMetadata = false) : FKeepMetadata(keepMetadata) {}

  void Load(const std::filesystem::path& source) override {
    auto bitmap = std::make_unique<TBitmap>();
    auto dib = std::make_unique<TSPIVxDIB>();
    TImageMetadata metadata;
    {
      // Read access only, shared with nobody; closed as soon as loading ends. Loaded without
      // a name, so no plug-in is preferred for the extension.
      TFileStream stream(source, fmOpenRead | fmShareExclusive);
      dib->LoadFromStream(stream);
      if (FKeepMetadata)
        metadata = ReadImageMetadata(stream, dib->DecodedBy().TavexPlugin() ? mdTavexPlugin : mdOtherDecoder);
    }
    auto jpeg = std::make_unique<TJPEGImage>();
    bitmap->Assign(dib.get());
    jpeg->Assign(bitmap.get());
    if (FKeepMetadata) jpeg->SetMetadata(std::move(metadata));
    FJPEG = std::move(jpeg);
  }

  // Plug-ins in host processes serve every thread; plug-ins in the program serve one.
  bool LoadsAnywhere() const override {
    const TSPIs* spis = TSPIs::Instance();
    return !spis || spis->OutOfProcess || spis->Count() == 0;
  }

  void Encode() override {
    FJPEG->Compress();
    // The decoded pixels go now: the batch may hold this file a while before its turn.
    FJPEG->FreeBitmap();
  }

  // The data goes to the disk beside where it will be published, so that the save in
  // input order is only the move over the name.
  void Prepare(const std::filesystem::path& outputFolder) override {
    TMemoryStream& data = const_cast<TMemoryStream&>(FJPEG->Data().Data);
    FPrepared = TPreparedFile::Write(outputFolder, data.Memory(), static_cast<std::size_t>(data.Size()));
  }

  // The data is there already: saving only writes it, or moves it in place.
  void Save(const std::filesystem::path& output) override {
    if (FPrepared.PublishOver(output)) return;
    FJPEG->SaveToFile(output);
  }

private:
  std::unique_ptr<TJPEGImage> FJPEG;
  TPreparedFile FPrepared;
  bool FKeepMetadata;
};

}  // namespace

std::unique_ptr<TFileConversion> NewProgramConversion() { return std::make_unique<TProgramConversion>(); }

TFileConversionFactory ProgramConversionFactory(bool keepMetadata) {
  return [keepMetadata] { return std::unique_ptr<TFileConversion>(std::make_unique<TProgramConversion>(keepMetadata)); };
}

void RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files) {
  RunBatch(ui, files, NewProgramConversion);
}
