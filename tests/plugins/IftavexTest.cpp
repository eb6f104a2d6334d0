// Tavex's own image plug-in, called through its exported entry points as a host calls them.
// The pictures and the DIB each must give come from make-images.py; native and Windows builds
// are held to the same expected bytes, so both decode every file byte for byte alike.
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <dlfcn.h>
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/LocalBlocks.h"
#include "support/TempDir.h"

namespace {

using TBytes = std::vector<unsigned char>;

// The entry points of the plug-in, loaded once for the whole program.
struct TPlugin {
  SpiGetPluginInfoProc GetPluginInfo = nullptr;
  SpiIsSupportedProc IsSupported = nullptr;
  SpiGetPictureInfoProc GetPictureInfo = nullptr;
  SpiGetPictureProc GetPicture = nullptr;
  SpiGetPreviewProc GetPreview = nullptr;

  static const TPlugin& Get() {
    static const TPlugin plugin;
    return plugin;
  }

private:
  TPlugin() {
#ifdef _WIN32
    HMODULE module = ::LoadLibraryW(std::filesystem::path(TAVEX_IFTAVEX_PATH).wstring().c_str());
    auto resolve = [module](const char* name) {
      return module ? reinterpret_cast<void*>(::GetProcAddress(module, name)) : nullptr;
    };
#else
    void* module = ::dlopen(TAVEX_IFTAVEX_PATH, RTLD_NOW | RTLD_LOCAL);
    auto resolve = [module](const char* name) { return module ? ::dlsym(module, name) : nullptr; };
#endif
    GetPluginInfo = reinterpret_cast<SpiGetPluginInfoProc>(resolve("GetPluginInfo"));
    IsSupported = reinterpret_cast<SpiIsSupportedProc>(resolve("IsSupported"));
    GetPictureInfo = reinterpret_cast<SpiGetPictureInfoProc>(resolve("GetPictureInfo"));
    GetPicture = reinterpret_cast<SpiGetPictureProc>(resolve("GetPicture"));
    GetPreview = reinterpret_cast<SpiGetPreviewProc>(resolve("GetPreview"));
  }
};

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
    {"webp-lossy", "webp", false, true},   {"gif-offset", "gif", true, true},
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

class IftavexDecode : public testing::TestWithParam<TCase> {
protected:
  void SetUp() override {
    ASSERT_NE(TPlugin::Get().GetPicture, nullptr) << "cannot load " << TAVEX_IFTAVEX_PATH;
    FBytes = ReadAllBytes(ImageDir() / (std::string(GetParam().name) + "." + GetParam().ext));
    ASSERT_FALSE(FBytes.empty());
    FExpected = LoadExpected(GetParam().name);
    ASSERT_GT(FExpected.width, 0);
  }

  // A Windows without a codec for the format (Wine 8 has none for WebP) is told apart from a
  // failure: the plug-in says "unknown format" and hands back nothing, and the test says so.
  void SkipWithoutCodec() {
    int rc = DecodeMemory(FBytes).rc;
#ifdef _WIN32
    if (rc == SPI_NOT_SUPPORT) GTEST_SKIP() << "this system's imaging component cannot decode " << GetParam().ext;
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

INSTANTIATE_TEST_SUITE_P(Formats, IftavexDecode, testing::ValuesIn(Cases),
                         [](const testing::TestParamInfo<TCase>& i) {
                           std::string n = i.param.name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

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
// is computed from the samples, so the colour engine's rounding is allowed for.
TEST(Iftavex, EmbeddedProfilesConvertTheRowsToSrgb) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows builds have no colour engine yet";
#endif
  const struct {
    const char* file;
    int tolerance;
  } cases[] = {{"jpeg-linear-icc.jpg", 2}, {"jpeg-ycck-white-icc.jpg", 1}, {"bmp-linear-icc.bmp", 2}};
  for (const auto& c : cases) {
    const std::string name(c.file);
    TDib dib = DecodeMemory(ReadAllBytes(ImageDir() / name));
    ASSERT_EQ(dib.rc, SPI_SUCCESS) << name;
    TExpected want = LoadExpected(name.substr(0, name.rfind('.')));
    ASSERT_EQ(dib.header.biWidth, want.width) << name;
    ASSERT_EQ(dib.pixels.size(), want.pixels.size()) << name;
    int worst = 0;
    for (size_t i = 0; i < want.pixels.size(); ++i) worst = std::max(worst, std::abs(dib.pixels[i] - want.pixels[i]));
    EXPECT_LE(worst, c.tolerance) << name;
  }
}

TEST(Iftavex, PluginInfoNamesTheImportFilterAndItsFormats) {
  const char* const want[] = {"00IN", nullptr, "*.png", "PNG", "*.gif", "GIF", "*.tif;*.tiff", "TIFF", "*.webp", "WebP",
                              "*.jpg;*.jpeg;*.jpe;*.jfif", "JPEG", "*.bmp", "BMP (versions 4 and 5)"};
  char buf[256];
  for (int i = 0; i < 14; ++i) {
    int n = TPlugin::Get().GetPluginInfo(i, buf, sizeof buf);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buf))) << i;
    if (want[i])
      EXPECT_STREQ(buf, want[i]) << i;
    else
      EXPECT_NE(std::string(buf).find("PNG, GIF, TIFF, WebP, JPEG, BMP; libjpeg-turbo"), std::string::npos) << buf;
  }
  EXPECT_EQ(TPlugin::Get().GetPluginInfo(14, buf, sizeof buf), 0);
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
#ifdef _WIN32
  EXPECT_NE(DecodeMemory(hugeGif).rc, SPI_SUCCESS);
#else
  EXPECT_EQ(DecodeMemory(hugeGif).rc, SPI_NO_MEMORY);
#endif

  HLOCAL info = reinterpret_cast<HLOCAL>(1), bits = reinterpret_cast<HLOCAL>(1);
  TBytes png = ReadAllBytes(ImageDir() / "png-rgb8.png");
  EXPECT_EQ(TPlugin::Get().GetPreview(reinterpret_cast<const char*>(png.data()), static_cast<SpiLongPtr>(png.size()),
                                      SPI_INPUT_MEMORY, &info, &bits, nullptr, 0),
            SPI_NOT_IMPLEMENTED);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(bits, nullptr);
  EXPECT_EQ(LiveLocalBlocks(), live);
}

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
