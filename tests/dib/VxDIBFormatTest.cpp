// The DIB graphic's format changes, its progress events, the halftone palettes and drawing,
// and the canvas over its pixels.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dib/BmpBuilder.h"
#include "dib/Convert.h"
#include "dib/ConvertTestSupport.h"
#include "dib/DIBTestSupport.h"
#include "platform/Palette.h"

using namespace convtest;

namespace {

struct TEvent {
  TObject* Sender;
  TProgressStage Stage;
  int Percent;
  bool Redraw;
  TRect R;
  std::string Msg;
};

// A 24-bit (or 8-bit) picture of w x h with many colours.
void LoadPicture(TVxDIB& dib, int bits, int w = 19, int h = 5) {
  TBmpBuilder b;
  b.Width = w;
  b.Height = h;
  b.BitCount = static_cast<std::uint16_t>(bits);
  b.ClrUsed = bits == 24 ? 0 : 256;
  b.Palette = TBmpBuilder::RampPalette(bits == 24 ? 0 : 256);
  b.Pixels = TBmpBuilder::Rows(w, h, bits, [&](int x, int y) -> std::uint32_t {
    if (bits == 24) return static_cast<std::uint32_t>(x * 13) << 16 | static_cast<std::uint32_t>(y * 50) << 8 | (255u - 9 * x);
    return static_cast<std::uint32_t>(x / 6 * 7 + y * 31) % 256;  // runs, so that it compresses
  });
  LoadBytes(dib, b.Build());
}

struct TProgressCase {
  const char* Name;
  int Bits;  // of the loaded picture
  TVxPixelFormat To;
  int W, H;
  const char* Message;  // null: no events
  int Running;          // psRunning events
  bool Fails;
  friend std::ostream& operator<<(std::ostream& os, const TProgressCase& c) { return os << c.Name; }
};

const TProgressCase ProgressCases[] = {
    {"TrueColorTo8Bit", 24, vxpf8Bit, 19, 5, "PixelFormat 24Bit -> 8Bit", 255, false},
    {"EightBitTo4BitRle", 8, vxpf4BitRLE, 19, 5, "PixelFormat 8Bit -> 4BitRLE", 15, false},
    {"TrueColorTo4BitRleFailing", 24, vxpf4BitRLE, 1, 1, "PixelFormat 24Bit -> 4BitRLE", 15, true},
    {"EightBitTo24BitSilent", 8, vxpf24Bit, 19, 5, nullptr, 0, false},
};

class PixelFormatProgress : public ::testing::TestWithParam<TProgressCase> {};

TEST_P(PixelFormatProgress, ReportsStartRisingStepsAndEnd) {
  const TProgressCase& c = GetParam();
  TVxDIB dib;
  LoadPicture(dib, c.Bits, c.W, c.H);
  dib.SetConvertMethod(cmHigh);
  std::vector<TEvent> events;
  dib.OnProgress = [&](TObject* s, TProgressStage st, std::uint8_t p, bool rd, const TRect& r, const std::string& m) {
    events.push_back({s, st, p, rd, r, m});
  };
  dib.SetModified(false);
  const std::vector<std::uint32_t> picture = DrawnPicture(dib);
  if (c.Fails) {
    EXPECT_THROW(dib.SetPixelFormat(c.To), EVxDIBCompressionFailed);
    EXPECT_EQ(dib.PixelFormat(), vxpf24Bit);
    EXPECT_EQ(DrawnPicture(dib), picture);
    EXPECT_FALSE(dib.Modified());
  } else {
    dib.SetPixelFormat(c.To);
    EXPECT_EQ(dib.PixelFormat(), c.To);
    EXPECT_TRUE(dib.Modified());
  }
  if (!c.Message) {
    EXPECT_TRUE(events.empty());
    return;
  }
  ASSERT_EQ(events.size(), static_cast<std::size_t>(c.Running + 2));
  int last = -1;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const TEvent& e = events[i];
    const TProgressStage stage = i == 0 ? psStarting : i + 1 == events.size() ? psEnding : psRunning;
    EXPECT_EQ(e.Stage, stage) << i;
    EXPECT_EQ(e.Sender, &dib);
    EXPECT_EQ(e.Msg, c.Message);
    EXPECT_EQ(e.R, (TRect{0, 0, c.W, c.H}));
    EXPECT_EQ(e.Redraw, stage == psEnding);
    if (stage == psRunning) {
      EXPECT_GE(e.Percent, last) << i;
      EXPECT_LT(e.Percent, 100);
      last = e.Percent;
    } else {
      EXPECT_EQ(e.Percent, stage == psEnding ? 100 : 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(TVxDIB, PixelFormatProgress, ::testing::ValuesIn(ProgressCases),
                         [](const auto& p) { return std::string(p.param.Name); });

// The change works on the object's own copy: a DIB sharing the storage keeps its picture.
TEST(DIBFormatChange, SharedStorageIsCopiedFirst) {
  TVxDIB a, b;
  LoadPicture(a, 24);
  b.Assign(&a);
  const std::vector<std::uint32_t> picture = DrawnPicture(b);
  a.SetPixelFormat(vxpf4Bit);
  b.CreateTrueColorPalette();
  EXPECT_EQ(a.PixelFormat(), vxpf4Bit);
  EXPECT_EQ(b.PixelFormat(), vxpf24Bit);
  EXPECT_NE(a.InternalDIB(), b.InternalDIB());
  EXPECT_EQ(DrawnPicture(b), picture);  // a palette of its own, same pixels
  EXPECT_GT(b.InternalDIB()->DIB.Header.biClrUsed, 0u);
}

TEST(DIBFormatChange, TrueColorPaletteReportsProgressAlsoWhenRefused) {
  for (const int bits : {24, 8}) {
    TVxDIB dib;
    LoadPicture(dib, bits);
    std::vector<TProgressStage> stages;
    std::string msg;
    dib.OnProgress = [&](TObject*, TProgressStage st, std::uint8_t, bool, const TRect&, const std::string& m) {
      stages.push_back(st);
      msg = m;
    };
    dib.SetPaletteModified(false);
    if (bits == 8) {
      EXPECT_EQ(MessageOf<EVxDIBBadDIBType>([&] { dib.CreateTrueColorPalette(); }),
                "TVxInternalDIB.CreateTrueColorPalette: Bad DIB Type");
      EXPECT_FALSE(dib.PaletteModified());
    } else {
      dib.CreateTrueColorPalette();
      EXPECT_TRUE(dib.PaletteModified());
      EXPECT_NE(dib.GetPalette(), nullptr);
    }
    ASSERT_GE(stages.size(), 2u);
    EXPECT_EQ(stages.front(), psStarting);
    EXPECT_EQ(stages.back(), psEnding);
    EXPECT_EQ(msg, "Create True Color Palette");
  }
}

std::vector<platform::TPaletteEntry> Entries(TPaletteHandle palette) {
  std::vector<platform::TPaletteEntry> out(static_cast<std::size_t>(platform::GetPaletteEntries(palette, 0, 0, nullptr)));
  if (!out.empty()) platform::GetPaletteEntries(palette, 0, static_cast<int>(out.size()), out.data());
  return out;
}

TEST(DIBHalftone, ModesReportTheSharedPalettes) {
  TVxDIB a, b;
  a.SetHalftoneMode(hmHalftone);
  b.SetHalftoneMode(hmHalftone);
  EXPECT_EQ(a.GetPalette(), b.GetPalette());
  const auto tone = Entries(a.GetPalette());
  ASSERT_EQ(tone.size(), 215u);
  EXPECT_EQ(tone[1 * 35 + 2 * 5 + 3], (platform::TPaletteEntry{51, 85, 192, 0}));
  EXPECT_EQ(tone[209], (platform::TPaletteEntry{255, 255, 255, 0}));
  EXPECT_EQ(tone[210], (platform::TPaletteEntry{128, 0, 0, 0}));
  EXPECT_EQ(tone[214], (platform::TPaletteEntry{128, 128, 128, 0}));
  b.SetHalftoneMode(hmHalftoneBW);
  EXPECT_EQ(Entries(b.GetPalette()),
            (std::vector<platform::TPaletteEntry>{{0, 0, 0, 0}, {255, 255, 255, 0}}));
  a.SetHalftoneMode(hmNone);
  EXPECT_EQ(Entries(a.GetPalette()).size(), 256u);
  ReleaseSharedPalettes();
}

// The picture as colours through the halftone routine's own result.
std::vector<std::uint32_t> Halftoned(const TVxDIB& dib, bool bw) {
  TResult res;
  if (bw)
    ConvertToHalfToneBW(dib.InternalDIB()->DIB, res.Record, false);
  else
    ConvertToHalfTone(dib.InternalDIB()->DIB, res.Record, false);
  std::vector<std::uint32_t> out;
  for (int y = res.Rows() - 1; y >= 0; --y)
    for (int x = 0; x < res.Width(); ++x) {
      const TVxRGBQuad& q = res.Record.ColorTable[res.Index(x, y)];
      out.push_back(q.rgbRed | q.rgbGreen << 8 | q.rgbBlue << 16);
    }
  return out;
}

TEST(DIBHalftone, DrawsThroughAHalftonedCopy) {
  for (const int bits : {8, 24})
    for (const TVxHalftoneMode mode : {hmHalftone, hmHalftoneBW}) {
      TVxDIB dib;
      LoadPicture(dib, bits);
      const std::vector<std::uint32_t> want = Halftoned(dib, mode == hmHalftoneBW);
      dib.SetHalftoneMode(mode);
      TBitmap bmp;
      bmp.SetPixelFormat(pf24bit);
      bmp.SetSize(19, 5);
      auto& canvas = static_cast<TBitmapCanvas&>(bmp.Canvas());
      canvas.Draw(0, 0, dib);
      std::vector<std::uint32_t> got;
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 19; ++x) got.push_back(canvas.Pixel(x, y));
      EXPECT_EQ(got, want) << bits << " " << int(mode);
      EXPECT_EQ(dib.HalftoneMode(), mode);
      EXPECT_EQ(dib.PixelFormat(), bits == 8 ? vxpf8Bit : vxpf24Bit);

      canvas.FillRect(TRect{0, 0, 19, 5}, 0x123456);
      canvas.StretchDraw(TRect{3, 2, 3, 4}, dib);  // empty: nothing drawn
      EXPECT_EQ(canvas.Pixel(3, 2), 0x123456u);
    }
  ReleaseSharedPalettes();
}

TEST(DIBCanvas, RefusesNilAndHeapMemoryDIBs) {
  EXPECT_EQ(MessageOf<EVxDIBCanvasFailed>([] { TVxDIBCanvas canvas(nullptr); }),
            "TVxDIBCanvas.Create: Cannot Create Canvas");
  SetDefaultUseFMO(false);
  TVxDIB heap;
  SetDefaultUseFMO(true);
  EXPECT_EQ(MessageOf<EVxDIBCanvasFailed>([&] { TVxDIBCanvas canvas(&heap); }),
            "TVxDIBCanvas.Create: Cannot Create Canvas");
  // Run-length pixels cannot be drawn on.
  TVxDIB rle;
  rle.SetWidth(40);
  rle.SetPixelFormat(vxpf8BitRLE);
  EXPECT_EQ(MessageOf<EOutOfResources>([&] { TVxDIBCanvas canvas(&rle); }),
            "TVxDIBCanvas.Create: Cannot Create Memory DC");
}

// Drawing on the canvas writes into the DIB's own pixel block; a DIB that shared the storage
// keeps the old picture, and the DIB hears of the change when the canvas goes.
TEST(DIBCanvas, DrawsStraightIntoTheDIBsPixels) {
  TVxDIB source, target, other;
  LoadPicture(source, 24);
  target.SetBitCount(24);
  target.SetWidth(19);
  target.SetHeight(5);
  other.Assign(&target);
  int changes = 0;
  target.OnChange = [&](TObject*) { ++changes; };
  const std::uint8_t* bits = nullptr;
  {
    TVxDIBCanvas canvas(&target);
    bits = target.InternalDIB()->DIB.Bits;
    canvas.Draw(0, 0, source);
    EXPECT_EQ(changes, 0);
  }
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(target.InternalDIB()->DIB.Bits, bits);
  EXPECT_EQ(DrawnPicture(target), DrawnPicture(source));
  EXPECT_EQ(DrawnPicture(other), std::vector<std::uint32_t>(19 * 5, 0));
}

}  // namespace
