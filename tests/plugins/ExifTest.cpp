// The plug-in's EXIF Orientation reader, fed blocks built here byte by byte: each row names
// the fault the block carries and the answer it must give. The reader runs on copies that end
// exactly where the block ends, so a read past the end shows under ASan.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../../plugins/iftavex/Exif.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

// A TIFF structure with one directory at offset 8: entries of (tag, type, count, value).
struct TEntry {
  std::uint16_t tag, type;
  std::uint32_t count, value;
};

void Put16(TBytes& b, unsigned v, bool big) {
  b.push_back(static_cast<std::uint8_t>(big ? v >> 8 : v));
  b.push_back(static_cast<std::uint8_t>(big ? v : v >> 8));
}

void Put32(TBytes& b, std::uint32_t v, bool big) {
  Put16(b, big ? v >> 16 : v & 0xFFFF, big);
  Put16(b, big ? v & 0xFFFF : v >> 16, big);
}

TBytes Tiff(bool big, const std::vector<TEntry>& entries, std::uint32_t ifd = 8, std::uint32_t next = 0) {
  TBytes b(4);
  std::memcpy(b.data(), big ? "MM\0*" : "II*\0", 4);
  Put32(b, ifd, big);
  b.resize(ifd > 8 && ifd < 64 ? ifd : 8, 0);
  Put16(b, static_cast<unsigned>(entries.size()), big);
  for (const TEntry& e : entries) {
    Put16(b, e.tag, big);
    Put16(b, e.type, big);
    Put32(b, e.count, big);
    // A SHORT sits in the first two bytes of the value field, whatever the byte order.
    if (e.type == 3 && e.count == 1) {
      Put16(b, e.value, big);
      Put16(b, 0, big);
    } else {
      Put32(b, e.value, big);
    }
  }
  Put32(b, next, big);
  return b;
}

TBytes Prefixed(TBytes b) {
  TBytes p(6 + b.size());
  std::memcpy(p.data(), "Exif\0\0", 6);
  std::memcpy(p.data() + 6, b.data(), b.size());
  return p;
}

TBytes Cut(TBytes b, std::size_t n) {
  b.resize(n);
  return b;
}

int Orientation(const TBytes& b) {
  // An exact-size heap copy: one byte too far is an ASan report, not a silent read.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[b.size() ? b.size() : 1]);
  if (!b.empty()) std::memcpy(copy.get(), b.data(), b.size());
  return ExifOrientation(copy.get(), b.size());
}

const TEntry Width{0x0100, 4, 1, 640};
const TEntry Height{0x0101, 4, 1, 480};
TEntry Orient(unsigned v) { return {0x0112, 3, 1, v}; }

struct TExifCase {
  const char* fault;
  TBytes block;
  int expected;
};

std::vector<TExifCase> Cases() {
  std::vector<TExifCase> c;
  for (int big = 0; big <= 1; ++big) {
    for (unsigned v = 1; v <= 8; ++v) {
      std::string order = big ? "big-endian " : "little-endian ";
      c.push_back({"bare TIFF structure", Tiff(big, {Width, Orient(v), Height}), static_cast<int>(v)});
      c.push_back({"behind the APP1 identifier", Prefixed(Tiff(big, {Orient(v)})), static_cast<int>(v)});
    }
    // The tag as the last entry, its value ending 4 bytes before the block does.
    c.push_back({"tag last of three", Tiff(big, {Width, Height, Orient(6)}), 6});
    c.push_back({"no Orientation tag", Tiff(big, {Width, Height}), 1});
    c.push_back({"empty directory", Tiff(big, {}), 1});
    c.push_back({"value 0", Tiff(big, {Orient(0)}), 1});
    c.push_back({"value 9", Tiff(big, {Orient(9)}), 1});
    c.push_back({"value 0x0106: a high byte must not be ignored", Tiff(big, {Orient(0x0106)}), 1});
    c.push_back({"type LONG", Tiff(big, {{0x0112, 4, 1, 6}}), 1});
    c.push_back({"type BYTE", Tiff(big, {{0x0112, 1, 1, 6}}), 1});
    c.push_back({"count 2", Tiff(big, {{0x0112, 3, 2, 6}}), 1});
    c.push_back({"count 0", Tiff(big, {{0x0112, 3, 0, 6}}), 1});
    // Entry counts and offsets past the end.
    c.push_back({"directory past the end", Tiff(big, {Orient(6)}, 0x7FFFFFF0u), 1});
    c.push_back({"directory at 0xFFFFFFFF", Tiff(big, {Orient(6)}, 0xFFFFFFFFu), 1});
    c.push_back({"directory inside the header", Tiff(big, {Orient(6)}, 4), 1});
    {
      TBytes b = Tiff(big, {Orient(6)});
      b[8 + (big ? 0 : 1)] = 0xFF; // 0xFF01 or 0x01FF entries declared, one present
      b[8 + (big ? 1 : 0)] = 0x01;
      c.push_back({"entry count beyond the block, tag present", b, 6});
    }
    {
      TBytes b = Tiff(big, {Width, Height});
      b[8 + (big ? 0 : 1)] = 0xFF;
      c.push_back({"entry count beyond the block, tag absent", b, 1});
    }
    // Cut inside the Orientation entry: its value is gone, so it is not read.
    c.push_back({"cut in the tag's value", Cut(Tiff(big, {Width, Orient(6)}), 8 + 2 + 12 + 9), 1});
    c.push_back({"cut after the tag's value", Cut(Tiff(big, {Width, Orient(6)}), 8 + 2 + 24), 6});
    c.push_back({"cut in the entry count", Cut(Tiff(big, {Orient(6)}), 9), 1});
    c.push_back({"header only", Cut(Tiff(big, {Orient(6)}), 8), 1});
    // A next-directory pointer back at itself: only IFD0 counts, and the loop is not followed.
    c.push_back({"next directory loops to itself, no tag", Tiff(big, {Width}, 8, 8), 1});
    c.push_back({"next directory loops to itself, tag", Tiff(big, {Orient(3)}, 8, 8), 3});
    {
      // The thumbnail's directory has an Orientation; the picture's has none.
      TBytes b = Tiff(big, {Width}, 8, 26);
      TBytes second = Tiff(big, {Orient(6)});
      std::size_t at = b.size();
      b.resize(at + second.size() - 8);
      std::memcpy(b.data() + at, second.data() + 8, second.size() - 8);
      c.push_back({"Orientation only in IFD1", b, 1});
    }
    {
      TBytes b = Prefixed(Tiff(big, {Orient(8)}));
      b[5] = 1;
      c.push_back({"identifier with a wrong last byte", b, 1});
    }
    {
      TBytes b = Tiff(big, {Orient(8)});
      b[2] = big ? 0x2B : 0x2A;
      b[3] = big ? 0x00 : 0x2B;
      c.push_back({"BigTIFF mark", b, 1});
    }
    {
      TBytes b = Tiff(big, {Orient(8)});
      b[0] = big ? 'I' : 'M'; // II with MM's magic or the other way round
      b[1] = big ? 'I' : 'M';
      c.push_back({"mixed byte-order mark", b, 1});
    }
  }
  c.push_back({"empty", {}, 1});
  c.push_back({"identifier only", {'E', 'x', 'i', 'f', 0, 0}, 1});
  c.push_back({"identifier and a cut header", {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0}, 1});
  c.push_back({"not EXIF", {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1});
  {
    // Directory at 0x10: entries that straddle the block's end must not be read.
    TBytes b = Tiff(false, {Orient(5)}, 16);
    c.push_back({"directory after a gap", b, 5});
    c.push_back({"directory after a gap, cut", Cut(b, b.size() - 5), 1});
  }
  return c;
}

TEST(ExifOrientation, ReadsIfd0AndNeverPastTheBlock) {
  for (const TExifCase& c : Cases()) EXPECT_EQ(Orientation(c.block), c.expected) << c.fault;
}

TEST(ExifOrientation, EveryCutOfAValidBlockIsSafe) {
  for (int big = 0; big <= 1; ++big) {
    TBytes full = Prefixed(Tiff(big, {Width, Height, Orient(7)}));
    for (std::size_t n = 0; n <= full.size(); ++n) {
      // Only whole 12-byte entries are read: the third ends 6 + 8 + 2 + 3 * 12 bytes in.
      int expected = n >= 6 + 8 + 2 + 36 ? 7 : 1;
      EXPECT_EQ(Orientation(Cut(full, n)), expected) << "cut at " << n;
    }
  }
  EXPECT_EQ(ExifOrientation(nullptr, 100), 1);
}

} // namespace
