#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

namespace {

TEST(MemoryStream, WritesGrowReadsAndSeeks) {
  TMemoryStream m;
  const char text[] = "abcdefgh";
  m.WriteBuffer(text, 8);
  EXPECT_EQ(m.Size(), 8);
  EXPECT_EQ(m.Position(), 8);
  EXPECT_EQ(std::memcmp(m.Memory(), text, 8), 0);
  m.SetPosition(6);
  char buf[4] = {};
  EXPECT_EQ(m.Read(buf, 4), 2);  // only two bytes are left
  EXPECT_EQ(std::string(buf, 2), "gh");
  EXPECT_EQ(m.Read(buf, 4), 0);
  m.SetPosition(10);  // past the end: a write fills the gap
  m.WriteBuffer("Z", 1);
  EXPECT_EQ(m.Size(), 11);
  m.SetSize(3);
  EXPECT_EQ(m.Position(), 3);
  m.Clear();
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Memory(), nullptr);
}

TEST(MemoryStream, ShortReadRaisesReadErrorAndMovesPositionOnlyAsFarAsItRead) {
  TMemoryStream m;
  m.WriteBuffer("12345", 5);
  m.SetPosition(0);
  char buf[8];
  try {
    m.ReadBuffer(buf, 8);
    FAIL() << "no read error";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
  EXPECT_EQ(m.Position(), 5);
  EXPECT_NO_THROW(m.ReadBuffer(buf, 0));
}

TEST(MemoryStream, ReadOnlyBlockRefusesWrites) {
  const unsigned char block[3] = {1, 2, 3};
  TCustomMemoryStream s(block, 3);
  try {
    s.WriteBuffer("x", 1);
    FAIL() << "no write error";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
  unsigned char got[3];
  s.ReadBuffer(got, 3);
  EXPECT_EQ(got[2], 3);
}

TEST(MemoryStream, ImpossibleGrowthRaisesOutOfMemoryAndKeepsContent) {
  TMemoryStream m;
  m.WriteBuffer("keep", 4);
  try {
    m.SetSize(std::int64_t{1} << 62);
    FAIL() << "no out-of-memory error";
  } catch (const EOutOfMemory& e) {
    EXPECT_STREQ(e.what(), "Out of memory while expanding memory stream");
  }
  EXPECT_EQ(m.Size(), 4);
  EXPECT_EQ(std::memcmp(m.Memory(), "keep", 4), 0);
}

TEST(MemoryStream, CopyFromWholeSourceStartsAtItsBeginning) {
  TMemoryStream src, dst;
  src.WriteBuffer("hello", 5);  // position at the end
  EXPECT_EQ(dst.CopyFrom(src, 0), 5);
  EXPECT_EQ(std::memcmp(dst.Memory(), "hello", 5), 0);
  src.SetPosition(1);
  TMemoryStream part;
  EXPECT_EQ(part.CopyFrom(src, 3), 3);
  EXPECT_EQ(std::memcmp(part.Memory(), "ell", 3), 0);
  EXPECT_THROW(part.CopyFrom(src, 5), EReadError);  // only one byte is left
}

TEST(FileStream, CreateWriteReopenRead) {
  TTempDir dir;
  const auto name = dir / u8"写真 1.bin";
  {
    TFileStream out(name, fmCreate);
    out.WriteBuffer("\x00\x01\x02\x03", 4);
  }
  TFileStream in(name, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(in.Size(), 4);
  unsigned char got[4];
  in.ReadBuffer(got, 4);
  EXPECT_EQ(got[3], 3);
  EXPECT_THROW(in.ReadBuffer(got, 1), EReadError);
}

TEST(FileStream, CreateTruncatesAnExistingFile) {
  TTempDir dir;
  WriteAllBytes(dir / "a.jpg", {1, 2, 3, 4, 5});
  { TFileStream out(dir / "a.jpg", fmCreate); }
  EXPECT_TRUE(ReadAllBytes(dir / "a.jpg").empty());
}

TEST(FileStream, ErrorTextsPlacePathAndReason) {
  const std::filesystem::path name = Utf8ToPath("C:/画像/a.bmp");
  // The open text keeps a space before the reason and one after it.
  EXPECT_EQ(FOpenErrorText(name, "なし"), "ファイル C:/画像/a.bmp は開けません。 なし ");
  EXPECT_EQ(FCreateErrorText(name, "なし"), "ファイル \"C:/画像/a.bmp\" を作成できません。なし");
}

TEST(FileStream, MissingFileRaisesOpenErrorNamingIt) {
  TTempDir dir;
  const auto name = dir / "missing.bmp";
  try {
    TFileStream in(name, fmOpenRead | fmShareDenyWrite);
    FAIL() << "no open error";
  } catch (const EFOpenError& e) {
    const std::string expected = "ファイル " + PathToUtf8(name) + " は開けません。 ";
    EXPECT_EQ(std::string(e.what()).substr(0, expected.size()), expected);
    EXPECT_GT(std::string(e.what()).size(), expected.size());  // the OS's reason follows
  }
}

TEST(FileStream, FolderCannotBeOpenedOrCreated) {
  TTempDir dir;
  EXPECT_THROW(TFileStream(dir.Path(), fmOpenRead | fmShareDenyWrite), EFOpenError);
  try {
    TFileStream out(dir.Path(), fmCreate);
    FAIL() << "no create error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("ファイル \"" + PathToUtf8(dir.Path()) + "\" を作成できません。", 0), 0u);
  }
}

TEST(FileStream, CreateInMissingFolderRaisesCreateError) {
  TTempDir dir;
  EXPECT_THROW(TFileStream(dir / "no" / "such.jpg", fmCreate), EFCreateError);
}

}  // namespace
