// The parts of the plug-in's HEIF decoder that need no libheif: the brand check, the reading
// of irot and imir off the boxes, and the scaling of deep samples. Each row names what it
// catches; the box reader runs on copies that end where the file ends, so ASan sees any read
// past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../../plugins/iftavex/Plugin.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

// A fresh block and two copies rather than insert or resize, which GCC 12 takes for
// overflows when it inlines them here.
void Append(TBytes& b, const void* p, size_t n) {
  if (n == 0) return;
  TBytes joined(b.size() + n);
  if (!b.empty()) std::memcpy(joined.data(), b.data(), b.size());
  std::memcpy(joined.data() + b.size(), p, n);
  b.swap(joined);
}

void Append(TBytes& b, const TBytes& more) { Append(b, more.data(), more.size()); }

void Put32(TBytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Put16(TBytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

TBytes Box(const char* type, const TBytes& body) {
  TBytes b;
  Put32(b, static_cast<std::uint32_t>(body.size() + 8));
  Append(b, type, 4);
  Append(b, body);
  return b;
}

TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes b;
  for (const TBytes& p : parts) Append(b, p);
  return b;
}

TBytes Ftyp(const char* major, std::initializer_list<const char*> compatible) {
  TBytes body;
  Append(body, major, 4);
  Put32(body, 0);
  for (const char* c : compatible) Append(body, c, 4);
  return Box("ftyp", body);
}

// --- brands ---------------------------------------------------------------------------

struct TBrandCase {
  const char* what;
  TBytes bytes;
  int want;
};

TBytes WithSize(TBytes b, std::uint32_t size) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  return b;
}

const std::vector<TBrandCase>& BrandCases() {
  static const std::vector<TBrandCase> cases = {
      {"HEIC by its major brand", Ftyp("heic", {"mif1", "heic"}), 1},
      {"AVIF by its major brand", Ftyp("avif", {"avif", "mif1", "miaf"}), 1},
      {"an image sequence", Ftyp("msf1", {"hevc"}), 1},
      {"AVIF sequence among the compatible brands", Ftyp("isom", {"iso8", "avis"}), 1},
      {"only the general image brand", Ftyp("mp42", {"isom", "mif1"}), 1},
      {"each brand of the list counts", Ftyp("heix", {}), 1},
      {"heim", Ftyp("heim", {}), 1},
      {"heis", Ftyp("heis", {}), 1},
      {"hevx", Ftyp("hevx", {}), 1},
      {"an MP4 film is not ours", Ftyp("mp42", {"isom", "mp41"}), 0},
      {"a QuickTime film", Ftyp("qt  ", {"qt  "}), 0},
      {"a Canon raw file", Ftyp("crx ", {"crx ", "isom"}), 0},
      {"brands are matched exactly", Ftyp("HEIC", {"Mif1"}), 0},
      {"a brand past the box's own end", Cat({Ftyp("mp42", {}), TBytes{'h', 'e', 'i', 'c'}}), 0},
      {"a box smaller than its brand", WithSize(Ftyp("heic", {}), 12), 0},
      {"a box size that is no whole number of brands", WithSize(Ftyp("mp42", {"heic"}), 19), 0},
      {"a box of more than 4 KiB", WithSize(Ftyp("heic", {}), 4100), 0},
      {"too short for any ftyp", TBytes{0, 0, 0, 16, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'}, 0},
      {"another first box", Cat({Box("free", {}), Ftyp("heic", {})}), 0},
  };
  return cases;
}

TEST(HeifDetect, KnowsItsBrandsAndNothingElse) {
  for (const TBrandCase& c : BrandCases()) {
    TBytes exact = c.bytes; // ends where the file ends
    EXPECT_EQ(HeifDetect(exact.data(), exact.size()), c.want) << c.what;
  }
  // The entry points see the first 2 KB; a brand list cut there still counts up to the cut.
  TBytes longList = Ftyp("mp42", {});
  for (int i = 0; i < 600; ++i) Append(longList, "isom", 4);
  Append(longList, "avif", 4);
  longList = WithSize(longList, static_cast<std::uint32_t>(longList.size()));
  EXPECT_EQ(HeifDetect(longList.data(), longList.size()), 1);
  EXPECT_EQ(HeifDetect(longList.data(), 2048), 0) << "the brand lies past the bytes given";
}

// --- irot and imir --------------------------------------------------------------------

// A file of ftyp and meta: pitm names the primary item, ipco holds the properties and each
// ipma entry is (item, property numbers, 1-based, E marking an essential one).
constexpr unsigned E = 0x8000;

struct TMeta {
  std::uint32_t primary = 1;
  int pitmVersion = 0;
  std::vector<const char*> properties;
  std::vector<std::pair<std::uint32_t, std::vector<unsigned>>> entries;
  int ipmaVersion = 0;
  bool wideIndices = false;
  int ipmaBoxes = 1; // the entries spread over this many ipma boxes
};

TBytes Ipma(const TMeta& m, size_t from, size_t to) {
  TBytes body = {static_cast<std::uint8_t>(m.ipmaVersion), 0, 0, static_cast<std::uint8_t>(m.wideIndices ? 1 : 0)};
  Put32(body, static_cast<std::uint32_t>(to - from));
  for (size_t e = from; e < to; ++e) {
    const auto& entry = m.entries[e];
    if (m.ipmaVersion < 1)
      Put16(body, entry.first);
    else
      Put32(body, entry.first);
    body.push_back(static_cast<std::uint8_t>(entry.second.size()));
    for (unsigned index : entry.second) {
      if (m.wideIndices)
        Put16(body, index);
      else
        body.push_back(static_cast<std::uint8_t>((index & E ? 0x80u : 0u) | (index & 0x7F)));
    }
  }
  return Box("ipma", body);
}

TBytes MetaFile(const TMeta& m) {
  TBytes pitm = {static_cast<std::uint8_t>(m.pitmVersion), 0, 0, 0};
  if (m.pitmVersion == 0)
    Put16(pitm, m.primary);
  else
    Put32(pitm, m.primary);
  TBytes ipco;
  for (const char* p : m.properties) {
    TBytes body = {0, 0, 0, 0};
    ipco = Cat({ipco, Box(p, body)});
  }
  TBytes iprp = Box("ipco", ipco);
  const size_t per = (m.entries.size() + static_cast<size_t>(m.ipmaBoxes) - 1) / static_cast<size_t>(m.ipmaBoxes);
  for (size_t from = 0; from < m.entries.size(); from += per)
    iprp = Cat({iprp, Ipma(m, from, std::min(m.entries.size(), from + per))});
  TBytes meta = Cat({TBytes{0, 0, 0, 0}, Box("hdlr", TBytes(20, 0)), Box("pitm", pitm), Box("iprp", iprp)});
  return Cat({Ftyp("heic", {"mif1"}), Box("meta", meta), Box("mdat", TBytes(16, 0xAB))});
}

struct TTransformCase {
  const char* what;
  TMeta meta;
  int want;
};

std::vector<TTransformCase> TransformCases() {
  TMeta plain;
  plain.properties = {"hvcC", "ispe", "irot", "imir"};
  std::vector<TTransformCase> cases;
  auto add = [&cases](const char* what, TMeta m, int want) { cases.push_back({what, std::move(m), want}); };

  TMeta m = plain;
  m.entries = {{1, {E | 1, 2, 3}}};
  add("irot on the primary item", m, 1);
  m.entries = {{1, {E | 1, 2, E | 4}}};
  add("an essential imir", m, 1);
  m.entries = {{1, {E | 1, 2}}, {2, {E | 1, 2, 3, 4}}};
  add("irot and imir on another item only (a thumbnail)", m, 0);
  m.entries = {{1, {E | 1, 2}}};
  add("properties listed but tied to nothing", m, 0);
  m.primary = 2;
  m.entries = {{1, {E | 1, 2}}, {2, {E | 1, 2, 3}}};
  add("the primary item is not the first", m, 1);
  m.ipmaBoxes = 2;
  add("the primary item's entry in a second ipma", m, 1);
  m.ipmaBoxes = 1;
  m.ipmaVersion = 1;
  m.primary = 0x10002;
  m.pitmVersion = 1;
  m.entries = {{2, {E | 1, 3}}, {0x10002, {E | 1, 2, 4}}};
  add("32-bit item numbers tell 0x10002 from 2", m, 1);
  m.entries = {{0x10002, {E | 1, 2}}, {2, {E | 1, 3}}};
  add("32-bit item numbers: the turn is item 2's", m, 0);

  TMeta wide = plain;
  wide.properties.assign(200, "free");
  wide.properties[0] = "hvcC";
  wide.properties[1] = "ispe";
  wide.properties[150] = "irot"; // number 151, past what 7 bits hold
  wide.wideIndices = true;
  wide.entries = {{1, {E | 1, 2, 151}}};
  add("15-bit property numbers", wide, 1);
  wide.entries = {{1, {E | 1, 2, 151 & 0x7F}}};
  add("15-bit property numbers: 151 is not 23", wide, 0);

  TMeta none;
  none.properties = {"hvcC", "ispe", "pixi"};
  none.entries = {{1, {E | 1, 2, 3}}};
  add("no transform at all", none, 0);
  return cases;
}

TEST(HeifHasTransform, FindsIrotAndImirOfThePrimaryItemOnly) {
  for (const TTransformCase& c : TransformCases()) {
    TBytes file = MetaFile(c.meta);
    EXPECT_EQ(HeifHasTransform(file.data(), file.size()), c.want) << c.what;
    // Every cut of the file, in a block that ends at the cut: never a read past it, and never
    // a transform that the bytes given do not show.
    for (size_t n = 0; n < file.size(); ++n) {
      TBytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
      int got = HeifHasTransform(cut.data(), cut.size());
      if (c.want == 0) {
        EXPECT_EQ(got, 0) << c.what << ", cut at " << n;
      }
    }
  }
}

TEST(HeifHasTransform, BrokenBoxesSayNo) {
  TMeta m;
  m.properties = {"hvcC", "irot"};
  m.entries = {{1, {E | 1, 2}}};
  const TBytes good = MetaFile(m);
  ASSERT_EQ(HeifHasTransform(good.data(), good.size()), 1);
  const size_t meta = Ftyp("heic", {"mif1"}).size(); // where meta's size field starts
  struct TDamage {
    const char* what;
    size_t at;
    std::uint32_t value;
  } damages[] = {
      {"meta longer than the file", meta, 0x7FFFFFF0u},
      {"meta shorter than its header", meta, 7},
      {"a box of 64-bit size whose size is missing", meta, 1},
  };
  for (const TDamage& d : damages) {
    TBytes bad = good;
    for (int i = 0; i < 4; ++i) bad[d.at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(d.value >> (24 - 8 * i));
    if (d.value == 1) bad.resize(d.at + 12); // header of 16 bytes needed, 12 given
    EXPECT_EQ(HeifHasTransform(bad.data(), bad.size()), 0) << d.what;
  }
}

// A box of 64-bit size (size field 1) is read, as writers of large files use it.
TEST(HeifHasTransform, ReadsLargeSizeBoxes) {
  TMeta m;
  m.properties = {"hvcC", "imir"};
  m.entries = {{1, {E | 1, 2}}};
  TBytes file = MetaFile(m);
  const size_t meta = Ftyp("heic", {"mif1"}).size();
  const std::uint32_t size = (std::uint32_t{file[meta]} << 24) | (std::uint32_t{file[meta + 1]} << 16) |
                             (std::uint32_t{file[meta + 2]} << 8) | file[meta + 3];
  TBytes large(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(meta));
  Put32(large, 1);
  Append(large, "meta", 4);
  Put32(large, 0);
  Put32(large, size + 8);
  Append(large, file.data() + meta + 8, file.size() - meta - 8);
  EXPECT_EQ(HeifHasTransform(large.data(), large.size()), 1);
}

// --- deep samples ---------------------------------------------------------------------

struct TDepthCase {
  unsigned v;
  int bits;
  std::uint16_t want16;
  unsigned want8; // after the plug-in's To8
};

// Rows where the shortcuts part from the rule: dropping the low bits (v >> (n - 8)) gives 0
// for 10-bit 3 and 12-bit 15, and shifting up (v << (16 - n)) never reaches 65535.
const TDepthCase DepthCases[] = {
    {0, 10, 0, 0},          {1023, 10, 65535, 255}, {3, 10, 192, 1},      {2, 10, 128, 0},
    {512, 10, 32800, 128},  {1022, 10, 65471, 255}, {4095, 12, 65535, 255}, {15, 12, 240, 1},
    {8, 12, 128, 0},        {2047, 12, 32759, 127}, {2048, 12, 32776, 128}, {511, 9, 65535, 255},
    {65535, 16, 65535, 255}, {1024, 10, 65535, 255}, // out of range: the top, never a wrap
};

TEST(HeifTo16, ScalesEachDepthExactly) {
  for (const TDepthCase& c : DepthCases) {
    const std::uint16_t got = HeifTo16(c.v, c.bits);
    EXPECT_EQ(got, c.want16) << c.v << " at " << c.bits << " bits";
    EXPECT_EQ(To8(got), c.want8) << c.v << " at " << c.bits << " bits";
  }
  for (int bits = 9; bits <= 16; ++bits) {
    const double top = std::ldexp(1.0, bits) - 1;
    for (unsigned v = 0; v <= static_cast<unsigned>(top); ++v) {
      const auto want = static_cast<std::uint16_t>(std::floor(v * 65535.0 / top + 0.5));
      ASSERT_EQ(HeifTo16(v, bits), want) << v << " at " << bits << " bits";
    }
  }
}

// --- the codecs' frame sizes ------------------------------------------------------------

std::vector<std::uint8_t> ReadFile(const std::string& name) {
  std::vector<std::uint8_t> b;
  if (FILE* f = std::fopen((std::string(TAVEX_PLUGIN_IMAGES) + "/" + name).c_str(), "rb")) {
    std::uint8_t chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) Append(b, chunk, n);
    std::fclose(f);
  }
  return b;
}

struct TFrameCase {
  const char* file;
  std::uint64_t want; // pixels of the largest coded frame
};

// HEVC codes whole blocks: libheif's encoder (behind heif-enc and ImageMagick alike) makes a
// 37 x 23 picture one 64 x 64 tile of a grid, read from the parameter set in hvcC; the AV1
// sequence header gives the picture's own size.
const TFrameCase FrameCases[] = {
    {"heic-flat2k.heic", 2048u * 2048u}, {"avif-flat2k.avif", 2048u * 2048u}, {"heic-rgba8.heic", 64u * 64u},
    {"heic-rgba12.heic", 64u * 64u},     {"avif-rgba8.avif", 37u * 23u},      {"avif-rgb12.avif", 37u * 23u},
    {"avif-rgb10.avif", 37u * 23u},    {"heic-magick.heic", 64u * 64u},     {"avif-magick.avif", 37u * 23u},
};

TEST(HeifLargestCodedFrame, ReadsTheCodecHeadersOfEveryCodedItem) {
  for (const TFrameCase& c : FrameCases) {
    const TBytes file = ReadFile(c.file);
    ASSERT_FALSE(file.empty()) << c.file;
    EXPECT_EQ(HeifLargestCodedFrame(file.data(), file.size()), c.want) << c.file;
    // Cut anywhere, in a block that ends at the cut: never a read past it, never a frame
    // larger than the whole file's.
    for (size_t n = 0; n < file.size(); n += 7) {
      TBytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_LE(HeifLargestCodedFrame(cut.data(), cut.size()), c.want) << c.file << " cut at " << n;
    }
  }
}

} // namespace
