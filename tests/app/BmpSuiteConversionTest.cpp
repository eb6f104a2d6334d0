// Every file of the BMP Suite through the program's conversion: what the DIB library
// reads becomes a JPEG of the picture it draws, and what it refuses ends the batch with
// the loader chain's message (the plug-ins had their try first) and no output.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/BatchTestSupport.h"
#include "app/SaveFileName.h"
#include "dib/VxDIB.h"
#include "jpeg/JPEGTestSupport.h"
#include "support/SharedData.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

// The picture as the DIB library draws it into a 24-bit bitmap, red-green-blue rows.
std::vector<std::uint8_t> DrawnRGB(const TVxDIB& dib) {
  TBitmap bitmap;
  bitmap.SetPixelFormat(pf24bit);
  bitmap.SetSize(dib.Width(), dib.Height());
  BlitDIB(dib.InternalDIB()->DIB, bitmap, TRect{0, 0, dib.Width(), dib.Height()});
  std::vector<std::uint8_t> rgb;
  for (int y = 0; y < bitmap.Height(); ++y) {
    const std::uint8_t* row = static_cast<const TBitmap&>(bitmap).ScanLine(y);
    for (int x = 0; x < bitmap.Width(); ++x) rgb.insert(rgb.end(), {row[x * 3 + 2], row[x * 3 + 1], row[x * 3]});
  }
  return rgb;
}

TEST(BmpSuiteConversion, EveryFileBecomesTheJPEGOfItsPictureOrFailsAsUndecodable) {
  const fs::path suite = BmpSuiteDir();
  if (suite.empty()) GTEST_SKIP() << "BMP Suite not found (TAVEX_SHARED_DIR)";
  std::vector<fs::path> files;
  for (const char* group : {"g", "q", "b"})
    for (const auto& entry : fs::directory_iterator(suite / group))
      if (entry.path().extension() == ".bmp") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 80u);

  int converted = 0, refused = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(PathToUtf8(file));
    // What the library makes of the file on its own.
    std::string expectedError;
    std::vector<std::uint8_t> rgb;
    int w = 0, h = 0;
    try {
      TVxDIB dib;
      try {
        TFileStream stream(file, fmOpenRead | fmShareDenyWrite);
        dib.LoadFromStream(stream);
      } catch (const Exception&) {
        // The reader's refusal is the loader chain's last try.
        throw EInvalidGraphic("Susie Plugins could not decode");
      }
      w = dib.Width();
      h = dib.Height();
      rgb = DrawnRGB(dib);
    } catch (const Exception& e) {
      expectedError = e.what();
    }

    TTempDir dir;
    TRecordingUI ui;
    ui.Method = smFolder;
    ui.Folder = PathToUtf8(dir.Path());
    const fs::path output = dir / (PathToUtf8(file.stem()) + ".jpg");
    if (!expectedError.empty()) {
      try {
        RunBatch(ui, {file});
        ADD_FAILURE() << "converted a file the library refuses";
      } catch (const Exception& e) {
        EXPECT_EQ(e.what(), expectedError);
      }
      EXPECT_FALSE(fs::exists(output));
      EXPECT_TRUE(fs::is_empty(dir.Path()));
      ++refused;
      continue;
    }
    RunBatch(ui, {file});
    const auto ours = DecodeJPEG(ReadAllBytes(output));
    ASSERT_EQ(ours.Error, "");
    EXPECT_EQ(ours.Width, w);
    EXPECT_EQ(ours.Height, h);
    EXPECT_TRUE(ours.Pixels == DecodeJPEG(ReferenceJPEG(w, h, rgb)).Pixels);
    ++converted;
  }
  // The split that the library's own suite table pins file by file (88 files).
  EXPECT_EQ(converted, 45);
  EXPECT_EQ(refused, 43);
}

}  // namespace
