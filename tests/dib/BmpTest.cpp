#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "dib/BmpBuilder.h"
#include "dib/DIBTestSupport.h"
#include "dib/VxDIB.h"
#include "platform/Memory.h"
#include "rtl/BlockPool.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- the stream reader's failures ----------------------------------------------------------

struct TLoadFailure {
  const char* Name;
  std::function<TBmpBuilder()> Make;
  const char* Class;  // "InvalidDIB", "InvalidDIBFile", "Read"
  const char* Message;
  friend std::ostream& operator<<(std::ostream& os, const TLoadFailure& c) { return os << c.Name; }
};

TBmpBuilder Gray8(int w, int h) {
  TBmpBuilder b;
  b.Width = w;
  b.Height = h;
  b.BitCount = 8;
  b.Palette = TBmpBuilder::RampPalette(256);
  b.Pixels = TBmpBuilder::Rows(w, h < 0 ? -h : h, 8, [](int x, int r) { return static_cast<std::uint32_t>(x + r); });
  return b;
}

TBmpBuilder True16(int w, int h, std::uint32_t compression, std::vector<std::uint32_t> masks) {
  TBmpBuilder b;
  b.Width = w;
  b.Height = h;
  b.BitCount = 16;
  b.Compression = compression;
  b.Masks = std::move(masks);
  b.Pixels = TBmpBuilder::Rows(w, h < 0 ? -h : h, 16, [](int, int) { return 0x7FFFu; });
  return b;
}

const TLoadFailure LoadFailures[] = {
    {"NotBM", [] { auto b = Gray8(2, 2); b.Type = 0x4D43; return b; }, "InvalidDIBFile",
     "TVxInternalDIB.LoadFromFile: File type is invalid"},
    {"InfoHeaderTwoBits", [] { auto b = Gray8(2, 2); b.BitCount = 2; b.Palette.resize(4); return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid BitCout"},
    {"InfoHeaderZeroBits", [] { auto b = Gray8(2, 2); b.BitCount = 0; b.Palette.clear(); return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid BitCout"},
    {"CoreHeaderSixteenBits",
     [] { auto b = Gray8(2, 2); b.HeaderSize = 12; b.BitCount = 16; b.Palette.clear(); return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid BitCount"},
    {"CoreHeaderThirtyTwoBits",
     [] { auto b = Gray8(2, 2); b.HeaderSize = 12; b.BitCount = 32; b.Palette.clear(); return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid BitCount"},
    {"V4Header", [] { auto b = Gray8(2, 2); b.HeaderSize = 108; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Bitmap Header Size"},
    {"V5Header", [] { auto b = Gray8(2, 2); b.HeaderSize = 124; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Bitmap Header Size"},
    {"Os2V2Header", [] { auto b = Gray8(2, 2); b.HeaderSize = 64; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Bitmap Header Size"},
    {"OffBitsInsideTable", [] { auto b = Gray8(2, 2); b.OffBits = 54 + 1023; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromFile: bfOffBits is too small"},
    {"OffBitsZero", [] { auto b = Gray8(2, 2); b.OffBits = 0; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromFile: bfOffBits is too small"},
    {"OffBitsMissesMasks",
     [] { auto b = True16(2, 2, 3, {0xF800, 0x7E0, 0x1F}); b.OffBits = 54; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromFile: bfOffBits is too small"},
    {"OffBitsInsideCoreTable",
     [] { auto b = Gray8(2, 2); b.HeaderSize = 12; b.Palette.resize(256); b.OffBits = 26 + 767; return b; },
     "InvalidDIB", "TVxInternalDIB.LoadFromFile: bfOffBits is too small"},
    {"OffBitsBeforeHugeClrUsed", [] { auto b = Gray8(2, 2); b.ClrUsed = 0x40000001; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromFile: bfOffBits is too small"},
    {"WidthZero", [] { auto b = Gray8(2, 2); b.Width = 0; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"WidthNegative", [] { auto b = Gray8(2, 2); b.Width = -2; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"HeightZero", [] { auto b = Gray8(2, 2); b.Height = 0; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"CoreWidthZero", [] { auto b = Gray8(2, 2); b.HeaderSize = 12; b.Width = 0; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    // A height whose magnitude does not fit 32 bits, whatever the compression.
    {"HeightMostNegative", [] { auto b = Gray8(2, 2); b.Height = INT32_MIN; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"Rle8HeightMostNegative", [] { auto b = Gray8(2, 2); b.Compression = 1; b.Height = INT32_MIN; return b; },
     "InvalidDIB", "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"Rle4HeightMostNegative",
     [] {
       auto b = Gray8(2, 2);
       b.BitCount = 4, b.Palette.resize(16), b.Compression = 2, b.Height = INT32_MIN;
       return b;
     },
     "InvalidDIB", "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"SixteenBitHeightMostNegative", [] { auto b = True16(2, 2, 0, {}); b.Height = INT32_MIN; return b; },
     "InvalidDIB", "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"ZeroGreenMask", [] { return True16(2, 2, 3, {0xF800, 0, 0x1F}); }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Masks"},
    {"AllMasksZero32", [] { auto b = True16(2, 2, 3, {0, 0, 0}); b.BitCount = 32; b.Pixels.resize(16); return b; },
     "InvalidDIB", "TVxInternalDIB.LoadFromStream: Invalid Masks"},
    // Pixel blocks that the header's rows do not fit, or that have no size at all.
    {"FileSizeBeforeOffBits", [] { auto b = Gray8(2, 2); b.FileSize = 100; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Pixel Data Size"},
    {"EmptyPixelBlock", [] { auto b = Gray8(2, 2); b.FileSize = 54 + 1024; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Pixel Data Size"},
    {"EmptyRlePixelBlock", [] { auto b = Gray8(2, 2); b.Compression = 1; b.FileSize = 54 + 1024; return b; },
     "InvalidDIB", "TVxInternalDIB.LoadFromStream: Invalid Pixel Data Size"},
    {"RowsLongerThanBlock", [] { auto b = Gray8(2, 3); b.FileSize = 54 + 1024 + 8; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Pixel Data Too Short"},
    {"WidestImage", [] { auto b = Gray8(2, 2); b.Width = 0x7FFFFFFF; b.BitCount = 24; b.Palette.clear(); return b; },
     "InvalidDIB", "TVxInternalDIB.LoadFromStream: Image Too Large"},
    {"TallestImage", [] { auto b = Gray8(2, 2); b.Width = 1024; b.Height = 0x7FFFFFFF; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Image Too Large"},
    {"WidestSixteenBitImage", [] { auto b = True16(2, 2, 0, {}); b.Width = 0x40000000; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Image Too Large"},
    // Masks that the file does not supply are not made up.
    {"SixteenBitRle", [] { return True16(2, 2, 1, {}); }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Compression"},
    {"ThirtyTwoBitJpeg", [] { auto b = True16(2, 2, 4, {}); b.BitCount = 32; return b; }, "InvalidDIB",
     "TVxInternalDIB.LoadFromStream: Invalid Compression"},
    // A stream that ends early fails with the stream's own error.
    {"PixelsCutShort", [] { auto b = Gray8(4, 4); b.FileSize = 54 + 1024 + 16; b.Pixels.resize(15); return b; },
     "Read", "Stream read error"},
    {"HugeBlockInShortFile", [] { auto b = Gray8(4, 4); b.FileSize = 0x7FFFFFF0; return b; }, "Read",
     "Stream read error"},
    {"TableCutShort", [] { auto b = Gray8(1, 1); b.Palette.resize(100); b.Pixels.clear(); b.OffBits = 1078; return b; },
     "Read", "Stream read error"},
    {"SixteenBitRowsCutShort", [] { auto b = True16(2, 4, 0, {}); b.FileSize = 54 + 32; b.Pixels.resize(10); return b; },
     "Read", "Stream read error"},
    {"SixteenBitRowsCutShortSizeZero",
     [] { auto b = True16(2, 4, 0, {}); b.FileSize = 0; b.Pixels.resize(10); return b; }, "Read", "Stream read error"},
    {"SixteenBitPixelsPastTheEnd",
     [] { auto b = True16(2, 45, 0, {}); b.Width = 9568383; b.OffBits = 0x7F000000; b.Pixels.resize(4); return b; },
     "Read", "Stream read error"},
    {"ThirtyTwoBitRowsMissing",
     [] { auto b = True16(2, 4, 0, {}); b.BitCount = 32; b.FileSize = 0; b.Pixels.resize(31); return b; }, "Read",
     "Stream read error"},
};

class LoadFromStreamFails : public ::testing::TestWithParam<TLoadFailure> {};

TEST_P(LoadFromStreamFails, WithItsMessageAndKeepsTheStorage) {
  const TLoadFailure& c = GetParam();
  const Bytes file = c.Make().Build();
  // Hostile files seed the readers' fuzzers (the packed form without the file header).
  for (const char* target : {"fuzz_bmp_stream", "fuzz_conversion"})
    WriteFuzzSeed(target, std::string("hostile-") + c.Name, file);
  WriteFuzzSeed("fuzz_cf_dib", std::string("hostile-") + c.Name, Bytes(file.begin() + 14, file.end()));
  // A file of a few bytes costs a few bytes, whatever its header declares.
  const TAllocationHook previous = SetAllocationHook([](std::size_t size) noexcept { return size < (1u << 20); });
  for (bool fmo : {false, true}) {
    TVxInternalDIB dib(fmo);
    FillDistinctive(dib);
    const TStorageSnapshot before(dib);
    TCustomMemoryStream stream(file.data(), static_cast<std::int64_t>(file.size()));
    std::string what, kind;
    try {
      dib.LoadFromStream(stream);
      kind = "none";
    } catch (const EVxDIBInvalidDIBFile& e) {
      kind = "InvalidDIBFile", what = e.what();
    } catch (const EVxDIBInvalidDIB& e) {
      kind = "InvalidDIB", what = e.what();
    } catch (const EReadError& e) {
      kind = "Read", what = e.what();
    }
    EXPECT_EQ(kind, c.Class);
    EXPECT_EQ(what, c.Message);
    EXPECT_TRUE(before.Matches(dib));
  }
  SetAllocationHook(previous);
}

INSTANTIATE_TEST_SUITE_P(TVxInternalDIB, LoadFromStreamFails, ::testing::ValuesIn(LoadFailures),
                         [](const auto& p) { return std::string(p.param.Name); });

TEST(TVxInternalDIBLoad, BadFileTypeFailsBeforeReadingTheHeader) {
  // Only 14 bytes: a reader that went on would fail with a read error instead.
  Bytes file = Gray8(1, 1).Build();
  file[0] = 'X';
  file.resize(14);
  TVxInternalDIB dib(false);
  TCustomMemoryStream stream(file.data(), 14);
  EXPECT_THROW(dib.LoadFromStream(stream), EVxDIBInvalidDIBFile);
}

// ---- what the stream reader keeps ------------------------------------------------------------

std::unique_ptr<TVxInternalDIB> Load(const Bytes& file, bool fmo = true) {
  auto dib = std::make_unique<TVxInternalDIB>(fmo);
  TCustomMemoryStream stream(file.data(), static_cast<std::int64_t>(file.size()));
  dib->LoadFromStream(stream);
  return dib;
}

TEST(TVxInternalDIBLoad, EightBitFileKeepsHeaderTableAndPixels) {
  TBmpBuilder b = Gray8(3, 2);
  b.ClrImportant = 7;
  b.SizeImage = 8;
  b.Planes = 3;
  b.ClrUsed = 20;
  b.Palette.resize(20);
  b.XPelsPerMeter = 0;
  b.YPelsPerMeter = 1234;
  TVxInternalDIB dib(true);
  const Bytes file = b.Build();
  TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
  dib.PaletteChanged = false;
  dib.LoadFromStream(s);
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(file.size()));
  const TVxBitmapInfoHeader& h = dib.DIB.Header;
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 3);
  EXPECT_EQ(h.biHeight, 2);
  EXPECT_EQ(h.biPlanes, 3);  // not validated
  EXPECT_EQ(h.biBitCount, 8);
  EXPECT_EQ(h.biSizeImage, 8u);
  EXPECT_EQ(h.biXPelsPerMeter, 3780);
  EXPECT_EQ(h.biYPelsPerMeter, 1234);
  EXPECT_EQ(h.biClrUsed, 20u);
  EXPECT_EQ(h.biClrImportant, 7u);
  EXPECT_EQ(dib.Width, 3);
  EXPECT_EQ(dib.Height, 2);
  EXPECT_TRUE(dib.PaletteChanged);
  ASSERT_EQ(dib.DIB.BitsSize, 8u);
  EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + 8), b.Pixels);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(dib.DIB.ColorTable[i], (TVxRGBQuad{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 7), 0}));
  EXPECT_EQ(dib.DIB.ColorTable[20], (TVxRGBQuad{0, 0, 0, 0}));
}

TEST(TVxInternalDIBLoad, ZeroClrUsedBecomesTheColorCountOfTheBitCount) {
  for (std::uint16_t bits : {1, 4, 8, 24}) {
    TBmpBuilder b = Gray8(2, 2);
    b.BitCount = bits;
    b.Palette.resize(static_cast<std::size_t>(ColorCount(bits)));
    b.Pixels = TBmpBuilder::Rows(2, 2, bits, [](int, int) { return 1u; });
    const auto owner = Load(b.Build());
    EXPECT_EQ(owner->DIB.Header.biClrUsed, static_cast<std::uint32_t>(ColorCount(bits))) << bits;
  }
}

TEST(TVxInternalDIBLoad, LeavesThePositionAfterThePixelData) {
  Bytes file = Gray8(2, 2).Build();
  const std::size_t end = file.size();
  file.insert(file.end(), {1, 2, 3, 4, 5});
  TVxInternalDIB dib(false);
  TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
  dib.LoadFromStream(s);
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(end));
}

TEST(TVxInternalDIBLoad, PixelBlockRunsFromOffBitsToFileSize) {
  // Extra bytes after the rows belong to the block; bytes before bfOffBits are skipped.
  TBmpBuilder b = Gray8(2, 2);
  b.Gap = 10;
  b.Pixels.insert(b.Pixels.end(), {9, 9, 9, 9});
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  ASSERT_EQ(dib.DIB.BitsSize, 12u);
  EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + 12), b.Pixels);
}

TEST(TVxInternalDIBLoad, Os2TwentyFourBitFileHasNoTable) {
  TBmpBuilder b;
  b.HeaderSize = 12;
  b.Width = 2;
  b.Height = 2;
  b.BitCount = 24;
  b.Planes = 1;
  b.Pixels = TBmpBuilder::Rows(2, 2, 24, [](int x, int r) { return 0x102030u * (x + 1) + r; });
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  const TVxBitmapInfoHeader& h = dib.DIB.Header;
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biClrUsed, 0u);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biXPelsPerMeter, 3780);
  EXPECT_EQ(h.biYPelsPerMeter, 3780);
  EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize), b.Pixels);
}

TEST(TVxInternalDIBLoad, Os2EightBitFileGetsQuadsWithZeroReservedBytes) {
  TBmpBuilder b = Gray8(2, 2);
  b.HeaderSize = 12;
  b.Planes = 1;
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  const TVxBitmapInfoHeader& h = dib.DIB.Header;
  EXPECT_EQ(h.biClrUsed, 256u);
  EXPECT_EQ(h.biHeight, 2);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(h.biClrImportant, 0u);
  for (int i = 0; i < 256; ++i)
    ASSERT_EQ(dib.DIB.ColorTable[i], (TVxRGBQuad{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 7), 0})) << i;
  EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize), b.Pixels);
}

TEST(TVxInternalDIBLoad, Os2HeightAboveSignedSixteenBitsStaysBottomUp) {
  TBmpBuilder b;
  b.HeaderSize = 12;
  b.Width = 1;
  b.Height = 0x8001;  // 16-bit field: zero-extended, not a negative height
  b.BitCount = 1;
  b.Palette = TBmpBuilder::RampPalette(2);
  b.Pixels.assign(4u * 0x8001, 0x80);
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.Header.biHeight, 0x8001);
  EXPECT_EQ(dib.Height, 0x8001);
}

TEST(TVxInternalDIBLoad, MoreThan256ColorsKeep256AndReadPixelsFromOffBits) {
  TBmpBuilder b = Gray8(2, 2);
  b.ClrUsed = 300;
  b.Palette = TBmpBuilder::RampPalette(300);
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 256u);
  EXPECT_EQ(dib.DIB.ColorTable[255], (TVxRGBQuad{255, 0, static_cast<std::uint8_t>(255 * 7), 0}));
  EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize), b.Pixels);
}

struct TTrueColorCase {
  const char* Name;
  std::uint16_t Bits;
  std::uint32_t Compression;
  std::vector<std::uint32_t> Masks;
  std::uint32_t Pixel;
  std::uint8_t Red, Green, Blue;
  friend std::ostream& operator<<(std::ostream& os, const TTrueColorCase& c) { return os << c.Name; }
};

class TrueColorPixel : public ::testing::TestWithParam<TTrueColorCase> {};

TEST_P(TrueColorPixel, BecomesTwentyFourBits) {
  const TTrueColorCase& c = GetParam();
  TBmpBuilder b;
  b.Width = 3;  // 16 bits: 6 bytes padded to 8; 24 bits: 9 padded to 12
  b.Height = 2;
  b.BitCount = c.Bits;
  b.Compression = c.Compression;
  b.Masks = c.Masks;
  b.Pixels = TBmpBuilder::Rows(3, 2, c.Bits, [&](int, int) { return c.Pixel; });
  for (const Bytes& file : {b.Build(), Bytes{}}) {
    TVxInternalDIB dib(true);
    if (file.empty()) {
      const Bytes packed = b.BuildPacked();
      TGlobalHandle g = MakeGlobal(packed);
      dib.LoadFromClipboardFormat(g);
      platform::GlobalFree(g);
    } else {
      TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
      dib.LoadFromStream(s);
    }
    const TVxBitmapInfoHeader& h = dib.DIB.Header;
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    ASSERT_EQ(dib.DIB.BitsSize, 24u);
    for (int r = 0; r < 2; ++r) {
      const std::uint8_t* row = dib.DIB.Bits + 12 * r;
      for (int x = 0; x < 3; ++x) {
        EXPECT_EQ(row[3 * x], c.Blue);
        EXPECT_EQ(row[3 * x + 1], c.Green);
        EXPECT_EQ(row[3 * x + 2], c.Red);
      }
      EXPECT_EQ(row[9], 0);
      EXPECT_EQ(row[10], 0);
      EXPECT_EQ(row[11], 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    TVxInternalDIB, TrueColorPixel,
    ::testing::Values(TTrueColorCase{"White555", 16, 0, {}, 0x7FFF, 255, 255, 255},
                      TTrueColorCase{"Blue555", 16, 0, {}, 0x001F, 0, 0, 255},
                      TTrueColorCase{"Red555", 16, 0, {}, 0x7C00, 255, 0, 0},
                      TTrueColorCase{"TopBitIgnored555", 16, 0, {}, 0x8000, 0, 0, 0},
                      TTrueColorCase{"MidGrey555", 16, 0, {}, 0x4210, 131, 131, 131},  // 16*255/31
                      TTrueColorCase{"Green565", 16, 3, {0xF800, 0x07E0, 0x001F}, 0x07E0, 0, 255, 0},
                      TTrueColorCase{"HalfGreen565", 16, 3, {0xF800, 0x07E0, 0x001F}, 0x0400, 0, 129, 0},  // 32*255/63
                      TTrueColorCase{"Swapped565", 16, 3, {0x001F, 0x07E0, 0xF800}, 0xF800, 0, 0, 255},
                      TTrueColorCase{"Rgb32", 32, 0, {}, 0x00123456, 0x12, 0x34, 0x56},
                      TTrueColorCase{"TopByteIgnored32", 32, 0, {}, 0xFF123456, 0x12, 0x34, 0x56},
                      TTrueColorCase{"Masks32", 32, 3, {0xFF000000, 0x00FF0000, 0x0000FF00}, 0x11223344, 0x11, 0x22, 0x33},
                      TTrueColorCase{"TenBitMasks32", 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}, 0x3FF003FF, 255, 0, 255}),
    [](const auto& p) { return std::string(p.param.Name); });

// 16- and 32-bit rows are read as the header describes them: bfSize takes no part.
TEST(TVxInternalDIBLoad, TrueColorRowsLoadWhateverBfSizeSays) {
  for (const std::uint16_t bits : {16, 32})
    for (const std::uint32_t fileSize : {0u, 1u, 54u + 8u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, bfSize " + std::to_string(fileSize));
      TBmpBuilder b = True16(2, 3, 0, {});
      b.BitCount = bits;
      b.Pixels = TBmpBuilder::Rows(2, 3, bits, [](int x, int r) { return x == 1 && r == 2 ? 0u : 0x7FFFu; });
      b.FileSize = fileSize;
      const Bytes file = b.Build();
      WriteFuzzSeed("fuzz_bmp_stream", "bfsize-" + std::to_string(bits) + "-" + std::to_string(fileSize), file);
      TVxInternalDIB dib(false);
      TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
      ASSERT_NO_THROW(dib.LoadFromStream(s));
      EXPECT_EQ(s.Position(), static_cast<std::int64_t>(file.size()));
      // 0x7FFF: white in 5-5-5; blue 255, green 127, red 0 in 8-8-8. The last pixel is black.
      const Bytes pixel = bits == 16 ? Bytes{255, 255, 255} : Bytes{255, 127, 0};
      Bytes want;
      for (int r = 0; r < 3; ++r) {
        for (int x = 0; x < 2; ++x) want.insert(want.end(), pixel.begin(), pixel.end());
        want.insert(want.end(), 2, 0);
      }
      std::fill(want.begin() + 16 + 3, want.begin() + 16 + 6, 0);
      EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize), want);
    }
}

TEST(TVxInternalDIBLoad, BitFieldPaletteMovesToTheFrontAndClrUsedStays) {
  TBmpBuilder b = True16(1, 1, 3, {0xF800, 0x07E0, 0x001F});
  b.ClrUsed = 2;
  b.Palette = {{1, 2, 3}, {4, 5, 6}};
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 2u);
  EXPECT_EQ(dib.DIB.ColorTable[0], (TVxRGBQuad{1, 2, 3, 0}));
  EXPECT_EQ(dib.DIB.ColorTable[1], (TVxRGBQuad{4, 5, 6, 0}));
}

TEST(TVxInternalDIBLoad, TopDownSixteenBitImageKeepsItsRowOrder) {
  TBmpBuilder b = True16(1, -2, 0, {});
  b.Pixels = TBmpBuilder::Rows(1, 2, 16, [](int, int r) { return r == 0 ? 0x7C00u : 0x001Fu; });
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.Header.biHeight, -2);
  EXPECT_EQ(dib.Height, 2);
  ASSERT_EQ(dib.DIB.BitsSize, 8u);
  EXPECT_EQ(dib.DIB.Bits[2], 255);  // first stored row red
  EXPECT_EQ(dib.DIB.Bits[4], 255);  // second blue
}

TEST(TVxInternalDIBLoad, Rle8StaysCompressedAndSavesTheSameBytes) {
  TBmpBuilder b = Gray8(4, 2);
  b.Compression = 1;
  b.ClrUsed = 256;
  b.Pixels = {4, 7, 0, 0, 2, 1, 2, 2, 0, 0, 0, 1};
  b.SizeImage = 12;
  const Bytes file = b.Build();
  const auto owner = Load(file);
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.Header.biCompression, 1u);
  EXPECT_EQ(Bytes(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize), b.Pixels);
  EXPECT_EQ(dib.GetPixelFormat(), vxpf8BitRLE);
  TMemoryStream out;
  dib.SaveToStream(out);
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  EXPECT_EQ(Bytes(p, p + out.Size()), file);
}

TEST(TVxInternalDIBLoad, TopDownEightBitFileKeepsItsNegativeHeight) {
  const auto owner = Load(Gray8(2, -3).Build());
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.Header.biHeight, -3);
  EXPECT_EQ(dib.Height, 3);
}

TEST(TVxInternalDIBLoad, EightBitWithBitFieldsLoadsButHasNoPixelFormat) {
  TBmpBuilder b = Gray8(2, 2);
  b.Compression = 3;
  b.Masks = {0x11, 0x22, 0x33};
  const auto owner = Load(b.Build());
  const TVxInternalDIB& dib = *owner;
  EXPECT_EQ(dib.DIB.ColorTable[0], (TVxRGBQuad{0x11, 0, 0, 0}));
  EXPECT_EQ(dib.DIB.ColorTable[2], (TVxRGBQuad{0x33, 0, 0, 0}));
  EXPECT_EQ(dib.DIB.ColorTable[3], (TVxRGBQuad{0, 255, 0, 0}));
  std::string message;
  try {
    dib.GetPixelFormat();
  } catch (const EVxDIBInvalidDIB& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "TVxInternalDIB.GetPixelFormat: Invalid DIB(8Bit)");
}

// ---- the stream writer -----------------------------------------------------------------------

TEST(TVxInternalDIBSave, OneByOneWith256ColorsHasTheDocumentedLayout) {
  TVxInternalDIB dib(true);
  dib.DIB.ColorTable[1] = {1, 2, 3, 0};
  dib.DIB.Bits[0] = 1;
  dib.DIB.Header.biSizeImage = 77;
  TMemoryStream out;
  dib.SaveToStream(out);
  ASSERT_EQ(out.Size(), 1082);
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  const Bytes expectedHead = {'B', 'M', 0x3A, 0x04, 0, 0, 0, 0, 0, 0, 0x36, 0x04, 0, 0,  // 1082, 1078
                              40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0, 77, 0, 0, 0,
                              0xC4, 0x0E, 0, 0, 0xC4, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(p, p + 54), expectedHead);
  EXPECT_EQ(Bytes(p + 58, p + 62), (Bytes{1, 2, 3, 0}));
  EXPECT_EQ(Bytes(p + 1078, p + 1082), (Bytes{1, 0, 0, 0}));
}

TEST(TVxInternalDIBSave, WritesOnlyTheUsedEntriesAndTheHeightsSign) {
  TVxInternalDIB dib(false);
  dib.ReleaseStorage();
  dib.CreateDIB(2, -2, 2, 1);
  dib.DIB.ColorTable[0] = {9, 8, 7, 0};
  TMemoryStream out;
  dib.SaveToStream(out);
  ASSERT_EQ(out.Size(), 54 + 8 + 8);
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  EXPECT_EQ(Bytes(p + 22, p + 26), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(p + 54, p + 58), (Bytes{9, 8, 7, 0}));
  // and it reads back to the same storage
  TVxInternalDIB back(true);
  TCustomMemoryStream in(out.Memory(), out.Size());
  back.LoadFromStream(in);
  EXPECT_EQ(std::memcmp(&back.DIB.Header, &dib.DIB.Header, 40), 0);
  EXPECT_EQ(back.Height, 2);
}

// ---- the packed-DIB reader and writer ---------------------------------------------------------

struct TClipFailure {
  const char* Name;
  std::function<Bytes()> Make;
  const char* Message;
  friend std::ostream& operator<<(std::ostream& os, const TClipFailure& c) { return os << c.Name; }
};

const TClipFailure ClipFailures[] = {
    {"V4Header", [] { auto b = Gray8(2, 2); b.HeaderSize = 108; return b.BuildPacked(); },
     "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
    {"WidthZero", [] { auto b = Gray8(2, 2); b.Width = 0; return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"HeightZero", [] { auto b = Gray8(2, 2); b.Height = 0; return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"CoreHeightZero", [] { auto b = Gray8(2, 2); b.HeaderSize = 12; b.Height = 0; return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"Rle8HeightMostNegative",
     [] { auto b = Gray8(2, 2); b.Compression = 1; b.Height = INT32_MIN; return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"SixteenBitHeightMostNegative",
     [] { auto b = True16(2, 2, 0, {}); b.Height = INT32_MIN; return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromStream: Invalid Width or Height"},
    {"TwoBits", [] { auto b = Gray8(2, 2); b.BitCount = 2; b.Palette.resize(4); return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromClipboardFormat: Invalid biBitCount"},
    {"ZeroMask", [] { return True16(2, 2, 3, {0, 0x7E0, 0x1F}).BuildPacked(); },
     "TVxInternalDIB.LoadFromStream: Invalid Masks"},
    {"SixteenBitRle", [] { return True16(2, 2, 2, {}).BuildPacked(); },
     "TVxInternalDIB.LoadFromClipboardFormat: Invalid Compression"},
    // The block must hold the header, the table and the rows it describes.
    {"HeaderCutShort", [] { auto p = Gray8(2, 2).BuildPacked(); p.resize(20); return p; },
     "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
    {"TableCutShort", [] { auto p = Gray8(2, 2).BuildPacked(); p.resize(40 + 512); return p; },
     "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
    {"HugeClrUsed", [] { auto b = Gray8(2, 2); b.ClrUsed = 0xFFFFFFFF; return b.BuildPacked(); },
     "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Data"},
    {"NoPixels", [] { auto b = Gray8(2, 2); b.Pixels.clear(); return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromClipboardFormat: Invalid Pixel Data Size"},
    {"RowsMissing", [] { auto b = Gray8(64, 4); b.Pixels.resize(64 * 2); return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromClipboardFormat: Pixel Data Too Short"},
    {"SixteenBitRowsMissing", [] { auto b = True16(64, 4, 0, {}); b.Pixels.resize(128 * 2); return b.BuildPacked(); },
     "TVxInternalDIB.LoadFromClipboardFormat: Pixel Data Too Short"},
};

class LoadFromClipboardFails : public ::testing::TestWithParam<TClipFailure> {};

TEST_P(LoadFromClipboardFails, WithItsMessageAndKeepsTheStorage) {
  const TClipFailure& c = GetParam();
  const Bytes packed = c.Make();
  WriteFuzzSeed("fuzz_cf_dib", std::string("hostile-clip-") + c.Name, packed);
  TGlobalHandle g = MakeGlobal(packed);
  TVxInternalDIB dib(true);
  FillDistinctive(dib);
  const TStorageSnapshot before(dib);
  std::string what = "<none>";
  try {
    dib.LoadFromClipboardFormat(g);
  } catch (const EVxDIBInvalidDIB& e) {
    what = e.what();
  }
  EXPECT_EQ(what, c.Message);
  EXPECT_TRUE(before.Matches(dib));
  // the block was unlocked on the failing path: it can be locked and freed as usual
  platform::GlobalFree(g);
}

INSTANTIATE_TEST_SUITE_P(TVxInternalDIB, LoadFromClipboardFails, ::testing::ValuesIn(ClipFailures),
                         [](const auto& p) { return std::string(p.param.Name); });

TEST(TVxInternalDIBClipboard, SavedBlockHasHeaderUsedEntriesAndPixels) {
  TVxInternalDIB dib(true);
  dib.ReleaseStorage();
  dib.CreateDIB(3, 2, 16, 4);
  dib.DIB.ColorTable[15] = {1, 2, 3, 0};
  dib.DIB.Bits[0] = 0xAB;
  dib.DIB.Bits[7] = 0xCD;
  TGlobalHandle g = dib.SaveToClipboardFormat();
  ASSERT_NE(g, nullptr);
  {
    platform::TGlobalLock lock(g);
    const auto* p = static_cast<const std::uint8_t*>(lock.Get());
    ASSERT_GE(platform::GlobalSize(g), 40u + 64 + 8);
    EXPECT_EQ(std::memcmp(p, &dib.DIB.Header, 40), 0);
    EXPECT_EQ(Bytes(p + 40 + 60, p + 40 + 64), (Bytes{1, 2, 3, 0}));
    EXPECT_EQ(p[104], 0xAB);
    EXPECT_EQ(p[111], 0xCD);
  }
  TVxInternalDIB back(false);
  back.LoadFromClipboardFormat(g);
  platform::GlobalFree(g);
  EXPECT_EQ(std::memcmp(&back.DIB.Header, &dib.DIB.Header, 40), 0);
  EXPECT_EQ(std::memcmp(back.DIB.ColorTable, dib.DIB.ColorTable, 16 * 4), 0);
  ASSERT_GE(back.DIB.BitsSize, 8u);
  EXPECT_EQ(std::memcmp(back.DIB.Bits, dib.DIB.Bits, 8), 0);
}

TEST(TVxInternalDIBClipboard, Os2BlockIsConvertedLikeAFile) {
  TBmpBuilder b = Gray8(2, 2);
  b.HeaderSize = 12;
  b.Palette = TBmpBuilder::RampPalette(256);
  TGlobalHandle g = MakeGlobal(b.BuildPacked());
  TVxInternalDIB dib(false);
  dib.LoadFromClipboardFormat(g);
  platform::GlobalFree(g);
  EXPECT_EQ(dib.DIB.Header.biSize, 40u);
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 256u);
  EXPECT_EQ(dib.DIB.ColorTable[5], (TVxRGBQuad{5, 250, 35, 0}));
  EXPECT_EQ(std::memcmp(dib.DIB.Bits, b.Pixels.data(), b.Pixels.size()), 0);
}

TEST(TVxInternalDIBClipboard, ZeroResolutionsBecome3780AndClrUsedIsCut) {
  TBmpBuilder b = Gray8(1, 1);
  b.XPelsPerMeter = 0;
  b.YPelsPerMeter = 0;
  b.ClrUsed = 260;
  b.Palette = TBmpBuilder::RampPalette(260);
  TGlobalHandle g = MakeGlobal(b.BuildPacked());
  TVxInternalDIB dib(false);
  dib.LoadFromClipboardFormat(g);
  platform::GlobalFree(g);
  EXPECT_EQ(dib.DIB.Header.biXPelsPerMeter, 3780);
  EXPECT_EQ(dib.DIB.Header.biYPelsPerMeter, 3780);
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 256u);
  EXPECT_EQ(dib.DIB.Bits[0], b.Pixels[0]);
}

}  // namespace
