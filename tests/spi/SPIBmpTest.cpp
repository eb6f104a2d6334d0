// Decoding through plug-ins: the echo test plug-in hands back the result its source describes,
// so each case builds a plug-in result byte by byte and looks at what the host makes of it.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "app/BmpBuilder.h"
#include "platform/LocalMemory.h"
#include "rtl/Text.h"
#include "spi/SPIBmp.h"
#include "spi/SPITestSupport.h"
#include "spi/SPIVxDIB.h"
#include "spi/SPIsHelper.h"
#include "support/LocalBlocks.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

void Put32(TBytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(TBytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// A BITMAPINFO: the header (biSize bytes, the rest of a longer header zero), then extra bytes
// (masks, colour table).
TBytes Info(int width, int height, int bits, std::uint32_t compression = 0, std::uint32_t clrUsed = 0,
            const TBytes& extra = {}, std::uint32_t biSize = 40) {
  TBytes b;
  Put32(b, biSize);
  Put32(b, static_cast<std::uint32_t>(width));
  Put32(b, static_cast<std::uint32_t>(height));
  Put16(b, 1);
  Put16(b, static_cast<std::uint16_t>(bits));
  Put32(b, compression);
  for (int i = 0; i < 3; ++i) Put32(b, 0);
  Put32(b, clrUsed);
  Put32(b, 0);
  b.resize(std::max<std::size_t>(b.size(), biSize), 0);
  b.insert(b.end(), extra.begin(), extra.end());
  return b;
}

enum : std::uint32_t {
  efProgress = 1,
  efPreview = 2,
  efNoPicture = 4,
  efPixelsAreInfo = 8,
  efTextBlock = 16,
  efPixelsAreText = 32,
  efInfoIsText = 64
};

// The echo plug-in's source: its header, the information bytes, the pixel bytes. Block sizes
// default to the bytes given.
TBytes Echo(const TBytes& info, const TBytes& pixels, int result = 0, std::uint32_t flags = 0,
            std::int64_t infoBlock = -1, std::int64_t pixelBlock = -1) {
  TBytes b{'T', 'V', 'X', 'E'};
  Put32(b, static_cast<std::uint32_t>(result));
  Put32(b, static_cast<std::uint32_t>(infoBlock < 0 ? static_cast<std::int64_t>(info.size()) : infoBlock));
  Put32(b, static_cast<std::uint32_t>(pixelBlock < 0 ? static_cast<std::int64_t>(pixels.size()) : pixelBlock));
  Put32(b, flags);
  Put32(b, static_cast<std::uint32_t>(info.size()));
  b.insert(b.end(), info.begin(), info.end());
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

struct TEvent {
  TProgressStage Stage;
  std::string Msg;
};

class PluginDecoding : public ::testing::Test {
protected:
  TPluginFolder Folder;
  TSPIs Spis;
  std::vector<TEvent> Events;

  void Load(std::initializer_list<const char*> variants) {
    for (const char* v : variants) Folder.Put(v, std::string(v) + ".spi");
    for (const char* v : variants) Spis.ScanFolder(Folder.Folder(), std::string(v) + ".spi");
  }
  void Record(TGraphic& g) {
    g.OnProgress = [this](TObject*, TProgressStage stage, std::uint8_t, bool, const TRect&, const std::string& msg) {
      Events.push_back({stage, msg});
    };
  }
  std::vector<std::string> Tries() const {
    std::vector<std::string> out;
    for (const TEvent& e : Events)
      if (e.Msg.rfind("Loading by [", 0) == 0) out.push_back(e.Msg);
    return out;
  }
  // The message of a failed load into a TSPIVxDIB from memory; empty on success.
  std::string LoadDIB(TSPIVxDIB& dib, const TBytes& data, const std::filesystem::path& name = {}) {
    TCustomMemoryStream stream(data.data(), static_cast<std::int64_t>(data.size()));
    return MessageOf<Exception>([&] { dib.LoadFromStreamWithName(stream, name); });
  }
};

// 24-bit bottom-up pixels of a 2 x 2 picture, rows padded to 8 bytes.
const TBytes Pixels2x2{10, 20, 30, 40, 50, 60, 0, 0, 70, 80, 90, 100, 110, 120, 0, 0};

// Every impossible result is a failed try (the data is no BMP either, so the load fails as
// undecodable), reads nothing out of bounds, and leaves no local block behind.
TEST_F(PluginDecoding, AnImpossibleOrFailedResultIsAFailedTryAndItsBlocksAreFreed) {
  Load({"echo"});
  const TBytes good = Info(2, 2, 24);
  struct TCase {
    const char* Name;
    TBytes Source;
  } cases[] = {
      {"header size 39", Echo(Info(2, 2, 24, 0, 0, {}, 39), Pixels2x2)},
      {"header size beyond its block", Echo(Info(2, 2, 24, 0, 0, {}, 40), Pixels2x2, 0, 0, 36)},
      {"header size larger than the block", Echo(Info(2, 2, 24, 0, 0, {}, 64), Pixels2x2, 0, 0, 48)},
      {"7 bits per pixel", Echo(Info(2, 2, 7), Pixels2x2)},
      {"run-length compression", Echo(Info(2, 2, 8, 1), Pixels2x2)},
      {"bit fields at 24 bits", Echo(Info(2, 2, 24, 3, 0, TBytes(12, 0xFF)), Pixels2x2)},
      {"width 0", Echo(Info(0, 2, 24), Pixels2x2)},
      {"width -2", Echo(Info(-2, 2, 24), Pixels2x2)},
      {"height 0", Echo(Info(2, 0, 24), Pixels2x2)},
      {"height INT_MIN", Echo(Info(2, INT_MIN, 24), Pixels2x2)},
      {"a size beyond 2 GiB", Echo(Info(65536, 65536, 24), Pixels2x2)},
      {"17 colours at 4 bits", Echo(Info(2, 2, 4, 0, 17, TBytes(68, 0)), TBytes(8, 0))},
      {"colour table cut short", Echo(Info(2, 2, 8, 0, 4, TBytes(12, 0)), TBytes(8, 0))},
      {"pixel block one byte short", Echo(good, TBytes(Pixels2x2.begin(), Pixels2x2.end() - 1))},
      {"no pixel block", Echo(good, {}, 0, 0, -1, 0)},
      {"no information block", Echo(good, Pixels2x2, 0, 0, 0)},
      {"blocks filled, failure reported", Echo(good, Pixels2x2, 8)},
      // One block under two handles would be freed while the encoder still reads it.
      {"information block handed back as the pixels", Echo(good, Pixels2x2, 0, efPixelsAreInfo, 56)},
      {"text block handed back as the pixels", Echo(good, Pixels2x2, 0, efTextBlock | efPixelsAreText)},
      {"text block handed back as the information", Echo(good, Pixels2x2, 0, efTextBlock | efInfoIsText)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const long long before = LiveLocalBlocks(), refusedBefore = RefusedLocalFrees();
    TSPIVxDIB dib;
    EXPECT_EQ(LoadDIB(dib, c.Source), SPICouldNotDecode);
    EXPECT_EQ(dib.Width(), 1) << "the object keeps its previous image";
    EXPECT_EQ(LiveLocalBlocks(), before);
    EXPECT_EQ(RefusedLocalFrees(), refusedBefore) << "a block was freed twice";
  }
  // The same blocks with a possible header decode, a text block beside them too: the cases
  // above fail for their fault alone.
  for (const std::uint32_t flags : {0u, std::uint32_t{efTextBlock}}) {
    const long long before = LiveLocalBlocks();
    {
      TSPIVxDIB dib;
      ASSERT_EQ(LoadDIB(dib, Echo(good, Pixels2x2, 0, flags)), "");
      EXPECT_EQ(dib.Width(), 2);
      EXPECT_EQ(dib.InternalDIB()->DIB.Bits[3], 40);
    }
    EXPECT_EQ(LiveLocalBlocks(), before) << flags;
  }
}

// The forms a plug-in may deliver that the DIB holds differently, and the pixels they give.
TEST_F(PluginDecoding, EachFormOfResultGivesItsPixels) {
  Load({"echo"});
  TBytes masks565;
  for (std::uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) Put32(masks565, m);
  // A 124-byte header carries its masks at 40; red in the low byte here.
  TBytes v5 = Info(1, 1, 32, 3, 0, {}, 124);
  const std::uint32_t rgbMasks[3] = {0x000000FFu, 0x0000FF00u, 0x00FF0000u};
  std::memcpy(v5.data() + 40, rgbMasks, sizeof rgbMasks);
  struct TCase {
    const char* Name;
    TBytes Source;
    TBytes Expected;  // the first pixel's blue, green, red in the DIB
  } const cases[] = {
      // 0xF800 is the 5-bit red 31: full red.
      {"bit fields after a 40-byte header", Echo(Info(1, 1, 16, 3, 0, masks565), {0x00, 0xF8, 0, 0}), {0, 0, 255}},
      {"bit fields inside a 124-byte header", Echo(v5, {0xFF, 0, 0, 0}), {0, 0, 255}},
      {"32 bits, alpha all 0", Echo(Info(1, 1, 32), {10, 20, 30, 0}), {10, 20, 30}},
      {"32 bits, alpha all 255", Echo(Info(2, 1, 32), {10, 20, 30, 255, 1, 2, 3, 255}), {10, 20, 30}},
      // Half transparent on white: (c * 128 + 255 * 127 + 127) / 255.
      {"32 bits with transparency", Echo(Info(2, 1, 32), {10, 20, 30, 128, 1, 2, 3, 255}), {132, 137, 142}},
      {"0 and 255 only: the clear pixel is white", Echo(Info(2, 1, 32), {10, 20, 30, 0, 1, 2, 3, 255}), {255, 255, 255}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSPIVxDIB dib;
    ASSERT_EQ(LoadDIB(dib, c.Source), "");
    ASSERT_EQ(dib.BitCount(), 24);
    const std::uint8_t* p = dib.InternalDIB()->DIB.Bits;
    EXPECT_EQ(TBytes(p, p + 3), c.Expected);
  }
}

// A picture the DIB holds as it is goes over without a copy, and gives the very storage the
// DIB reader makes of its BMP image.
TEST_F(PluginDecoding, APictureHandedOverEqualsItsBmpImageRead) {
  Load({"echo"});
  TBytes table;
  for (int i = 0; i < 256; ++i) Put32(table, static_cast<std::uint32_t>(i * 0x010203));
  const TBytes rows(64, 0x5C);
  struct TCase {
    const char* Name;
    TBytes Source;
  } const cases[] = {
      {"1 bit", Echo(Info(3, 2, 1, 0, 0, TBytes(table.begin(), table.begin() + 8)), TBytes(8, 0xA5))},
      {"4 bits, 5 colours", Echo(Info(3, 2, 4, 0, 5, TBytes(table.begin(), table.begin() + 20)), TBytes(8, 0x31))},
      {"8 bits, 0 colours used", Echo(Info(3, 2, 8, 0, 0, table), TBytes(8, 0x07))},
      {"24 bits top-down", Echo(Info(3, -2, 24), TBytes(24, 0x42))},
      {"24 bits with 3 colours", Echo(Info(3, 2, 24, 0, 3, TBytes(table.begin(), table.begin() + 12)), rows)},
  };
  const long long before = LiveLocalBlocks();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSPIVxDIB handed;
    ASSERT_EQ(LoadDIB(handed, c.Source), "");
    EXPECT_EQ(handed.InternalDIB()->DIB.MappingHandle, nullptr) << "the plug-in's block, not a copy";
    TSPIGraphic g;
    TCustomMemoryStream in(c.Source.data(), static_cast<std::int64_t>(c.Source.size()));
    g.LoadFromStream(in);
    TMemoryStream image;
    g.SaveToStream(image);
    image.SetPosition(0);
    TVxDIB read;
    read.LoadFromStream(image);
    const TVxDIBRecord &a = handed.InternalDIB()->DIB, &b = read.InternalDIB()->DIB;
    EXPECT_EQ(std::memcmp(&a.Header, &b.Header, sizeof a.Header), 0);
    EXPECT_EQ(std::memcmp(a.ColorTable, b.ColorTable, sizeof a.ColorTable), 0);
    ASSERT_EQ(a.BitsSize, b.BitsSize);
    EXPECT_EQ(std::memcmp(a.Bits, b.Bits, a.BitsSize), 0);
  }
  EXPECT_EQ(LiveLocalBlocks(), before) << "the block goes with the DIB";
}

// The BMP image of a result: 40 + 4 x 256 header bytes for 8 bits with 0 colours used, the
// masks counted in the header and in bfOffBits.
TEST_F(PluginDecoding, TheBmpImageCountsTheTableAndTheMasks) {
  Load({"echo"});
  TBytes table(1024);
  for (int i = 0; i < 256; ++i) table[static_cast<std::size_t>(4 * i)] = static_cast<std::uint8_t>(i);
  TBytes masks;
  for (std::uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) Put32(masks, m);
  struct TCase {
    TBytes Source;
    std::uint32_t OffBits;
    int Colors;
  } cases[] = {{Echo(Info(3, 1, 8, 0, 0, table), TBytes(4, 7)), 14 + 40 + 1024, 256},
               {Echo(Info(1, 1, 16, 3, 0, masks), TBytes(4, 0)), 14 + 40 + 12, 0}};
  for (const TCase& c : cases) {
    TSPIGraphic g;
    TCustomMemoryStream in(c.Source.data(), static_cast<std::int64_t>(c.Source.size()));
    g.LoadFromStream(in);
    TMemoryStream out;
    g.SaveToStream(out);
    const auto* b = static_cast<const std::uint8_t*>(out.Memory());
    ASSERT_EQ(out.Size(), c.OffBits + 4);
    EXPECT_EQ(ParseBmpFileHeader(b).OffBits, c.OffBits);
    EXPECT_EQ(ParseBmpFileHeader(b).Size, c.OffBits + 4);
    EXPECT_EQ(ParseBmpInfoHeader(b + 14).biSize, 40u);
    EXPECT_EQ(std::memcmp(b + 14 + 40, c.Colors ? table.data() : masks.data(), c.Colors ? 1024 : 12), 0);
  }
}

TEST_F(PluginDecoding, MacBinaryGivesASecondTryAtByte128) {
  Load({"echo"});
  TBytes file(128, 0);
  const TBytes echo = Echo(Info(2, 2, 24), Pixels2x2);
  file.insert(file.end(), echo.begin(), echo.end());
  TTempDir dir;
  WriteAllBytes(dir / "mac.bin", file);
  for (bool macBinary : {true, false}) {
    SCOPED_TRACE(macBinary);
    Spis.MacBinary = macBinary;
    Events.clear();
    TSPIGraphic g;
    Record(g);
    const std::string error = MessageOf<Exception>([&] { g.LoadFromFile(dir / "mac.bin"); });
    EXPECT_EQ(error, macBinary ? "" : SPICouldNotDecode);
    EXPECT_EQ(Tries(), std::vector<std::string>(macBinary ? 2 : 1, "Loading by [echo.spi]"));
    if (macBinary) {
      EXPECT_EQ(g.Width(), 2);
    }
  }
}

TEST_F(PluginDecoding, ThePluginDeclaringTheExtensionIsTriedFirst) {
  Load({"pngtif", "echo"});
  const TBytes data = Echo(Info(2, 2, 24), Pixels2x2);
  {
    TSPIVxDIB dib;
    Record(dib);
    EXPECT_EQ(LoadDIB(dib, data, "picture.png"), "");
    EXPECT_EQ(Tries(), (std::vector<std::string>{"Loading by [pngtif.spi]", "Loading by [pngtif.spi]",
                                                 "Loading by [echo.spi]"}));
    Events.clear();
    EXPECT_EQ(LoadDIB(dib, data, "picture.tve"), "");
    EXPECT_EQ(Tries(), std::vector<std::string>{"Loading by [echo.spi]"});
  }
}

TEST_F(PluginDecoding, ANameWithoutAnAnsiFormTriesNoPlugin) {
  Load({"echo"});
  const TBytes data = Echo(Info(2, 2, 24), Pixels2x2);
  bool replaced = false;
  const std::string name = "\xF0\x9F\x98\x80.tve";  // no ANSI code page has it
  Utf8ToAnsi(name, &replaced);
  if (!replaced) GTEST_SKIP() << "this system's code page holds every character";
  Events.clear();
  TSPIVxDIB dib;
  Record(dib);
  EXPECT_EQ(LoadDIB(dib, data, Utf8ToPath(name)), SPICouldNotDecode);
  EXPECT_EQ(Tries().size(), 2u) << "each plug-in is named but none is asked";
}

// With GraphicPreview the preview is asked for first; a plug-in without one gives its picture.
TEST_F(PluginDecoding, GraphicPreviewTriesThePreviewFirst) {
  Load({"echo", "nopreview"});
  const TBytes previewOnly = Echo(Info(2, 2, 24), Pixels2x2, 0, efPreview | efNoPicture);
  struct TCase {
    const char* Name;
    bool Preview;
    TBytes Source;
    int Width;  // 0: not decoded
  } const cases[] = {
      {"preview only, previews on", true, previewOnly, 2},
      {"preview only, previews off", false, previewOnly, 0},
      {"no preview, the picture then", true, Echo(Info(2, 2, 24), Pixels2x2), 2},
      {"no GetPreview at all", true, TBytes{'T', 'V', 'X', '1'}, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Spis.GraphicPreview = c.Preview;
    TSPIGraphic g;
    TCustomMemoryStream in(c.Source.data(), static_cast<std::int64_t>(c.Source.size()));
    EXPECT_EQ(MessageOf<Exception>([&] { g.LoadFromStream(in); }), c.Width ? "" : SPICouldNotDecode);
    EXPECT_EQ(g.Width(), c.Width);
  }
}

// The progress handler's signals: the silent abort fails each plug-in in turn; anything else
// reaches the caller once the plug-in has returned, and the blocks it filled are freed.
TEST_F(PluginDecoding, AProgressHandlersFailureStopsThePluginAndIsCarriedBack) {
  Load({"echo"});
  const TBytes data = Echo(Info(2, 2, 24), Pixels2x2, 0, efProgress);
  for (bool abort : {true, false}) {
    SCOPED_TRACE(abort);
    const long long before = LiveLocalBlocks();
    int calls = 0;
    TSPIGraphic g;
    g.OnProgress = [&](TObject*, TProgressStage stage, std::uint8_t percent, bool, const TRect&,
                       const std::string&) {
      if (stage != psRunning || percent != 2) return;  // the callback's first step: 0 of 1
      ++calls;
      if (abort) throw EAbort();
      throw EInvalidOperation("handler failed");
    };
    TCustomMemoryStream in(data.data(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(MessageOf<Exception>([&] { g.LoadFromStream(in); }), abort ? SPICouldNotDecode : "handler failed");
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(g.Empty());
    EXPECT_EQ(LiveLocalBlocks(), before);
  }
}

TEST_F(PluginDecoding, TheLoaderChainOrderAndItsEndingEvent) {
  Load({"echo"});
  // A 4 x 4 BMP whose pixel rows hold, at byte 128, an echo source of a 2 x 2 picture: the
  // DIB reader sees the first, the plug-in (on its MacBinary try) the second.
  TBytes bmp = BuildBmp(PatternPicture(16, 4, 24, false));
  const TBytes echo = Echo(Info(2, 2, 24), Pixels2x2);
  ASSERT_GE(bmp.size(), 128 + echo.size());
  std::copy(echo.begin(), echo.end(), bmp.begin() + 128);
  struct TCase {
    const char* Name;
    int Width;
  } cases[] = {{"", 2}, {"a.tve", 2}, {"a.bmp", 16}, {"A.BmP", 16}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSPIVxDIB dib;
    Record(dib);
    Events.clear();
    EXPECT_EQ(LoadDIB(dib, bmp, c.Name), "");
    EXPECT_EQ(dib.Width(), c.Width);
    ASSERT_FALSE(Events.empty());
    EXPECT_EQ(Events.back().Stage, psEnding);
    EXPECT_EQ(Events.back().Msg, "Loaded Graphic");
    for (std::size_t i = 0; i + 1 < Events.size(); ++i) EXPECT_NE(Events[i].Stage, psEnding) << Events[i].Msg;
  }
  // No plug-in takes a plain BMP: the reader reads it from where the stream stood.
  TBytes shifted{1, 2, 3};
  const TBytes plain = BuildBmp(PatternPicture(5, 3, 24, false));
  shifted.insert(shifted.end(), plain.begin(), plain.end());
  TCustomMemoryStream stream(shifted.data(), static_cast<std::int64_t>(shifted.size()));
  stream.SetPosition(3);
  TSPIVxDIB dib;
  Record(dib);
  Events.clear();
  dib.LoadFromStream(stream);
  EXPECT_EQ(dib.Width(), 5);
  // A failed load still ends with the event, and the object keeps its image.
  Events.clear();
  EXPECT_EQ(LoadDIB(dib, TBytes{'x'}), SPICouldNotDecode);
  EXPECT_EQ(dib.Width(), 5);
  ASSERT_FALSE(Events.empty());
  EXPECT_EQ(Events.back().Msg, "Loaded Graphic");
}

// Data that no decoder recognises fails as unclaimed; data that a plug-in or the DIB reader
// took and could not read fails with the plain class. Claims of one load never count for
// the next (each case follows one of the other kind), and the reader looks at the data
// from where the stream stands.
TEST_F(PluginDecoding, DataNoDecoderRecognisesIsUnclaimedAndBrokenDataIsNot) {
  Load({"echo"});
  TBytes bmp = BuildBmp(PatternPicture(4, 2, 24, false));
  TBytes brokenBmp(bmp.begin(), bmp.begin() + 20);
  TBytes shiftedBmp{'x', 'y', 'z'};
  shiftedBmp.insert(shiftedBmp.end(), bmp.begin(), bmp.end());
  const TBytes text{'h', 'e', 'l', 'l', 'o', ',', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
  const TBytes afterBM{'B', 'M', 'h', 'e', 'l', 'l', 'o'};
  const std::string unclaimed = std::string("unclaimed: ") + SPICouldNotDecode;
  const std::string failed = std::string("failed: ") + SPICouldNotDecode;
  struct TCase {
    const char* Name;
    TBytes Data;
    std::int64_t Start;
    std::string Kind;
  } cases[] = {
      {"a BMP", bmp, 0, "decoded"},
      {"text", text, 0, unclaimed},
      {"a BMP cut after 20 bytes", brokenBmp, 0, failed},
      {"one byte", {'B'}, 0, unclaimed},
      {"an echo source with an impossible result", Echo(Info(2, 2, 7), Pixels2x2), 0, failed},
      {"nothing", {}, 0, unclaimed},
      {"a BMP three bytes in", shiftedBmp, 3, "decoded"},
      {"text after \"BM\"", afterBM, 2, unclaimed},
      {"\"BM\" and text", afterBM, 0, failed},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TCustomMemoryStream stream(c.Data.data(), static_cast<std::int64_t>(c.Data.size()));
    stream.SetPosition(c.Start);
    TSPIVxDIB dib;
    std::string kind = "decoded";
    try {
      dib.LoadFromStream(stream);
    } catch (const EUnclaimedGraphic& e) {
      kind = std::string("unclaimed: ") + e.what();
    } catch (const EInvalidGraphic& e) {
      kind = std::string("failed: ") + e.what();
    }
    EXPECT_EQ(kind, c.Kind);
  }
  // By name the chain does not look at the data: never unclaimed.
  const std::filesystem::path name = Folder.Path() / "text.txt";
  WriteAllBytes(name, text);
  TSPIVxDIB dib;
  std::string kind = "decoded";
  try {
    dib.LoadFromFile(name);
  } catch (const EUnclaimedGraphic&) {
    kind = "unclaimed";
  } catch (const EInvalidGraphic& e) {
    kind = std::string("failed: ") + e.what();
  }
  EXPECT_EQ(kind, failed);
}

// Drawn onto a bitmap, the picture lands unscaled; an empty graphic draws nothing and
// answers with zero sizes.
TEST_F(PluginDecoding, DrawPutsThePictureOnABitmapAndAnEmptyGraphicDrawsNothing) {
  Load({"echo"});
  TBitmap target;
  target.SetPixelFormat(pf24bit);
  target.SetSize(2, 2);
  TSPIGraphic empty;
  empty.Draw(target.Canvas(), TRect{0, 0, 2, 2});
  EXPECT_EQ(empty.Width(), 0);
  EXPECT_EQ(empty.Height(), 0);
  EXPECT_EQ(empty.BmpImageSize(), 0u);
  EXPECT_EQ(static_cast<const TBitmap&>(target).ScanLine(0)[0], 0);
  TSPIGraphic g;
  const TBytes data = Echo(Info(2, 2, 24), Pixels2x2);
  TCustomMemoryStream in(data.data(), static_cast<std::int64_t>(data.size()));
  g.LoadFromStream(in);
  g.Draw(target.Canvas(), TRect{0, 0, 2, 2});
  const TBitmap& t = target;
  // Row 0 of the bitmap is the top row: the plug-in's second (bottom-up) row.
  EXPECT_EQ(TBytes(t.ScanLine(0), t.ScanLine(0) + 6), TBytes(Pixels2x2.begin() + 8, Pixels2x2.begin() + 14));
  EXPECT_EQ(TBytes(t.ScanLine(1), t.ScanLine(1) + 6), TBytes(Pixels2x2.begin(), Pixels2x2.begin() + 6));
}

// A 4-bit plug-in picture gives a TSPIBitmap the plug-in's colour table.
TEST_F(PluginDecoding, AFourBitPictureGivesTheBitmapThePluginsTable) {
  Load({"echo"});
  TBytes table;
  for (int i = 0; i < 16; ++i) Put32(table, static_cast<std::uint32_t>(i * 0x030507));
  TSPIBitmap bitmap;
  const TBytes data = Echo(Info(2, 1, 4, 0, 0, table), {0x1F, 0, 0, 0});
  TCustomMemoryStream in(data.data(), static_cast<std::int64_t>(data.size()));
  bitmap.LoadFromStream(in);
  ASSERT_EQ(bitmap.PixelFormat(), pf4bit);
  std::uint32_t colors[256];
  int count = 0;
  bitmap.GetColorTable(colors, count);
  ASSERT_EQ(count, 16);
  for (int i = 0; i < 16; ++i) {
    const std::uint32_t bgr = static_cast<std::uint32_t>(i * 0x030507);
    const std::uint32_t rgb = ((bgr >> 16) & 0xFF) | (bgr & 0xFF00) | ((bgr & 0xFF) << 16);
    EXPECT_EQ(colors[i], rgb) << i;
  }
}

// The bitmap's own try reads BMP files through the DIB library: an OS/2 header too.
TEST_F(PluginDecoding, TheBitmapReadsEveryBmpFormThroughTheDIBLibrary) {
  const TBytes os2{'B', 'M', 30, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0,  // file header
                   12, 0, 0, 0, 1, 0, 1, 0, 1, 0, 24, 0,           // 1 x 1, 24 bits
                   10, 20, 30, 0};
  TSPIBitmap bitmap;
  TCustomMemoryStream in(os2.data(), static_cast<std::int64_t>(os2.size()));
  bitmap.LoadFromStream(in);
  ASSERT_EQ(bitmap.Width(), 1);
  EXPECT_EQ(TBytes(static_cast<const TBitmap&>(bitmap).ScanLine(0), static_cast<const TBitmap&>(bitmap).ScanLine(0) + 3),
            (TBytes{10, 20, 30}));
}

// A 24-bit picture gets a palette only when the mode and the display ask for one.
TEST_F(PluginDecoding, TrueColorPaletteFollowsTheModeAndTheDisplay) {
  Load({"echo"});
  const TBytes data = Echo(Info(2, 2, 24), Pixels2x2);
  struct TCase {
    std::uint8_t Mode;
    bool LowColor;
    bool Palette;
  } cases[] = {{0, true, false}, {1, false, false}, {1, true, true}, {2, false, true}};
  const bool saved = LowColorDisplay();
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.Mode} << " " << c.LowColor);
    SetLowColorDisplay(c.LowColor);
    TSPIVxDIB dib;
    dib.TrueColorPaletteMode = c.Mode;
    ASSERT_EQ(LoadDIB(dib, data), "");
    EXPECT_EQ(dib.InternalDIB()->DIB.Header.biClrUsed != 0, c.Palette);
  }
  SetLowColorDisplay(saved);
}

// The ANSI name of a path, with the OS's answers made up.
TEST(PluginFileName, ThePathItselfOrItsShortFormOrNothing) {
  struct TCase {
    const char* Name;
    std::string Path;
    bool UncConverts;
    unsigned ShortLength;
    std::string Short;
    std::string Expected;
  };
  const std::string ascii259 = "C:\\" + std::string(256, 'a');
  const std::string ascii260 = ascii259 + "b";
  const TCase cases[] = {
      {"plain", "C:\\a.png", true, 8, "C:\\A.PNG", "C:\\a.png"},
      {"empty", "", true, 0, "", ""},
      {"unconvertible", "C:\\\xE2\x98\x83.png", true, 12, "C:\\SNOW~1.PNG", "C:\\SNOW~1.PNG"},
      {"UNC form unconvertible", "Z:\\a.png", false, 8, "Z:\\A.PNG", "Z:\\A.PNG"},
      {"259 bytes", ascii259, true, 0, "", ascii259},
      {"260 bytes, short form", ascii260, true, 12, "C:\\AAAA~1", "C:\\AAAA~1"},
      {"no short form", "C:\\\xE2\x98\x83.png", true, 0, "", ""},
      {"short form too long", "C:\\\xE2\x98\x83.png", true, 261, "", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TPluginNameOS os;
    os.ToAnsi = [](const std::string& s, bool& replaced) {
      replaced = s.find('\xE2') != std::string::npos || s.find("UNC") != std::string::npos;
      return s;
    };
    os.UniversalName = [&](const std::string& p) { return c.UncConverts ? p : std::string("UNC\\") + p; };
    os.ShortPathName = [&](const std::string&, std::string& s) {
      s = c.Short;
      return c.ShortLength;
    };
    EXPECT_EQ(ToPluginFileName(c.Path, os), c.Expected);
  }
}

}  // namespace
