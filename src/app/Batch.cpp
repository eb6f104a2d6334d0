#include "app/Batch.h"

#include <new>

#include "app/SaveFileName.h"
#include "dib/VxDIB.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"

namespace {

// Blocks kept for the next image are given back when a batch ends, down to this much: the
// window may stay open for hours after a batch of huge images.
constexpr std::size_t KeptMemoryAfterBatch = std::size_t{64} << 20;

struct TTrimPoolsAtEnd {
  ~TTrimPoolsAtEnd() { TrimPooledMemory(KeptMemoryAfterBatch); }
};

void RunFiles(TBatchUI& ui, const std::vector<std::filesystem::path>& files, const TFileConversionFactory& factory) {
  if (ui.SaveMethod() == smFolder && !IsExistingFolder(ui.SaveFolder())) {
    ui.BeepMessage(InvalidSaveFolderMessage);
    return;
  }
  const int count = static_cast<int>(files.size());
  ui.SetProgressMax(count);
  // Held across files: with no save method selected the previous name stays (empty for
  // the first file, whose save then fails).
  std::string output;
  for (int i = 0; i < count; ++i) {
    ui.SetProgressPosition(i + 1);
    ui.ProcessMessages();
    const std::filesystem::path& source = files[static_cast<std::size_t>(i)];
    const std::unique_ptr<TFileConversion> conversion = factory();
    conversion->Load(source);
    output = MakeSaveFileName(PathToUtf8(source), ui.SaveMethod(), ui.SaveFolder(), output);
    const std::filesystem::path outputPath = Utf8ToPath(output);
    conversion->Save(outputPath);
    ui.FileSaved(source, outputPath);
  }
  ui.SetProgressPosition(0);
  ui.ForceForeground();
}

}  // namespace

void RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files, const TFileConversionFactory& factory) {
  const TTrimPoolsAtEnd trim;
  try {
    RunFiles(ui, files, factory);
  } catch (const std::bad_alloc&) {
    // The run-time's own error, so that the error box says what happened.
    throw EOutOfMemory("Out of memory");
  }
}
