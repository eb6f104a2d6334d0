// Tavex's own image plug-in, called through its exported entry points as a host calls them.
// The pictures and the DIB each must give come from make-images.py; native and Windows builds
// are held to the same expected bytes, so both decode every file byte for byte alike.
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#ifdef _WIN32
#include <libheif/heif.h>
#include <windows.h>
#include <psapi.h>
#else
#include <dlfcn.h>
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../../plugins/iftavex/Colour.h"
#include "IftavexEntries.h"
#include "support/LocalBlocks.h"
#include "support/TempDir.h"

namespace {

using TBytes = std::vector<unsigned char>;

using TPlugin = TIftavexEntries;

std::filesystem::path ImageDir() { return TAVEX_PLUGIN_IMAGES; }

struct TDib {
  int rc = SPI_OTHER_ERROR;
  SpiBitmapInfoHeader header{};
  TBytes pixels;
};

// Calls GetPicture and takes the result apart the way a careful host does: sizes are checked
// against the real blocks before anything is read, and both blocks are freed.
TDib Decode(const char* source, SpiLongPtr len, unsigned flag, SpiProgressCallback progress = nullptr,
            SpiLongPtr data = 0) {
  TDib dib;
  HLOCAL info = reinterpret_cast<HLOCAL>(1), bits = reinterpret_cast<HLOCAL>(1);
  dib.rc = TPlugin::Get().GetPicture(source, len, flag, &info, &bits, progress, data);
  if (dib.rc != SPI_SUCCESS) {
    EXPECT_EQ(info, nullptr) << "a failed call hands back no block";
    EXPECT_EQ(bits, nullptr);
    return dib;
  }
  EXPECT_GE(LocalSize(info), sizeof(SpiBitmapInfoHeader));
  if (auto* h = static_cast<const SpiBitmapInfoHeader*>(LocalLock(info))) {
    std::memcpy(&dib.header, h, sizeof dib.header);
    LocalUnlock(info);
  }
  SIZE_T size = LocalSize(bits);
  EXPECT_GE(size, dib.header.biSizeImage);
  if (auto* p = static_cast<const unsigned char*>(LocalLock(bits))) {
    dib.pixels.assign(p, p + (size < dib.header.biSizeImage ? size : dib.header.biSizeImage));
    LocalUnlock(bits);
  }
  EXPECT_EQ(LocalFree(info), nullptr);
  EXPECT_EQ(LocalFree(bits), nullptr);
  return dib;
}

TDib DecodeMemory(const TBytes& bytes, SpiProgressCallback progress = nullptr, SpiLongPtr data = 0) {
  return Decode(reinterpret_cast<const char*>(bytes.data()), static_cast<SpiLongPtr>(bytes.size()),
                SPI_INPUT_MEMORY, progress, data);
}

// What make-images.py expects: width, height, then the bottom-up rows.
struct TExpected {
  int width = 0, height = 0;
  TBytes pixels;
};

TExpected LoadExpected(const std::string& name) {
  TBytes b = ReadAllBytes(ImageDir() / (name + ".dib"));
  TExpected e;
  if (b.size() < 8) return e;
  std::memcpy(&e.width, b.data(), 4);
  std::memcpy(&e.height, b.data() + 4, 4);
  e.pixels.assign(b.begin() + 8, b.end());
  return e;
}

struct TCase {
  const char* name;
  const char* ext;
  bool exact;    // false: a lossy file, whose pixels no one can predict
  bool halfFails; // false: the first half holds the whole first page
};

const TCase Cases[] = {
    {"png-rgb8", "png", true, true},       {"png-rgba8", "png", true, true},      {"png-rgb16", "png", true, true},
    {"png-rgba16", "png", true, true},     {"png-gray8", "png", true, true},      {"png-palette", "png", true, true},
    {"png-interlaced", "png", true, true}, {"gif-palette", "gif", true, true},    {"gif-interlaced", "gif", true, true},
    {"tiff-rgb8", "tif", true, true},      {"tiff-rgba8", "tif", true, true},     {"tiff-rgba16", "tif", true, true},
    {"tiff-gray8", "tif", true, true},     {"tiff-pages", "tif", true, false},     {"webp-lossless", "webp", true, true},
    {"webp-lossy", "webp", true, true},    {"gif-offset", "gif", true, true},
    {"png-interlaced-rgb", "png", true, true}, {"tiff-premultiplied", "tif", true, true},
    {"webp-animated", "webp", true, true},     {"tiff-colormap", "tif", true, true},
    // Each Orientation on the strip road and on libtiff's RGBA road (palette, tiles).
    {"tiff-orient1", "tif", true, true},         {"tiff-orient2", "tif", true, true},
    {"tiff-orient3", "tif", true, true},         {"tiff-orient4", "tif", true, true},
    {"tiff-orient5", "tif", true, true},         {"tiff-orient6", "tif", true, true},
    {"tiff-orient7", "tif", true, true},         {"tiff-orient8", "tif", true, true},
    {"tiff-palette-orient1", "tif", true, true}, {"tiff-palette-orient2", "tif", true, true},
    {"tiff-palette-orient3", "tif", true, true}, {"tiff-palette-orient4", "tif", true, true},
    {"tiff-palette-orient5", "tif", true, true}, {"tiff-palette-orient6", "tif", true, true},
    {"tiff-palette-orient7", "tif", true, true}, {"tiff-palette-orient8", "tif", true, true},
    {"tiff-tiled-orient1", "tif", true, true},   {"tiff-tiled-orient2", "tif", true, true},
    {"tiff-tiled-orient3", "tif", true, true},   {"tiff-tiled-orient4", "tif", true, true},
    {"tiff-tiled-orient5", "tif", true, true},   {"tiff-tiled-orient6", "tif", true, true},
    {"tiff-tiled-orient7", "tif", true, true},   {"tiff-tiled-orient8", "tif", true, true},
    // HEIF and AVIF, held to libheif's own decode (heif-convert) of the same file: 8, 10 and 12
    // bits, alpha, YCbCr from ImageMagick, each Exif Orientation, and irot/imir that win over it.
    {"heic-rgba8", "heic", true, true},          {"heic-rgb10", "heic", true, true},
    {"heic-rgba12", "heic", true, true},         {"avif-rgba8", "avif", true, true},
    {"avif-rgb12", "avif", true, true},          {"avif-rgb10", "avif", true, true},
    {"heic-magick", "heic", true, true},
    {"avif-magick", "avif", true, true},         {"heic-exif-orient1", "heic", true, true},
    {"heic-exif-orient2", "heic", true, true},   {"heic-exif-orient3", "heic", true, true},
    {"heic-exif-orient4", "heic", true, true},   {"heic-exif-orient5", "heic", true, true},
    {"heic-exif-orient6", "heic", true, true},   {"heic-exif-orient7", "heic", true, true},
    {"heic-exif-orient8", "heic", true, true},   {"heic-irot-exif6", "heic", true, true},
    {"heic-imir-exif3", "heic", true, true},
    // JPEG against the reference decoder's pixels, turned by the EXIF Orientation.
    {"jpeg-baseline", "jpg", true, true},          {"jpeg-444", "jpg", true, true},
    {"jpeg-progressive", "jpg", true, true},       {"jpeg-gray", "jpg", true, true},
    {"jpeg-ycck", "jpg", true, true},              {"jpeg-cmyk", "jpg", true, true},
    {"jpeg-restart", "jpg", true, true},           {"jpeg-icc", "jpg", true, true},
    {"jpeg-arithmetic", "jpg", true, true},
    {"jpeg-baseline-orient1", "jpg", true, true},  {"jpeg-baseline-orient2", "jpg", true, true},
    {"jpeg-baseline-orient3", "jpg", true, true},  {"jpeg-baseline-orient4", "jpg", true, true},
    {"jpeg-baseline-orient5", "jpg", true, true},  {"jpeg-baseline-orient6", "jpg", true, true},
    {"jpeg-baseline-orient7", "jpg", true, true},  {"jpeg-baseline-orient8", "jpg", true, true},
    {"jpeg-ycck-orient3", "jpg", true, true},      {"jpeg-ycck-orient6", "jpg", true, true},
    {"jpeg-progressive-orient5", "jpg", true, true}, {"jpeg-progressive-orient8", "jpg", true, true},
    {"jpeg-gray-orient7", "jpg", true, true},
    // EXIF Orientation in a PNG eXIf chunk, a WebP EXIF chunk; none on top of a TIFF's tag.
    {"png-rgb8-orient1", "png", true, true},       {"png-rgb8-orient2", "png", true, true},
    {"png-rgb8-orient3", "png", true, true},       {"png-rgb8-orient4", "png", true, true},
    {"png-rgb8-orient5", "png", true, true},       {"png-rgb8-orient6", "png", true, true},
    {"png-rgb8-orient7", "png", true, true},       {"png-rgb8-orient8", "png", true, true},
    {"png-rgba16-orient6", "png", true, true},     {"png-interlaced-orient5", "png", true, true},
    {"png-palette-orient8", "png", true, true},    {"webp-lossless-orient6", "webp", true, true},
    {"webp-lossless-orient7", "webp", true, true}, {"webp-lossless-orient3-bare", "webp", true, true},
    {"webp-animated-orient8", "webp", true, true}, {"tiff-exif-orient6", "tif", true, true},
};

// The Windows builds read HEIF and AVIF only with libheif.dll beside the plug-in; natively
// libheif is part of the build.
bool HeifMissing(const std::string& ext) {
#ifdef _WIN32
  return (ext == "heic" || ext == "avif") &&
         !std::filesystem::exists(std::filesystem::path(TAVEX_IFTAVEX_PATH).parent_path() / "libheif.dll");
#else
  (void)ext;
  return false;
#endif
}

class IftavexDecode : public testing::TestWithParam<TCase> {
protected:
  void SetUp() override {
    ASSERT_NE(TPlugin::Get().GetPicture, nullptr) << "cannot load " << TAVEX_IFTAVEX_PATH;
    FBytes = ReadAllBytes(ImageDir() / (std::string(GetParam().name) + "." + GetParam().ext));
    ASSERT_FALSE(FBytes.empty());
    FExpected = LoadExpected(GetParam().name);
    ASSERT_GT(FExpected.width, 0);
  }

  // Every build reads the formats of the libraries with the same code. Only a format left to
  // the system's imaging component may find no codec on a Windows (Wine 8 has none for
  // JPEG XR): the plug-in says "unknown format" and hands back nothing, and the test says so.
  void SkipWithoutCodec() {
    int rc = DecodeMemory(FBytes).rc;
#ifdef _WIN32
    if (rc == SPI_NOT_SUPPORT && std::strcmp(GetParam().ext, "ico") == 0)
      GTEST_SKIP() << "this system's imaging component cannot decode " << GetParam().ext;
#endif
    ASSERT_EQ(rc, SPI_SUCCESS);
  }

  void ExpectPicture(const TDib& dib) const {
    ASSERT_EQ(dib.rc, SPI_SUCCESS);
    EXPECT_EQ(dib.header.biSize, 40u);
    EXPECT_EQ(dib.header.biWidth, FExpected.width);
    EXPECT_EQ(dib.header.biHeight, FExpected.height); // positive: bottom-up
    EXPECT_EQ(dib.header.biPlanes, 1);
    EXPECT_EQ(dib.header.biBitCount, 24);
    EXPECT_EQ(dib.header.biCompression, SPI_BI_RGB);
    EXPECT_EQ(dib.header.biSizeImage, static_cast<uint32_t>((FExpected.width * 3 + 3) / 4 * 4 * FExpected.height));
    if (GetParam().exact) {
      EXPECT_TRUE(dib.pixels == FExpected.pixels) << FirstDifference(dib.pixels);
    }
  }

  std::string FirstDifference(const TBytes& got) const {
    if (got.size() != FExpected.pixels.size()) return "size " + std::to_string(got.size());
    for (size_t i = 0; i < got.size(); ++i)
      if (got[i] != FExpected.pixels[i])
        return "byte " + std::to_string(i) + ": " + std::to_string(got[i]) + " instead of " +
               std::to_string(FExpected.pixels[i]);
    return "";
  }

  TBytes FBytes;
  TExpected FExpected;
};

TEST_P(IftavexDecode, MemoryImageGivesTheExpectedDib) {
  SkipWithoutCodec();
  if (IsSkipped() || HasFatalFailure()) return;
  long long live = LiveLocalBlocks();
  ExpectPicture(DecodeMemory(FBytes));
  EXPECT_EQ(LiveLocalBlocks(), live);
}

TEST_P(IftavexDecode, FileAtAnOffsetGivesTheSameDibAndInfo) {
  SkipWithoutCodec();
  if (IsSkipped() || HasFatalFailure()) return;
  TTempDir dir;
  TBytes prefixed(FBytes.size() + 300, 0x5A);
  std::memcpy(prefixed.data() + 300, FBytes.data(), FBytes.size());
  WriteAllBytes(dir / "in.bin", prefixed);
  const std::string name = (dir / "in.bin").string();
  ExpectPicture(Decode(name.c_str(), 300, SPI_INPUT_FILE));

  for (unsigned flag : {SPI_INPUT_FILE, SPI_INPUT_MEMORY}) {
    SpiPictureInfo info;
    std::memset(&info, 0xCC, sizeof info);
    int rc = flag == SPI_INPUT_FILE
                 ? TPlugin::Get().GetPictureInfo(name.c_str(), 300, flag, &info)
                 : TPlugin::Get().GetPictureInfo(reinterpret_cast<const char*>(FBytes.data()),
                                                 static_cast<SpiLongPtr>(FBytes.size()), flag, &info);
    ASSERT_EQ(rc, SPI_SUCCESS) << flag;
    EXPECT_EQ(info.left, 0);
    EXPECT_EQ(info.top, 0);
    EXPECT_EQ(info.width, FExpected.width);
    EXPECT_EQ(info.height, FExpected.height);
    EXPECT_EQ(info.colorDepth, 24);
    HLOCAL text = info.hInfo; // a packed member: copied, never bound to a reference
    EXPECT_EQ(text, nullptr);
  }
}

TEST_P(IftavexDecode, IsSupportedLooksAtTheFirst2KBOnly) {
  if (HeifMissing(GetParam().ext)) GTEST_SKIP() << "no libheif.dll beside the plug-in: HEIF is not its format";
  TBytes header(2048, 0);
  std::memcpy(header.data(), FBytes.data(), FBytes.size() < 2048 ? FBytes.size() : 2048);
  EXPECT_NE(TPlugin::Get().IsSupported("x.bin", header.data()), 0);
  header[1] ^= 0x20; // one letter of the signature changed
  EXPECT_EQ(TPlugin::Get().IsSupported(GetParam().name, header.data()), 0);
}

struct TProgressLog {
  std::vector<std::pair<int, int>> calls;
  int stopAt = 0; // 1-based call that asks to stop; 0 never
};

int SPIAPI RecordProgress(int num, int denom, SpiLongPtr data) {
  auto* log = reinterpret_cast<TProgressLog*>(data);
  log->calls.emplace_back(num, denom);
  return log->stopAt != 0 && static_cast<int>(log->calls.size()) >= log->stopAt;
}

TEST_P(IftavexDecode, ProgressRisesFromZeroToTheEnd) {
  SkipWithoutCodec();
  if (IsSkipped() || HasFatalFailure()) return;
  TProgressLog log;
  ExpectPicture(DecodeMemory(FBytes, RecordProgress, reinterpret_cast<SpiLongPtr>(&log)));
  ASSERT_GE(log.calls.size(), 2u);
  EXPECT_EQ(log.calls.front().first, 0);
  EXPECT_EQ(log.calls.back().first, log.calls.back().second);
  for (size_t i = 1; i < log.calls.size(); ++i) {
    EXPECT_GT(log.calls[i].first, log.calls[i - 1].first) << i;
    EXPECT_EQ(log.calls[i].second, FExpected.height);
  }
}

TEST_P(IftavexDecode, AbortFromTheCallbackStopsAndFreesEverything) {
  SkipWithoutCodec();
  if (IsSkipped() || HasFatalFailure()) return;
  long long live = LiveLocalBlocks();
  for (int stopAt : {1, 2}) {
    TProgressLog log;
    log.stopAt = stopAt;
    TDib dib = DecodeMemory(FBytes, RecordProgress, reinterpret_cast<SpiLongPtr>(&log));
    EXPECT_EQ(dib.rc, SPI_ABORT) << stopAt;
    EXPECT_EQ(static_cast<int>(log.calls.size()), stopAt) << "no call after the stop";
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

TEST_P(IftavexDecode, CutFilesFailOrGiveTheRightPicture) {
  SkipWithoutCodec();
  if (IsSkipped() || HasFatalFailure()) return;
  long long live = LiveLocalBlocks();
  // Half a file is never a picture.
  TBytes half(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(FBytes.size() / 2));
  if (GetParam().halfFails) {
    EXPECT_NE(DecodeMemory(half).rc, SPI_SUCCESS);
  }
  // Every other cut ends in an error code or, when only trailing chunks are missing, in the
  // full picture; never in a crash or a read past the block. Windows runs every 5th cut.
#ifdef _WIN32
  const size_t step = 5;
#else
  const size_t step = 1;
#endif
  for (size_t n = 1; n < FBytes.size(); n += step) {
    TBytes cut(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(n));
    TDib dib = DecodeMemory(cut);
    if (dib.rc == SPI_SUCCESS && GetParam().exact) {
      ASSERT_TRUE(dib.pixels == FExpected.pixels) << "cut at " << n << ": " << FirstDifference(dib.pixels);
    }
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

TEST_P(IftavexDecode, DamagedBytesNeverCrashOrLeak) {
  long long live = LiveLocalBlocks();
  for (size_t at = 8; at < FBytes.size(); at += 13) {
    TBytes damaged = FBytes;
    damaged[at] ^= 0xA5;
    damaged[(at * 7) % damaged.size()] ^= 0x3C;
    TDib dib = DecodeMemory(damaged);
    if (dib.rc == SPI_SUCCESS) {
      EXPECT_GT(dib.header.biWidth, 0);
      EXPECT_EQ(dib.pixels.size(), dib.header.biSizeImage);
    }
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

std::string CaseName(const testing::TestParamInfo<TCase>& i) {
  std::string n = i.param.name;
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Formats, IftavexDecode, testing::ValuesIn(Cases), CaseName);

#ifdef _WIN32
// What only a Windows codec reads goes to the system's imaging component, by the same target.
const TCase SystemCases[] = {{"ico-rgba8", "ico", true, true}};
INSTANTIATE_TEST_SUITE_P(SystemCodecs, IftavexDecode, testing::ValuesIn(SystemCases), CaseName);
#endif

TEST(Iftavex, CompositesOnWhiteByTheRoundingRule) {
  // png-rgba8, top row: x=1 opaque (53,57,205); x=2 alpha 127 over (106,74,210); x=0 clear.
  TDib dib = DecodeMemory(ReadAllBytes(ImageDir() / "png-rgba8.png"));
  ASSERT_EQ(dib.rc, SPI_SUCCESS);
  size_t top = static_cast<size_t>((dib.header.biWidth * 3 + 3) / 4 * 4) * (dib.header.biHeight - 1);
  ASSERT_GE(dib.pixels.size(), top + 9);
  const unsigned char want[9] = {255, 255, 255, 205, 57, 53, 233, 165, 181};
  EXPECT_EQ(std::memcmp(dib.pixels.data() + top, want, 9), 0);
}

// Embedded profiles reach the colour code: a JPEG's APP2 profile of RGB with a straight curve
// (sRGB brightens every mid value), a CMYK one that makes every ink paper white (the ink
// formula would give the picture), and a version 5 BMP's embedded profile. The DIB to expect
// is computed from the samples, so the colour engine's rounding is allowed for; Adobe RGB in a
// JPEG and a PNG against lcms2's own command-line conversion (transicc).
TEST(Iftavex, EmbeddedProfilesConvertTheRowsToSrgb) {
  const struct {
    const char* file;
    int tolerance;
  } cases[] = {{"jpeg-linear-icc.jpg", 2}, {"jpeg-ycck-white-icc.jpg", 1}, {"bmp-linear-icc.bmp", 2},
               {"jpeg-adobe-icc.jpg", 2},  {"png-adobe-icc.png", 2}};
  for (const auto& c : cases) {
    const std::string name(c.file);
    TDib dib = DecodeMemory(ReadAllBytes(ImageDir() / name));
    ASSERT_EQ(dib.rc, SPI_SUCCESS) << name;
    TExpected want = LoadExpected(name.substr(0, name.rfind('.')));
    ASSERT_EQ(dib.header.biWidth, want.width) << name;
    ASSERT_EQ(dib.pixels.size(), want.pixels.size()) << name;
    int worst = 0;
    double squares = 0;
    for (size_t i = 0; i < want.pixels.size(); ++i) {
      const int d = std::abs(dib.pixels[i] - want.pixels[i]);
      worst = std::max(worst, d);
      squares += d * d;
    }
    EXPECT_LE(worst, c.tolerance) << name;
    // PSNR of at least 45 dB.
    EXPECT_LE(squares, 255.0 * 255.0 * static_cast<double>(want.pixels.size()) * std::pow(10.0, -4.5)) << name;
  }
}

TEST(Iftavex, PluginInfoNamesTheImportFilterAndItsFormats) {
  const char* const want[] = {"00IN", nullptr, "*.png", "PNG", "*.gif", "GIF", "*.tif;*.tiff", "TIFF", "*.webp", "WebP",
                              "*.jpg;*.jpeg;*.jpe;*.jfif", "JPEG", "*.bmp", "BMP (versions 4 and 5)",
                              "*.heic;*.heif;*.hif", "HEIF", "*.avif", "AVIF",
#ifdef _WIN32
                              "*.ico", "ICO", "*.jxr;*.wdp;*.hdp", "JPEG XR", "*.dds", "DDS",
#endif
  };
  const int count = static_cast<int>(sizeof want / sizeof want[0]);
#ifdef _WIN32
  const std::string about = "Tavex image filter " TAVEX_VERSION " (PNG, GIF, TIFF, WebP, JPEG, BMP, HEIF, AVIF; libjpeg-turbo, "
                            "libpng, giflib, libtiff, libwebp, lcms2, libheif; ICO, JPEG XR, DDS: Windows Imaging "
                            "Component)";
#else
  const std::string about = "Tavex image filter " TAVEX_VERSION " (PNG, GIF, TIFF, WebP, JPEG, BMP, HEIF, AVIF; libjpeg-turbo, "
                            "libpng, giflib, libtiff, libwebp, lcms2, libheif)";
#endif
  char buf[256];
  for (int i = 0; i < count; ++i) {
    int n = TPlugin::Get().GetPluginInfo(i, buf, sizeof buf);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buf))) << i;
    EXPECT_EQ(buf, want[i] ? std::string(want[i]) : about) << i;
  }
  EXPECT_EQ(TPlugin::Get().GetPluginInfo(count, buf, sizeof buf), 0);
  EXPECT_EQ(TPlugin::Get().GetPluginInfo(-1, buf, sizeof buf), 0);
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(TPlugin::Get().GetPluginInfo(0, buf, 3), 2); // cut to fit, still terminated
  EXPECT_STREQ(buf, "00");
}

TEST(Iftavex, RefusesWhatItCannotRead) {
  long long live = LiveLocalBlocks();
  const TBytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0};
  TBytes header(2048, 0);
  std::memcpy(header.data(), bmp.data(), bmp.size());
  EXPECT_EQ(TPlugin::Get().IsSupported("a.png", header.data()), 0) << "the name does not count";
  EXPECT_EQ(TPlugin::Get().IsSupported("a.png", reinterpret_cast<void*>(std::uintptr_t{12})), 0)
      << "a file handle is not read";
  EXPECT_EQ(DecodeMemory(bmp).rc, SPI_NOT_SUPPORT);
  EXPECT_EQ(Decode("", 0, SPI_INPUT_MEMORY).rc, SPI_OUT_OF_ORDER);

  TTempDir dir;
  const std::string missing = (dir / "missing.png").string();
  EXPECT_EQ(Decode(missing.c_str(), 0, SPI_INPUT_FILE).rc, SPI_FILE_READ_ERROR);
  WriteAllBytes(dir / "short.png", ReadAllBytes(ImageDir() / "png-rgb8.png"));
  const std::string shortFile = (dir / "short.png").string();
  EXPECT_EQ(Decode(shortFile.c_str(), 100000, SPI_INPUT_FILE).rc, SPI_FILE_READ_ERROR) << "offset past the end";

  // A logical screen of 65535 x 65535 would need 12 GiB of rows: refused before any block is made.
  const TBytes hugeGif = {'G', 'I', 'F', '8', '9', 'a', 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0, 0, 0, 0, 255, 255, 255,
                          ',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, ';'};
  EXPECT_EQ(DecodeMemory(hugeGif).rc, SPI_NO_MEMORY);

  HLOCAL info = reinterpret_cast<HLOCAL>(1), bits = reinterpret_cast<HLOCAL>(1);
  TBytes png = ReadAllBytes(ImageDir() / "png-rgb8.png");
  EXPECT_EQ(TPlugin::Get().GetPreview(reinterpret_cast<const char*>(png.data()), static_cast<SpiLongPtr>(png.size()),
                                      SPI_INPUT_MEMORY, &info, &bits, nullptr, 0),
            SPI_NOT_IMPLEMENTED);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(bits, nullptr);
  EXPECT_EQ(LiveLocalBlocks(), live);
}

struct TSystemSignature {
  const char* name;
  TBytes header;
  bool windowsReads; // a Windows build hands it to the imaging component; the others never
};

const TSystemSignature SystemSignatures[] = {
    {"icon", {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}, true},
    {"icon without pictures", {0, 0, 1, 0, 0, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}, false},
    {"icon with a reserved byte set", {0, 0, 1, 0, 1, 0, 16, 16, 0, 7, 1, 0, 32, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}, false},
    {"icon of 3 planes", {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 3, 0, 32, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}, false},
    {"icon of 7 bits a pixel", {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 7, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}, false},
    {"icon whose data start in its directory", {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 21, 0, 0, 0}, false},
    {"JPEG XR", {'I', 'I', 0xBC, 1, 8, 0, 0, 0}, true},
    {"JPEG XR of another version", {'I', 'I', 0xBC, 2, 8, 0, 0, 0}, false},
    {"DDS", {'D', 'D', 'S', ' ', 124, 0, 0, 0}, true},
    {"DDS of another header size", {'D', 'D', 'S', ' ', 125, 0, 0, 0}, false},
};

// The formats that only a Windows codec reads: detected by their signature in the Windows
// builds only; a header alone decodes to an error code and nothing else in every build.
TEST(Iftavex, SystemFormatsAreTheWindowsBuildsOnly) {
  long long live = LiveLocalBlocks();
  for (const TSystemSignature& c : SystemSignatures) {
    SCOPED_TRACE(c.name);
    TBytes header(2048, 0);
    std::memcpy(header.data(), c.header.data(), c.header.size());
#ifdef _WIN32
    const bool reads = c.windowsReads;
#else
    const bool reads = false;
#endif
    EXPECT_EQ(TPlugin::Get().IsSupported("x.bin", header.data()) != 0, reads);
    const int rc = DecodeMemory(c.header).rc;
    if (reads)
      EXPECT_NE(rc, SPI_SUCCESS);
    else
      EXPECT_EQ(rc, SPI_NOT_SUPPORT);
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

#ifdef _WIN32
// The names of the DLLs that a PE file imports, read from its import directory; empty when
// the file is no PE image.
std::vector<std::string> ImportedDlls(const TBytes& pe) {
  std::vector<std::string> names;
  auto u16 = [&pe](size_t at) { return at + 2 <= pe.size() ? static_cast<unsigned>(pe[at] | pe[at + 1] << 8) : 0u; };
  auto u32 = [&pe](size_t at) {
    return at + 4 <= pe.size() ? static_cast<std::uint32_t>(pe[at] | pe[at + 1] << 8 | pe[at + 2] << 16 |
                                                            static_cast<std::uint32_t>(pe[at + 3]) << 24)
                               : 0u;
  };
  const size_t nt = u32(0x3C);
  if (u16(0) != 0x5A4D || u32(nt) != 0x4550) return names;
  const size_t sections = u16(nt + 6), optional = nt + 24, optionalSize = u16(nt + 20);
  const unsigned magic = u16(optional);
  const size_t directories = optional + (magic == 0x20B ? 112 : 96);
  const std::uint32_t importRva = u32(directories + 8);
  auto offsetOf = [&](std::uint32_t rva) -> size_t {
    for (size_t i = 0; i < sections; ++i) {
      const size_t h = optional + optionalSize + 40 * i;
      const std::uint32_t va = u32(h + 12), rawSize = u32(h + 16), raw = u32(h + 20);
      if (rva >= va && rva - va < rawSize) return raw + (rva - va);
    }
    return 0;
  };
  for (size_t d = offsetOf(importRva); d && d + 20 <= pe.size() && u32(d + 12) != 0; d += 20) {
    std::string name;
    for (size_t at = offsetOf(u32(d + 12)); at && at < pe.size() && pe[at]; ++at)
      name.push_back(static_cast<char>(std::tolower(pe[at])));
    names.push_back(name);
  }
  return names;
}

// The plug-in and the DLLs beside it carry the C and C++ run-times inside: none of them may
// need libgcc_s, libstdc++ or libwinpthread, which the package does not ship. The plug-in
// itself imports no library of ours either: it loads libheif when a HEIF comes.
TEST(Iftavex, ImportsNoRunTimeDllsThePackageLacks) {
  const std::filesystem::path bin = std::filesystem::path(TAVEX_IFTAVEX_PATH).parent_path();
  struct TModule {
    std::filesystem::path path;
    std::vector<std::string> ours; // the DLLs of the package it may import
  };
  const TModule modules[] = {{TAVEX_IFTAVEX_PATH, {}}, {bin / "libheif.dll", {"libde265.dll"}}, {bin / "libde265.dll", {}}};
  for (const TModule& m : modules) {
    SCOPED_TRACE(m.path.string());
    const std::vector<std::string> names = ImportedDlls(ReadAllBytes(m.path));
    ASSERT_FALSE(names.empty());
    EXPECT_NE(std::find(names.begin(), names.end(), "kernel32.dll"), names.end());
    for (const std::string& name : names) {
      const bool ours = std::find(m.ours.begin(), m.ours.end(), name) != m.ours.end();
      EXPECT_TRUE(ours || name.rfind("lib", 0) != 0) << name;
    }
    for (const std::string& name : m.ours) EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
}

// The heif decoder loads libheif.dll by its full path beside the plug-in's module; it must find
// libde265.dll beside itself, wherever that folder is, and decode HEVC and AV1 (dav1d inside).
TEST(Iftavex, LibheifLoadsFromItsOwnFolderWithBothDecoders) {
  const std::filesystem::path bin = std::filesystem::path(TAVEX_IFTAVEX_PATH).parent_path();
  TTempDir dir;
  for (const char* name : {"libheif.dll", "libde265.dll"}) WriteAllBytes(dir / name, ReadAllBytes(bin / name));
  HMODULE heif = ::LoadLibraryExW((dir / "libheif.dll").wstring().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(heif, nullptr) << ::GetLastError();
  auto resolve = [heif](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(heif, name)); };
  auto version = reinterpret_cast<decltype(&heif_get_version)>(resolve("heif_get_version"));
  auto decoder = reinterpret_cast<decltype(&heif_have_decoder_for_format)>(resolve("heif_have_decoder_for_format"));
  ASSERT_NE(version, nullptr);
  ASSERT_NE(decoder, nullptr);
  EXPECT_STREQ(version(), LIBHEIF_VERSION) << "the DLL is not the one whose headers the build uses";
  EXPECT_NE(decoder(heif_compression_HEVC), 0);
  EXPECT_NE(decoder(heif_compression_AV1), 0);
  EXPECT_EQ(decoder(heif_compression_JPEG2000), 0) << "decoders only, those two";
  EXPECT_NE(::GetModuleHandleW((dir / "libde265.dll").wstring().c_str()), nullptr) << "libde265 from beside it";
  EXPECT_TRUE(::FreeLibrary(heif));
}
#endif

// The CRC-32 of a PNG chunk: its type and data, from `from` to the end of bytes.
std::uint32_t PngCrc(const TBytes& bytes, size_t from) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = from; i < bytes.size(); ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBig32(TBytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void PutChunk(TBytes& png, const char* type, const TBytes& data) {
  PutBig32(png, static_cast<std::uint32_t>(data.size()));
  const size_t from = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  PutBig32(png, PngCrc(png, from));
}

struct THugeChunk {
  const char* type;
  bool afterImage; // false: before the image data, which never come
};

// What libpng's own crash files are: the signature, a valid IHDR, then a chunk header whose
// length says nearly 2 GB, the first bytes of its data, and the end of the file (57 bytes).
// afterImage puts the complete image data of the one pixel (10, 200, 30) first.
TBytes HugeChunkPng(const THugeChunk& c) {
  TBytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  PutChunk(png, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
  if (c.afterImage) {
    // A zlib stream of one stored block: the row's filter byte and its pixel, then Adler-32.
    const TBytes row = {0, 10, 200, 30};
    std::uint32_t a = 1, b = 0;
    for (unsigned char v : row) a = (a + v) % 65521u, b = (b + a) % 65521u;
    TBytes idat = {0x78, 0x01, 0x01, 4, 0, 0xFB, 0xFF};
    idat.insert(idat.end(), row.begin(), row.end());
    PutBig32(idat, b << 16 | a);
    PutChunk(png, "IDAT", idat);
  }
  PutBig32(png, 0x7FFFFFF0u);
  png.insert(png.end(), c.type, c.type + 4);
  for (char ch : std::string("keyword\0abcdefgh", 16)) png.push_back(static_cast<unsigned char>(ch));
  return png;
}

// The peak resident set (working set) of the process so far, in KiB.
long long PeakResidentKiB() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)
             ? static_cast<long long>(counters.PeakWorkingSetSize / 1024)
             : 0;
#else
  rusage usage{};
  return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
#endif
}

// A JPEG of a few hundred bytes whose frame header declares a huge picture: refused before
// any block is made when its DIB could never be, and otherwise failing where its data end,
// having touched no more memory than the rows it decoded.
TEST(Iftavex, JpegDeclaringAHugePictureFailsCheaply) {
  const struct {
    const char* file;
    unsigned width, height;
    int rc;
  } cases[] = {
      {"jpeg-baseline.jpg", 60000, 60000, SPI_NO_MEMORY},    {"jpeg-progressive.jpg", 60000, 60000, SPI_NO_MEMORY},
      {"jpeg-baseline.jpg", 8000, 8000, SPI_OUT_OF_ORDER},   {"jpeg-arithmetic.jpg", 8000, 8000, SPI_OUT_OF_ORDER},
      {"jpeg-baseline.jpg", 65535, 1, SPI_OUT_OF_ORDER},
  };
  long long live = LiveLocalBlocks();
  for (const auto& c : cases) {
    TBytes jpeg = ReadAllBytes(ImageDir() / c.file);
    size_t sof = 2;
    while (sof + 9 < jpeg.size() && !(jpeg[sof] == 0xFF && (jpeg[sof + 1] == 0xC0 || jpeg[sof + 1] == 0xC2 ||
                                                           jpeg[sof + 1] == 0xC9)))
      ++sof;
    ASSERT_LT(sof + 9, jpeg.size()) << c.file;
    jpeg[sof + 5] = static_cast<unsigned char>(c.height >> 8);
    jpeg[sof + 6] = static_cast<unsigned char>(c.height);
    jpeg[sof + 7] = static_cast<unsigned char>(c.width >> 8);
    jpeg[sof + 8] = static_cast<unsigned char>(c.width);
    const long long peak = PeakResidentKiB();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DecodeMemory(jpeg).rc, c.rc) << c.file << " " << c.width << " x " << c.height;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.file;
    EXPECT_LT(PeakResidentKiB() - peak, 32 * 1024) << c.file << ": KiB more at the peak";
  }
  EXPECT_EQ(LiveLocalBlocks(), live);
}

class IftavexHugeChunk : public testing::TestWithParam<THugeChunk> {};

// libpng zeroes a buffer of the length a text chunk declares before it reads a byte of it:
// 2 GB and seconds for 57 bytes. Memory follows the picture, so the call must fail at once,
// or give the picture when its data are all there.
TEST_P(IftavexHugeChunk, FailsAtOnceWithoutTheMemoryItDeclares) {
  const TBytes png = HugeChunkPng(GetParam());
  if (!GetParam().afterImage) {
    ASSERT_EQ(png.size(), 57u);
  }
  long long live = LiveLocalBlocks();
  const long long peak = PeakResidentKiB();
  const auto start = std::chrono::steady_clock::now();
  TDib dib = DecodeMemory(png);
  const auto decoded = std::chrono::steady_clock::now();
  SpiPictureInfo info;
  int infoRc = TPlugin::Get().GetPictureInfo(reinterpret_cast<const char*>(png.data()),
                                             static_cast<SpiLongPtr>(png.size()), SPI_INPUT_MEMORY, &info);
  const auto end = std::chrono::steady_clock::now();
  if (GetParam().afterImage) {
    ASSERT_EQ(dib.rc, SPI_SUCCESS);
    EXPECT_EQ(dib.header.biWidth, 1);
    EXPECT_EQ(dib.header.biHeight, 1);
    EXPECT_EQ(dib.pixels, TBytes({30, 200, 10, 0}));
    EXPECT_EQ(infoRc, SPI_SUCCESS);
  } else {
    EXPECT_EQ(dib.rc, SPI_OUT_OF_ORDER);
    EXPECT_EQ(infoRc, SPI_OUT_OF_ORDER);
  }
  EXPECT_LT(PeakResidentKiB() - peak, 16 * 1024) << "KiB more at the peak";
  EXPECT_LT(decoded - start, std::chrono::seconds(1));
  EXPECT_LT(end - decoded, std::chrono::seconds(1));
  EXPECT_EQ(LiveLocalBlocks(), live);
}

const THugeChunk HugeChunks[] = {
    {"tEXt", false}, {"zTXt", false}, {"iTXt", false}, {"pCAL", false}, {"sCAL", false}, {"sPLT", false},
    {"tEXt", true},  {"iCCP", true},  {"zTXt", true},
};

INSTANTIATE_TEST_SUITE_P(Chunks, IftavexHugeChunk, testing::ValuesIn(HugeChunks),
                         [](const testing::TestParamInfo<THugeChunk>& i) {
                           return std::string(i.param.type) + (i.param.afterImage ? "_after_the_image" : "");
                         });

// A HEIF or AVIF whose every ispe (the picture's declared size) says width x height, the
// coded stream left as it was: 30 bytes of header claim any size, larger or smaller than
// what the codec's own header makes the decoder allocate.
struct THugeHeif {
  const char* file;
  std::uint32_t width, height;
  int rc;     // of GetPicture
  int infoRc; // of GetPictureInfo, which reports the declared size
  bool grid;  // the size goes into the grid payloads in idat instead, the ispe kept
};

// heif-enc's files keep each grid's payload in idat: version, flags 0 (16-bit sizes), rows and
// columns less one, then the canvas width and height that libheif allocates.
TBytes WithGridCanvas(TBytes bytes, std::uint32_t width, std::uint32_t height) {
  static const unsigned char type[4] = {'i', 'd', 'a', 't'};
  auto at = std::search(bytes.begin(), bytes.end(), type, type + 4);
  EXPECT_NE(at, bytes.end()) << "no idat box";
  if (at == bytes.end() || at - bytes.begin() < 4) return bytes;
  const size_t start = static_cast<size_t>(at - bytes.begin()) + 4;
  const size_t size = (size_t{bytes[start - 8]} << 24 | size_t{bytes[start - 7]} << 16 | size_t{bytes[start - 6]} << 8 |
                       bytes[start - 5]) - 8;
  EXPECT_EQ(size % 8, 0u) << "idat holds other than 8-byte grids";
  for (size_t g = start; g + 8 <= start + size && g + 8 <= bytes.size(); g += 8) {
    bytes[g + 4] = static_cast<unsigned char>(width >> 8);
    bytes[g + 5] = static_cast<unsigned char>(width);
    bytes[g + 6] = static_cast<unsigned char>(height >> 8);
    bytes[g + 7] = static_cast<unsigned char>(height);
  }
  return bytes;
}

TBytes WithIspe(TBytes bytes, std::uint32_t width, std::uint32_t height) {
  static const unsigned char box[8] = {0, 0, 0, 20, 'i', 's', 'p', 'e'};
  int found = 0;
  for (size_t at = 0; at + 20 <= bytes.size(); ++at) {
    if (std::memcmp(bytes.data() + at, box, 8) != 0) continue;
    for (int i = 0; i < 4; ++i) {
      bytes[at + 12 + i] = static_cast<unsigned char>(width >> (24 - 8 * i));
      bytes[at + 16 + i] = static_cast<unsigned char>(height >> (24 - 8 * i));
    }
    ++found;
  }
  EXPECT_GT(found, 0) << "no ispe box";
  return bytes;
}

class IftavexHugeHeif : public testing::TestWithParam<THugeHeif> {};

// The planes are the decoder's, made before a row reaches the target: the size is checked
// first, by the target's own rule (24-bit rows within 2 GiB) and, for a side no DIB row can
// hold, by libheif's limit as it reads the boxes.
TEST_P(IftavexHugeHeif, FailsWithoutMakingThePicture) {
  const THugeHeif& c = GetParam();
  TBytes bytes = ReadAllBytes(ImageDir() / c.file);
  ASSERT_FALSE(bytes.empty());
  if (HeifMissing(std::filesystem::path(c.file).extension().string().substr(1)))
    GTEST_SKIP() << "no libheif.dll beside the plug-in";
  bytes = c.grid ? WithGridCanvas(bytes, c.width, c.height) : WithIspe(bytes, c.width, c.height);
  long long live = LiveLocalBlocks();
  const long long peak = PeakResidentKiB();
  const auto start = std::chrono::steady_clock::now();
  TDib dib = DecodeMemory(bytes);
  SpiPictureInfo info{};
  int infoRc = TPlugin::Get().GetPictureInfo(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<SpiLongPtr>(bytes.size()), SPI_INPUT_MEMORY, &info);
  const auto end = std::chrono::steady_clock::now();
  EXPECT_EQ(dib.rc, c.rc);
  EXPECT_EQ(infoRc, c.infoRc);
  if (infoRc == SPI_SUCCESS && !c.grid) {
    EXPECT_EQ(info.width, static_cast<long>(c.width));
    EXPECT_EQ(info.height, static_cast<long>(c.height));
  }
  EXPECT_LT(PeakResidentKiB() - peak, 16 * 1024) << "KiB more at the peak";
  EXPECT_LT(end - start, std::chrono::seconds(1));
  EXPECT_EQ(LiveLocalBlocks(), live);
}

const THugeHeif HugeHeifs[] = {
    // 2.7 GB of rows: past the target's limit, within libheif's.
    {"heic-rgba8.heic", 30000, 30000, SPI_NO_MEMORY, SPI_SUCCESS, false},
    {"avif-rgba8.avif", 30000, 30000, SPI_NO_MEMORY, SPI_SUCCESS, false},
    {"heic-rgb10.heic", 1, 900000000, SPI_NO_MEMORY, SPI_NO_MEMORY, false}, // one side past any DIB row
    {"avif-rgb12.avif", 0x7FFFFFFF, 1, SPI_NO_MEMORY, SPI_NO_MEMORY, false},
    // 1 x 1 declared, 2048 x 2048 coded: the codec's header is read before the decoder runs.
    {"heic-flat2k.heic", 1, 1, SPI_OUT_OF_ORDER, SPI_SUCCESS, false},
    {"avif-flat2k.avif", 1, 1, SPI_OUT_OF_ORDER, SPI_SUCCESS, false},
    {"avif-flat2k.avif", 1900, 1900, SPI_OUT_OF_ORDER, SPI_SUCCESS, false}, // a little short, past the slack
    // A 37 x 23 picture whose grids (colour and alpha) ask for a canvas of 65535 x 65535: more
    // than 10 GiB of planes before the first tile is decoded (found by fuzzing).
    {"heic-rgba8.heic", 65535, 65535, SPI_OUT_OF_ORDER, SPI_SUCCESS, true},
};

INSTANTIATE_TEST_SUITE_P(Files, IftavexHugeHeif, testing::ValuesIn(HugeHeifs),
                         [](const testing::TestParamInfo<THugeHeif>& i) {
                           std::string n = std::string(i.param.file) + (i.param.grid ? "_grid_" : "_") +
                                           std::to_string(i.param.width) + "x" + std::to_string(i.param.height);
                           for (char& ch : n)
                             if (ch == '-' || ch == '.') ch = '_';
                           return n;
                         });

// An ICC profile in the colr box reaches the target: the picture is the stored pixels (the
// DIB make-images.py wrote from libheif's decode) run through the plug-in's own conversion of
// that profile, at 8 bits. The profile has straight curves, so no mid-tone stays as it was.
TEST(Iftavex, HeifIccProfileIsConvertedToSrgb) {
  const TBytes file = ReadAllBytes(ImageDir() / "heic-icc.heic");
  const TBytes icc = ReadAllBytes(ImageDir() / "linear.icc");
  TExpected stored = LoadExpected("heic-icc");
  ASSERT_FALSE(file.empty());
  ASSERT_GT(stored.width, 0);
  if (HeifMissing("heic")) GTEST_SKIP() << "no libheif.dll beside the plug-in";
  TDib dib = DecodeMemory(file);
  ASSERT_EQ(dib.rc, SPI_SUCCESS);
  ASSERT_EQ(dib.pixels.size(), stored.pixels.size());
  TColour* colour = ColourFromIcc(icc.data(), icc.size(), 3);
#ifndef _WIN32
  ASSERT_NE(colour, nullptr) << "the profile is not sRGB";
#endif
  TBytes want = stored.pixels;
  const size_t stride = (static_cast<size_t>(stored.width) * 3 + 3) / 4 * 4;
  size_t changed = 0;
  for (int y = 0; y < stored.height; ++y) {
    for (int x = 0; x < stored.width; ++x) {
      unsigned char* bgr = want.data() + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
      unsigned char rgba[4] = {bgr[2], bgr[1], bgr[0], 255};
      if (colour) ColourRow8(colour, rgba, rgba, 1);
      changed += rgba[0] != bgr[2] || rgba[1] != bgr[1] || rgba[2] != bgr[0];
      bgr[0] = rgba[2];
      bgr[1] = rgba[1];
      bgr[2] = rgba[0];
    }
  }
  ColourFree(colour);
  EXPECT_TRUE(dib.pixels == want);
#ifndef _WIN32
  EXPECT_GT(changed, want.size() / 3 / 2) << "most pixels change";
#endif
}

#ifndef _WIN32
// libtiff costs most of the plug-in's loading, paid at every start: it comes with the first
// TIFF, and a PNG does not bring it. (Each test runs in a process of its own.)
TEST(Iftavex, LibtiffComesWithTheFirstTiff) {
  auto libtiffMapped = [] {
    const TBytes maps = ReadAllBytes("/proc/self/maps");
    return std::string(maps.begin(), maps.end()).find("libtiff") != std::string::npos;
  };
  ASSERT_NE(TPlugin::Get().GetPicture, nullptr);
  EXPECT_EQ(DecodeMemory(ReadAllBytes(ImageDir() / "png-rgb8.png")).rc, SPI_SUCCESS);
  EXPECT_FALSE(libtiffMapped());
  EXPECT_EQ(DecodeMemory(ReadAllBytes(ImageDir() / "tiff-rgb8.tif")).rc, SPI_SUCCESS);
  EXPECT_TRUE(libtiffMapped());
}
#endif

} // namespace
