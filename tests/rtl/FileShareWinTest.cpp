// Share modes hold only on Windows: POSIX has no mandatory sharing between openers.
#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

namespace {

TEST(FileShare, ReadingDeniesWritersButAdmitsReaders) {
  TTempDir dir;
  WriteAllBytes(dir / "src.bmp", {1, 2, 3});
  TFileStream reader(dir / "src.bmp", fmOpenRead | fmShareDenyWrite);
  EXPECT_NO_THROW(TFileStream(dir / "src.bmp", fmOpenRead | fmShareDenyWrite));
  EXPECT_THROW(TFileStream(dir / "src.bmp", fmOpenReadWrite | fmShareDenyNone), EFOpenError);
  EXPECT_THROW(TFileStream(dir / "src.bmp", fmCreate), EFCreateError);
  EXPECT_EQ(ReadAllBytes(dir / "src.bmp").size(), 3u);  // the failed create truncated nothing
}

TEST(FileShare, CreatedFileIsExclusiveUntilClosed) {
  TTempDir dir;
  {
    TFileStream writer(dir / "out.jpg", fmCreate);
    writer.WriteBuffer("abc", 3);
    EXPECT_THROW(TFileStream(dir / "out.jpg", fmOpenRead | fmShareDenyWrite), EFOpenError);
  }
  EXPECT_NO_THROW(TFileStream(dir / "out.jpg", fmOpenRead | fmShareDenyWrite));
}

TEST(FileShare, FileHeldOpenForWritingCannotBeOpenedForReading) {
  TTempDir dir;
  WriteAllBytes(dir / "busy.ini", {'x'});
  TFileStream holder(dir / "busy.ini", fmOpenReadWrite | fmShareDenyNone);
  // A reader that denies writers cannot share with a holder that writes.
  EXPECT_THROW(TFileStream(dir / "busy.ini", fmOpenRead | fmShareDenyWrite), EFOpenError);
}

}  // namespace
