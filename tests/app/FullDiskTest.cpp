// A full disk under the conversion and the settings file (POSIX only: it mounts a tmpfs).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/BatchTestSupport.h"
#include "app/BmpBuilder.h"
#include "app/SaveFileName.h"
#include "app/Settings.h"
#include "rtl/Exception.h"
#include "rtl/File.h"
#include "support/TempDir.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A 64 KiB tmpfs, filled to its last byte by Fill. Where the machine refuses the mount
// (no privilege), a plain folder whose writes the file seam refuses the same way.
class TFullDisk {
public:
  explicit TFullDisk(std::filesystem::path dir) : FDir(std::move(dir)) {
    std::filesystem::create_directory(FDir);
    FMounted = ::mount("tavex-full", FDir.c_str(), "tmpfs", 0, "size=64k") == 0;
    ::testing::Test::RecordProperty("disk", FMounted ? "tmpfs" : "injected");
  }
  ~TFullDisk() {
    SetFileFault({});
    if (FMounted) ::umount2(FDir.c_str(), MNT_DETACH);
  }
  TFullDisk(const TFullDisk&) = delete;
  TFullDisk& operator=(const TFullDisk&) = delete;

  void Fill() {
    if (!FMounted) {
      SetFileFault([](TFileStep step) { return std::string(step == TFileStep::Write ? "No space left on device" : ""); });
      return;
    }
    const int fd = ::open((FDir / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::vector<char> block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  // What the folder holds besides the filler.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(FDir))
      if (entry.path().filename() != "filler") names.push_back(PathToUtf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }

private:
  std::filesystem::path FDir;
  bool FMounted = false;
};

class TWindowAt : public TSettingsWindow {
public:
  int Top() const override { return 30; }
  void SetTop(int) override {}
  int Left() const override { return 40; }
  void SetLeft(int) override {}
  int Width() const override { return 300; }
  int Height() const override { return 200; }
  int HowSave() const override { return 1; }
  void SetHowSave(int) override {}
};

TEST(FullDisk, ConversionAndSettingsFailWithTheReasonAndKeepTheOldFiles) {
  TTempDir dir;
  const std::filesystem::path disk = dir / "disk";
  TFullDisk full(disk);
  const std::string settings = "[Window]\r\nTop=7\r\nLeft=8\r\n\r\n[Config]\r\nHowSave=2\r\n\r\n";
  WriteAllBytes(disk / "pic.jpg", Bytes("precious"));
  WriteAllBytes(disk / "Tavex.ini", Bytes(settings));
  WriteAllBytes(dir / "pic.bmp", BuildBmp(PatternPicture(64, 64, 24, false)));
  full.Fill();

  TRecordingUI ui;
  ui.Method = smFolder;
  ui.Folder = PathToUtf8(disk);
  const auto failure = [](const std::filesystem::path& file) {
    return "ファイル \"" + PathToUtf8(file) + "\" を作成できません。No space left on device";
  };
  try {
    RunBatch(ui, {dir / "pic.bmp"});
    ADD_FAILURE() << "the conversion did not fail";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.what(), failure(disk / "pic.jpg"));
  }
  try {
    SaveWindowSettings(disk / "Tavex.ini", TWindowAt());
    ADD_FAILURE() << "saving the settings did not fail";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.what(), failure(disk / "Tavex.ini"));
  }
  EXPECT_EQ(ReadAllBytes(disk / "pic.jpg"), Bytes("precious"));
  EXPECT_EQ(ReadAllBytes(disk / "Tavex.ini"), Bytes(settings));
  EXPECT_EQ(full.Listing(), (std::vector<std::string>{"Tavex.ini", "pic.jpg"}));
}

}  // namespace
