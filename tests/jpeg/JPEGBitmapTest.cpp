// The JPEG object with the framework's bitmap: assignment shares pixels, indexed bitmaps
// are encoded in their palette colours, and encoding leaves the bitmaps as they were.
#include <gtest/gtest.h>

#include <cstring>

#include "graphics/Bitmap.h"
#include "graphics/PixelAccess.h"
#include "jpeg/JPEG.h"
#include "jpeg/JPEGTestSupport.h"
#include "platform/Palette.h"

namespace {

std::vector<std::uint8_t> Encoded(TJPEGImage& jpeg) {
  TMemoryStream stream;
  jpeg.SaveToStream(stream);
  const auto* p = static_cast<const std::uint8_t*>(stream.Memory());
  return {p, p + stream.Size()};
}

// An indexed bitmap of w x h whose pixel (x, y) is index(x, y), with a palette of
// colours given as red-green-blue.
std::unique_ptr<TBitmap> IndexedBitmap(TPixelFormat format, int w, int h,
                                       const std::vector<platform::TPaletteEntry>& palette, int (*index)(int, int)) {
  auto bitmap = std::make_unique<TBitmap>();
  bitmap->SetPixelFormat(format);
  bitmap->SetSize(w, h);
  bitmap->SetPalette(platform::CreatePalette(palette.data(), static_cast<int>(palette.size())));
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = bitmap->ScanLine(y);
    for (int x = 0; x < w; ++x) PutPixelIndex(row, x, bitmap->BitsPerPixel(), index(x, y));
  }
  return bitmap;
}

// The red-green-blue rows that the indexed bitmap stands for.
std::vector<std::uint8_t> Expanded(int w, int h, const std::vector<platform::TPaletteEntry>& palette,
                                   int (*index)(int, int)) {
  std::vector<std::uint8_t> rgb;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto& e = palette[static_cast<std::size_t>(index(x, y))];
      rgb.insert(rgb.end(), {e.peRed, e.peGreen, e.peBlue});
    }
  return rgb;
}

struct TIndexedCase {
  const char* Name;
  TPixelFormat Format;
  int Colors;
};

class JPEGIndexedBitmap : public ::testing::TestWithParam<TIndexedCase> {};

TEST_P(JPEGIndexedBitmap, IsEncodedInItsPaletteColoursAndKeepsItsFormat) {
  const TIndexedCase& c = GetParam();
  std::vector<platform::TPaletteEntry> palette;
  palette.push_back({255, 0, 0, 0});  // pure red first: a swapped byte order shows at once
  for (int i = 1; i < c.Colors; ++i)
    palette.push_back({std::uint8_t(i * 37), std::uint8_t(255 - i * 11), std::uint8_t(i * 5), 0});
  static int colors = 0;
  colors = c.Colors;
  int (*index)(int, int) = [](int x, int y) { return x < 8 ? 0 : (x * 3 + y * 7) % colors; };
  const int w = 21, h = 11;
  auto bitmap = IndexedBitmap(c.Format, w, h, palette, index);
  const std::vector<std::uint8_t> before(bitmap->ScanLine(h - 1), bitmap->ScanLine(h - 1) + bitmap->RowBytes() * h);

  TJPEGImage jpeg;
  jpeg.Assign(bitmap.get());
  const auto ours = DecodeJPEG(Encoded(jpeg));
  const auto reference = DecodeJPEG(ReferenceJPEG(w, h, Expanded(w, h, palette, index)));
  ASSERT_EQ(ours.Error, "");
  EXPECT_EQ(ours.Width, w);
  EXPECT_EQ(ours.Height, h);
  EXPECT_TRUE(ours.Pixels == reference.Pixels);
  // The top-left corner is red, not blue.
  EXPECT_GT(ours.Pixels[0], 240);
  EXPECT_LT(ours.Pixels[2], 16);

  // The 24-bit copy was the encoder's own: both bitmaps keep their format and pixels.
  EXPECT_EQ(bitmap->PixelFormat(), c.Format);
  ASSERT_NE(jpeg.Bitmap(), nullptr);
  EXPECT_EQ(jpeg.Bitmap()->PixelFormat(), c.Format);
  const TBitmap& given = *bitmap;
  EXPECT_EQ(std::memcmp(given.ScanLine(h - 1), before.data(), before.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, JPEGIndexedBitmap,
                         ::testing::Values(TIndexedCase{"OneBit", pf1bit, 2}, TIndexedCase{"FourBits", pf4bit, 16},
                                           TIndexedCase{"EightBits", pf8bit, 256},
                                           TIndexedCase{"EightBitsFewColours", pf8bit, 9}),
                         [](const auto& p) { return std::string(p.param.Name); });

TEST(JPEGBitmap, AssignSharesTheBitmapsPixelsAndOutlivesIt) {
  const auto rgb = TestPictureRGB(9, 6, 11);
  auto bitmap = std::make_unique<TBitmap>();
  bitmap->SetPixelFormat(pf24bit);
  bitmap->SetSize(9, 6);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 9; ++x)
      for (int k = 0; k < 3; ++k) bitmap->ScanLine(y)[x * 3 + k] = rgb[static_cast<std::size_t>((y * 9 + x) * 3 + 2 - k)];
  TJPEGImage jpeg;
  jpeg.Assign(bitmap.get());
  ASSERT_NE(jpeg.Bitmap(), nullptr);
  EXPECT_NE(jpeg.Bitmap(), bitmap.get());
  EXPECT_EQ(jpeg.Bitmap()->PixelBuffer(), bitmap->PixelBuffer());  // no copy of the pixels
  EXPECT_EQ(jpeg.Width(), 9);
  EXPECT_EQ(jpeg.Height(), 6);
  bitmap.reset();
  const auto ours = DecodeJPEG(Encoded(jpeg));
  ASSERT_EQ(ours.Error, "");
  EXPECT_TRUE(ours.Pixels == DecodeJPEG(ReferenceJPEG(9, 6, rgb)).Pixels);
}

TEST(JPEGBitmap, ANewBitmapDiscardsTheCompressedDataAndAnotherJPEGSharesIt) {
  TBitmap first;
  first.SetPixelFormat(pf24bit);
  first.SetSize(4, 4);
  TJPEGImage jpeg;
  jpeg.Assign(&first);
  jpeg.Compress();
  ASSERT_TRUE(jpeg.Data().Compressed);
  const TJPEGData* compressed = &jpeg.Data();

  TJPEGImage other;
  other.Assign(&jpeg);
  EXPECT_EQ(&other.Data(), compressed);
  ASSERT_NE(other.Bitmap(), nullptr);
  EXPECT_EQ(other.Bitmap()->PixelBuffer(), jpeg.Bitmap()->PixelBuffer());

  TBitmap second;
  second.SetPixelFormat(pf24bit);
  second.SetSize(2, 3);
  jpeg.Assign(&second);
  EXPECT_NE(&jpeg.Data(), compressed);
  EXPECT_FALSE(jpeg.Data().Compressed);
  EXPECT_EQ(jpeg.Width(), 2);
  EXPECT_EQ(jpeg.Height(), 3);
  EXPECT_TRUE(other.Data().Compressed);  // the other holder keeps the old data
  EXPECT_EQ(other.Width(), 4);
}

}  // namespace
