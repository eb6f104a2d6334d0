// The plug-in's BMPs: only the 52-, 56-, 108- and 124-byte headers, which the program's DIB
// library leaves alone. The BMP Suite's files of those versions are compared pixel by pixel
// with the suite's plain 24-bit and 8-bit pictures of the same image, read here by a reader of
// the test's own; each other header must not be claimed at all.
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "IftavexEntries.h"
#include "support/LocalBlocks.h"
#include "support/SharedData.h"
#include "support/TempDir.h"

namespace {

using TBytes = std::vector<unsigned char>;

using TEntry = TIftavexEntries;

std::uint32_t Le32(const TBytes& b, size_t at) {
  return at + 4 <= b.size() ? static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
                                  static_cast<std::uint32_t>(b[at + 3]) << 24
                            : 0;
}

// A picture as top-down rows of red, green, blue.
struct TPicture {
  int rc = SPI_OTHER_ERROR;
  int width = 0, height = 0;
  TBytes rgb;
  const unsigned char* At(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

TPicture Decode(const TBytes& file) {
  TPicture p;
  HLOCAL info = nullptr, bits = nullptr;
  p.rc = TEntry::Get().GetPicture(reinterpret_cast<const char*>(file.data()), static_cast<SpiLongPtr>(file.size()),
                                  SPI_INPUT_MEMORY, &info, &bits, nullptr, 0);
  if (p.rc != SPI_SUCCESS) {
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(bits, nullptr);
    return p;
  }
  auto* h = static_cast<const SpiBitmapInfoHeader*>(LocalLock(info));
  auto* px = static_cast<const unsigned char*>(LocalLock(bits));
  p.width = h->biWidth;
  p.height = h->biHeight;
  EXPECT_EQ(h->biBitCount, 24);
  size_t stride = (static_cast<size_t>(p.width) * 3 + 3) & ~size_t{3};
  EXPECT_GE(LocalSize(bits), stride * p.height);
  p.rgb.assign(static_cast<size_t>(p.width) * p.height * 3, 0);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      for (int c = 0; c < 3; ++c)
        p.rgb[(static_cast<size_t>(y) * p.width + x) * 3 + c] = px[(p.height - 1 - y) * stride + x * 3 + 2 - c];
  LocalUnlock(info);
  LocalUnlock(bits);
  LocalFree(info);
  LocalFree(bits);
  return p;
}

// The suite's 40-byte references: g/rgb24.bmp (24 bits) and g/pal8.bmp (8 bits, palette).
TPicture ReadReference(const TBytes& b) {
  TPicture p;
  p.rc = SPI_SUCCESS;
  p.width = static_cast<int>(Le32(b, 18));
  p.height = static_cast<int>(Le32(b, 22));
  unsigned bits = b[28];
  size_t off = Le32(b, 10), stride = ((static_cast<size_t>(p.width) * bits + 31) / 32) * 4;
  p.rgb.assign(static_cast<size_t>(p.width) * p.height * 3, 0);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const unsigned char* s = b.data() + off + (p.height - 1 - y) * stride;
      const unsigned char* bgr = bits == 24 ? s + x * 3 : b.data() + 54 + s[x] * 4;
      for (int c = 0; c < 3; ++c) p.rgb[(static_cast<size_t>(y) * p.width + x) * 3 + c] = bgr[2 - c];
    }
  return p;
}

// How far a channel of n bits may lie from its 8-bit original: one step of the narrow
// channel, since the suite's writer need not have rounded to the nearest.
int Tolerance(int bits) { return bits >= 8 ? 0 : 255 / ((1 << bits) - 1) + 1; }

struct TSuiteCase {
  const char* file;
  const char* reference;
  int colourBits[3]; // the narrowest of each channel
  int alphaBits;     // 0: opaque; else q/rgba32-1.bmp's pixels, alpha quantised to this many bits
  int jpegSlack;     // a lossy embedded picture's largest difference
};

const TSuiteCase SuiteCases[] = {
    {"g/pal8v4.bmp", "g/pal8.bmp", {8, 8, 8}, 0, 0},
    {"g/pal8v5.bmp", "g/pal8.bmp", {8, 8, 8}, 0, 0},
    {"q/rgb24png.bmp", "g/rgb24.bmp", {8, 8, 8}, 0, 0},
    {"q/rgb24jpeg.bmp", "g/rgb24.bmp", {8, 8, 8}, 0, 80},
    {"q/rgb24lprof.bmp", "g/rgb24.bmp", {8, 8, 8}, 0, 0}, // the linked profile is never opened
    {"q/rgb32-xbgr.bmp", "g/rgb24.bmp", {8, 8, 8}, 0, 0},
    {"q/rgb32h52.bmp", "g/rgb24.bmp", {8, 8, 8}, 0, 0},
    {"q/rgba16-1924.bmp", "g/rgb24.bmp", {1, 9, 2}, 4, 0},
    {"q/rgba16-4444.bmp", "g/rgb24.bmp", {4, 4, 4}, 4, 0},
    {"q/rgba16-5551.bmp", "g/rgb24.bmp", {5, 5, 5}, 1, 0},
    {"q/rgba32-1.bmp", "g/rgb24.bmp", {8, 8, 8}, 8, 0},
    {"q/rgba32-2.bmp", "g/rgb24.bmp", {8, 8, 8}, 8, 0},
    {"q/rgba32h56.bmp", "g/rgb24.bmp", {8, 8, 8}, 8, 0},
    {"q/rgba32-1010102.bmp", "g/rgb24.bmp", {10, 10, 10}, 2, 0},
    {"q/rgba32-81284.bmp", "g/rgb24.bmp", {8, 12, 8}, 4, 0},
    {"q/rgba32-61754.bmp", "g/rgb24.bmp", {6, 17, 5}, 4, 0},
};

class IftavexBmpSuite : public testing::TestWithParam<TSuiteCase> {};

TEST_P(IftavexBmpSuite, ConvertsLikeTheSuitesPlainPicture) {
  const std::filesystem::path dir = BmpSuiteDir();
  if (dir.empty()) GTEST_SKIP() << "no BMP Suite beside the checkout";
  const TSuiteCase& c = GetParam();
  const TBytes file = ReadAllBytes(dir / c.file);
  ASSERT_GT(file.size(), 54u);
  TBytes header(2048, 0);
  std::memcpy(header.data(), file.data(), file.size() < header.size() ? file.size() : header.size());
  EXPECT_NE(TEntry::Get().IsSupported(c.file, header.data()), 0);
  long long live = LiveLocalBlocks();
  const TPicture got = Decode(file);
  ASSERT_EQ(got.rc, SPI_SUCCESS);
  const TPicture want = ReadReference(ReadAllBytes(dir / c.reference));
  ASSERT_EQ(got.width, want.width);
  ASSERT_EQ(got.height, want.height);
  // The pictures with alpha share the colours and alpha of the plain 8-bit one, whose
  // pixels are blue, green, red, alpha bytes (masks 0xFF0000, 0xFF00, 0xFF, 0xFF000000).
  const TBytes alphaFile = ReadAllBytes(dir / "q/rgba32-1.bmp");
  const size_t alphaAt = Le32(alphaFile, 10);
  ASSERT_EQ(Le32(alphaFile, 54 + 12), 0xFF000000u);
  int worst = 0;
  for (int y = 0; y < got.height; ++y)
    for (int x = 0; x < got.width; ++x) {
      const unsigned char* bgra = alphaFile.data() + alphaAt + ((got.height - 1 - y) * got.width + x) * 4;
      unsigned a = c.alphaBits ? bgra[3] : 255;
      for (int k = 0; k < 3; ++k) {
        unsigned v = c.alphaBits ? bgra[2 - k] : want.At(x, y)[k];
        int expect = static_cast<int>((v * a + 255 * (255 - a) + 127) / 255);
        int allowed = Tolerance(c.colourBits[k]) + c.jpegSlack + (a != 0 && a != 255 ? 2 * Tolerance(c.alphaBits) : 0);
        if (c.alphaBits && c.alphaBits < 8 && (a == 0 || a == 255)) allowed += 1;
        int diff = std::abs(got.At(x, y)[k] - expect);
        if (diff > worst) worst = diff;
        ASSERT_LE(diff, allowed) << "pixel (" << x << ", " << y << ") channel " << k;
      }
    }
  // A lossless file must match its reference to the channel's precision: the worst pixel
  // shows it really was compared.
  bool exact = c.jpegSlack == 0 && (c.alphaBits == 0 || c.alphaBits == 8);
  for (int bits : c.colourBits) exact = exact && bits >= 8;
  if (exact) {
    EXPECT_EQ(worst, 0);
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

INSTANTIATE_TEST_SUITE_P(Suite, IftavexBmpSuite, testing::ValuesIn(SuiteCases),
                         [](const testing::TestParamInfo<TSuiteCase>& i) {
                           std::string n = i.param.file;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// Every other BMP of the suite is the DIB library's: not claimed, and refused if sent anyway.
// The bad ones, their header turned into a 124-byte one, fail or give their declared size;
// never a crash, a read past the file or a leaked block.
TEST(IftavexBmp, LeavesEveryOtherHeaderToTheDibLibrary) {
  const std::filesystem::path dir = BmpSuiteDir();
  if (dir.empty()) GTEST_SKIP() << "no BMP Suite beside the checkout";
  long long live = LiveLocalBlocks();
  int others = 0, ours = 0;
  for (const char* folder : {"g", "q", "b"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir / folder)) {
      const TBytes file = ReadAllBytes(entry.path());
      if (file.size() < 18) continue;
      std::uint32_t size = Le32(file, 14);
      TBytes header(2048, 0);
      std::memcpy(header.data(), file.data(), file.size() < header.size() ? file.size() : header.size());
      bool mine = size == 52 || size == 56 || size == 108 || size == 124;
      EXPECT_EQ(TEntry::Get().IsSupported("x.bmp", header.data()) != 0, mine) << entry.path();
      if (mine) {
        ++ours;
        continue;
      }
      ++others;
      EXPECT_EQ(Decode(file).rc, SPI_NOT_SUPPORT) << entry.path();
      if (std::string(folder) != "b" || size != 40) continue;
      // The same file behind a version 5 header: masks of BI_BITFIELDS land on its fields.
      std::uint32_t compression = Le32(file, 30);
      size_t at = compression == 3 ? 14 + 52 : 14 + 40, added = 124 - (at - 14);
      TBytes v5(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
      v5.resize(at + added, 0);
      v5.insert(v5.end(), file.begin() + static_cast<std::ptrdiff_t>(at), file.end());
      v5[14] = 124;
      std::uint32_t offset = Le32(file, 10) + static_cast<std::uint32_t>(added);
      for (int i = 0; i < 4; ++i) v5[10 + i] = static_cast<unsigned char>(offset >> (8 * i));
      TPicture p = Decode(v5);
      if (p.rc == SPI_SUCCESS) {
        EXPECT_EQ(p.width, static_cast<int>(Le32(file, 18))) << entry.path();
      }
    }
  }
  EXPECT_GT(others, 50);
  EXPECT_EQ(ours, 16);
  EXPECT_EQ(LiveLocalBlocks(), live);
}

// A version 4 or 5 BMP made here, for what the suite has no file of.
TBytes MakeBmp(std::uint32_t headerSize, int width, int height, unsigned bits, std::uint32_t compression,
               const std::vector<std::uint32_t>& masks, const TBytes& palette, const TBytes& rows) {
  TBytes b(14 + headerSize, 0);
  auto put32 = [&b](size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(14, headerSize);
  put32(18, static_cast<std::uint32_t>(width));
  put32(22, static_cast<std::uint32_t>(height));
  b[26] = 1;
  b[28] = static_cast<unsigned char>(bits);
  put32(30, compression);
  for (size_t i = 0; i < masks.size(); ++i) put32(54 + 4 * i, masks[i]);
  b.insert(b.end(), palette.begin(), palette.end());
  put32(10, static_cast<std::uint32_t>(b.size()));
  b.insert(b.end(), rows.begin(), rows.end());
  put32(2, static_cast<std::uint32_t>(b.size()));
  return b;
}

struct TMadeCase {
  const char* what;
  TBytes file;
  int rc;
  int width, height;
  TBytes topRowRgb; // the picture's top row, red-green-blue
};

std::vector<TMadeCase> MadeCases() {
  const TBytes palette = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 10, 20, 30, 0}; // red, green, blue, (30,20,10)
  std::vector<TMadeCase> c;
  // 1 bit, 3 pixels, two rows bottom-up: the top row is the second in the file.
  c.push_back({"1 bit, v4", MakeBmp(108, 3, 2, 1, 0, {}, TBytes(palette.begin(), palette.begin() + 8), {0x00, 0, 0, 0, 0xA0, 0, 0, 0}),
               SPI_SUCCESS, 3, 2, {0, 255, 0, 255, 0, 0, 0, 255, 0}});
  c.push_back({"4 bits, top-down v5", MakeBmp(124, 3, -2, 4, 0, {}, palette, {0x23, 0x10, 0, 0, 0, 0, 0, 0}),
               SPI_SUCCESS, 3, 2, {0, 0, 255, 30, 20, 10, 0, 255, 0}});
  c.push_back({"8 bits, index past the table", MakeBmp(124, 2, 1, 8, 0, {}, palette, {3, 200, 0, 0}), SPI_SUCCESS, 2, 1,
               {30, 20, 10, 0, 0, 0}});
  c.push_back({"16 bits BI_RGB, 5-5-5", MakeBmp(124, 2, 1, 16, 0, {}, {}, {0x00, 0x7C, 0x1F, 0x00}), SPI_SUCCESS, 2, 1,
               {255, 0, 0, 0, 0, 255}});
  c.push_back({"24 bits, v4", MakeBmp(108, 1, 1, 24, 0, {}, {}, {1, 2, 3, 0}), SPI_SUCCESS, 1, 1, {3, 2, 1}});
  c.push_back({"32 bits BI_RGB: the top byte is no alpha", MakeBmp(124, 1, 1, 32, 0, {0, 0, 0, 0xFF000000u}, {}, {1, 2, 3, 0}),
               SPI_SUCCESS, 1, 1, {3, 2, 1}});
  // 52-byte header with BI_ALPHABITFIELDS: the alpha mask follows the header. Alpha 0x80
  // over (0, 0, 255): blue stays 255, red and green (0*128 + 255*127 + 127) / 255 = 127.
  {
    TBytes f = MakeBmp(52, 1, 1, 32, 6, {0xFF0000u, 0xFF00u, 0xFFu}, {0, 0, 0, 0xFF}, {0xFF, 0, 0, 0x80});
    c.push_back({"52-byte header, alpha bit fields", f, SPI_SUCCESS, 1, 1, {127, 127, 255}});
  }
  c.push_back({"56-byte header, 16-bit alpha 0: white", MakeBmp(56, 1, 1, 16, 3, {0x0F00, 0x00F0, 0x000F, 0xF000}, {}, {0x00, 0x0F, 0, 0}),
               SPI_SUCCESS, 1, 1, {255, 255, 255}});
  c.push_back({"bit fields at 24 bits", MakeBmp(124, 1, 1, 24, 3, {0xFF0000u, 0xFF00u, 0xFFu}, {}, {1, 2, 3, 0}), SPI_OUT_OF_ORDER, 0, 0, {}});
  c.push_back({"RLE8", MakeBmp(124, 2, 1, 8, 1, {}, palette, {2, 1, 0, 1}), SPI_NOT_SUPPORT, 0, 0, {}});
  c.push_back({"a row short", MakeBmp(124, 3, 2, 24, 0, {}, {}, TBytes(12 + 11, 0)), SPI_OUT_OF_ORDER, 0, 0, {}});
  c.push_back({"2 bits", MakeBmp(124, 2, 1, 2, 0, {}, palette, {0, 0, 0, 0}), SPI_OUT_OF_ORDER, 0, 0, {}});
  c.push_back({"width 0", MakeBmp(124, 0, 1, 24, 0, {}, {}, {0, 0, 0, 0}), SPI_OUT_OF_ORDER, 0, 0, {}});
  c.push_back({"height INT32_MIN", MakeBmp(124, 1, INT32_MIN, 24, 0, {}, {}, {0, 0, 0, 0}), SPI_OUT_OF_ORDER, 0, 0, {}});
  // 60000 x 60000 at 24 bits in 200 bytes: refused before any block is made.
  c.push_back({"huge declared picture", MakeBmp(124, 60000, 60000, 24, 0, {}, {}, TBytes(62, 0)), SPI_OUT_OF_ORDER, 0, 0, {}});
  {
    TBytes f = MakeBmp(124, 1, 1, 24, 0, {}, {}, {1, 2, 3, 0});
    f[10] = 0xFF; // the pixels' offset past the end
    f[11] = 0xFF;
    c.push_back({"pixels past the end", f, SPI_OUT_OF_ORDER, 0, 0, {}});
  }
  c.push_back({"header cut", TBytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 124, 0, 0, 0, 1, 0}, SPI_OUT_OF_ORDER, 0, 0, {}});
  return c;
}

TEST(IftavexBmp, MadeFilesGiveTheirPixelsOrFailCleanly) {
  long long live = LiveLocalBlocks();
  for (const TMadeCase& c : MadeCases()) {
    const TPicture p = Decode(c.file);
    ASSERT_EQ(p.rc, c.rc) << c.what;
    if (c.rc != SPI_SUCCESS) continue;
    EXPECT_EQ(p.width, c.width) << c.what;
    EXPECT_EQ(p.height, c.height) << c.what;
    ASSERT_EQ(p.rgb.size() >= c.topRowRgb.size(), true) << c.what;
    EXPECT_EQ(TBytes(p.rgb.begin(), p.rgb.begin() + static_cast<std::ptrdiff_t>(c.topRowRgb.size())), c.topRowRgb)
        << c.what;
    SpiPictureInfo info{};
    EXPECT_EQ(TEntry::Get().GetPictureInfo(reinterpret_cast<const char*>(c.file.data()),
                                           static_cast<SpiLongPtr>(c.file.size()), SPI_INPUT_MEMORY, &info),
              SPI_SUCCESS)
        << c.what;
    EXPECT_EQ(info.width, c.width) << c.what;
    EXPECT_EQ(info.height, c.height) << c.what;
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

} // namespace
