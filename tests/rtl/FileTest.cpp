#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/File.h"
#include "rtl/Stream.h"
#include "support/FileCalls.h"
#include "support/TempDir.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::string> Listing(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(PathToUtf8(entry.path().filename()));
  std::sort(names.begin(), names.end());
  return names;
}

// Puts the OS back in charge of every step when the test ends.
struct TFaultGuard {
  explicit TFaultGuard(TFileFault fault) { SetFileFault(std::move(fault)); }
  ~TFaultGuard() { SetFileFault({}); }
  TFaultGuard(const TFaultGuard&) = delete;
  TFaultGuard& operator=(const TFaultGuard&) = delete;
};

// The real calls (fsync and rename natively; FlushFileBuffers and MoveFileExW on Windows),
// in the order that makes a crash harmless: the data is on the disk before the name moves,
// and natively the folder's entry after it.
TEST(SaveBytesReplacing, FlushesTheNewFileBeforeMovingItOverTheOld) {
  TTempDir dir;
  WriteAllBytes(dir / "out.jpg", std::vector<unsigned char>(5000, 0xAA));
  TFileCalls calls;
  SaveBytesReplacing(dir / "out.jpg", "new", 3);
  std::vector<std::string> seen = calls.Take();
  ASSERT_GE(seen.size(), 2u);
  const std::string side = std::string("move ").append(PathToUtf8(dir / "out.jpg.tavex-"));
  const std::string target = std::string(".tmp -> ").append(PathToUtf8(dir / "out.jpg"));
  EXPECT_EQ(seen[0], "flush");
  EXPECT_TRUE(seen[1].starts_with(side) && seen[1].ends_with(target)) << seen[1];
#ifdef _WIN32
  EXPECT_EQ(seen.size(), 2u);
#else
  EXPECT_EQ(seen, (std::vector<std::string>{seen[0], seen[1], std::string("sync ").append(PathToUtf8(dir.Path()))}));
#endif
  EXPECT_EQ(ReadAllBytes(dir / "out.jpg"), Bytes("new"));
  EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"out.jpg"});
}

#ifndef _WIN32
// A save hands the folder it moved the name into to the innermost scope on its thread, and
// syncs it itself once no scope (or a scope without a taker) is left.
TEST(TDeferredFolderSync, TheInnermostScopeTakesTheFolderOfEachMove) {
  TTempDir dir;
  std::vector<std::string> outer, inner;
  auto into = [](std::vector<std::string>& list) {
    return [&list](const std::filesystem::path& folder) { list.push_back(PathToUtf8(folder)); };
  };
  {
    const TDeferredFolderSync outerScope(into(outer));
    SaveBytesReplacing(dir / "a.jpg", "a", 1);
    {
      const TDeferredFolderSync innerScope(into(inner));
      SaveBytesReplacing(dir / "b.jpg", "b", 1);
      const TDeferredFolderSync none(nullptr);
      SaveBytesReplacing(dir / "c.jpg", "c", 1);
    }
    SaveBytesReplacing(dir / "d.jpg", "d", 1);
  }
  EXPECT_FALSE(TDeferredFolderSync::Take(dir.Path()));
  const std::string folder = PathToUtf8(dir.Path());
  EXPECT_EQ(outer, (std::vector<std::string>{folder, folder}));
  EXPECT_EQ(inner, std::vector<std::string>{folder});
  EXPECT_EQ(Listing(dir.Path()), (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg", "d.jpg"}));
}
#endif

// Whichever step the OS refuses (a full disk while writing, a failing disk while
// flushing), the old file keeps its bytes, a new name is not made, nothing is left
// beside, and the message names the final file with the system's reason.
TEST(SaveBytesReplacing, AFailingStepLeavesTheOldFileAndNothingBeside) {
  for (const TFileStep failing : {TFileStep::Create, TFileStep::Write, TFileStep::Flush, TFileStep::Replace}) {
    TTempDir dir;
    WriteAllBytes(dir / "old.ini", Bytes("[Window]\r\nTop=1\r\n"));
    const TFaultGuard guard(
        [&](TFileStep step) { return step == failing ? std::string("No space left on device") : std::string(); });
    for (const char* name : {"old.ini", "new.ini"}) {
      try {
        SaveBytesReplacing(dir / name, "[Config]\r\n", 10);
        ADD_FAILURE() << "no exception at step " << static_cast<int>(failing);
      } catch (const EFCreateError& e) {
        EXPECT_EQ(e.what(), "ファイル \"" + PathToUtf8(dir / name) + "\" を作成できません。No space left on device");
      }
    }
    EXPECT_EQ(ReadAllBytes(dir / "old.ini"), Bytes("[Window]\r\nTop=1\r\n")) << static_cast<int>(failing);
    EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"old.ini"}) << static_cast<int>(failing);
  }
}

}  // namespace
