#include "app/Batch.h"

#include "spi/SPIVxDIB.h"
#include "graphics/Bitmap.h"
#include "jpeg/JPEG.h"
#include "rtl/Stream.h"

namespace {

// One file's road: the source decoded into a DIB object (by the plug-ins, else by the DIB
// library's reader), the DIB assigned to a bitmap
// (which shares the DIB's pixels where their layouts agree), the bitmap to the JPEG
// object, which is saved. The JPEG object keeps what it needs of the pixels; the DIB and
// the bitmap go as soon as it has them, and everything goes with the conversion object,
// on every path.
class TProgramConversion : public TFileConversion {
public:
  void Load(const std::filesystem::path& source) override {
    auto bitmap = std::make_unique<TBitmap>();
    auto dib = std::make_unique<TSPIVxDIB>();
    {
      // Read access only, shared with nobody; closed as soon as loading ends. Loaded without
      // a name, so no plug-in is preferred for the extension.
      TFileStream stream(source, fmOpenRead | fmShareExclusive);
      dib->LoadFromStream(stream);
    }
    auto jpeg = std::make_unique<TJPEGImage>();
    bitmap->Assign(dib.get());
    jpeg->Assign(bitmap.get());
    FJPEG = std::move(jpeg);
  }

  void Save(const std::filesystem::path& output) override { FJPEG->SaveToFile(output); }

private:
  std::unique_ptr<TJPEGImage> FJPEG;
};

}  // namespace

std::unique_ptr<TFileConversion> NewProgramConversion() { return std::make_unique<TProgramConversion>(); }

void RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files) {
  RunBatch(ui, files, NewProgramConversion);
}
