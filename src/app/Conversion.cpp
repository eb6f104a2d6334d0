#include "app/Batch.h"

#include "dib/VxDIB.h"
#include "jpeg/JPEG.h"
#include "rtl/Stream.h"

namespace {

// One file's road: the source read by the DIB library's BMP reader into a DIB storage,
// whose 24-bit rows the JPEG object takes (shared, or expanded through the colour
// table), then saved. The storage lives as long as the JPEG object needs its pixels;
// everything goes with the conversion object, on every path.
class TProgramConversion : public TFileConversion {
public:
  void Load(const std::filesystem::path& source) override {
    auto storage = std::make_shared<TVxInternalDIB>(DefaultUseFMO());
    {
      // Read access only, shared with nobody; closed as soon as loading ends.
      TFileStream stream(source, fmOpenRead | fmShareExclusive);
      storage->LoadFromStream(stream);
    }
    FJPEG = std::make_unique<TJPEGImage>();
    const TVxDIBRecord& dib = storage->DIB;
    const bool useFMO = storage->UseFMO;
    FJPEG->SetPicture(DIBRecordPicture(dib, useFMO, std::move(storage)));
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
