// Every file of the BMP Suite with its pinned outcome: the header it loads with and how its
// picture compares with the suite's reference images, or the error it fails with. Files
// that load also survive a save and reload, and are drawn into a bitmap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "dib/DIBTestSupport.h"
#include "dib/VxDIB.h"
#include "support/SharedData.h"

namespace {

namespace fs = std::filesystem;

enum class TCheck {
  Any,        // drawn, nothing more is known about the picture
  Same,       // every pixel equals the reference's
  Near,       // every channel within Tolerance of the reference's
  SameShape,  // the same pixels carry the same colours as in the reference, colours renamed
  Grey,       // every pixel is grey
};

struct TSuiteCase {
  const char* File;
  // Loads: header after loading. Fails: the error (Class, Message).
  int Width, Height, Bits;
  unsigned Compression, ClrUsed;
  TCheck Check;
  const char* Reference;
  int Tolerance[3];     // red, green, blue for Near
  const char* DrawError;  // non-null: drawing into a bitmap fails with this message
  const char* Class;      // non-null: loading fails
  const char* Message;
  friend std::ostream& operator<<(std::ostream& os, const TSuiteCase& c) { return os << c.File; }
};

TSuiteCase Loads(const char* file, int w, int h, int bits, unsigned compression, unsigned clrUsed,
                 TCheck check = TCheck::Any, const char* reference = nullptr, int tr = 0, int tg = 0, int tb = 0) {
  return {file, w, h, bits, compression, clrUsed, check, reference, {tr, tg, tb}, nullptr, nullptr, nullptr};
}
TSuiteCase DrawFails(const char* file, int w, int h, int bits, unsigned compression, unsigned clrUsed,
                     const char* message) {
  return {file, w, h, bits, compression, clrUsed, TCheck::Any, nullptr, {}, message, nullptr, nullptr};
}
TSuiteCase Fails(const char* file, const char* cls, const char* message) {
  return {file, 0, 0, 0, 0, 0, TCheck::Any, nullptr, {}, nullptr, cls, message};
}

constexpr char InvalidDIB[] = "EVxDIBInvalidDIB";
constexpr char InvalidDIBFile[] = "EVxDIBInvalidDIBFile";
constexpr char ReadError[] = "EReadError";
constexpr char HeaderSize[] = "TVxInternalDIB.LoadFromStream: Invalid Bitmap Header Size";
constexpr char BitCout[] = "TVxInternalDIB.LoadFromStream: Invalid BitCout";
constexpr char PixelSize[] = "TVxInternalDIB.LoadFromStream: Invalid Pixel Data Size";
constexpr char Rgb24[] = "g/rgb24.bmp";
constexpr char Pal8[] = "g/pal8.bmp";

const std::vector<TSuiteCase>& Cases() {
  static const std::vector<TSuiteCase> cases = {
      // good
      Loads("g/pal1.bmp", 127, 64, 1, 0, 2),
      Loads("g/pal1wb.bmp", 127, 64, 1, 0, 2, TCheck::Same, "g/pal1.bmp"),
      Loads("g/pal1bg.bmp", 127, 64, 1, 0, 2, TCheck::SameShape, "g/pal1.bmp"),
      Loads("g/pal4.bmp", 127, 64, 4, 0, 12),
      Loads("g/pal4gs.bmp", 127, 64, 4, 0, 12, TCheck::Grey),
      Loads("g/pal4rle.bmp", 127, 64, 4, 2, 12, TCheck::Same, "g/pal4.bmp"),
      Loads("g/pal8.bmp", 127, 64, 8, 0, 252, TCheck::Near, Rgb24, 50, 50, 50),
      Loads("g/pal8-0.bmp", 127, 64, 8, 0, 256, TCheck::Same, Pal8),
      Loads("g/pal8gs.bmp", 127, 64, 8, 0, 252, TCheck::Grey),
      Loads("g/pal8rle.bmp", 127, 64, 8, 1, 252, TCheck::Same, Pal8),
      Loads("g/pal8w126.bmp", 126, 63, 8, 0, 252),
      Loads("g/pal8w125.bmp", 125, 62, 8, 0, 252),
      Loads("g/pal8w124.bmp", 124, 61, 8, 0, 252),
      Loads("g/pal8topdown.bmp", 127, -64, 8, 0, 252, TCheck::Same, Pal8),
      Loads("g/pal8nonsquare.bmp", 127, 32, 8, 0, 252),
      Loads("g/pal8os2.bmp", 127, 64, 8, 0, 256, TCheck::Same, Pal8),
      Fails("g/pal8v4.bmp", InvalidDIB, HeaderSize),
      Fails("g/pal8v5.bmp", InvalidDIB, HeaderSize),
      Loads("g/rgb16.bmp", 127, 64, 24, 0, 0, TCheck::Near, Rgb24, 5, 5, 5),
      Loads("g/rgb16bfdef.bmp", 127, 64, 24, 0, 0, TCheck::Same, "g/rgb16.bmp"),
      Loads("g/rgb16-565.bmp", 127, 64, 24, 0, 0, TCheck::Near, Rgb24, 5, 3, 5),
      Loads("g/rgb16-565pal.bmp", 127, 64, 24, 0, 256, TCheck::Same, "g/rgb16-565.bmp"),
      Loads("g/rgb24.bmp", 127, 64, 24, 0, 0),
      Loads("g/rgb24pal.bmp", 127, 64, 24, 0, 256, TCheck::Same, Rgb24),
      Loads("g/rgb32.bmp", 127, 64, 24, 0, 0, TCheck::Same, Rgb24),
      Loads("g/rgb32bf.bmp", 127, 64, 24, 0, 0, TCheck::Same, Rgb24),
      Loads("g/rgb32bfdef.bmp", 127, 64, 24, 0, 0, TCheck::Same, Rgb24),
      // questionable
      Fails("q/pal1huffmsb.bmp", InvalidDIB, HeaderSize),
      Loads("q/pal1p1.bmp", 127, 64, 1, 0, 1),
      Fails("q/pal2.bmp", InvalidDIB, BitCout),
      Fails("q/pal2color.bmp", InvalidDIB, BitCout),
      Loads("q/pal4rletrns.bmp", 127, 64, 4, 2, 13),
      Loads("q/pal4rlecut.bmp", 127, 64, 4, 2, 13),
      Loads("q/pal8rletrns.bmp", 127, 64, 8, 1, 253),
      Loads("q/pal8rlecut.bmp", 127, 64, 8, 1, 253),
      Loads("q/pal8offs.bmp", 127, 64, 8, 0, 252, TCheck::Same, Pal8),
      Loads("q/pal8oversizepal.bmp", 127, 64, 8, 0, 256, TCheck::Same, Pal8),
      Fails("q/pal8os2-sz.bmp", InvalidDIB, PixelSize),  // bfSize 26: no pixel block
      Fails("q/pal8os2-hs.bmp", InvalidDIB, PixelSize),
      Fails("q/pal8os2sp.bmp", InvalidDIB, "TVxInternalDIB.LoadFromFile: bfOffBits is too small"),
      Fails("q/pal8os2v2.bmp", InvalidDIB, HeaderSize),
      Fails("q/pal8os2v2-16.bmp", InvalidDIB, HeaderSize),
      Fails("q/pal8os2v2-sz.bmp", InvalidDIB, HeaderSize),
      Fails("q/pal8os2v2-40sz.bmp", InvalidDIB, PixelSize),
      Fails("q/rgb24rle24.bmp", InvalidDIB, HeaderSize),
      Loads("q/rgb16-231.bmp", 127, 64, 24, 0, 0, TCheck::Near, Rgb24, 85, 37, 255),
      Loads("q/rgb16-3103.bmp", 127, 64, 24, 0, 0, TCheck::Near, Rgb24, 37, 1, 37),
      Loads("q/rgb16faketrns.bmp", 127, 64, 24, 0, 0, TCheck::Same, "g/rgb16.bmp"),
      Fails("q/rgba16-4444.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba16-5551.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba16-1924.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgb24jpeg.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgb24png.bmp", InvalidDIB, HeaderSize),
      Loads("q/rgb24largepal.bmp", 127, 64, 24, 0, 256, TCheck::Same, Rgb24),
      Fails("q/rgb24lprof.bmp", InvalidDIB, HeaderSize),
      Loads("q/rgb32-111110.bmp", 127, 64, 24, 0, 0, TCheck::Near, Rgb24, 1, 1, 1),
      Loads("q/rgb32-7187.bmp", 127, 64, 24, 0, 0, TCheck::Near, Rgb24, 3, 1, 3),
      Fails("q/rgb32-xbgr.bmp", InvalidDIB, HeaderSize),
      Loads("q/rgb32fakealpha.bmp", 127, 64, 24, 0, 0, TCheck::Same, Rgb24),
      Fails("q/rgb32h52.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba32-1.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba32-2.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba32-1010102.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba32-81284.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba32-61754.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba32abf.bmp", InvalidDIB, "TVxInternalDIB.LoadFromStream: Invalid Compression"),  // BI_ALPHABITFIELDS
      Fails("q/rgba32h56.bmp", InvalidDIB, HeaderSize),
      Fails("q/rgba64.bmp", InvalidDIB, BitCout),
      // bad
      Fails("b/badbitcount.bmp", InvalidDIB, BitCout),
      Loads("b/badbitssize.bmp", 127, 64, 1, 0, 2, TCheck::Same, "g/pal1.bmp"),
      Loads("b/baddens1.bmp", 127, 64, 1, 0, 2, TCheck::Same, "g/pal1.bmp"),
      Loads("b/baddens2.bmp", 127, 64, 1, 0, 2, TCheck::Same, "g/pal1.bmp"),
      Fails("b/badfilesize.bmp", ReadError, "Stream read error"),
      Fails("b/badheadersize.bmp", InvalidDIB, HeaderSize),
      Fails("b/badpalettesize.bmp", InvalidDIB, "TVxInternalDIB.LoadFromFile: bfOffBits is too small"),
      Loads("b/badplanes.bmp", 127, 64, 1, 0, 2, TCheck::Same, "g/pal1.bmp"),
      DrawFails("b/badrle.bmp", 127, 64, 8, 1, 253, "Convert8BitRLETo8BitRGB: Bad RLE Data 4"),
      DrawFails("b/badrlebis.bmp", 127, 64, 8, 1, 253, "Convert8BitRLETo8BitRGB: Bad RLE Data 2"),
      DrawFails("b/badrleter.bmp", 127, 64, 8, 1, 253, "Convert8BitRLETo8BitRGB: Bad RLE Data 2"),
      DrawFails("b/badrle4.bmp", 127, 64, 4, 2, 13, "Convert4BitRLETo4BitRGB: Bad RLE Data 8"),
      DrawFails("b/badrle4bis.bmp", 127, 64, 4, 2, 13, "Convert4BitRLETo4BitRGB: Bad RLE Data 6"),
      DrawFails("b/badrle4ter.bmp", 127, 64, 4, 2, 13, "Convert4BitRLETo4BitRGB: Bad RLE Data 6"),
      Fails("b/badwidth.bmp", InvalidDIB, "TVxInternalDIB.LoadFromStream: Invalid Width or Height"),
      Loads("b/pal8badindex.bmp", 127, 64, 8, 0, 101),
      Fails("b/reallybig.bmp", InvalidDIB, "TVxInternalDIB.LoadFromStream: Image Too Large"),
      Fails("b/rgb16-880.bmp", InvalidDIB, "TVxInternalDIB.LoadFromStream: Invalid Masks"),
      Loads("b/rletopdown.bmp", 127, -64, 8, 1, 252),
      Fails("b/shortfile.bmp", ReadError, "Stream read error"),
      // related formats
      Fails("x/ba-bm.bmp", InvalidDIBFile, "TVxInternalDIB.LoadFromFile: File type is invalid"),
  };
  return cases;
}

std::unique_ptr<TVxDIB> LoadFile(const fs::path& file) {
  TMemoryStream m;
  m.LoadFromFile(file);
  auto dib = std::make_unique<TVxDIB>();
  dib->LoadFromStream(m);
  return dib;
}

int Channel(std::uint32_t c, int i) { return static_cast<int>(c >> (8 * i) & 0xFF); }  // 0 red, 1 green, 2 blue

class BmpSuite : public ::testing::TestWithParam<TSuiteCase> {
protected:
  void SetUp() override {
    Dir = BmpSuiteDir();
    if (Dir.empty()) GTEST_SKIP() << "BMP Suite not found (TAVEX_SHARED_DIR)";
  }
  fs::path Dir;
};

TEST_P(BmpSuite, HasItsPinnedOutcome) {
  const TSuiteCase& c = GetParam();
  const fs::path file = Dir / c.File;
  ASSERT_TRUE(fs::exists(file)) << file;
  std::unique_ptr<TVxDIB> dib;
  std::string cls = "none", message;
  try {
    dib = LoadFile(file);
  } catch (const EVxDIBInvalidDIBFile& e) {
    cls = "EVxDIBInvalidDIBFile", message = e.what();
  } catch (const EVxDIBInvalidDIB& e) {
    cls = "EVxDIBInvalidDIB", message = e.what();
  } catch (const EReadError& e) {
    cls = "EReadError", message = e.what();
  } catch (const std::exception& e) {
    cls = "other", message = e.what();
  }
  if (c.Class) {
    EXPECT_EQ(cls, c.Class);
    EXPECT_EQ(message, c.Message);
    return;
  }
  ASSERT_TRUE(dib) << cls << ": " << message;
  const TVxBitmapInfoHeader& h = dib->InternalDIB()->DIB.Header;
  EXPECT_EQ(h.biWidth, c.Width);
  EXPECT_EQ(h.biHeight, c.Height);
  EXPECT_EQ(h.biBitCount, c.Bits);
  EXPECT_EQ(h.biCompression, c.Compression);
  EXPECT_EQ(h.biClrUsed, c.ClrUsed);

  // Saved and read again: the same header, table and pixel block.
  TMemoryStream saved;
  dib->SaveToStream(saved);
  saved.SetPosition(0);
  TVxDIB again;
  again.LoadFromStream(saved);
  const TVxDIBRecord& a = dib->InternalDIB()->DIB;
  const TVxDIBRecord& b = again.InternalDIB()->DIB;
  EXPECT_EQ(std::memcmp(&a.Header, &b.Header, sizeof a.Header), 0);
  EXPECT_EQ(std::memcmp(a.ColorTable, b.ColorTable, 4 * a.Header.biClrUsed), 0);
  ASSERT_EQ(a.BitsSize, b.BitsSize);
  EXPECT_EQ(std::memcmp(a.Bits, b.Bits, a.BitsSize), 0);

  if (c.DrawError) {
    std::string drawn = "<drawn>";
    try {
      DrawnPicture(*dib);
    } catch (const EVxDIBError& e) {
      drawn = e.what();
    }
    EXPECT_EQ(drawn, c.DrawError);
    return;
  }
  const std::vector<std::uint32_t> picture = DrawnPicture(*dib);
  ASSERT_EQ(picture.size(), static_cast<std::size_t>(c.Width) * static_cast<std::size_t>(std::abs(c.Height)));
  if (c.Check == TCheck::Any) return;
  if (c.Check == TCheck::Grey) {
    for (std::uint32_t p : picture) ASSERT_TRUE(Channel(p, 0) == Channel(p, 1) && Channel(p, 1) == Channel(p, 2)) << std::hex << p;
    return;
  }
  const std::vector<std::uint32_t> reference = DrawnPicture(*LoadFile(Dir / c.Reference));
  ASSERT_EQ(picture.size(), reference.size());
  std::map<std::uint32_t, std::uint32_t> renamed;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    switch (c.Check) {
      case TCheck::Same: ASSERT_EQ(picture[i], reference[i]) << "pixel " << i; break;
      case TCheck::Near:
        for (int ch = 0; ch < 3; ++ch)
          ASSERT_LE(std::abs(Channel(picture[i], ch) - Channel(reference[i], ch)), c.Tolerance[ch]) << "pixel " << i;
        break;
      case TCheck::SameShape: {
        const auto [it, added] = renamed.emplace(reference[i], picture[i]);
        ASSERT_EQ(it->second, picture[i]) << "pixel " << i;
        break;
      }
      default: break;
    }
  }
  if (c.Check == TCheck::SameShape) {
    std::set<std::uint32_t> targets;
    for (const auto& [from, to] : renamed) targets.insert(to);
    EXPECT_EQ(targets.size(), renamed.size());  // no two colours merged
  }
}

std::string CaseName(const ::testing::TestParamInfo<TSuiteCase>& info) {
  std::string name = info.param.File;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(TVxDIB, BmpSuite, ::testing::ValuesIn(Cases()), CaseName);

TEST(BmpSuiteTable, CoversEveryFileOfTheSuite) {
  const fs::path dir = BmpSuiteDir();
  if (dir.empty()) GTEST_SKIP() << "BMP Suite not found (TAVEX_SHARED_DIR)";
  std::set<std::string> listed;
  for (const TSuiteCase& c : Cases()) listed.insert(c.File);
  std::set<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.path().extension() == ".bmp") found.insert(fs::relative(entry.path(), dir).generic_string());
  EXPECT_EQ(listed, found);
}

}  // namespace
