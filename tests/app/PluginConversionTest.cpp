// The command-line converter over pictures that only a plug-in reads: Tavex's own plug-in
// decodes them, and each JPEG holds what "cjpeg -quality 90" makes of the same picture on
// white. A file that nothing reads ends the batch as undecodable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "app/Batch.h"
#include "cli/Cli.h"
#include "jpeg/JPEGTestSupport.h"
#include "rtl/Stream.h"
#include "support/PluginImages.h"
#include "support/TempDir.h"

namespace {

class TQuietConsole : public TCliConsole {
public:
  std::string ErrText;
  void Out(std::string_view) override {}
  void Err(std::string_view text) override { ErrText += text; }
  bool ErrIsTerminal() override { return false; }
};

TEST(PluginConversion, EachFormatBecomesTheReferenceJPEGOfItsPictureOnWhite) {
  const std::string pluginDir = PathToUtf8(std::filesystem::path(TAVEX_IFTAVEX_PATH).parent_path());
  for (const char* file : {"png-rgb8.png", "png-rgba8.png", "gif-palette.gif", "tiff-rgb8.tif", "webp-lossless.webp"}) {
    SCOPED_TRACE(file);
    TTempDir out;
    TQuietConsole console;
    const std::filesystem::path source = std::filesystem::path(TAVEX_PLUGIN_IMAGES) / file;
    const int code = RunCli({"--method", "2", "--dest", PathToUtf8(out.Path()), "--plugin-dir", pluginDir,
                             PathToUtf8(source)},
                            console, NewProgramConversion);
#ifdef _WIN32
    // Wine's imaging component has no WebP decoder; a Windows that has one converts it.
    if (code == 1 && std::strstr(file, "webp") && console.ErrText == "Susie Plugins could not decode.\n") {
      std::printf("[ SKIPPED  ] %s: this system's imaging component cannot decode WebP\n", file);
      continue;
    }
#endif
    ASSERT_EQ(code, 0) << console.ErrText;
    int w = 0, h = 0;
    const std::vector<std::uint8_t> rgb = PluginImageRGB(TAVEX_PLUGIN_IMAGES, source.stem().string(), w, h);
    ASSERT_GT(w, 0);
    const TDecodedJPEG ours = DecodeJPEG(ReadAllBytes(out / (source.stem().string() + ".jpg")));
    ASSERT_EQ(ours.Error, "");
    EXPECT_EQ(ours.Width, w);
    EXPECT_EQ(ours.Height, h);
    EXPECT_TRUE(ours.Pixels == DecodeJPEG(ReferenceJPEG(w, h, rgb)).Pixels);
  }
  TTempDir dir;
  WriteAllBytes(dir / "noise.png", std::vector<std::uint8_t>(300, 0x5A));
  TQuietConsole console;
  EXPECT_EQ(RunCli({"--plugin-dir", pluginDir, PathToUtf8(dir / "noise.png")}, console, NewProgramConversion), 1);
  EXPECT_EQ(console.ErrText, "Susie Plugins could not decode.\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "_noise.jpg"));
}

}  // namespace
