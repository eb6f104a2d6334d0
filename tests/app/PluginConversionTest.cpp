// The command-line converter over pictures that only a plug-in reads: Tavex's own plug-in
// decodes them, and each JPEG holds what "cjpeg -quality 90" makes of the same picture on
// white. A file that nothing reads ends the batch as undecodable.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/Batch.h"
#include "cli/Cli.h"
#include "jpeg/JPEGTestSupport.h"
#include "rtl/Stream.h"
#include "spi/SPITestSupport.h"
#include "support/PluginImages.h"
#include "support/TempDir.h"
#include "app/QuietConsole.h"

namespace {

// Whether the JPEG written for the image is the reference JPEG of its picture.
void ExpectTheReferenceJPEG(const std::filesystem::path& images, const std::filesystem::path& out,
                            const std::string& file) {
  SCOPED_TRACE(file);
  const std::string stem = std::filesystem::path(file).stem().string();
  int w = 0, h = 0;
  const std::vector<std::uint8_t> rgb = PluginImageRGB(images, stem, w, h);
  ASSERT_GT(w, 0);
  const TDecodedJPEG ours = DecodeJPEG(ReadAllBytes(out / (stem + ".jpg")));
  ASSERT_EQ(ours.Error, "");
  EXPECT_EQ(ours.Width, w);
  EXPECT_EQ(ours.Height, h);
  EXPECT_TRUE(ours.Pixels == DecodeJPEG(ReferenceJPEG(w, h, rgb)).Pixels);
}

TEST(PluginConversion, EachFormatBecomesTheReferenceJPEGOfItsPictureOnWhite) {
  const std::string pluginDir = PathToUtf8(std::filesystem::path(TAVEX_IFTAVEX_PATH).parent_path());
  const std::filesystem::path images = TAVEX_PLUGIN_IMAGES;
  // One batch with two encoders, so that plug-in pictures cross to the workers; then WebP in
  // a host (every build decodes it with libwebp).
  const std::vector<std::vector<std::string>> batches{
      {"png-rgb8.png", "png-rgba8.png", "gif-palette.gif", "tiff-rgb8.tif"}, {"webp-lossless.webp"}};
  // In the program and in hosts (where the two workers decode side by side): the same bytes.
  std::map<std::string, std::vector<unsigned char>> inProgram;
  for (const auto& [batch, host] : {std::pair{batches[0], "off"}, {batches[0], "on"}, {batches[1], "on"}}) {
    SCOPED_TRACE(host);
    TTempDir out;
    TQuietConsole console;
    std::vector<std::string> args{"-j",          "2",       "--method", "2", "--dest", PathToUtf8(out.Path()),
                                  "--plugin-dir", pluginDir, "--plugin-host", host};
    for (const std::string& file : batch) args.push_back(PathToUtf8(images / file));
    const int code = RunCli(args, console, NewProgramConversion);
    ASSERT_EQ(code, 0) << console.ErrText;
    for (const std::string& file : batch) {
      SCOPED_TRACE(file);
      const std::string stem = std::filesystem::path(file).stem().string();
      ExpectTheReferenceJPEG(images, out.Path(), file);
      const std::vector<unsigned char> bytes = ReadAllBytes(out / (stem + ".jpg"));
      if (std::string(host) == "off") {
        inProgram[file] = bytes;
      } else if (inProgram.count(file)) {
        EXPECT_TRUE(bytes == inProgram[file]) << "in a host the JPEG differs from the program's";
      }
    }
  }
  TTempDir dir;
  WriteAllBytes(dir / "noise.png", std::vector<std::uint8_t>(300, 0x5A));
  TQuietConsole console;
  EXPECT_EQ(RunCli({"--plugin-dir", pluginDir, PathToUtf8(dir / "noise.png")}, console, NewProgramConversion), 1);
  EXPECT_EQ(console.ErrText, "Susie Plugins could not decode.\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "_noise.jpg"));
}

// A plug-in before Tavex's own that crashes on PNGs with 16-bit channels (as a real one
// does): with hosts the batch of three goes on, the 16-bit file between two 8-bit ones
// converts through the next plug-in, and the crash is one warning.
TEST(PluginConversion, AFileThatCrashesAPluginConvertsThroughTheNext) {
  const std::filesystem::path own = TAVEX_IFTAVEX_PATH;
  const std::filesystem::path images = TAVEX_PLUGIN_IMAGES;
  TTempDir plugins, in, out;
  std::filesystem::copy_file(TestPlugin("bad-png16"), plugins / "a-png16.spi");
  std::filesystem::copy_file(own, plugins / own.filename());
  // None of the images that the test above opens for itself alone meanwhile (copying one
  // then fails on Windows).
  const std::vector<std::string> batch{"png-gray8.png", "png-rgb16.png", "png-palette.png"};
  std::vector<std::string> args{"--plugin-host", "on", "--method", "2", "--dest", PathToUtf8(out.Path()),
                                "--plugin-dir", PathToUtf8(plugins.Path())};
  // Copies: the batch opens its sources for itself alone, and other tests use the images.
  for (const std::string& file : batch) {
    std::filesystem::copy_file(images / file, in / file);
    args.push_back(PathToUtf8(in / file));
  }
  TQuietConsole console;
  ASSERT_EQ(RunCli(args, console, NewProgramConversion), 0) << console.ErrText;
  EXPECT_EQ(console.ErrText, "tavex-cli: warning: " + PathToUtf8(plugins / "a-png16.spi") +
                                 ": the plug-in stopped: page fault at 0x0\n");
  for (const std::string& file : batch) ExpectTheReferenceJPEG(images, out.Path(), file);
}

}  // namespace
