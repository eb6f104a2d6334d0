#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dib/DIBTestSupport.h"
#include "dib/VxDIB.h"
#include "platform/Palette.h"

namespace {

bool AllZero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// ---- CreateDIB ------------------------------------------------------------------------

struct TCreateCase {
  int W, H, Colors, Bits;
  friend std::ostream& operator<<(std::ostream& os, const TCreateCase& c) {
    return os << c.W << "x" << c.H << "_" << c.Colors << "colors_" << c.Bits << "bits";
  }
};

class CreateDIBRejects : public ::testing::TestWithParam<TCreateCase> {};

TEST_P(CreateDIBRejects, WithInvalidParametersAndKeepsTheOldContent) {
  const TCreateCase c = GetParam();
  TVxInternalDIB dib(false);
  dib.ReleaseStorage();
  EXPECT_EQ(MessageOf<EVxDIBInvalidDIBPara>([&] { dib.CreateDIB(c.W, c.H, c.Colors, c.Bits); }),
            "TVxInternalDIB.CreateDIB: Invalid Parameters");
  EXPECT_EQ(dib.DIB.Bits, nullptr);
  EXPECT_EQ(dib.DIB.BitsSize, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    TVxInternalDIB, CreateDIBRejects,
    ::testing::Values(TCreateCase{0, 1, 0, 8}, TCreateCase{1, 0, 0, 8}, TCreateCase{1, 1, 257, 8},
                      TCreateCase{1, 1, -1, 8}, TCreateCase{1, 1, 0, 16}, TCreateCase{1, 1, 0, 32},
                      TCreateCase{-5, 1, 0, 24},
                      // Sizes past the signed 32-bit block range fail instead of wrapping.
                      TCreateCase{0x7FFFFFFF, 1, 0, 24}, TCreateCase{65536, 65536, 0, 8},
                      TCreateCase{1, -0x7FFFFFFF, 0, 24}, TCreateCase{0x7FFFFFFF, 0x7FFFFFFF, 0, 1}));

TEST(TVxInternalDIB, NewStorageIsOneByOneBlackEightBitImage) {
  for (bool fmo : {false, true}) {
    TVxInternalDIB dib(fmo);
    EXPECT_EQ(dib.RefCount, 1);
    EXPECT_EQ(dib.Width, 1);
    EXPECT_EQ(dib.Height, 1);
    EXPECT_EQ(dib.UseFMO, fmo);
    EXPECT_EQ(dib.DIB.BitsSize, 4u);
    ASSERT_NE(dib.DIB.Bits, nullptr);
    EXPECT_TRUE(AllZero(dib.DIB.Bits, 4));
    EXPECT_EQ(dib.DIB.MappingHandle != nullptr, fmo);
    EXPECT_EQ(dib.PaletteHandle, nullptr);
    EXPECT_TRUE(dib.PaletteChanged);
    const TVxBitmapInfoHeader& h = dib.DIB.Header;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 1);
    EXPECT_EQ(h.biHeight, 1);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 8);
    EXPECT_EQ(h.biCompression, 0u);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biXPelsPerMeter, 3780);
    EXPECT_EQ(h.biYPelsPerMeter, 3780);
    EXPECT_EQ(h.biClrUsed, 256u);
    EXPECT_EQ(h.biClrImportant, 0u);
    EXPECT_TRUE(AllZero(dib.DIB.TableBytes(), sizeof dib.DIB.ColorTable));
    EXPECT_EQ(dib.GetPixelFormat(), vxpf8Bit);
  }
}

TEST(TVxInternalDIB, CreateDIBWithNegativeHeightMakesTopDownImage) {
  TVxInternalDIB dib(true);
  dib.ReleaseStorage();
  dib.CreateDIB(1, -1, 0, 8);
  EXPECT_EQ(dib.DIB.Header.biHeight, -1);
  EXPECT_EQ(dib.Height, 1);
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 0u);
}

TEST(TVxInternalDIB, CreateDIBSizesTheBlockByPaddedRowsAndClearsIt) {
  TVxInternalDIB dib(true);
  dib.ReleaseStorage();
  dib.CreateDIB(5, -3, 16, 24);
  EXPECT_EQ(dib.DIB.BitsSize, 48u);
  EXPECT_TRUE(AllZero(dib.DIB.Bits, 48));
  EXPECT_EQ(dib.Width, 5);
  EXPECT_EQ(dib.Height, 3);
  EXPECT_EQ(dib.DIB.Header.biClrUsed, 16u);
}

TEST(TVxInternalDIB, ReleaseStorageDropsBlockAndPalette) {
  TVxInternalDIB dib(true);
  dib.PaletteHandle = GetPaletteFromDIBInfos(dib.DIB);
  ASSERT_NE(dib.PaletteHandle, nullptr);
  dib.ReleaseStorage();
  EXPECT_EQ(dib.DIB.Bits, nullptr);
  EXPECT_EQ(dib.DIB.MappingHandle, nullptr);
  EXPECT_EQ(dib.DIB.BitsSize, 0u);
  EXPECT_EQ(dib.PaletteHandle, nullptr);
  dib.ReleaseStorage();  // twice is harmless
}

TEST(TVxInternalDIB, UpdatePaletteDropsCachedHandleAndFlagsTheChange) {
  TVxInternalDIB dib(false);
  dib.PaletteChanged = false;
  dib.PaletteHandle = GetPaletteFromDIBInfos(dib.DIB);
  dib.UpdatePalette();
  EXPECT_EQ(dib.PaletteHandle, nullptr);
  EXPECT_TRUE(dib.PaletteChanged);
}

TEST(TVxInternalDIB, UpdatePaletteOnSharedStorageIsAnAssertionFailure) {
  TVxInternalDIB dib(false);
  dib.RefCount = 2;
  dib.PaletteChanged = false;
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { dib.UpdatePalette(); }),
            "TVxInternalDIB.UpdatePalette: RefCount Must be 1");
  EXPECT_FALSE(dib.PaletteChanged);
  dib.RefCount = 1;
}

// ---- row sizes, colour counts, masks -----------------------------------------------------

struct TRowCase {
  std::int64_t Width;
  int Bits;
  std::int64_t Bytes;
  friend std::ostream& operator<<(std::ostream& os, const TRowCase& c) {
    return os << c.Width << "px_" << c.Bits << "bits";
  }
};
class RowSize : public ::testing::TestWithParam<TRowCase> {};
TEST_P(RowSize, IsPaddedToFourBytes) {
  EXPECT_EQ(DIBRowSize(GetParam().Width, GetParam().Bits), GetParam().Bytes);
}
INSTANTIATE_TEST_SUITE_P(TVxInternalDIB, RowSize,
                         ::testing::Values(TRowCase{1, 1, 4}, TRowCase{33, 1, 8}, TRowCase{1, 24, 4},
                                           TRowCase{5, 24, 16}, TRowCase{3, 4, 4}, TRowCase{32, 1, 4},
                                           TRowCase{9, 4, 8}, TRowCase{4, 8, 4}, TRowCase{5, 8, 8},
                                           // no signed 32-bit wrap for the widest image
                                           TRowCase{0x7FFFFFFF, 24, 0x180000000LL}));

TEST(TVxInternalDIB, ImageSizeRefusesWhatDoesNotFitAndTakesAbsoluteHeight) {
  EXPECT_EQ(DIBImageSize(5, -3, 24), 48);
  EXPECT_EQ(DIBImageSize(5, 3, 24), 48);
  EXPECT_EQ(DIBImageSize(0x7FFFFFFF, 1, 8), -1);  // 2^31 bytes
  EXPECT_EQ(DIBImageSize(0x7FFFFFFC, 1, 8), 0x7FFFFFFC);
  EXPECT_EQ(DIBImageSize(4, 0x20000000, 8), -1);
  EXPECT_EQ(DIBImageSize(1, -0x80000000LL, 8), -1);
  EXPECT_EQ(DIBImageSize(0, 1, 8), -1);
}

TEST(TVxInternalDIB, ColorCountPerBitCount) {
  const std::pair<int, int> cases[] = {{1, 2}, {4, 16}, {8, 256}, {16, 0}, {24, 0}, {32, 0}, {2, 0}, {0, 0}};
  for (auto [bits, count] : cases) EXPECT_EQ(ColorCount(bits), count) << bits;
}

TEST(TVxInternalDIB, MaskShiftBringsHighestBitToBitSeven) {
  const std::pair<std::uint32_t, int> cases[] = {{0x7C00, 7},     {0x3E0, 2},      {0x1F, -3},
                                                 {0xF800, 8},     {0xFF0000, 16},  {0xFF, 0},
                                                 {0x80000000, 24}, {1, -7},        {0x7E0, 3},
                                                 {0xFF000000, 24}, {0x3FF00000, 22}};
  for (auto [mask, shift] : cases) EXPECT_EQ(MaskShift(mask), shift) << std::hex << mask;
}

// ---- pixel formats -----------------------------------------------------------------------

struct TFormatCase {
  std::uint16_t Bits;
  std::uint32_t Compression;
  int Format;  // -1: raises with Message
  const char* Message;
  friend std::ostream& operator<<(std::ostream& os, const TFormatCase& c) {
    return os << c.Bits << "bits_compression" << c.Compression;
  }
};
class GetPixelFormat : public ::testing::TestWithParam<TFormatCase> {};
TEST_P(GetPixelFormat, FromBitCountAndCompression) {
  const TFormatCase c = GetParam();
  TVxInternalDIB dib(false);
  dib.DIB.Header.biBitCount = c.Bits;
  dib.DIB.Header.biCompression = c.Compression;
  if (c.Format >= 0)
    EXPECT_EQ(dib.GetPixelFormat(), static_cast<TVxPixelFormat>(c.Format));
  else
    EXPECT_EQ(MessageOf<EVxDIBInvalidDIB>([&] { dib.GetPixelFormat(); }), c.Message);
}
INSTANTIATE_TEST_SUITE_P(
    TVxInternalDIB, GetPixelFormat,
    ::testing::Values(
        TFormatCase{1, 0, vxpf1Bit, ""}, TFormatCase{4, 0, vxpf4Bit, ""}, TFormatCase{4, 2, vxpf4BitRLE, ""},
        TFormatCase{8, 0, vxpf8Bit, ""}, TFormatCase{8, 1, vxpf8BitRLE, ""}, TFormatCase{24, 0, vxpf24Bit, ""},
        TFormatCase{1, 1, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(1Bit)"},
        TFormatCase{4, 1, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(4Bit)"},
        TFormatCase{4, 3, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(4Bit)"},
        TFormatCase{8, 2, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(8Bit)"},
        TFormatCase{8, 3, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(8Bit)"},
        TFormatCase{24, 3, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(24Bit)"},
        TFormatCase{16, 0, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(Illegal BitCount)"},
        TFormatCase{32, 0, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(Illegal BitCount)"},
        TFormatCase{0, 0, -1, "TVxInternalDIB.GetPixelFormat: Invalid DIB(Illegal BitCount)"}));

// ---- palettes ------------------------------------------------------------------------------

TEST(GetPaletteFromDIBInfos, NoEntriesGiveNoPalette) {
  TVxInternalDIB dib(false);
  dib.DIB.Header.biClrUsed = 0;
  EXPECT_EQ(GetPaletteFromDIBInfos(dib.DIB), nullptr);
}

TEST(GetPaletteFromDIBInfos, EntriesComeFromTheTableInRedGreenBlueOrder) {
  TVxInternalDIB dib(false);
  dib.DIB.Header.biClrUsed = 3;
  dib.DIB.ColorTable[0] = {1, 2, 3, 0};
  dib.DIB.ColorTable[1] = {10, 20, 30, 99};
  dib.DIB.ColorTable[2] = {255, 0, 128, 0};
  platform::TPaletteOwner pal(GetPaletteFromDIBInfos(dib.DIB));
  ASSERT_TRUE(pal);
  EXPECT_EQ(platform::GetPaletteEntries(pal.get(), 0, 0, nullptr), 3);
  platform::TPaletteEntry e[4]{};
  ASSERT_EQ(platform::GetPaletteEntries(pal.get(), 0, 4, e), 3);
  EXPECT_EQ(e[0], (platform::TPaletteEntry{3, 2, 1, 0}));
  EXPECT_EQ(e[1], (platform::TPaletteEntry{30, 20, 10, 0}));  // reserved byte never becomes a flag
  EXPECT_EQ(e[2], (platform::TPaletteEntry{128, 0, 255, 0}));
}

// ---- memory ------------------------------------------------------------------------------

TEST(GetMemory, BothKindsAreZeroFilledAndReleasable) {
  for (bool fmo : {false, true}) {
    for (std::uint32_t size : {1u, 4096u, 300000u, 3000000u}) {
      platform::TMappingHandle h = nullptr;
      std::uint8_t* p = nullptr;
      GetMemory(size, fmo, h, p);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(h != nullptr, fmo);
      EXPECT_TRUE(AllZero(p, size));
      std::memset(p, 0xAB, size);  // a reused block must come back cleared
      ReleaseMemory(h, p, fmo);
    }
  }
}

TEST(GetMemory, AReusedMappedBlockIsClearedAgain) {
  for (int round = 0; round < 6; ++round) {
    TVxMemory block(1 << 20, true);
    ASSERT_TRUE(AllZero(block.Bits(), block.Size())) << round;
    std::memset(block.Bits(), 0x5A, block.Size());
  }
}

TEST(GetMemory, MappingOfZeroBytesCannotBeMade) {
  platform::TMappingHandle h = nullptr;
  std::uint8_t* p = nullptr;
  EXPECT_EQ(MessageOf<EOutOfResources>([&] { GetMemory(0, true, h, p); }),
            "GetMemory: Cannot Make File Mapping Object");
  EXPECT_EQ(p, nullptr);
}

TEST(GetMemory, OwnerHandsTheBlockToARecord) {
  TVxDIBRecord rec;
  {
    TVxMemory block(100, true);
    block.MoveTo(rec);
    EXPECT_EQ(block.Bits(), nullptr);
  }
  ASSERT_NE(rec.Bits, nullptr);
  EXPECT_EQ(rec.BitsSize, 100u);
  rec.Bits[99] = 1;  // still ours after the owner is gone
  ReleaseMemory(rec.MappingHandle, rec.Bits, true);
}

TEST(TVxInternalDIB, MoveInDIBReplacesContentAndFollowsTheHeader) {
  TVxInternalDIB dib(true);
  TVxDIBRecord rec = dib.DIB;
  TVxMemory block(12, true);
  block.MoveTo(rec);
  rec.Header.biWidth = 3;
  rec.Header.biHeight = -4;
  rec.Header.biBitCount = 1;
  dib.MoveInDIB(rec);
  EXPECT_EQ(dib.Width, 3);
  EXPECT_EQ(dib.Height, 4);
  EXPECT_EQ(dib.DIB.Bits, rec.Bits);
  EXPECT_EQ(dib.DIB.BitsSize, 12u);
}

}  // namespace
