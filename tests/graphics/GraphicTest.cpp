#include <gtest/gtest.h>

#include "graphics/TestGraphics.h"
#include "rtl/Exception.h"
#include "support/TempDir.h"

TVX_DEFINE_CLASS(TRecordingGraphic, TGraphic)
TVX_DEFINE_CLASS(TRecordingVxGraphic, TVxGraphic)
TVX_DEFINE_CLASS(TRecordingVxChild, TRecordingVxGraphic)

namespace {

TEST(GraphicContract, SetSizeSetsWidthBeforeHeight) {
  TRecordingGraphic g;
  g.SetSize(7, 3);
  EXPECT_EQ(g.Calls, (std::vector<std::string>{"SetWidth 7", "SetHeight 3"}));
}

TEST(GraphicContract, ModifiedTrueCallsChangedFalseOnlyClears) {
  TRecordingGraphic g;
  int changes = 0;
  TObject* seen = nullptr;
  g.OnChange = [&](TObject* sender) { ++changes; seen = sender; };
  g.SetModified(true);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(seen, &g);
  EXPECT_TRUE(g.Modified());
  g.SetModified(false);
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(g.Modified());
}

TEST(GraphicContract, TransparentChangeCallsChangedOnlyWhenItChanges) {
  TRecordingGraphic g;
  int changes = 0;
  g.OnChange = [&](TObject*) { ++changes; };
  g.SetTransparent(false);
  EXPECT_EQ(changes, 0);
  g.SetTransparent(true);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(g.Transparent());
  EXPECT_TRUE(g.Modified());
}

TEST(GraphicContract, ProgressPassesEveryArgumentToOnProgress) {
  TRecordingGraphic g;
  TObject* sender = nullptr;
  TProgressStage stage = psStarting;
  int percent = -1;
  bool redraw = false;
  TRect rect;
  std::string msg;
  g.OnProgress = [&](TObject* s, TProgressStage st, std::uint8_t p, bool r, const TRect& rc, const std::string& m) {
    sender = s; stage = st; percent = p; redraw = r; rect = rc; msg = m;
  };
  g.Progress(&g, psEnding, 100, true, TRect{0, 0, 5, 6}, "Changing PixelFormat");
  EXPECT_EQ(sender, &g);
  EXPECT_EQ(stage, psEnding);
  EXPECT_EQ(percent, 100);
  EXPECT_TRUE(redraw);
  EXPECT_EQ(rect, (TRect{0, 0, 5, 6}));
  EXPECT_EQ(msg, "Changing PixelFormat");
  TRecordingGraphic quiet;  // no handler: nothing happens
  EXPECT_NO_THROW(quiet.Progress(&quiet, psStarting, 0, false, TRect{}, ""));
}

TEST(GraphicContract, DefaultAssignToRaisesConversionErrorNamingBothClasses) {
  TRecordingGraphic a;
  TRecordingVxGraphic b;
  try {
    b.Assign(&a);
    FAIL() << "no conversion error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TRecordingGraphic to a TRecordingVxGraphic");
  }
}

TEST(GraphicContract, FileRoundTripThroughStreams) {
  TTempDir dir;
  TRecordingGraphic g;
  g.Loaded = "payload";
  g.SaveToFile(dir / "g.bin");
  TRecordingGraphic h;
  h.LoadFromFile(dir / "g.bin");
  EXPECT_EQ(h.Loaded, "payload");
  EXPECT_THROW(h.LoadFromFile(dir / "absent.bin"), EFOpenError);
  EXPECT_EQ(h.Loaded, "payload");  // a failed open leaves the image alone
  EXPECT_THROW(g.SaveToFile(dir / "no" / "dir.bin"), EFCreateError);
}

TEST(GraphicContract, ReadDataAndWriteDataGoThroughTheStreamOperations) {
  TRecordingGraphic g;
  g.Loaded = "abc";
  TMemoryStream m;
  g.WriteData(m);
  TRecordingGraphic h;
  m.SetPosition(0);
  h.ReadData(m);
  EXPECT_EQ(h.Loaded, "abc");
}

}  // namespace
