#include <gtest/gtest.h>

#include <algorithm>

#include "jpeg/JPEG.h"
#include "jpeg/JPEGTestSupport.h"
#include "platform/Screen.h"
#include "support/TempDir.h"

namespace {

// A 24-bit bitmap of the given red-green-blue pixels (row 0 at the top).
std::unique_ptr<TBitmap> MakePicture(int w, int h, const std::vector<std::uint8_t>& rgb) {
  auto bitmap = std::make_unique<TBitmap>();
  bitmap->SetPixelFormat(pf24bit);
  bitmap->SetSize(w, h);
  for (int y = 0; y < h && w > 0; ++y) {
    std::uint8_t* row = bitmap->ScanLine(y);
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) row[x * 3 + c] = rgb[static_cast<std::size_t>((y * w + x) * 3 + (2 - c))];
  }
  return bitmap;
}

// One grey row of the given width.
std::unique_ptr<TBitmap> GreyRow(int w) {
  return MakePicture(w, 1, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * 3, 0x40));
}

void SetPicture(TJPEGImage& jpeg, const std::unique_ptr<TBitmap>& bitmap) { jpeg.Assign(bitmap.get()); }

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Names in the folder, to see that no file beside an output is left behind.
std::vector<std::string> Listing(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(PathToUtf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

class UnrelatedGraphic : public TGraphic {
  TVX_DECLARE_CLASS
public:
  void Draw(TCanvas&, const TRect&) override {}
  bool GetEmpty() const override { return true; }
  int GetHeight() const override { return 0; }
  int GetWidth() const override { return 0; }
  void SetHeight(int) override {}
  void SetWidth(int) override {}
  void LoadFromStream(TStream&) override {}
  void SaveToStream(TStream&) const override {}
  void LoadFromClipboardFormat(std::uint16_t, TGlobalHandle, TPaletteHandle) override {}
  void SaveToClipboardFormat(std::uint16_t&, TGlobalHandle&, TPaletteHandle&) const override {}
};
TVX_DEFINE_CLASS(UnrelatedGraphic, TGraphic)

TEST(JPEGImage, SavedFileDecodesToTheReferencePixels) {
  TTempDir dir;
  const auto rgb = TestPictureRGB(37, 19, 5);
  TJPEGImage jpeg;
  SetPicture(jpeg, MakePicture(37, 19, rgb));
  jpeg.SaveToFile(dir / "out.jpg");
  const auto ours = DecodeJPEG(ReadAllBytes(dir / "out.jpg"));
  const auto reference = DecodeJPEG(ReferenceJPEG(37, 19, rgb));
  ASSERT_EQ(ours.Error, "");
  EXPECT_EQ(ours.Width, 37);
  EXPECT_EQ(ours.Height, 19);
  // A new object encodes with the defaults: colour, baseline (SOF0, never the
  // progressive SOF2), quality 90 (the reference's pixels).
  EXPECT_EQ(ours.Components, 3);
  const auto bytes = ReadAllBytes(dir / "out.jpg");
  const auto marker = [&](std::uint8_t code) {
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
      if (bytes[i] == 0xFF && bytes[i + 1] == code) return true;
    return false;
  };
  EXPECT_TRUE(marker(0xC0));
  EXPECT_FALSE(marker(0xC2));
  EXPECT_TRUE(ours.Pixels == reference.Pixels);
  EXPECT_EQ(jpeg.Data().Width, 37);
  EXPECT_EQ(jpeg.Data().Height, 19);
  EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"out.jpg"});
}

// Metadata set after compressing makes the data anew; assigning a bitmap drops it, a JPEG
// object's assignment takes it along, and it goes with the bitmap once the data is made.
TEST(JPEGImage, MetadataGoesWithThePictureItWasSetFor) {
  const auto bitmap = MakePicture(8, 8, TestPictureRGB(8, 8, 2));
  TJPEGImage jpeg;
  SetPicture(jpeg, bitmap);
  jpeg.Compress();
  const std::int64_t plain = jpeg.Data().DataSize();
  const TImageMetadata metadata{{}, Bytes("<xmp/>"), {}};
  jpeg.SetMetadata(metadata);
  jpeg.Compress();
  // One APP1 segment: marker, length, the 29-byte namespace, the packet.
  EXPECT_EQ(jpeg.Data().DataSize(), plain + 4 + 29 + 6);
  TJPEGImage copy;
  copy.Assign(&jpeg);
  EXPECT_EQ(copy.Metadata(), metadata);
  SetPicture(copy, bitmap);
  EXPECT_TRUE(copy.Metadata().Empty());
  jpeg.FreeBitmap();
  EXPECT_TRUE(jpeg.Metadata().Empty());
  EXPECT_EQ(jpeg.Data().DataSize(), plain + 39);
}

TEST(JPEGImage, SecondSaveReusesTheCompressedData) {
  TTempDir dir;
  TJPEGImage jpeg;
  int starts = 0;
  jpeg.OnProgress = [&](TObject* sender, TProgressStage stage, std::uint8_t, bool, const TRect&, const std::string&) {
    EXPECT_EQ(sender, &jpeg);
    if (stage == psStarting) ++starts;
  };
  SetPicture(jpeg, MakePicture(8, 8, TestPictureRGB(8, 8, 2)));
  jpeg.SaveToFile(dir / "a.jpg");
  jpeg.SaveToFile(dir / "b.jpg");
  EXPECT_EQ(starts, 1);
  EXPECT_FALSE(ReadAllBytes(dir / "a.jpg").empty());
  EXPECT_EQ(ReadAllBytes(dir / "a.jpg"), ReadAllBytes(dir / "b.jpg"));
  // A new picture drops the data: the next save compresses again.
  SetPicture(jpeg, MakePicture(8, 8, TestPictureRGB(8, 8, 3)));
  EXPECT_FALSE(jpeg.Data().Compressed);
  jpeg.SaveToFile(dir / "c.jpg");
  EXPECT_EQ(starts, 2);
  EXPECT_NE(ReadAllBytes(dir / "a.jpg"), ReadAllBytes(dir / "c.jpg"));
}

TEST(JPEGImage, ZeroSizedPictureGivesAnEmptyFile) {
  TTempDir dir;
  for (const auto& [w, h] : {std::pair{0, 5}, std::pair{5, 0}, std::pair{0, 0}}) {
    WriteAllBytes(dir / "z.jpg", Bytes("old content"));
    TJPEGImage jpeg;
    SetPicture(jpeg, MakePicture(w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w * h * 3))));
    jpeg.SaveToFile(dir / "z.jpg");
    EXPECT_TRUE(ReadAllBytes(dir / "z.jpg").empty()) << w << "x" << h;
    EXPECT_TRUE(jpeg.Data().Compressed);
  }
  EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"z.jpg"});
}

// The library refuses the size before anything is written: the file that stood under
// the name keeps its content, and nothing is left beside it.
TEST(JPEGImage, EncodingFailureDestroysNothing) {
  TTempDir dir;
  WriteAllBytes(dir / "wide.jpg", Bytes("precious"));
  TJPEGImage jpeg;
  SetPicture(jpeg, GreyRow(65501));
  try {
    jpeg.SaveToFile(dir / "wide.jpg");
    FAIL() << "no exception";
  } catch (const EJPEG& e) {
    EXPECT_STREQ(e.what(), "JPEG エラー #41");
  }
  EXPECT_EQ(ReadAllBytes(dir / "wide.jpg"), Bytes("precious"));
  EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"wide.jpg"});
  // And a name that did not exist is not created.
  EXPECT_THROW(jpeg.SaveToFile(dir / "new.jpg"), EJPEG);
  EXPECT_FALSE(std::filesystem::exists(dir / "new.jpg"));
}

TEST(JPEGImage, WidestImageIsSaved) {
  TTempDir dir;
  TJPEGImage jpeg;
  SetPicture(jpeg, GreyRow(65500));
  jpeg.SaveToFile(dir / "wide.jpg");
  const auto decoded = DecodeJPEG(ReadAllBytes(dir / "wide.jpg"));
  ASSERT_EQ(decoded.Error, "");
  EXPECT_EQ(decoded.Width, 65500);
}

TEST(JPEGImage, ReplacesAnExistingFileWhole) {
  TTempDir dir;
  WriteAllBytes(dir / "r.jpg", std::vector<unsigned char>(100000, 0xAA));
  TJPEGImage jpeg;
  SetPicture(jpeg, MakePicture(4, 4, TestPictureRGB(4, 4, 9)));
  jpeg.SaveToFile(dir / "r.jpg");
  const auto bytes = ReadAllBytes(dir / "r.jpg");
  EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), jpeg.Data().DataSize());
  EXPECT_EQ(DecodeJPEG(bytes).Error, "");
  EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"r.jpg"});
}

TEST(JPEGImage, UncreatableOutputNamesTheFinalPath) {
  TTempDir dir;
  std::filesystem::create_directory(dir / "taken.jpg");
  const std::filesystem::path cases[] = {dir / "missing" / "x.jpg", dir / "taken.jpg", ""};
  for (const auto& name : cases) {
    TJPEGImage jpeg;
    SetPicture(jpeg, MakePicture(2, 2, TestPictureRGB(2, 2, 1)));
    try {
      jpeg.SaveToFile(name);
      ADD_FAILURE() << "no exception for " << PathToUtf8(name);
    } catch (const EFCreateError& e) {
      const std::string prefix = "ファイル \"" + PathToUtf8(name) + "\" を作成できません。";
      const std::string message = e.what();
      EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
      EXPECT_GT(message.size(), prefix.size()) << "no reason given";
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "taken.jpg"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "taken.jpg"));
  EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"taken.jpg"});
}

TEST(JPEGImage, AssignSharesDataAndPicture) {
  TJPEGImage a;
  SetPicture(a, MakePicture(3, 2, TestPictureRGB(3, 2, 4)));
  a.Compress();
  TJPEGImage b;
  b.Assign(&a);
  EXPECT_EQ(&a.Data(), &b.Data());
  EXPECT_EQ(b.Width(), 3);
  EXPECT_EQ(b.Height(), 2);
  EXPECT_FALSE(b.Empty());
  // Nil empties the object; the data stays with the other holder.
  b.Assign(nullptr);
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.Width(), 0);
  EXPECT_NE(&a.Data(), &b.Data());
  EXPECT_TRUE(a.Data().Compressed);
}

TEST(JPEGImage, AssignFromAnUnknownGraphicFails) {
  TJPEGImage jpeg;
  UnrelatedGraphic other;
  try {
    jpeg.Assign(&other);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a UnrelatedGraphic to a TJPEGImage");
  }
}

TEST(JPEGImage, SaveToStreamWritesTheCompressedData) {
  TJPEGImage jpeg;
  SetPicture(jpeg, MakePicture(5, 3, TestPictureRGB(5, 3, 6)));
  TMemoryStream out;
  jpeg.SaveToStream(out);
  ASSERT_EQ(out.Size(), jpeg.Data().DataSize());
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  EXPECT_EQ(DecodeJPEG(p, static_cast<std::size_t>(out.Size())).Width, 5);
}

TEST(JPEGImage, ReadingJPEGDataIsRefused) {
  TJPEGImage jpeg;
  TMemoryStream in;
  EXPECT_THROW(jpeg.LoadFromStream(in), EInvalidGraphic);
}

class JPEGRegistration : public ::testing::Test {
protected:
  // Put back what the test program's start-up registered.
  void TearDown() override {
    JPEGFinalize();
    JPEGInitialize(platform::ScreenBitsPerPixel());
  }
};

TEST_F(JPEGRegistration, DecodingPixelFormatFollowsTheScreenDepth) {
  const std::pair<int, TJPEGPixelFormat> cases[] = {{0, jf8Bit}, {1, jf8Bit}, {4, jf8Bit}, {8, jf8Bit},
                                                    {15, jf24Bit}, {16, jf24Bit}, {32, jf24Bit}};
  for (const auto& [bits, expected] : cases) {
    JPEGFinalize();
    JPEGInitialize(bits);
    EXPECT_EQ(JPEGDefaults.PixelFormat, expected) << bits;
    EXPECT_EQ(TJPEGImage().Options.PixelFormat, expected) << bits;
  }
}

TEST_F(JPEGRegistration, RegistersBothExtensionsAndWithdrawsThem) {
  JPEGFinalize();
  auto count = [] {
    int n = 0;
    for (const auto& f : TPicture::FileFormats())
      if (f.GraphicClass == &TJPEGImage::ClassInfo()) {
        EXPECT_TRUE(f.Extension == "jpeg" || f.Extension == "jpg") << f.Extension;
        EXPECT_EQ(f.Description, "JPEG イメージファイル");
        ++n;
      }
    return n;
  };
  EXPECT_EQ(count(), 0);
  JPEGInitialize(24);
  EXPECT_EQ(count(), 2);
  EXPECT_EQ(TPicture::FindGraphicClassByName("TJPEGImage"), &TJPEGImage::ClassInfo());
  JPEGFinalize();
  EXPECT_EQ(count(), 0);
}

}  // namespace
