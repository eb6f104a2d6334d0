// Colour management of Tavex's own plug-in, through its entry points: pictures with a colour
// profile must come out as sRGB, pictures whose colour information is sRGB, missing or unusable
// must come out exactly as stored. The files are made here (hand-written PNG and TIFF, libwebp
// and its muxer for WebP, lcms2 for the profiles), and the expected sRGB pixels are computed
// here from the profiles' curves and primaries, independently of lcms2's transforms.
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#include <dlfcn.h>
#include <lcms2.h>
#include <webp/encode.h>
#include <webp/mux.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../../plugins/iftavex/Colour.h"
#include "support/LocalBlocks.h"
#include "support/TempDir.h"

namespace {

using TBytes = std::vector<unsigned char>;

constexpr int W = 37, H = 23; // an odd width, so DIB rows need padding

SpiGetPictureProc GetPicture() {
  static void* module = ::dlopen(TAVEX_IFTAVEX_PATH, RTLD_NOW | RTLD_LOCAL);
  return module ? reinterpret_cast<SpiGetPictureProc>(::dlsym(module, "GetPicture")) : nullptr;
}

// The 24-bit DIB rows of a decoded file, or empty when it did not decode.
TBytes DecodeToDib(const TBytes& file) {
  HLOCAL info = nullptr, bits = nullptr;
  if (GetPicture()(reinterpret_cast<const char*>(file.data()), static_cast<SpiLongPtr>(file.size()),
                   SPI_INPUT_MEMORY, &info, &bits, nullptr, 0) != SPI_SUCCESS)
    return {};
  const auto* header = static_cast<const SpiBitmapInfoHeader*>(LocalLock(info));
  const auto* p = static_cast<const unsigned char*>(LocalLock(bits));
  TBytes dib;
  if (header->biWidth == W && header->biHeight == H) dib.assign(p, p + header->biSizeImage);
  LocalUnlock(bits);
  LocalUnlock(info);
  LocalFree(info);
  LocalFree(bits);
  return dib;
}

// ---- pictures ----------------------------------------------------------------------------

// Samples of W x H pixels: 1 grey, 3 RGB or 4 RGBA channels of 8 or 16 bits, straight alpha.
struct TPicture {
  int depth = 8;
  int channels = 3;
  std::vector<unsigned> samples;
  unsigned Top() const { return depth == 8 ? 255u : 65535u; }
  unsigned At(int x, int y, int c) const { return samples[(static_cast<size_t>(y) * W + x) * channels + c]; }
};

// Ramps in every channel with saturated corners, and every kind of alpha; dark keeps 16-bit
// values below two 8-bit steps, where converting at 8 bits would lose them.
TPicture Picture(int depth, int channels, bool dark = false) {
  TPicture p;
  p.depth = depth;
  p.channels = channels;
  const unsigned top = p.Top();
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      unsigned rgb[3] = {(x * 53u + y * 29u) * 257u % 65536u, (x * 17u + y * 61u + 40u) * 263u % 65536u,
                         (x * 5u + y * 7u + 200u) * 251u % 65536u};
      if (x % 9 == 0) rgb[0] = 65535, rgb[1] = rgb[2] = 0;
      if (y % 7 == 3) rgb[1] = 65535, rgb[0] = rgb[2] = 0;
      for (unsigned& v : rgb) v = dark ? v % 512u : depth == 8 ? v >> 8 : v;
      const unsigned alphas[6] = {0, top, top / 2, top / 3, 1, top - 1};
      unsigned px[4] = {rgb[0], rgb[1], rgb[2], alphas[(x + 2 * y) % 6]};
      if (channels == 1) px[0] = rgb[0];
      for (int c = 0; c < channels; ++c) p.samples.push_back(px[c]);
    }
  return p;
}

void PutBig32(TBytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

TBytes Compress(const TBytes& data) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  TBytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), static_cast<uLong>(data.size()), 6), Z_OK);
  out.resize(n);
  return out;
}

struct TChunk {
  std::string type;
  TBytes data;
  bool badCrc = false;
};

TBytes Png(const TPicture& p, const std::vector<TChunk>& colourChunks) {
  TBytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto put = [&png](const std::string& type, const TBytes& data, bool badCrc) {
    PutBig32(png, static_cast<uint32_t>(data.size()));
    const size_t from = png.size();
    png.insert(png.end(), type.begin(), type.end());
    png.insert(png.end(), data.begin(), data.end());
    uint32_t crc = static_cast<uint32_t>(crc32(0, png.data() + from, static_cast<uInt>(png.size() - from)));
    PutBig32(png, badCrc ? crc ^ 1u : crc);
  };
  const unsigned char colourType[5] = {0, 0, 0, 2, 6};
  TBytes ihdr;
  PutBig32(ihdr, W);
  PutBig32(ihdr, H);
  ihdr.insert(ihdr.end(), {static_cast<unsigned char>(p.depth), colourType[p.channels], 0, 0, 0});
  put("IHDR", ihdr, false);
  for (const TChunk& c : colourChunks) put(c.type, c.data, c.badCrc);
  TBytes rows;
  for (int y = 0; y < H; ++y) {
    rows.push_back(0);
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < p.channels; ++c) {
        if (p.depth == 16) rows.push_back(static_cast<unsigned char>(p.At(x, y, c) >> 8));
        rows.push_back(static_cast<unsigned char>(p.At(x, y, c)));
      }
  }
  put("IDAT", Compress(rows), false);
  put("IEND", {}, false);
  return png;
}

TChunk Gama(uint32_t v) {
  TChunk c{"gAMA", {}};
  PutBig32(c.data, v);
  return c;
}

TChunk Chrm(const double xy[8]) {
  TChunk c{"cHRM", {}};
  for (int i = 0; i < 8; ++i) PutBig32(c.data, static_cast<uint32_t>(std::lround(xy[i] * 100000)));
  return c;
}

TChunk Iccp(const TBytes& profile) {
  TChunk c{"iCCP", {'I', 'C', 'C', ' ', 'p', 'r', 'o', 'f', 'i', 'l', 'e', 0, 0}};
  TBytes z = Compress(profile);
  c.data.insert(c.data.end(), z.begin(), z.end());
  return c;
}

// A little-endian TIFF of one uncompressed strip, with the profile in its ICC tag when given;
// premultiplied stores RGBA with associated alpha, cmyk the four channels as CMYK.
TBytes Tiff(const TPicture& p, const TBytes& profile, bool premultiplied = false, bool cmyk = false) {
  TBytes pixels;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < p.channels; ++c) {
        unsigned v = p.At(x, y, c);
        if (premultiplied && c < 3) v = (v * p.At(x, y, 3) + p.Top() / 2) / p.Top();
        pixels.push_back(static_cast<unsigned char>(v));
        if (p.depth == 16) pixels.push_back(static_cast<unsigned char>(v >> 8));
      }
  struct TTag {
    uint16_t tag, type;
    uint32_t count;
    TBytes data; // values, little-endian
  };
  auto shorts = [](std::initializer_list<unsigned> v) {
    TBytes b;
    for (unsigned s : v) b.insert(b.end(), {static_cast<unsigned char>(s), static_cast<unsigned char>(s >> 8)});
    return b;
  };
  auto longs = [](unsigned v) {
    return TBytes{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
                  static_cast<unsigned char>(v >> 24)};
  };
  const unsigned d = static_cast<unsigned>(p.depth);
  std::vector<TTag> tags = {
      {256, 4, 1, longs(W)},
      {257, 4, 1, longs(H)},
      {258, 3, static_cast<uint32_t>(p.channels), p.channels == 1 ? shorts({d}) : p.channels == 3 ? shorts({d, d, d}) : shorts({d, d, d, d})},
      {259, 3, 1, shorts({1})},
      {262, 3, 1, shorts({cmyk ? 5u : p.channels == 1 ? 1u : 2u})},
      {273, 4, 1, longs(0)}, // the strip's place, filled in below
      {277, 3, 1, shorts({static_cast<unsigned>(p.channels)})},
      {278, 4, 1, longs(H)},
      {279, 4, 1, longs(static_cast<unsigned>(pixels.size()))},
      {284, 3, 1, shorts({1})},
  };
  if (p.channels == 4 && !cmyk) tags.push_back({338, 3, 1, shorts({premultiplied ? 1u : 2u})});
  if (!profile.empty()) tags.push_back({34675, 7, static_cast<uint32_t>(profile.size()), profile});
  const size_t ifdEnd = 8 + 2 + 12 * tags.size() + 4;
  size_t outside = 0;
  for (const TTag& t : tags) outside += t.data.size() > 4 ? t.data.size() : 0;
  tags[5].data = longs(static_cast<unsigned>(ifdEnd + outside));
  TBytes out = {'I', 'I', 42, 0, 8, 0, 0, 0, static_cast<unsigned char>(tags.size()), 0};
  TBytes extra;
  for (const TTag& t : tags) {
    TBytes entry = shorts({t.tag, t.type});
    TBytes count = longs(t.count);
    entry.insert(entry.end(), count.begin(), count.end());
    if (t.data.size() <= 4) {
      TBytes v = t.data;
      v.resize(4, 0);
      entry.insert(entry.end(), v.begin(), v.end());
    } else {
      TBytes at = longs(static_cast<unsigned>(ifdEnd + extra.size()));
      entry.insert(entry.end(), at.begin(), at.end());
      extra.insert(extra.end(), t.data.begin(), t.data.end());
    }
    out.insert(out.end(), entry.begin(), entry.end());
  }
  out.insert(out.end(), 4, 0);
  out.insert(out.end(), extra.begin(), extra.end());
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

// A lossless WebP of an 8-bit RGBA picture, with the profile in an ICCP chunk when given.
TBytes Webp(const TPicture& p, const TBytes& profile) {
  std::vector<uint8_t> rgba;
  for (unsigned v : p.samples) rgba.push_back(static_cast<uint8_t>(v));
  WebPConfig config;
  WebPPicture picture;
  EXPECT_TRUE(WebPConfigInit(&config) && WebPPictureInit(&picture));
  config.lossless = 1;
  config.exact = 1; // keep the colour of clear pixels as given
  picture.use_argb = 1;
  picture.width = W;
  picture.height = H;
  WebPMemoryWriter writer;
  WebPMemoryWriterInit(&writer);
  picture.writer = WebPMemoryWrite;
  picture.custom_ptr = &writer;
  EXPECT_TRUE(WebPPictureImportRGBA(&picture, rgba.data(), W * 4) && WebPEncode(&config, &picture));
  WebPPictureFree(&picture);
  TBytes out(writer.mem, writer.mem + writer.size);
  WebPMemoryWriterClear(&writer);
  if (profile.empty()) return out;
  WebPMux* mux = WebPMuxNew();
  WebPData image = {out.data(), out.size()}, icc = {profile.data(), profile.size()}, assembled;
  WebPDataInit(&assembled);
  EXPECT_EQ(WebPMuxSetImage(mux, &image, 1), WEBP_MUX_OK);
  EXPECT_EQ(WebPMuxSetChunk(mux, "ICCP", &icc, 1), WEBP_MUX_OK);
  EXPECT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
  out.assign(assembled.bytes, assembled.bytes + assembled.size);
  WebPDataClear(&assembled);
  WebPMuxDelete(mux);
  return out;
}

// ---- profiles ----------------------------------------------------------------------------

// Chromaticities: white x, y, then red, green and blue x, y.
const double SrgbXy[8] = {0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
const double AdobeXy[8] = {0.3127, 0.3290, 0.64, 0.33, 0.21, 0.71, 0.15, 0.06};

TBytes Save(cmsHPROFILE h) {
  cmsUInt32Number n = 0;
  TBytes out;
  if (h && cmsSaveProfileToMem(h, nullptr, &n)) {
    out.resize(n);
    if (!cmsSaveProfileToMem(h, out.data(), &n)) out.clear();
  }
  if (h) cmsCloseProfile(h);
  return out;
}

// An Adobe RGB-like display profile: its primaries, D65, a 2.2 power curve.
TBytes AdobeProfile() {
  cmsCIExyY white = {AdobeXy[0], AdobeXy[1], 1};
  cmsCIExyYTRIPLE primaries = {{AdobeXy[2], AdobeXy[3], 1}, {AdobeXy[4], AdobeXy[5], 1}, {AdobeXy[6], AdobeXy[7], 1}};
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  TBytes out = Save(cmsCreateRGBProfile(&white, &primaries, curves));
  cmsFreeToneCurve(curve);
  return out;
}

// A grey profile whose values are linear light.
TBytes LinearGreyProfile() {
  cmsCIExyY white = {SrgbXy[0], SrgbXy[1], 1};
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.0);
  TBytes out = Save(cmsCreateGrayProfile(&white, curve));
  cmsFreeToneCurve(curve);
  return out;
}

TBytes SrgbProfile() { return Save(cmsCreate_sRGBProfile()); }
TBytes LabProfile() { return Save(cmsCreateLab4Profile(nullptr)); }

// The Adobe profile with its header's size field set to v.
TBytes DeclaringSize(uint32_t v) {
  TBytes b = AdobeProfile();
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (24 - 8 * i));
  return b;
}

// The Adobe profile cut to its first half, the size field still saying the whole.
TBytes TruncatedProfile() {
  TBytes b = AdobeProfile();
  b.resize(b.size() / 2);
  return b;
}

// A valid header over a tag table of garbage.
TBytes GarbageTagsProfile() {
  TBytes b = AdobeProfile();
  for (size_t i = 128; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 151u + 7u);
  b[128] = b[129] = 0, b[130] = 0, b[131] = 3;
  return b;
}

// The Adobe profile padded past the size limit (5 MiB), its size field saying so.
TBytes OversizedProfile() {
  TBytes b = AdobeProfile();
  b.resize(5u << 20, 0);
  const uint32_t v = 5u << 20;
  for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (24 - 8 * i));
  return b;
}

// A CMYK printer's profile of the naive kind: red (1 - C)(1 - K), green (1 - M)(1 - K), blue
// (1 - Y)(1 - K) in sRGB, sampled into its table.
TBytes NaiveCmykProfile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
  cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(h, 4.3);
  cmsSetDeviceClass(h, cmsSigOutputClass);
  cmsSetColorSpace(h, cmsSigCmykData);
  cmsSetPCS(h, cmsSigLabData);
  cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
  cmsStage* table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  auto sample = [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> cmsInt32Number {
    const double k = 1 - in[3] / 65535.0;
    const double rgb[3] = {(1 - in[0] / 65535.0) * k, (1 - in[1] / 65535.0) * k, (1 - in[2] / 65535.0) * k};
    cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, out, 1);
    return 1;
  };
  cmsStageSampleCLut16bit(table, sample, toLab, 0);
  // Saved as curves, table, curves: the form the A-to-B tag stores.
  cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(lut, cmsAT_END, table);
  cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsWriteTag(h, cmsSigAToB0Tag, lut);
  cmsWriteTag(h, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipelineFree(lut);
  cmsDeleteTransform(toLab);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return Save(h);
}

// ---- the expected pixels -----------------------------------------------------------------

// Each colour from the source encoding to sRGB, as numbers from 0 to 1.
using TConversion = std::function<void(const double in[3], double out[3])>;

double SrgbEncode(double v) {
  v = std::clamp(v, 0.0, 1.0);
  return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}
double SrgbDecode(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

using TMatrix = std::array<std::array<double, 3>, 3>;

TMatrix Inverse(const TMatrix& m) {
  TMatrix r{};
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int a = (j + 1) % 3, b = (j + 2) % 3, c = (i + 1) % 3, d = (i + 2) % 3;
      r[i][j] = (m[a][c] * m[b][d] - m[a][d] * m[b][c]) / det;
    }
  return r;
}

// RGB to XYZ of primaries and white given as chromaticities, white at Y = 1.
TMatrix RgbToXyz(const double* xy) {
  TMatrix p{};
  for (int k = 0; k < 3; ++k) {
    const double x = xy[2 + 2 * k], y = xy[3 + 2 * k];
    p[0][k] = x / y, p[1][k] = 1, p[2][k] = (1 - x - y) / y;
  }
  const double white[3] = {xy[0] / xy[1], 1, (1 - xy[0] - xy[1]) / xy[1]};
  const TMatrix inv = Inverse(p);
  for (int k = 0; k < 3; ++k) {
    const double s = inv[k][0] * white[0] + inv[k][1] * white[1] + inv[k][2] * white[2];
    for (int i = 0; i < 3; ++i) p[i][k] *= s;
  }
  return p;
}

// From RGB of the primaries xy (both whites D65, so no adaptation) with the given decoding.
TConversion FromRgb(const double* xy, std::function<double(double)> decode) {
  const TMatrix toXyz = RgbToXyz(xy), toSrgb = Inverse(RgbToXyz(SrgbXy));
  return [=](const double in[3], double out[3]) {
    double lin[3], xyz[3];
    for (int c = 0; c < 3; ++c) lin[c] = decode(in[c]);
    for (int i = 0; i < 3; ++i) xyz[i] = toXyz[i][0] * lin[0] + toXyz[i][1] * lin[1] + toXyz[i][2] * lin[2];
    for (int i = 0; i < 3; ++i) out[i] = SrgbEncode(toSrgb[i][0] * xyz[0] + toSrgb[i][1] * xyz[1] + toSrgb[i][2] * xyz[2]);
  };
}

TConversion Power(double exponent) {
  return FromRgb(SrgbXy, [exponent](double v) { return std::pow(v, exponent); });
}

unsigned OnWhite(unsigned c, unsigned a) { return (c * a + 255 * (255 - a) + 127) / 255; }
unsigned To8(unsigned v) { return (v * 255 + 32767) / 65535; }

// The DIB the plug-in must give: each colour converted (as stored without a conversion),
// alpha put on white, rows bottom-up as blue, green, red, padded to 4 bytes.
TBytes ExpectedDib(const TPicture& p, const TConversion& conversion) {
  const size_t stride = (W * 3 + 3) & ~3;
  TBytes dib(stride * H, 0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      unsigned rgb[3], a = 255;
      for (int c = 0; c < 3; ++c) rgb[c] = p.At(x, y, p.channels == 1 ? 0 : c);
      if (p.channels == 4) a = p.depth == 8 ? p.At(x, y, 3) : To8(p.At(x, y, 3));
      if (conversion) {
        double in[3], out[3];
        for (int c = 0; c < 3; ++c) in[c] = rgb[c] / static_cast<double>(p.Top());
        conversion(in, out);
        for (int c = 0; c < 3; ++c) rgb[c] = static_cast<unsigned>(std::lround(out[c] * 255));
      } else if (p.depth == 16) {
        for (unsigned& v : rgb) v = To8(v);
      }
      unsigned char* o = dib.data() + (H - 1 - y) * stride + x * 3;
      for (int c = 0; c < 3; ++c) o[c] = static_cast<unsigned char>(OnWhite(rgb[2 - c], a));
    }
  return dib;
}

double Psnr(const TBytes& a, const TBytes& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

int MaxDifference(const TBytes& a, const TBytes& b) {
  int m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

// ---- the cases ---------------------------------------------------------------------------

struct TColourCase {
  const char* name;
  std::function<TPicture()> picture;
  std::function<TBytes(const TPicture&)> file;
  TConversion conversion; // empty: the pixels must come out exactly as stored
};

const TConversion Adobe = FromRgb(AdobeXy, [](double v) { return std::pow(v, 2.2); });
const TConversion AdobeSrgbCurve = FromRgb(AdobeXy, SrgbDecode);
const TConversion LinearGrey = [](const double in[3], double out[3]) {
  for (int c = 0; c < 3; ++c) out[c] = SrgbEncode(in[c]);
};

TPicture Rgb8() { return Picture(8, 3); }
TPicture Rgba8() { return Picture(8, 4); }
TPicture Grey8() { return Picture(8, 1); }

// RGBA whose colours are what their premultiplied form holds (c times alpha, rounded, divided
// again): near clipping, the conversion turns the step lost in between into a dozen.
TPicture Premultipliable8() {
  TPicture p = Picture(8, 4);
  for (size_t i = 0; i < p.samples.size(); i += 4) {
    const unsigned a = p.samples[i + 3];
    for (size_t c = 0; c < 3; ++c) {
      const unsigned stored = (p.samples[i + c] * a + 127) / 255;
      p.samples[i + c] = a ? std::min(255u, (stored * 255 + a / 2) / a) : 0;
    }
  }
  return p;
}

const TColourCase ColourCases[] = {
    // Profiles that convert.
    {"png_iccp_rgb8", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(AdobeProfile())}); }, Adobe},
    {"png_iccp_rgba8", Rgba8, [](const TPicture& p) { return Png(p, {Iccp(AdobeProfile())}); }, Adobe},
    {"png_iccp_rgba16", [] { return Picture(16, 4); }, [](const TPicture& p) { return Png(p, {Iccp(AdobeProfile())}); }, Adobe},
    {"png_iccp_grey8", Grey8, [](const TPicture& p) { return Png(p, {Iccp(LinearGreyProfile())}); }, LinearGrey},
    {"png_gama_1_0", Rgb8, [](const TPicture& p) { return Png(p, {Gama(100000)}); }, Power(1.0)},
    {"png_gama_2_5", Rgb8, [](const TPicture& p) { return Png(p, {Gama(250000)}); }, Power(1 / 2.5)},
    {"png_gama_1_0_dark16", [] { return Picture(16, 3, true); }, [](const TPicture& p) { return Png(p, {Gama(100000)}); },
     Power(1.0)},
    {"png_gama_1_0_grey8", Grey8, [](const TPicture& p) { return Png(p, {Gama(100000)}); }, LinearGrey},
    {"png_gama_srgb_chrm_adobe", Rgb8, [](const TPicture& p) { return Png(p, {Gama(45455), Chrm(AdobeXy)}); },
     AdobeSrgbCurve},
    {"png_chrm_adobe", Rgba8, [](const TPicture& p) { return Png(p, {Chrm(AdobeXy)}); }, AdobeSrgbCurve},
    {"png_gama_0_508_chrm_adobe", Rgb8, [](const TPicture& p) { return Png(p, {Gama(25000 * 2 + 800), Chrm(AdobeXy)}); },
     FromRgb(AdobeXy, [](double v) { return std::pow(v, 1 / 0.508); })},
    // A profile that cannot be used leaves the gamma to say the colour.
    {"png_iccp_broken_gama_1_0", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(TruncatedProfile()), Gama(100000)}); },
     Power(1.0)},
    {"tiff_icc_rgb8", Rgb8, [](const TPicture& p) { return Tiff(p, AdobeProfile()); }, Adobe},
    {"tiff_icc_rgba16", [] { return Picture(16, 4); }, [](const TPicture& p) { return Tiff(p, AdobeProfile()); }, Adobe},
    {"tiff_icc_premultiplied", Premultipliable8, [](const TPicture& p) { return Tiff(p, AdobeProfile(), true); }, Adobe},
    {"tiff_icc_grey8", Grey8, [](const TPicture& p) { return Tiff(p, LinearGreyProfile()); }, LinearGrey},
    {"webp_iccp", Rgba8, [](const TPicture& p) { return Webp(p, AdobeProfile()); }, Adobe},

    // sRGB already, or nothing said: as stored.
    {"png_gama_srgb", Rgb8, [](const TPicture& p) { return Png(p, {Gama(45455)}); }, {}},
    {"png_gama_srgb_chrm_srgb", Rgba8, [](const TPicture& p) { return Png(p, {Gama(45455), Chrm(SrgbXy)}); }, {}},
    {"png_srgb_beats_gama", Rgb8, [](const TPicture& p) { return Png(p, {{"sRGB", {0}}, Gama(100000)}); }, {}},
    {"png_iccp_srgb", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(SrgbProfile())}); }, {}},
    {"png_plain16", [] { return Picture(16, 4); }, [](const TPicture& p) { return Png(p, {}); }, {}},
    {"tiff_icc_srgb", Rgb8, [](const TPicture& p) { return Tiff(p, SrgbProfile()); }, {}},
    // Profiles and chunks that cannot be used: as stored.
    {"png_iccp_truncated", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(TruncatedProfile())}); }, {}},
    {"png_iccp_huge_declared_size", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(DeclaringSize(0x7FFFFFF0u))}); }, {}},
    {"png_iccp_size_past_the_limit", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(OversizedProfile())}); }, {}},
    {"png_iccp_grey_profile_on_rgb", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(LinearGreyProfile())}); }, {}},
    {"png_iccp_rgb_profile_on_grey", Grey8, [](const TPicture& p) { return Png(p, {Iccp(AdobeProfile())}); }, {}},
    {"png_iccp_lab_profile", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(LabProfile())}); }, {}},
    {"png_iccp_garbage_tags", Rgb8, [](const TPicture& p) { return Png(p, {Iccp(GarbageTagsProfile())}); }, {}},
    {"png_iccp_bad_zlib", Rgb8,
     [](const TPicture& p) {
       TChunk c = Iccp(AdobeProfile());
       for (size_t i = 20; i < c.data.size(); i += 3) c.data[i] ^= 0x5A;
       return Png(p, {c});
     },
     {}},
    {"png_iccp_bad_crc", Rgb8, [](const TPicture& p) {
       TChunk c = Iccp(AdobeProfile());
       c.badCrc = true;
       return Png(p, {c});
     }, {}},
    {"png_gama_bad_crc", Rgb8, [](const TPicture& p) {
       TChunk c = Gama(100000);
       c.badCrc = true;
       return Png(p, {c});
     }, {}},
    {"png_gama_zero", Rgb8, [](const TPicture& p) { return Png(p, {Gama(0)}); }, {}},
    {"png_chrm_degenerate", Rgb8,
     [](const TPicture& p) {
       const double flat[8] = {0.3127, 0.3290, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3};
       return Png(p, {Chrm(flat)});
     },
     {}},
    {"tiff_icc_truncated", Rgb8, [](const TPicture& p) { return Tiff(p, TruncatedProfile()); }, {}},
    {"tiff_icc_grey_profile_on_rgb", Rgb8, [](const TPicture& p) { return Tiff(p, LinearGreyProfile()); }, {}},
    {"webp_iccp_huge_declared_size", Rgba8, [](const TPicture& p) { return Webp(p, DeclaringSize(0x7FFFFFF0u)); }, {}},
};

class IftavexColour : public testing::TestWithParam<TColourCase> {};

TEST_P(IftavexColour, GivesTheColourManagedOrTheStoredPixels) {
  ASSERT_NE(GetPicture(), nullptr) << "cannot load " << TAVEX_IFTAVEX_PATH;
  const TColourCase& c = GetParam();
  const TPicture picture = c.picture();
  const TBytes file = c.file(picture);
  long long live = LiveLocalBlocks();
  const TBytes dib = DecodeToDib(file);
  ASSERT_FALSE(dib.empty()) << "the file did not decode";
  EXPECT_EQ(LiveLocalBlocks(), live);
  const TBytes stored = ExpectedDib(picture, {});
  if (!c.conversion) {
    EXPECT_TRUE(dib == stored) << "differs from the stored pixels by up to " << MaxDifference(dib, stored);
    return;
  }
  const TBytes want = ExpectedDib(picture, c.conversion);
  EXPECT_LT(Psnr(stored, want), 40) << "the case's profile would not show";
  EXPECT_GE(Psnr(dib, want), 45);
  EXPECT_LE(MaxDifference(dib, want), 2);
}

void PrintTo(const TColourCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Profiles, IftavexColour, testing::ValuesIn(ColourCases),
                         [](const testing::TestParamInfo<TColourCase>& i) { return std::string(i.param.name); });

// ---- the conversions themselves -------------------------------------------------------------

struct TIccCase {
  const char* name;
  TBytes (*profile)();
  int channels;
  bool usable; // false: ColourFromIcc must say there is nothing to do
};

TBytes ShortProfile() {
  TBytes b = AdobeProfile();
  b.resize(131);
  return b;
}
TBytes NotAProfile() {
  TBytes b = AdobeProfile();
  b[36] = 'x'; // the header's signature
  return b;
}
TBytes DeviceLinkProfile() { return Save(cmsCreateInkLimitingDeviceLink(cmsSigCmykData, 300)); }

const TIccCase IccCases[] = {
    {"adobe_rgb", AdobeProfile, 3, true},
    {"adobe_on_grey", AdobeProfile, 1, false},
    {"adobe_on_cmyk", AdobeProfile, 4, false},
    {"linear_grey", LinearGreyProfile, 1, true},
    {"grey_on_rgb", LinearGreyProfile, 3, false},
    {"naive_cmyk", NaiveCmykProfile, 4, true},
    {"cmyk_on_rgb", NaiveCmykProfile, 3, false},
    {"srgb", SrgbProfile, 3, false},
    {"lab", LabProfile, 3, false},
    {"device_link", DeviceLinkProfile, 4, false},
    {"truncated", TruncatedProfile, 3, false},
    {"one_byte_short_of_a_header", ShortProfile, 3, false},
    {"no_signature", NotAProfile, 3, false},
    {"huge_declared_size", [] { return DeclaringSize(0x7FFFFFF0u); }, 3, false},
    {"declared_size_below_a_header", [] { return DeclaringSize(100); }, 3, false},
    {"garbage_tags", GarbageTagsProfile, 3, false},
    {"past_the_limit", OversizedProfile, 3, false},
};

class ColourIcc : public testing::TestWithParam<TIccCase> {};

// With TAVEX_FUZZ_CORPUS set (a folder, e.g. build/fuzz/corpus), the profiles also seed
// fuzz_icc, behind its mode byte.
TEST_P(ColourIcc, UsesOnlyProfilesThatFitThePixels) {
  const TIccCase& c = GetParam();
  const TBytes profile = c.profile();
  ASSERT_GT(profile.size(), 100u);
  TColour* colour = ColourFromIcc(profile.data(), profile.size(), c.channels);
  EXPECT_EQ(colour != nullptr, c.usable);
  if (colour) {
    EXPECT_EQ(ColourChannels(colour), c.channels);
  }
  ColourFree(colour);
  if (const char* folder = std::getenv("TAVEX_FUZZ_CORPUS"); folder && *folder && profile.size() < (1u << 20)) {
    TBytes seed(profile.size() + 1);
    seed[0] = static_cast<unsigned char>(c.channels == 1 ? 1 : c.channels == 4 ? 2 : 0);
    std::memcpy(seed.data() + 1, profile.data(), profile.size());
    std::filesystem::create_directories(std::filesystem::path(folder) / "fuzz_icc");
    WriteAllBytes(std::filesystem::path(folder) / "fuzz_icc" / c.name, seed);
  }
}

void PrintTo(const TIccCase& c, std::ostream* os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Profiles, ColourIcc, testing::ValuesIn(IccCases),
                         [](const testing::TestParamInfo<TIccCase>& i) { return std::string(i.param.name); });

TEST(Colour, PngGammaAndChromaticitiesOutOfRangeOrSrgbGiveNothingToDo) {
  const double nan = std::nan("");
  const double flat[8] = {0.3127, 0.3290, 0.3, 0.3, 0.3, 0.3, 0.3, 0.3};
  const double noWhite[8] = {0.3127, 0, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
  const double past1[8] = {0.3127, 0.3290, 1.2, 0.33, 0.30, 0.60, 0.15, 0.06};
  const double nearSrgb[8] = {0.31271, 0.32902, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
  const struct {
    double gamma;
    const double* chrm;
    bool usable;
  } rows[] = {
      {0, nullptr, false},        {0.45455, nullptr, false},  {0.45, nullptr, false},     {0.46, nullptr, false},
      {0.4499, nullptr, true},    {0.4601, nullptr, true},    {1.0, nullptr, true},       {0.049, nullptr, false},
      {0.05, nullptr, true},      {20, nullptr, true},        {20.01, nullptr, false},    {nan, nullptr, false},
      {-1, nullptr, false},       {0, SrgbXy, false},         {0.45455, nearSrgb, false}, {0, AdobeXy, true},
      {0.45455, flat, false},     {0.45455, noWhite, false},  {0.45455, past1, false},    {1.0, SrgbXy, true},
  };
  for (const auto& r : rows) {
    TColour* colour = ColourFromPng(r.gamma, r.chrm);
    EXPECT_EQ(colour != nullptr, r.usable) << r.gamma << (r.chrm ? " with chromaticities" : "");
    ColourFree(colour);
  }
}

TEST(Colour, CmykRowsBecomeRgbWithOpaqueAlphaPlainOrInverted) {
  const TBytes profile = NaiveCmykProfile();
  TColour* colour = ColourFromIcc(profile.data(), profile.size(), 4);
  ASSERT_NE(colour, nullptr);
  constexpr int N = 300; // more than one chunk
  std::vector<uint8_t> cmyk(N * 4), inverted(N * 4), rgba(N * 4, 0), fromInverted(N * 4, 0);
  for (int i = 0; i < N * 4; ++i) {
    cmyk[i] = static_cast<uint8_t>(i % 4 == 3 ? (i / 4 % 5) * 40 : (i * 67 + i / 4 * 13) % 256);
    inverted[i] = static_cast<uint8_t>(255 - cmyk[i]);
  }
  ColourCmykRow8(colour, cmyk.data(), 0, rgba.data(), N);
  ColourCmykRow8(colour, inverted.data(), 1, fromInverted.data(), N);
  ColourFree(colour);
  // lcms2's own transform of the same intent, and the naive formula; perceptual moves a v4
  // profile's black point, which takes dark colours up to a dozen steps from the formula.
  cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM reference = cmsCreateTransform(source, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  ASSERT_NE(reference, nullptr);
  std::vector<uint8_t> want(N * 3);
  cmsDoTransform(reference, cmyk.data(), want.data(), N);
  cmsDeleteTransform(reference);
  cmsCloseProfile(srgb);
  cmsCloseProfile(source);
  int worst = 0;
  for (int i = 0; i < N; ++i) {
    const double k = 1 - cmyk[i * 4 + 3] / 255.0;
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(rgba[i * 4 + c], want[i * 3 + c]) << i << " " << c;
      const int naive = static_cast<int>(std::lround((1 - cmyk[i * 4 + c] / 255.0) * k * 255));
      worst = std::max(worst, std::abs(rgba[i * 4 + c] - naive));
    }
    EXPECT_EQ(rgba[i * 4 + 3], 255) << i;
  }
  EXPECT_LE(worst, 16);
  EXPECT_EQ(rgba, fromInverted);
}

// A CMYK TIFF with its printer's profile: each pixel as lcms2 converts it at 8 bits, with the
// same intent; without the profile, libtiff's own reading (C, M, Y and K taken off white).
TEST(IftavexColourCmyk, TiffStripsAreConvertedByTheirProfile) {
  ASSERT_NE(GetPicture(), nullptr);
  const TPicture p = Picture(8, 4);
  const TBytes profile = NaiveCmykProfile();
  const TBytes dib = DecodeToDib(Tiff(p, profile, false, true));
  const TBytes plain = DecodeToDib(Tiff(p, {}, false, true));
  ASSERT_FALSE(dib.empty());
  ASSERT_FALSE(plain.empty());
  cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM reference = cmsCreateTransform(source, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  ASSERT_NE(reference, nullptr);
  const size_t stride = (W * 3 + 3) & ~3;
  TBytes want(stride * H, 0), naive(stride * H, 0);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      uint8_t cmyk[4], rgb[3];
      for (int c = 0; c < 4; ++c) cmyk[c] = static_cast<uint8_t>(p.At(x, y, c));
      cmsDoTransform(reference, cmyk, rgb, 1);
      unsigned char* o = want.data() + (H - 1 - y) * stride + x * 3;
      unsigned char* n = naive.data() + (H - 1 - y) * stride + x * 3;
      for (int c = 0; c < 3; ++c) {
        o[c] = rgb[2 - c];
        n[c] = static_cast<unsigned char>((255 - cmyk[2 - c]) * (255 - cmyk[3]) / 255);
      }
    }
  cmsDeleteTransform(reference);
  cmsCloseProfile(srgb);
  cmsCloseProfile(source);
  EXPECT_TRUE(dib == want) << "off by up to " << MaxDifference(dib, want);
  EXPECT_LE(MaxDifference(plain, naive), 1) << "without a profile, as before";
  // The profile is naive too, but its perceptual black point moves the dark colours.
  EXPECT_GE(MaxDifference(plain, want), 6) << "the profile would not show";
}

TEST(Colour, RowsKeepTheirAlphaAndConvertInPlace) {
  const TBytes profile = AdobeProfile();
  TColour* colour = ColourFromIcc(profile.data(), profile.size(), 3);
  ASSERT_NE(colour, nullptr);
  constexpr int N = 300;
  std::vector<uint8_t> row(N * 4), copy(N * 4);
  std::vector<uint16_t> row16(N * 4), copy16(N * 4);
  for (int i = 0; i < N * 4; ++i) row[i] = static_cast<uint8_t>(i * 37), row16[i] = static_cast<uint16_t>(i * 2711);
  ColourRow8(colour, row.data(), copy.data(), N);
  ColourRow16(colour, row16.data(), copy16.data(), N);
  const std::vector<uint8_t> before = row;
  const std::vector<uint16_t> before16 = row16;
  ColourRow8(colour, row.data(), row.data(), N);
  ColourRow16(colour, row16.data(), row16.data(), N);
  ColourFree(colour);
  EXPECT_EQ(row, copy) << "in place as into another row";
  EXPECT_EQ(row16, copy16);
  int changed = 0;
  for (int i = 0; i < N; ++i) {
    EXPECT_EQ(row[i * 4 + 3], before[i * 4 + 3]) << i;
    EXPECT_EQ(row16[i * 4 + 3], before16[i * 4 + 3]) << i;
    changed += row[i * 4 + 1] != before[i * 4 + 1];
  }
  EXPECT_GT(changed, N / 2) << "the profile converts";
}

} // namespace
