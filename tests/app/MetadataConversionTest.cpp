// The command-line converter keeping metadata: the JPEG carries the source's EXIF (upright
// when Tavex's own plug-in turned the pixels, without its thumbnail), XMP and profile (only
// from a decoder that left the pixels as stored); without the setting, today's bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Batch.h"
#include "cli/Cli.h"
#include "jpeg/JPEGCompress.h"
#include "jpeg/JPEGTestSupport.h"
#include "meta/MetaTestSupport.h"
#include "meta/Metadata.h"
#include "rtl/Stream.h"
#include "spi/SPITestSupport.h"
#include "support/TempDir.h"
#include "app/QuietConsole.h"

namespace {

const TBytes Xmp = Bytes("<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
const TBytes Icc = IccProfile("mntr", "RGB ", 900);

// A 16 x 8 photo whose EXIF (big-endian, thumbnail and all) says Orientation 6.
TBytes Photo() {
  const TBytes exif = CameraExif(true, 6);
  const auto dib = ToBottomUpBGR(16, 8, TestPictureRGB(16, 8, 3));
  TJPEGCompressParams params;
  params.Width = 16;
  params.Height = 8;
  params.TopRow = dib.data() + 48 * 7;
  params.RowStride = -48;
  params.Exif = exif;
  params.Xmp = Xmp;
  params.Icc = Icc;
  TMemoryStream out;
  JPEGCompressBGR(params, out);
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  return TBytes(p, p + out.Size());
}

// The JPEG without the APP1 and APP2 segments that follow its JFIF header.
TBytes WithoutMetadata(TBytes jpeg) {
  std::size_t at = 20;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && (jpeg[at + 1] == 0xE1 || jpeg[at + 1] == 0xE2))
    jpeg.erase(jpeg.begin() + static_cast<std::ptrdiff_t>(at),
               jpeg.begin() + static_cast<std::ptrdiff_t>(at + 2 + (jpeg[at + 2] << 8 | jpeg[at + 3])));
  return jpeg;
}

struct TRun {
  std::vector<TBytes> Outputs;
  int Code = 0;
  std::string Errors;
};

TRun Convert(const std::vector<std::filesystem::path>& files, const std::filesystem::path& plugins, bool keep,
             bool host = false) {
  TTempDir out;
  TQuietConsole console;
  std::vector<std::string> args{"--method", "2",  "--dest", PathToUtf8(out.Path()), "--plugin-dir", PathToUtf8(plugins),
                                "--plugin-host", host ? "on" : "off"};
  for (const auto& file : files) args.push_back(PathToUtf8(file));
  TRun run;
  run.Code = RunCli(args, console, keep ? ProgramConversionFactory(true) : TFileConversionFactory(NewProgramConversion));
  run.Errors = console.ErrText;
  for (const auto& file : files) run.Outputs.push_back(ReadAllBytes(out / (file.stem().string() + ".jpg")));
  return run;
}

// Each format Tavex's own plug-in stands upright by its EXIF or its own transforms: the JPEG
// says Orientation 1; with the setting off it carries nothing, and its other bytes are the same.
TEST(MetadataConversion, TheOwnPluginsUprightPicturesSayOrientationOne) {
  const std::filesystem::path own = TAVEX_IFTAVEX_PATH;
  const std::filesystem::path images = TAVEX_PLUGIN_IMAGES;
  TTempDir in;
  std::vector<std::filesystem::path> files;
  // Copies: the batch opens its sources for itself alone, and other tests use the images.
  for (const char* name : {"jpeg-baseline-orient6.jpg", "png-rgb8-orient6.png", "webp-lossless-orient6.webp",
                           "tiff-exif-orient6.tif", "heic-exif-orient6.heic", "heic-irot-exif6.heic"}) {
    std::filesystem::copy_file(images / name, in / name);
    files.push_back(in / name);
    const TBytes source = ReadAllBytes(in / name);
    EXPECT_EQ(TExifReader(ReadSourceMetadata(source.data(), source.size()).Blocks.Exif).Short({}, 0x0112), 6u) << name;
  }
  for (const bool host : {false, true}) {
    SCOPED_TRACE(host ? "in a host" : "in the program");
    const TRun kept = Convert(files, own.parent_path(), true, host);
    const TRun plain = Convert(files, own.parent_path(), false, host);
    ASSERT_EQ(kept.Code, 0) << kept.Errors;
    ASSERT_EQ(plain.Code, 0) << plain.Errors;
    for (std::size_t i = 0; i < files.size(); ++i) {
      SCOPED_TRACE(files[i].filename().string());
      const TImageMetadata carried = ReadSourceMetadata(kept.Outputs[i].data(), kept.Outputs[i].size()).Blocks;
      const TExifReader exif(carried.Exif);
      EXPECT_EQ(exif.Short({}, 0x0112), 1u);
      EXPECT_EQ(exif.Ifd0Next(), 0u);
      EXPECT_TRUE(carried.Icc.empty());
      EXPECT_TRUE(ReadSourceMetadata(plain.Outputs[i].data(), plain.Outputs[i].size()).Blocks.Empty());
      EXPECT_TRUE(WithoutMetadata(kept.Outputs[i]) == plain.Outputs[i]);
    }
  }
}

// One photo through the own plug-in (under its own name and renamed) and through another:
// the own plug-in turns it, so the EXIF says 1 and no profile describes its sRGB pixels; the
// other hands back the pixels as stored, so the EXIF keeps 6 and the profile comes along.
TEST(MetadataConversion, WhoDecodedDecidesOrientationAndProfile) {
  const std::filesystem::path own = TAVEX_IFTAVEX_PATH;
  TTempDir in, renamed, other;
  WriteAllBytes(in / "photo.jpg", Photo());
  std::filesystem::copy_file(own, renamed / ("zz-renamed" + own.extension().string()));
  std::filesystem::copy_file(TestPlugin("photo"), other / "photo.spi");
  struct TCase {
    const char* Name;
    std::filesystem::path Plugins;
    unsigned Orientation;
    bool Icc;
    int Width, Height;
  };
  for (const TCase& c : {TCase{"own", own.parent_path(), 1, false, 8, 16}, TCase{"renamed", renamed.Path(), 1, false, 8, 16},
                         TCase{"other", other.Path(), 6, true, 1, 1}}) {
    SCOPED_TRACE(c.Name);
    const TRun run = Convert({in / "photo.jpg"}, c.Plugins, true);
    ASSERT_EQ(run.Code, 0) << run.Errors;
    const TBytes& jpeg = run.Outputs[0];
    const TImageMetadata carried = ReadSourceMetadata(jpeg.data(), jpeg.size()).Blocks;
    const TExifReader exif(carried.Exif);
    EXPECT_EQ(exif.Short({}, 0x0112), c.Orientation);
    EXPECT_EQ(exif.Ifd0Next(), 0u);
    EXPECT_EQ(exif.Find({0x8769}, 0x927C).Value, Bytes("MakerNote: offsets from the header"));
    EXPECT_EQ(carried.Xmp, Xmp);
    EXPECT_EQ(carried.Icc, c.Icc ? Icc : TBytes{});
    const TDecodedJPEG decoded = DecodeJPEG(jpeg);
    EXPECT_EQ(decoded.Width, c.Width);
    EXPECT_EQ(decoded.Height, c.Height);
  }
}

}  // namespace
