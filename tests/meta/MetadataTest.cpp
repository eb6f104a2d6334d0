// The metadata reader over files built byte by byte, judged by the tests' own EXIF reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include <webp/encode.h>

#include "meta/Exif.h"
#include "meta/MetaTestSupport.h"
#include "meta/Metadata.h"
#include "support/TempDir.h"

namespace {

constexpr std::uint16_t Orientation = 0x0112, ExifIfd = 0x8769, MakerNote = 0x927C;

const TBytes Xmp = Bytes("<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>");

// Writes a seed of the metadata fuzz target when TAVEX_FUZZ_CORPUS names a folder.
void Seed(const std::string& name, const TBytes& file) {
  const char* folder = std::getenv("TAVEX_FUZZ_CORPUS");
  if (!folder || !*folder) return;
  std::filesystem::create_directories(std::filesystem::path(folder) / "fuzz_metadata");
  WriteAllBytes(std::filesystem::path(folder) / "fuzz_metadata" / name, file);
}

// ---- EXIF blocks

TEST(CleanExif, DropsTheThumbnailAndKeepsEveryOtherByteWhereItWas) {
  for (const bool big : {false, true})
    for (const bool last : {true, false})
      for (const bool upright : {false, true}) {
        SCOPED_TRACE(testing::Message() << "big " << big << " thumbnail last " << last << " upright " << upright);
        const TBytes source = CameraExif(big, 6, last);
        const TExifReader before(source);
        const std::uint32_t ifd1 = before.Ifd0Next();
        const TFoundTag orientation = before.Find({}, Orientation);
        const std::size_t thumbnail = static_cast<std::size_t>(
            std::search_n(source.begin(), source.end(), 300, std::uint8_t{0xA5}) - source.begin());
        ASSERT_TRUE(orientation.Found);
        ASSERT_LT(thumbnail, source.size());
        // What the block must be: the source up to where IFD1 began when the thumbnail came
        // last; otherwise all of it with IFD1's table (3 entries) and the thumbnail zeroed.
        // IFD0 ends the chain, and the orientation is 1 where the pixels stand upright.
        TBytes expected = source;
        if (last) {
          expected.resize(ifd1);
        } else {
          std::fill_n(expected.begin() + ifd1, 2 + 3 * 12 + 4, std::uint8_t{0});
          std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(thumbnail), 300, std::uint8_t{0});
        }
        PutAt(expected, before.Find({}, 0x8825).Entry + 12 + 0, 0, 4);  // IFD0's last entry, then its next
        if (upright) PutAt(expected, orientation.Offset, 1, 2);
        TBytes block = source;
        ASSERT_TRUE(CleanExif(block, upright));
        EXPECT_EQ(block, expected);
        const TExifReader after(block);
        EXPECT_EQ(after.Ifd0Next(), 0u);
        EXPECT_EQ(after.Short({}, Orientation), upright ? 1u : 6u);
        // The MakerNote keeps its offset, so offsets inside it still count from the header.
        EXPECT_EQ(after.Find({ExifIfd}, MakerNote).Offset, before.Find({ExifIfd}, MakerNote).Offset);
        EXPECT_EQ(after.Find({0x8825}, 0).Value, Bytes(std::string("\2\3\0\0", 4)));
      }
}

TEST(CleanExif, ABrokenBlockIsRefusedAndLeftAsItWas) {
  using TBreak = std::function<void(TBytes&, const TExifReader&)>;
  const std::vector<std::pair<const char*, TBreak>> cases{
      {"no byte-order mark", [](TBytes& b, const TExifReader&) { b[0] = 'X'; }},
      {"not 42", [](TBytes& b, const TExifReader&) { PutAt(b, 2, 43, 2); }},
      {"IFD0 past the end", [](TBytes& b, const TExifReader&) { PutAt(b, 4, static_cast<std::uint32_t>(b.size()), 4); }},
      {"IFD0's entries past the end", [](TBytes& b, const TExifReader&) { PutAt(b, 8, 0x7FFF, 2); }},
      {"EXIF directory past the end",
       [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({}, ExifIfd).Offset, static_cast<std::uint32_t>(b.size() - 4), 4); }},
      {"IFD1 past the end",
       [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({}, 0x8825).Entry + 12, static_cast<std::uint32_t>(b.size()), 4); }},
      {"a value past the end",
       [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({ExifIfd}, MakerNote).Entry + 8, static_cast<std::uint32_t>(b.size() - 8), 4); }},
      {"a count whose bytes overflow",
       [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({ExifIfd}, MakerNote).Entry + 4, 0xFFFFFFF0u, 4); }},
      {"RATIONALs past 4 GiB", [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({ExifIfd}, 0x829A).Entry + 4, 0x20000001u, 4); }},
      {"IFD1 loops back to IFD0", [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({}, 0x8825).Entry + 12, 8, 4); }},
      {"the EXIF directory is IFD0", [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({}, ExifIfd).Offset, 8, 4); }},
      {"the GPS directory is the EXIF one",
       [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({}, 0x8825).Offset, r.Get(r.Find({}, ExifIfd).Offset, 4), 4); }},
      {"a pointer that is a SHORT", [](TBytes& b, const TExifReader& r) { PutAt(b, r.Find({}, ExifIfd).Entry + 2, 3, 2); }},
      {"cut in the EXIF directory", [](TBytes& b, const TExifReader& r) { b.resize(r.Get(r.Find({}, ExifIfd).Offset, 4) + 6); }},
  };
  for (const bool big : {false, true})
    for (std::size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(testing::Message() << cases[i].first << (big ? " (big-endian)" : ""));
      TBytes block = CameraExif(big, 6);
      cases[i].second(block, TExifReader(block));
      const TBytes broken = block;
      EXPECT_FALSE(CleanExif(block, true));
      EXPECT_EQ(block, broken);
      // As a JPEG's segment, for the fuzz target.
      Seed(std::string("exif-") + (big ? "mm-" : "ii-") + std::to_string(i),
           TBytes{0xFF, 0xD8} + JpegSegment(0xE1, Bytes(std::string("Exif\0\0", 6)) + broken));
    }
}

TEST(CleanExif, EveryCutOfABlockIsRefusedOrSound) {
  const TBytes whole = CameraExif(true, 3, false);
  for (std::size_t n = 0; n < whole.size(); ++n) {
    TBytes block(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    if (CleanExif(block, true)) {
      EXPECT_EQ(TExifReader(block).Ifd0Next(), 0u) << n;
    }
  }
}

TEST(TiffMetadata, TheExifBlockHoldsTheDescriptiveTagsAndTheSubDirectoriesOnly) {
  const TBytes icc = IccProfile("mntr", "RGB ", 200);
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    const TDir ifd0{{{0x0100, 3, {2}},
                     {0x0101, 3, {1}},
                     {0x010F, 2, {}, std::string("Cam\0", 4)},
                     {0x0111, 4, {}, std::string("\x10\x20\x30\x40\x50\x60", 6), -1, true},
                     {Orientation, 3, {8}},
                     {0x02BC, 1, {}, std::string(Xmp.begin(), Xmp.end())},
                     {ExifIfd, 4, {}, {}, 1},
                     {0x8773, 7, {}, std::string(icc.begin(), icc.end())}}};
    const TDir exif{{{0x9003, 2, {}, std::string("2024:01:02 03:04:05\0", 20)},
                     {MakerNote, 7, {}, "inside: offsets from this file's header"},
                     {0xA005, 4, {}, {}, 2}}};
    const TDir interop{{{0x0001, 2, {}, std::string("R98\0", 4)}}};
    const TBytes tiff = BuildExif(big, {ifd0, exif, interop});
    const TSourceMetadata source = ReadSourceMetadata(tiff.data(), tiff.size());
    EXPECT_EQ(source.Format, mfTiff);
    EXPECT_EQ(source.Blocks.Xmp, Xmp);
    EXPECT_EQ(source.Blocks.Icc, icc);
    const TBytes& block = source.Blocks.Exif;
    ASSERT_GE(block.size(), 8u);
    EXPECT_EQ(block[0], big ? 'M' : 'I');
    const TExifReader r(block);
    EXPECT_EQ(r.Find({}, 0x010F).Value, Bytes(std::string("Cam\0", 4)));
    EXPECT_EQ(r.Short({}, Orientation), 8u);
    for (const std::uint16_t structure : {0x0100, 0x0101, 0x0111, 0x02BC, 0x8773}) EXPECT_FALSE(r.Find({}, structure).Found) << structure;
    EXPECT_EQ(r.Find({ExifIfd}, 0x9003).Value, Bytes(std::string("2024:01:02 03:04:05\0", 20)));
    EXPECT_FALSE(r.Find({ExifIfd}, MakerNote).Found);
    EXPECT_EQ(r.Find({ExifIfd, 0xA005}, 0x0001).Value, Bytes(std::string("R98\0", 4)));
    EXPECT_EQ(r.Ifd0Next(), 0u);
    Seed(std::string("tiff-") + (big ? "mm" : "ii"), tiff);
  }
}

// ---- Containers

const TBytes Icc = IccProfile("mntr", "RGB ", 700);

TBytes Slice(const TBytes& b, std::size_t from, std::size_t n) {
  return TBytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

TBytes IccChunk(unsigned sequence, unsigned count, std::size_t from, std::size_t n) {
  return JpegSegment(0xE2, Bytes(std::string("ICC_PROFILE\0", 12)) +
                               TBytes{static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(count)} +
                               Slice(Icc, from, n));
}

TBytes Jpeg(const TBytes& segments, const TBytes& afterScan = {}) {
  const TBytes jfif = JpegSegment(0xE0, Bytes(std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14)));
  return TBytes{0xFF, 0xD8} + jfif + segments + JpegSegment(0xDA, TBytes(10, 0)) + TBytes{0x12, 0xFF, 0x00, 0x34} +
         afterScan + TBytes{0xFF, 0xD9};
}

TBytes Png(const TBytes& beforeImage, const TBytes& afterImage) {
  return Bytes("\x89PNG\r\n\x1a\n") + PngChunk("IHDR", TBytes(13, 1)) + beforeImage + PngChunk("IDAT", TBytes(9, 7)) +
         afterImage + PngChunk("IEND", {});
}

TBytes PngXmp(bool compressed) {
  return PngChunk("iTXt", Bytes(std::string("XML:com.adobe.xmp\0", 18)) + TBytes{compressed ? std::uint8_t{1} : std::uint8_t{0}, 0} +
                              Bytes(std::string("\0\0", 2)) + (compressed ? Deflated(Xmp) : Xmp));
}

TBytes RiffChunk(const std::string& fourcc, TBytes data) {
  TBytes size;
  PutOrdered(size, static_cast<std::uint32_t>(data.size()), 4, false);
  if (data.size() % 2) data.push_back(0);
  return Bytes(fourcc) + size + data;
}

TBytes Webp(std::uint8_t flags, const TBytes& exifChunk) {
  std::uint8_t* encoded = nullptr;
  const std::uint8_t pixel[4] = {10, 20, 30, 255};
  const std::size_t n = WebPEncodeLosslessRGBA(pixel, 1, 1, 4, &encoded);
  const TBytes simple(encoded, encoded + n);
  WebPFree(encoded);
  const TBytes image = Slice(simple, 12, simple.size() - 12);  // the VP8L chunk whole
  const TBytes body = Bytes("WEBP") + RiffChunk("VP8X", TBytes{flags, 0, 0, 0, 0, 0, 0, 0, 0, 0}) +
                      RiffChunk("ICCP", Icc) + image + RiffChunk("EXIF", exifChunk) + RiffChunk("XMP ", Xmp);
  TBytes size;
  PutOrdered(size, static_cast<std::uint32_t>(body.size()), 4, false);
  return Bytes("RIFF") + size + body;
}

struct THeifOptions {
  TBytes ExifItem;             // the Exif item's bytes, its offset field first
  bool Linked = true;          // the metadata items describe the primary picture (cdsc)
  bool ProfileOnTile = false;  // the primary is a grid whose first tile (item 4) has the profile
};

TBytes FullBox(const std::string& type, unsigned version, const TBytes& body) {
  return Box(type, TBytes{static_cast<std::uint8_t>(version), 0, 0, 0} + body);
}

TBytes Infe(unsigned id, const std::string& type, const std::string& contentType = {}) {
  TBytes body = Be16(id) + Be16(0) + Bytes(type) + TBytes{0};
  if (!contentType.empty()) body = body + Bytes(contentType) + TBytes{0};
  return FullBox("infe", 2, body);
}

TBytes Heif(const THeifOptions& o) {
  const TBytes ftyp = Box("ftyp", Bytes("heic") + Be32(0) + Bytes("mif1heic"));
  const auto meta = [&o](std::uint32_t exifAt) {
    // iloc version 1: 4-byte offsets and lengths, no base offset; the Exif item in the file,
    // the XMP item in idat.
    const TBytes iloc = FullBox("iloc", 1, TBytes{0x44, 0x00} + Be16(2) + Be16(2) + Be16(0) + Be16(0) + Be16(1) +
                                               Be32(exifAt) + Be32(static_cast<std::uint32_t>(o.ExifItem.size())) +
                                               Be16(3) + Be16(1) + Be16(0) + Be16(1) + Be32(0) +
                                               Be32(static_cast<std::uint32_t>(Xmp.size())));
    TBytes references = Box("dimg", Be16(1) + Be16(1) + Be16(4));
    if (o.Linked)
      references = references + Box("cdsc", Be16(2) + Be16(1) + Be16(1)) + Box("cdsc", Be16(3) + Be16(1) + Be16(1));
    const TBytes ipco = Box("ipco", Box("colr", Bytes("nclx") + TBytes{0, 1, 0, 13, 0, 6, 0x80}) + Box("colr", Bytes("prof") + Icc));
    const TBytes ipma = FullBox("ipma", 0, Be32(2) + Be16(1) + TBytes{1, 1} + Be16(o.ProfileOnTile ? 4 : 1) + TBytes{1, 2});
    return FullBox("meta", 0,
                   FullBox("hdlr", 0, Be32(0) + Bytes("pict") + TBytes(13, 0)) + FullBox("pitm", 0, Be16(1)) +
                       FullBox("iinf", 0, Be16(4) + Infe(1, o.ProfileOnTile ? "grid" : "hvc1") + Infe(2, "Exif") +
                                              Infe(3, "mime", "application/rdf+xml") + Infe(4, "hvc1")) +
                       iloc + FullBox("iref", 0, references) + Box("iprp", ipco + ipma) + Box("idat", Xmp));
  };
  const std::size_t exifAt = ftyp.size() + meta(0).size() + 8;
  return ftyp + meta(static_cast<std::uint32_t>(exifAt)) + Box("mdat", o.ExifItem);
}

struct TContainerCase {
  const char* Name;
  TBytes File;
  TMetadataFormat Format;
  bool Exif, Xmp, Icc;  // which of the blocks come out
  bool OrientationApplied;
};

std::vector<TContainerCase> ContainerCases() {
  const TBytes exif = CameraExif(false, 6);
  const TBytes exifSegment = JpegSegment(0xE1, Bytes(std::string("Exif\0\0", 6)) + exif);
  const TBytes xmpSegment = JpegSegment(0xE1, Bytes(std::string("http://ns.adobe.com/xap/1.0/\0", 29)) + Xmp);
  const TBytes iccp = PngChunk("iCCP", Bytes(std::string("ICC\0\0", 5)) + Deflated(Icc));
  TBytes badCrc = PngChunk("eXIf", exif);
  badCrc.back() ^= 1;
  const TBytes exifItem = Be32(6) + Bytes(std::string("Exif\0\0", 6)) + exif;
  return {
      // The profile's chunks out of order, each numbered of 3.
      {"jpeg", Jpeg(exifSegment + xmpSegment + IccChunk(2, 3, 300, 300) + IccChunk(3, 3, 600, 100) + IccChunk(1, 3, 0, 300)),
       mfJpeg, true, true, true, true},
      {"jpeg-chunk-missing", Jpeg(IccChunk(1, 3, 0, 300) + IccChunk(3, 3, 600, 100)), mfJpeg, false, false, false, true},
      {"jpeg-chunk-twice", Jpeg(IccChunk(1, 2, 0, 350) + IccChunk(1, 2, 0, 350) + IccChunk(2, 2, 350, 350)), mfJpeg, false,
       false, false, true},
      {"jpeg-counts-differ", Jpeg(IccChunk(1, 2, 0, 350) + IccChunk(2, 3, 350, 350)), mfJpeg, false, false, false, true},
      {"jpeg-after-the-scan", Jpeg({}, exifSegment + xmpSegment), mfJpeg, false, false, false, true},
      {"png", Png(iccp + PngChunk("eXIf", exif) + PngXmp(true), {}), mfPng, true, true, true, true},
      // After the image data the plug-in never sees the eXIf, and a profile is out of place.
      {"png-after-the-image", Png({}, PngChunk("eXIf", exif) + PngXmp(false) + iccp), mfPng, true, true, false, false},
      {"png-bad-check-sum", Png(badCrc, {}), mfPng, false, false, false, false},
      {"webp", Webp(0x20 | 0x08 | 0x04, Bytes(std::string("Exif\0\0", 6)) + exif), mfWebp, true, true, true, true},
      {"webp-unannounced", Webp(0, exif), mfWebp, false, false, false, true},
      {"heif", Heif({exifItem}), mfHeif, true, true, true, true},
      {"heif-bare-exif-grid", Heif({Be32(0) + exif, true, true}), mfHeif, true, true, true, true},
      {"heif-exif-after-padding", Heif({Be32(4) + Bytes(std::string("MM\0*", 4)) + exif}), mfHeif, true, true, true, true},
      {"heif-unlinked", Heif({exifItem, false}), mfHeif, false, false, true, true},
      {"heif-offset-past-the-item", Heif({Be32(0x7FFFFFF0) + exif}), mfHeif, false, true, true, true},
  };
}

TEST(SourceMetadata, EachContainerGivesItsBlocks) {
  const TBytes exif = CameraExif(false, 6);
  for (const TContainerCase& c : ContainerCases()) {
    SCOPED_TRACE(c.Name);
    Seed(c.Name, c.File);
    const TSourceMetadata source = ReadSourceMetadata(c.File.data(), c.File.size());
    EXPECT_EQ(source.Format, c.Format);
    EXPECT_EQ(source.Blocks.Exif, c.Exif ? exif : TBytes{});
    EXPECT_EQ(source.Blocks.Xmp, c.Xmp ? Xmp : TBytes{});
    EXPECT_EQ(source.Blocks.Icc, c.Icc ? Icc : TBytes{});
    EXPECT_EQ(source.OrientationApplied, c.OrientationApplied);
  }
}

TEST(SourceMetadata, EveryCutOfAFileGivesWholeBlocksOrNone) {
  const TBytes exif = CameraExif(false, 6);
  for (const TContainerCase& c : ContainerCases()) {
    SCOPED_TRACE(c.Name);
    for (std::size_t n = 0; n < c.File.size(); ++n) {
      const TBytes cut = Slice(c.File, 0, n);
      const TImageMetadata blocks = ReadSourceMetadata(cut.data(), cut.size()).Blocks;
      EXPECT_TRUE(blocks.Exif.empty() || blocks.Exif == exif) << n;
      EXPECT_TRUE(blocks.Xmp.empty() || blocks.Xmp == Xmp) << n;
      EXPECT_TRUE(blocks.Icc.empty() || blocks.Icc == Icc) << n;
    }
  }
}

// ---- What the JPEG gets

TEST(MetadataForOutput, TheDecoderDecidesOrientationAndProfile) {
  struct TCase {
    const char* Name;
    TMetadataDecoder Decoder;
    bool Applied;
    TBytes Icc;
    unsigned Orientation;
    bool KeepsIcc;
  };
  TBytes shortProfile = IccProfile("mntr", "RGB ", 300);
  shortProfile.resize(299);
  const std::vector<TCase> cases{
      {"own plug-in turned it", mdTavexPlugin, true, Icc, 1, false},
      {"own plug-in left it", mdTavexPlugin, false, Icc, 6, false},
      {"another decoder, RGB", mdOtherDecoder, true, Icc, 6, true},
      {"another decoder, input profile", mdOtherDecoder, true, IccProfile("scnr", "RGB ", 200), 6, true},
      {"another decoder, grey", mdOtherDecoder, true, IccProfile("mntr", "GRAY", 200), 6, false},
      {"another decoder, CMYK", mdOtherDecoder, true, IccProfile("prtr", "CMYK", 200), 6, false},
      {"another decoder, device link", mdOtherDecoder, true, IccProfile("link", "RGB ", 200), 6, false},
      {"another decoder, cut profile", mdOtherDecoder, true, shortProfile, 6, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TSourceMetadata source;
    source.Blocks = {CameraExif(true, 6), Xmp, c.Icc};
    source.OrientationApplied = c.Applied;
    const TImageMetadata out = MetadataForOutput(source, c.Decoder);
    const TExifReader r(out.Exif);
    EXPECT_EQ(r.Short({}, Orientation), c.Orientation);
    EXPECT_EQ(r.Ifd0Next(), 0u);
    EXPECT_EQ(out.Xmp, Xmp);
    EXPECT_EQ(out.Icc, c.KeepsIcc ? c.Icc : TBytes{});
  }
  // A broken EXIF block goes alone.
  TSourceMetadata broken;
  broken.Blocks = {Bytes(std::string("II*\0\xFF\xFF\xFF\xFF", 8)), Xmp, Icc};
  EXPECT_EQ(MetadataForOutput(broken, mdOtherDecoder), (TImageMetadata{{}, Xmp, Icc}));
}

}  // namespace
