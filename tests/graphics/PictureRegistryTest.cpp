#include <gtest/gtest.h>

#include "graphics/TestGraphics.h"

namespace {

// The registry is process-wide: each test leaves it as it found it.
class PictureRegistry : public ::testing::Test {
protected:
  void TearDown() override {
    TPicture::UnregisterGraphicClass(TRecordingVxGraphic::ClassInfo());
    TPicture::UnregisterGraphicClass(TRecordingGraphic::ClassInfo());
  }
};

TEST_F(PictureRegistry, ExtensionIsStoredLowerCaseWithoutTheDot) {
  TPicture::RegisterFileFormat(".DIB", "Device Independent Bitmap", TRecordingVxGraphic::ClassInfo());
  const auto& list = TPicture::FileFormats();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back().Extension, "dib");
  EXPECT_EQ(list.back().Description, "Device Independent Bitmap");
  EXPECT_EQ(list.back().GraphicClass, &TRecordingVxGraphic::ClassInfo());
}

TEST_F(PictureRegistry, NewestClipboardRegistrationWins) {
  TPicture::RegisterClipboardFormat(8, TRecordingVxGraphic::ClassInfo());
  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), &TRecordingVxGraphic::ClassInfo());
  TPicture::RegisterClipboardFormat(8, TRecordingGraphic::ClassInfo());
  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), &TRecordingGraphic::ClassInfo());
  TPicture::UnregisterGraphicClass(TRecordingGraphic::ClassInfo());
  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), &TRecordingVxGraphic::ClassInfo());
  EXPECT_EQ(TPicture::FindClipboardFormatClass(9), nullptr);
}

TEST_F(PictureRegistry, UnregisteringAClassRemovesItsDescendantsEntriesOnly) {
  const auto filesBefore = TPicture::FileFormats().size();
  // Whatever the start-up registered for format 8 is what remains.
  const TClass* clipboardBefore = TPicture::FindClipboardFormatClass(8);
  TPicture::RegisterFileFormat("dib", "Device Independent Bitmap", TRecordingVxGraphic::ClassInfo());
  TPicture::RegisterClipboardFormat(8, TRecordingVxGraphic::ClassInfo());
  TPicture::RegisterFileFormat("pi", "child format", TRecordingVxChild::ClassInfo());
  TPicture::RegisterFileFormat("rec", "unrelated", TRecordingGraphic::ClassInfo());
  TPicture::RegisterClipboardFormat(0xC001, TRecordingVxChild::ClassInfo());

  TPicture::UnregisterGraphicClass(TRecordingVxGraphic::ClassInfo());

  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), clipboardBefore);
  EXPECT_EQ(TPicture::FindClipboardFormatClass(0xC001), nullptr);
  ASSERT_EQ(TPicture::FileFormats().size(), filesBefore + 1);
  EXPECT_EQ(TPicture::FileFormats().back().Extension, "rec");
}

TEST_F(PictureRegistry, UnregisteringADescendantKeepsItsBase) {
  TPicture::RegisterFileFormat("dib", "Device Independent Bitmap", TRecordingVxGraphic::ClassInfo());
  TPicture::RegisterFileFormat("pi", "child format", TRecordingVxChild::ClassInfo());
  TPicture::UnregisterGraphicClass(TRecordingVxChild::ClassInfo());
  EXPECT_EQ(TPicture::FindGraphicClassByName("TRecordingVxChild"), nullptr);
  EXPECT_EQ(TPicture::FindGraphicClassByName("trecordingvxgraphic"), &TRecordingVxGraphic::ClassInfo());
}

}  // namespace
