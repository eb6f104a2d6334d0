#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "graphics/Bitmap.h"
#include "platform/Memory.h"
#include "rtl/Exception.h"

namespace {

using platform::TPaletteEntry;

TPaletteHandle MakePalette(std::vector<TPaletteEntry> entries) {
  return platform::CreatePalette(entries.data(), static_cast<int>(entries.size()));
}

std::vector<TPaletteEntry> EntriesOf(TPaletteHandle h) {
  std::vector<TPaletteEntry> e(static_cast<std::size_t>(platform::GetPaletteEntries(h, 0, 0, nullptr)));
  if (!e.empty()) platform::GetPaletteEntries(h, 0, static_cast<int>(e.size()), e.data());
  return e;
}

std::vector<std::uint8_t> SaveBytes(const TBitmap& b) {
  TMemoryStream s;
  b.SaveToStream(s);
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return {p, p + s.Size()};
}

std::uint32_t Le32(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint32_t>(v[at] | v[at + 1] << 8 | v[at + 2] << 16 | v[at + 3] << 24);
}

TEST(Palette, EntriesReadBackAndCopyIsIndependent) {
  platform::TPaletteOwner a(MakePalette({{1, 2, 3, 0}, {4, 5, 6, 0}, {250, 251, 252, 0}}));
  ASSERT_TRUE(a);
  platform::TPaletteOwner b(CopyPalette(a.get()));
  ASSERT_TRUE(b);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(EntriesOf(b.get()), EntriesOf(a.get()));
  TPaletteEntry one{};
  EXPECT_EQ(platform::GetPaletteEntries(a.get(), 2, 5, &one), 1);  // clipped to the palette's end
  EXPECT_EQ(one, (TPaletteEntry{250, 251, 252, 0}));
  a.reset();  // deleting the original leaves the copy usable
  EXPECT_EQ(EntriesOf(b.get()).size(), 3u);
  EXPECT_EQ(CopyPalette(nullptr), nullptr);
  EXPECT_EQ(platform::CreatePalette(nullptr, 0), nullptr);
}

struct TRowCase {
  TPixelFormat Format;
  int Width;
  int Bytes;
};
class BitmapRowBytes : public ::testing::TestWithParam<TRowCase> {};
TEST_P(BitmapRowBytes, ArePaddedToFour) {
  TBitmap b;
  b.SetPixelFormat(GetParam().Format);
  b.SetSize(GetParam().Width, 2);
  EXPECT_EQ(b.RowBytes(), GetParam().Bytes);
}
INSTANTIATE_TEST_SUITE_P(TBitmap, BitmapRowBytes,
                         ::testing::Values(TRowCase{pf1bit, 1, 4}, TRowCase{pf1bit, 33, 8}, TRowCase{pf4bit, 9, 8},
                                           TRowCase{pf8bit, 5, 8}, TRowCase{pf24bit, 5, 16},
                                           TRowCase{pfDevice, 1, 4}));

TEST(TBitmap, ScanLineZeroIsTheTopRowAndStorageIsBottomUp) {
  TBitmap b;
  b.SetPixelFormat(pf8bit);
  b.SetSize(3, 2);
  b.ScanLine(0)[0] = 11;  // top
  b.ScanLine(1)[0] = 22;  // bottom
  const std::vector<std::uint8_t> file = SaveBytes(b);
  const std::uint32_t off = Le32(file, 10);
  EXPECT_EQ(file[off], 22);      // first stored row is the bottom one
  EXPECT_EQ(file[off + 4], 11);  // rows of 4 bytes
  EXPECT_EQ(Le32(file, 2), off + 8);
  EXPECT_THROW(b.ScanLine(2), EInvalidGraphic);
  EXPECT_THROW(b.ScanLine(-1), EInvalidGraphic);
}

TEST(TBitmap, AssignSharesPixelsUntilOneWrites) {
  TBitmap a;
  a.SetPixelFormat(pf24bit);
  a.SetSize(2, 2);
  a.ScanLine(0)[0] = 5;
  TBitmap b;
  b.Assign(&a);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(b.PixelFormat(), pf24bit);
  EXPECT_EQ(a.PixelBuffer(), b.PixelBuffer());
  b.ScanLine(0)[0] = 9;
  EXPECT_NE(a.PixelBuffer(), b.PixelBuffer());
  EXPECT_EQ(std::as_const(a).ScanLine(0)[0], 5);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 9);
}

TEST(TBitmap, AssignCopiesThePaletteAndNilEmpties) {
  TBitmap a;
  a.SetPixelFormat(pf8bit);
  a.SetSize(1, 1);
  a.SetPalette(MakePalette({{9, 8, 7, 0}}));
  TBitmap b;
  b.Assign(&a);
  ASSERT_NE(b.GetPalette(), nullptr);
  EXPECT_NE(b.GetPalette(), a.GetPalette());
  EXPECT_EQ(EntriesOf(b.GetPalette()), EntriesOf(a.GetPalette()));
  b.Assign(nullptr);
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.GetPalette(), nullptr);
}

// Indexed pixels become the palette's colours; indices past the palette become black.
struct TTo24Case {
  TPixelFormat Format;
  std::vector<int> Indices;
};
class BitmapTo24 : public ::testing::TestWithParam<TTo24Case> {};
TEST_P(BitmapTo24, MapsIndicesThroughThePalette) {
  const TTo24Case c = GetParam();
  std::vector<TPaletteEntry> pal;
  for (int i = 0; i < 3; ++i)
    pal.push_back({static_cast<std::uint8_t>(10 + i), static_cast<std::uint8_t>(100 + i),
                   static_cast<std::uint8_t>(200 + i), 0});
  TBitmap b;
  b.SetPixelFormat(c.Format);
  b.SetSize(static_cast<int>(c.Indices.size()), 2);
  b.SetPalette(MakePalette(pal));
  TBitmapCanvas canvas(b);
  const int bits = b.BitsPerPixel();
  for (std::size_t x = 0; x < c.Indices.size(); ++x) {
    std::uint8_t* row = b.ScanLine(1);
    const int i = c.Indices[x];
    if (bits == 8) row[x] = static_cast<std::uint8_t>(i);
    if (bits == 4) row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | i << (x % 2 ? 0 : 4));
    if (bits == 1) row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | i << (7 - x % 8));
  }
  b.SetPixelFormat(pf24bit);
  ASSERT_EQ(b.PixelFormat(), pf24bit);
  const std::uint8_t* row = std::as_const(b).ScanLine(1);
  for (std::size_t x = 0; x < c.Indices.size(); ++x) {
    const int i = c.Indices[x];
    const TPaletteEntry e = i < 3 ? pal[static_cast<std::size_t>(i)] : TPaletteEntry{};
    EXPECT_EQ(row[x * 3], e.peBlue) << x;
    EXPECT_EQ(row[x * 3 + 1], e.peGreen) << x;
    EXPECT_EQ(row[x * 3 + 2], e.peRed) << x;
  }
  const std::uint8_t* top = std::as_const(b).ScanLine(0);  // untouched row: index 0
  EXPECT_EQ(top[2], pal[0].peRed);
}
INSTANTIATE_TEST_SUITE_P(TBitmap, BitmapTo24,
                         ::testing::Values(TTo24Case{pf8bit, {0, 1, 2, 200, 1}}, TTo24Case{pf4bit, {2, 1, 0, 15, 1}},
                                           TTo24Case{pf1bit, {1, 0, 1, 1, 0, 0, 0, 1, 1}}));

TEST(TBitmap, TwentyFourToIndexedTakesNearestPaletteEntry) {
  TBitmap b;
  b.SetPixelFormat(pf24bit);
  b.SetSize(2, 1);
  std::uint8_t* row = b.ScanLine(0);
  const std::uint8_t px[6] = {0, 0, 250, 10, 10, 10};  // nearly red, nearly black
  std::memcpy(row, px, 6);
  b.SetPalette(MakePalette({{0, 0, 0, 0}, {255, 0, 0, 0}}));
  b.SetPixelFormat(pf8bit);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 1);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[1], 0);
}

TEST(TBitmap, ResizeKeepsTheTopLeftPart) {
  TBitmap b;
  b.SetPixelFormat(pf8bit);
  b.SetSize(2, 2);
  b.ScanLine(0)[0] = 1;
  b.ScanLine(0)[1] = 2;
  b.ScanLine(1)[0] = 3;
  b.SetSize(3, 3);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 1);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[1], 2);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[2], 0);
  EXPECT_EQ(std::as_const(b).ScanLine(1)[0], 3);
  EXPECT_EQ(std::as_const(b).ScanLine(2)[0], 0);
  EXPECT_THROW(b.SetWidth(-1), EInvalidGraphic);
  EXPECT_EQ(b.Width(), 3);
}

TEST(TBitmap, StreamRoundTripKeepsPixelsPaletteAndFormat) {
  TBitmap a;
  a.SetPixelFormat(pf4bit);
  a.SetSize(5, 3);
  a.SetPalette(MakePalette({{1, 2, 3, 0}, {4, 5, 6, 0}}));
  a.ScanLine(0)[0] = 0x10;
  a.ScanLine(2)[2] = 0x01;
  TMemoryStream s;
  a.SaveToStream(s);
  s.SetPosition(0);
  TBitmap b;
  b.LoadFromStream(s);
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(b.Height(), 3);
  EXPECT_EQ(b.PixelFormat(), pf4bit);
  EXPECT_EQ(EntriesOf(b.GetPalette()), EntriesOf(a.GetPalette()));
  EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 0x10);
  EXPECT_EQ(std::as_const(b).ScanLine(2)[2], 0x01);
  EXPECT_EQ(s.Position(), s.Size());
}

TEST(TBitmap, LoadsTopDownRowsUpright) {
  // 1 x 2, 24 bits, negative height: the first stored row is the top one.
  std::vector<std::uint8_t> f = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0,
                                 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 24, 0};
  f.resize(54, 0);
  const std::uint8_t rows[8] = {1, 2, 3, 0, 4, 5, 6, 0};
  f.insert(f.end(), rows, rows + 8);
  TCustomMemoryStream s(f.data(), static_cast<std::int64_t>(f.size()));
  TBitmap b;
  b.LoadFromStream(s);
  EXPECT_EQ(b.Height(), 2);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 1);
  EXPECT_EQ(std::as_const(b).ScanLine(1)[0], 4);
}

TEST(TBitmap, FailedLoadLeavesTheBitmapAsItWas) {
  TBitmap b;
  b.SetPixelFormat(pf8bit);
  b.SetSize(2, 2);
  b.ScanLine(0)[0] = 42;
  const std::vector<std::vector<std::uint8_t>> bad = {
      {'X', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0},  // not "BM"
      {'B', 'M'},                                                   // cut short
  };
  for (const auto& f : bad) {
    TCustomMemoryStream s(f.data(), static_cast<std::int64_t>(f.size()));
    EXPECT_ANY_THROW(b.LoadFromStream(s));
    EXPECT_EQ(b.Width(), 2);
    EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 42);
  }
  // An RLE file is no plain bitmap.
  TBitmap rle;
  rle.SetPixelFormat(pf8bit);
  rle.SetSize(1, 1);
  std::vector<std::uint8_t> f = SaveBytes(rle);
  f[30] = 1;
  TCustomMemoryStream s(f.data(), static_cast<std::int64_t>(f.size()));
  EXPECT_THROW(b.LoadFromStream(s), EInvalidGraphic);
  EXPECT_EQ(std::as_const(b).ScanLine(0)[0], 42);
}

TEST(TBitmap, ClipboardRoundTripAsPackedDIB) {
  TBitmap a;
  a.SetPixelFormat(pf24bit);
  a.SetSize(2, 2);
  a.ScanLine(1)[5] = 77;
  std::uint16_t format = 0;
  TGlobalHandle data = nullptr;
  TPaletteHandle pal = nullptr;
  a.SaveToClipboardFormat(format, data, pal);
  EXPECT_EQ(format, 8);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(platform::GlobalSize(data), 40u + 16u);
  TBitmap b;
  b.LoadFromClipboardFormat(format, data, pal);
  platform::GlobalFree(data);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(std::as_const(b).ScanLine(1)[5], 77);
  EXPECT_THROW(b.LoadFromClipboardFormat(2, nullptr, nullptr), EInvalidGraphic);
}

TEST(TBitmap, DrawCopiesOntoAnotherBitmapCanvas) {
  TBitmap src;
  src.SetPixelFormat(pf24bit);
  src.SetSize(2, 1);
  TBitmapCanvas(src).SetPixel(1, 0, 0x00302010);
  TBitmap dst;
  dst.SetPixelFormat(pf24bit);
  dst.SetSize(4, 2);
  dst.Canvas().StretchDraw(TRect{0, 0, 4, 2}, src);
  TBitmapCanvas c(dst);
  EXPECT_EQ(c.Pixel(0, 0), 0u);
  EXPECT_EQ(c.Pixel(2, 0), 0x00302010u);
  EXPECT_EQ(c.Pixel(3, 1), 0x00302010u);
}

// A fresh block comes zeroed from the OS anyway; one given back and handed out again
// (the pool keeps large blocks for the next image) must be cleared as well.
TEST(NewPixelBuffer, ARecycledBlockComesZeroed) {
  constexpr std::size_t Size = 1 << 20;
  {
    TPixelBufferRef dirty = NewPixelBuffer(Size, false);
    std::memset(dirty->Data(), 0xFF, Size);
  }
  TPixelBufferRef b = NewPixelBuffer(Size);
  const std::uint8_t* p = b->Data();
  std::size_t nonZero = 0;
  for (std::size_t i = 0; i < b->Size(); ++i) nonZero += p[i] != 0;
  EXPECT_EQ(nonZero, 0u);
}

TEST(GraphicsRegistration, BitmapIsRegisteredForBmp) {
  GraphicsInitialize();
  bool found = false;
  for (const auto& f : TPicture::FileFormats())
    if (f.Extension == "bmp" && f.GraphicClass == &TBitmap::ClassInfo()) found = true;
  EXPECT_TRUE(found);
  GraphicsFinalize();
  for (const auto& f : TPicture::FileFormats()) EXPECT_NE(f.GraphicClass, &TBitmap::ClassInfo());
}

}  // namespace
