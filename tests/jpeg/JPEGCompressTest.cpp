#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <jpeglib.h>

#include "jpeg/JPEGCompress.h"
#include "jpeg/JPEGTestSupport.h"
#include "meta/Metadata.h"
#include "support/TempDir.h"

namespace {

struct TSize {
  int Width, Height;
};

std::vector<std::uint8_t> StreamBytes(TMemoryStream& s) {
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return std::vector<std::uint8_t>(p, p + s.Size());
}

// Compresses a bottom-up padded blue-green-red copy of the picture, as a DIB holds it.
std::vector<std::uint8_t> CompressPicture(int w, int h, const std::vector<std::uint8_t>& rgb,
                                          const TImageMetadata& metadata = {}) {
  const auto dib = ToBottomUpBGR(w, h, rgb);
  const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>((static_cast<std::size_t>(w) * 3 + 3) & ~std::size_t{3});
  TJPEGCompressParams params;
  params.Width = w;
  params.Height = h;
  params.TopRow = dib.data() + stride * (h - 1);
  params.RowStride = -stride;
  params.Exif = metadata.Exif;
  params.Xmp = metadata.Xmp;
  params.Icc = metadata.Icc;
  TMemoryStream out;
  JPEGCompressBGR(params, out);
  return StreamBytes(out);
}

class JPEGCompressSizes : public ::testing::TestWithParam<TSize> {};

// Our rows go in as blue-green-red from a bottom-up DIB; the reference gets the same
// picture as top-down red-green-blue rows. The decoded pixels must be identical.
TEST_P(JPEGCompressSizes, DecodesToTheReferencePixels) {
  const auto [w, h] = GetParam();
  const auto rgb = TestPictureRGB(w, h, static_cast<unsigned>(w * 31 + h));
  const auto ours = DecodeJPEG(CompressPicture(w, h, rgb));
  ASSERT_EQ(ours.Error, "");
  const auto reference = DecodeJPEG(ReferenceJPEG(w, h, rgb));
  ASSERT_EQ(reference.Error, "");
  EXPECT_EQ(ours.Width, w);
  EXPECT_EQ(ours.Height, h);
  EXPECT_EQ(ours.Components, 3);
  EXPECT_TRUE(ours.Pixels == reference.Pixels);
}

INSTANTIATE_TEST_SUITE_P(Shapes, JPEGCompressSizes,
                         ::testing::Values(TSize{1, 1}, TSize{17, 1}, TSize{1, 17}, TSize{2, 2}, TSize{33, 21},
                                           TSize{64, 48}, TSize{15, 16}),
                         [](const auto& p) {
                           return std::to_string(p.param.Width) + "x" + std::to_string(p.param.Height);
                         });

TEST(JPEGCompress, BaselineJFIFStream) {
  const auto rgb = TestPictureRGB(16, 16, 1);
  const auto jpeg = CompressPicture(16, 16, rgb);
  ASSERT_GT(jpeg.size(), 20u);
  // SOI, then the JFIF APP0 marker; a baseline frame (SOF0), no progressive one (SOF2).
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(jpeg[2], 0xFF);
  EXPECT_EQ(jpeg[3], 0xE0);
  bool sof0 = false, sof2 = false;
  for (std::size_t i = 0; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) sof0 = true;
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC2) sof2 = true;
  }
  EXPECT_TRUE(sof0);
  EXPECT_FALSE(sof2);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
}

// Blue-green-red input read the right way round: pure red stays red.
TEST(JPEGCompress, PureRedStaysRed) {
  const int w = 16, h = 16;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w * h * 3), 0);
  for (std::size_t i = 0; i < rgb.size(); i += 3) rgb[i] = 255;
  const auto decoded = DecodeJPEG(CompressPicture(w, h, rgb));
  ASSERT_EQ(decoded.Error, "");
  for (std::size_t i = 0; i < decoded.Pixels.size(); i += 3) {
    ASSERT_GE(decoded.Pixels[i], 250) << i;
    ASSERT_LE(decoded.Pixels[i + 1], 5) << i;
    ASSERT_LE(decoded.Pixels[i + 2], 5) << i;
  }
}

TEST(JPEGCompress, WidestImageTheLibraryAccepts) {
  const int w = 65500;
  std::vector<std::uint8_t> bgr(static_cast<std::size_t>(w) * 3, 0x80);
  TJPEGCompressParams params;
  params.Width = w;
  params.Height = 1;
  params.TopRow = bgr.data();
  params.RowStride = static_cast<std::ptrdiff_t>(bgr.size());
  TMemoryStream out;
  JPEGCompressBGR(params, out);
  const auto decoded = DecodeJPEG(StreamBytes(out));
  ASSERT_EQ(decoded.Error, "");
  EXPECT_EQ(decoded.Width, w);
  EXPECT_EQ(decoded.Height, 1);
}

// One pixel too wide: the library's own error, raised as EJPEG with its code, and the
// stream is left as it was.
TEST(JPEGCompress, TooWideFailsWithTheLibrarysCode) {
  for (const TSize size : {TSize{65501, 1}, TSize{1, 65501}}) {
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(size.Width) * 3 + 4, 0x80);
    TJPEGCompressParams params;
    params.Width = size.Width;
    params.Height = size.Height;
    params.TopRow = bgr.data();
    params.RowStride = 0;  // every row is the same one: enough for a size check
    TMemoryStream out;
    out.WriteBuffer("keep", 4);
    try {
      JPEGCompressBGR(params, out);
      ADD_FAILURE() << "no exception for " << size.Width << "x" << size.Height;
    } catch (const EJPEG& e) {
      EXPECT_STREQ(e.what(), "JPEG エラー #41");
    }
    EXPECT_EQ(out.Size(), 4);
    EXPECT_EQ(std::string(static_cast<const char*>(out.Memory()), 4), "keep");
  }
}

TEST(JPEGCompress, ZeroWidthOrHeightAppendsNothing) {
  std::uint8_t pixel[4] = {};
  for (const TSize size : {TSize{0, 5}, TSize{5, 0}, TSize{0, 0}}) {
    TJPEGCompressParams params{size.Width, size.Height, pixel, 4};
    TMemoryStream out;
    bool called = false;
    JPEGCompressBGR(params, out, [&](TProgressStage, std::uint8_t) { called = true; });
    EXPECT_EQ(out.Size(), 0);
    EXPECT_FALSE(called);
  }
}

TEST(JPEGCompress, ProgressRunsFromStartToEnd) {
  const auto rgb = TestPictureRGB(40, 40, 3);
  const auto dib = ToBottomUpBGR(40, 40, rgb);
  TJPEGCompressParams params{40, 40, dib.data() + 120 * 39, -120};
  TMemoryStream out;
  std::vector<std::pair<TProgressStage, int>> seen;
  JPEGCompressBGR(params, out, [&](TProgressStage stage, std::uint8_t pct) { seen.emplace_back(stage, pct); });
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.front().first, psStarting);
  EXPECT_EQ(seen.back(), std::make_pair(psEnding, 100));
  for (std::size_t i = 1; i + 1 < seen.size(); ++i) {
    EXPECT_EQ(seen[i].first, psRunning);
    EXPECT_LE(seen[i].second, 100);
  }
}

// A handler that throws while the library runs: its exception comes out unchanged,
// after the library has been left by a jump, never by unwinding.
TEST(JPEGCompress, HandlerExceptionLeavesTheLibraryCleanly) {
  const auto rgb = TestPictureRGB(64, 64, 4);
  const auto dib = ToBottomUpBGR(64, 64, rgb);
  TJPEGCompressParams params{64, 64, dib.data() + 192 * 63, -192};
  TMemoryStream out;
  EXPECT_THROW(JPEGCompressBGR(params, out,
                               [](TProgressStage stage, std::uint8_t) {
                                 if (stage == psRunning) throw EAbort();
                               }),
               EAbort);
  EXPECT_EQ(out.Size(), 0);
  // The next compression works as usual.
  JPEGCompressBGR(params, out);
  EXPECT_EQ(DecodeJPEG(StreamBytes(out)).Error, "");
}

// The destination grows when the first guess is too small (pure noise compresses badly).
TEST(JPEGCompress, DestinationGrowsForIncompressibleData) {
  const int w = 320, h = 320;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w * h * 3));
  unsigned state = 7;
  for (auto& b : rgb) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(state >> 23);
  }
  const auto ours = CompressPicture(w, h, rgb);
  EXPECT_GT(ours.size(), static_cast<std::size_t>(w * h / 2 + 16384));
  const auto decoded = DecodeJPEG(ours);
  ASSERT_EQ(decoded.Error, "");
  EXPECT_TRUE(decoded.Pixels == DecodeJPEG(ReferenceJPEG(w, h, rgb)).Pixels);
}

std::vector<std::uint8_t> Filled(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 251);
  return b;
}

std::vector<std::uint8_t> Segment(unsigned marker, const std::string& id, const std::uint8_t* data, std::size_t n) {
  const std::size_t length = 2 + id.size() + n;
  std::string head{'\xFF', static_cast<char>(marker), static_cast<char>(length >> 8), static_cast<char>(length)};
  head += id;
  std::vector<std::uint8_t> s(head.begin(), head.end());
  s.insert(s.end(), data, data + n);
  return s;
}

// The profile as libjpeg itself puts its chunks together; empty when it finds none.
std::vector<std::uint8_t> LibjpegProfile(const std::vector<std::uint8_t>& jpeg) {
  struct TError {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
  } error;
  jpeg_decompress_struct cinfo{};
  cinfo.err = jpeg_std_error(&error.Pub);
  error.Pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<TError*>(c->err)->Jump, 1); };
  JOCTET* icc = nullptr;
  unsigned size = 0;
  if (setjmp(error.Jump) == 0) {
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (!jpeg_read_icc_profile(&cinfo, &icc, &size)) size = 0;
  }
  jpeg_destroy_decompress(&cinfo);
  std::vector<std::uint8_t> profile(icc, icc + size);
  std::free(icc);
  return profile;
}

// The blocks come right after SOI and the 18-byte JFIF segment, in the order EXIF, XMP,
// profile (in chunks of 65519 bytes, numbered of their count); every other byte is the
// JPEG made without them.
TEST(JPEGCompress, MetadataSegmentsFollowTheJfifHeaderAndNothingElseChanges) {
  const auto rgb = TestPictureRGB(24, 16, 5);
  const TImageMetadata metadata{Filled(1000, 1), Filled(500, 2), Filled(100000, 3)};
  const auto plain = CompressPicture(24, 16, rgb);
  const auto with = CompressPicture(24, 16, rgb, metadata);
  ASSERT_EQ(plain[3], 0xE0);
  ASSERT_EQ(plain[4] << 8 | plain[5], 16);
  std::vector<std::uint8_t> expected(plain.begin(), plain.begin() + 20);
  for (const auto& segment :
       {Segment(0xE1, std::string("Exif\0\0", 6), metadata.Exif.data(), 1000),
        Segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29), metadata.Xmp.data(), 500),
        Segment(0xE2, std::string("ICC_PROFILE\0\1\2", 14), metadata.Icc.data(), 65519),
        Segment(0xE2, std::string("ICC_PROFILE\0\2\2", 14), metadata.Icc.data() + 65519, 100000 - 65519)})
    expected.insert(expected.end(), segment.begin(), segment.end());
  expected.insert(expected.end(), plain.begin() + 20, plain.end());
  EXPECT_TRUE(with == expected);
  EXPECT_TRUE(LibjpegProfile(with) == metadata.Icc);
  EXPECT_TRUE(DecodeJPEG(with).Pixels == DecodeJPEG(plain).Pixels);
}

// A block too large for its segments is left out; the others are written all the same.
TEST(JPEGCompress, ABlockTooLargeForItsSegmentsIsLeftOutAlone) {
  struct TCase {
    std::size_t Exif, Xmp, Icc;
    bool HasExif, HasXmp, HasIcc;
  };
  const std::size_t maxIcc = std::size_t{255} * 65519;
  for (const TCase& c : {TCase{65527, 65502, maxIcc, true, true, true}, TCase{65528, 700, 300, false, true, true},
                         TCase{800, 65503, 300, true, false, true}, TCase{800, 700, maxIcc + 1, true, true, false}}) {
    SCOPED_TRACE(testing::Message() << c.Exif << " " << c.Xmp << " " << c.Icc);
    // A real EXIF header, so that the reader takes the block; the rest is its data.
    std::vector<std::uint8_t> exif = Filled(c.Exif, 4);
    std::copy_n("II*\0\x08\0\0\0\0\0\0\0\0\0", 14, exif.begin());
    const auto jpeg = CompressPicture(8, 8, TestPictureRGB(8, 8, 1), {exif, Filled(c.Xmp, 5), Filled(c.Icc, 6)});
    const TImageMetadata found = ReadSourceMetadata(jpeg.data(), jpeg.size()).Blocks;
    EXPECT_EQ(found.Exif.size(), c.HasExif ? c.Exif : 0);
    EXPECT_EQ(found.Xmp.size(), c.HasXmp ? c.Xmp : 0);
    EXPECT_EQ(found.Icc.size(), c.HasIcc ? c.Icc : 0);
    EXPECT_TRUE(found.Icc.empty() || found.Icc == Filled(c.Icc, 6));
  }
}

#ifdef TAVEX_CJPEG
// The real command-line encoder on a 24-bit PPM of the same picture.
TEST(JPEGCompress, MatchesCjpegOnAPPM) {
  const int w = 37, h = 23;
  const auto rgb = TestPictureRGB(w, h, 9);
  TTempDir dir;
  {
    std::ofstream ppm(dir / "in.ppm", std::ios::binary);
    ppm << "P6\n" << w << " " << h << "\n255\n";
    ppm.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  }
  const std::string command = std::string(TAVEX_CJPEG) + " -quality 90 -outfile '" + (dir / "ref.jpg").string() +
                              "' '" + (dir / "in.ppm").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const auto reference = DecodeJPEG(ReadAllBytes(dir / "ref.jpg"));
  ASSERT_EQ(reference.Error, "");
  const auto ours = DecodeJPEG(CompressPicture(w, h, rgb));
  EXPECT_TRUE(ours.Pixels == reference.Pixels);
}
#endif

}  // namespace
