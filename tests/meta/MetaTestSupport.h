#pragma once
// Metadata built byte by byte for the tests, and a reader of EXIF blocks of the tests' own,
// so that the program's reader and writer are judged by code that is not theirs.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <zlib.h>

using TBytes = std::vector<std::uint8_t>;

inline TBytes Bytes(const std::string& s) { return TBytes(s.begin(), s.end()); }
inline TBytes operator+(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline TBytes Be16(unsigned v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
inline TBytes Be32(std::uint32_t v) { return Be16(v >> 16) + Be16(v & 0xFFFF); }
inline void PutOrdered(TBytes& out, std::uint32_t v, int bytes, bool big) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * (big ? bytes - 1 - i : i))));
}

// ---- EXIF blocks

// An entry of a directory: numbers for SHORT (3) and LONG (4), bytes for the other types;
// Child: the directory it points to, as one LONG; Blob: bytes put out of line whose offset
// is the entry's one LONG (a thumbnail's JPEG data).
struct TTag {
  std::uint16_t Tag = 0;
  std::uint16_t Type = 0;
  std::vector<std::uint32_t> Numbers{};
  std::string Data{};
  int Child = -1;
  bool Blob = false;
};
struct TDir {
  std::vector<TTag> Tags{};
  int Next = -1;  // the directory chained after this one
};

// The header, then each directory in the order given, each followed by its values.
inline TBytes BuildExif(bool big, const std::vector<TDir>& dirs) {
  TBytes out = Bytes(big ? std::string("MM\0*", 4) : std::string("II*\0", 4));
  PutOrdered(out, 8, 4, big);
  std::vector<std::size_t> at(dirs.size());
  std::vector<std::pair<std::size_t, int>> links;  // where an offset goes, and to which directory
  const auto put32 = [&out, big](std::size_t where, std::uint32_t v) {
    TBytes b;
    PutOrdered(b, v, 4, big);
    std::memcpy(out.data() + where, b.data(), 4);
  };
  for (std::size_t d = 0; d < dirs.size(); ++d) {
    at[d] = out.size();
    PutOrdered(out, static_cast<std::uint32_t>(dirs[d].Tags.size()), 2, big);
    const std::size_t table = out.size();
    out.resize(table + 12 * dirs[d].Tags.size() + 4);
    if (dirs[d].Next >= 0) links.emplace_back(table + 12 * dirs[d].Tags.size(), dirs[d].Next);
    for (std::size_t i = 0; i < dirs[d].Tags.size(); ++i) {
      const TTag& t = dirs[d].Tags[i];
      TBytes entry, value;
      std::uint32_t count = static_cast<std::uint32_t>(t.Data.size());
      if (t.Blob) {
        value = Bytes(t.Data);
      } else if (t.Type == 3 || t.Type == 4) {
        for (std::uint32_t n : t.Numbers) PutOrdered(value, n, t.Type == 3 ? 2 : 4, big);
        count = static_cast<std::uint32_t>(t.Numbers.size());
      } else {
        value = Bytes(t.Data);
        if (t.Type == 5 || t.Type == 10) count /= 8;
      }
      if (t.Blob) count = 1;
      PutOrdered(entry, t.Tag, 2, big);
      PutOrdered(entry, t.Child >= 0 || t.Blob ? 4 : t.Type, 2, big);
      PutOrdered(entry, t.Child >= 0 ? 1 : count, 4, big);
      std::memcpy(out.data() + table + 12 * i, entry.data(), 8);
      const std::size_t field = table + 12 * i + 8;
      if (t.Child >= 0) {
        links.emplace_back(field, t.Child);
      } else if (value.size() <= 4 && !t.Blob) {
        std::memcpy(out.data() + field, value.data(), value.size());
      } else {
        if (out.size() % 2) out.push_back(0);
        put32(field, static_cast<std::uint32_t>(out.size()));
        out.insert(out.end(), value.begin(), value.end());
      }
    }
  }
  for (const auto& [where, dir] : links) put32(where, static_cast<std::uint32_t>(at[static_cast<std::size_t>(dir)]));
  return out;
}

// What the tests' reader found of a tag: its type, the offset of its value (the entry's own
// field when it fits there) and the value's bytes.
struct TFoundTag {
  bool Found = false;
  std::size_t Entry = 0;  // where its 12 bytes are
  unsigned Type = 0;
  std::size_t Offset = 0;
  TBytes Value;
};

class TExifReader {
public:
  explicit TExifReader(const TBytes& block) : FB(block) {
    FOk = block.size() >= 8 && (std::memcmp(block.data(), "II*\0", 4) == 0 || std::memcmp(block.data(), "MM\0*", 4) == 0);
    FBig = FOk && block[0] == 'M';
  }
  std::uint32_t Get(std::size_t at, int bytes) const {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint32_t{FB[at + static_cast<std::size_t>(i)]} << (8 * (FBig ? bytes - 1 - i : i));
    return v;
  }
  // The tag of the directory reached from IFD0 through the pointer tags of path.
  TFoundTag Find(std::initializer_list<std::uint16_t> path, std::uint16_t tag) const {
    std::size_t dir = 0;
    if (!Dir(Get(4, 4), dir)) return {};
    for (std::uint16_t step : path) {
      const TFoundTag pointer = InDir(dir, step);
      if (!pointer.Found || !Dir(Get(pointer.Offset, 4), dir)) return {};
    }
    return InDir(dir, tag);
  }
  unsigned Short(std::initializer_list<std::uint16_t> path, std::uint16_t tag) const {
    const TFoundTag t = Find(path, tag);
    return t.Found && t.Type == 3 ? Get(t.Offset, 2) : 0;
  }
  // IFD0's offset of the next directory; 0xFFFFFFFF for a block this reader cannot read.
  std::uint32_t Ifd0Next() const {
    std::size_t dir = 0;
    return Dir(Get(4, 4), dir) ? Get(dir + 2 + 12 * Get(dir, 2), 4) : 0xFFFFFFFF;
  }

private:
  bool Dir(std::uint32_t at, std::size_t& dir) const {
    if (!FOk || at < 8 || at + 2 > FB.size() || at + 2 + 12 * Get(at, 2) + 4 > FB.size()) return false;
    dir = at;
    return true;
  }
  TFoundTag InDir(std::size_t dir, std::uint16_t tag) const {
    static const unsigned sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    for (std::uint32_t i = 0, n = Get(dir, 2); i < n; ++i) {
      const std::size_t e = dir + 2 + 12 * i;
      if (Get(e, 2) != tag) continue;
      TFoundTag t;
      t.Entry = e;
      t.Type = Get(e + 2, 2);
      const std::uint64_t size = std::uint64_t{Get(e + 4, 4)} * (t.Type < 14 ? sizes[t.Type] : 0);
      t.Offset = size <= 4 ? e + 8 : Get(e + 8, 4);
      if (t.Offset + size > FB.size()) return {};
      t.Value.assign(FB.begin() + static_cast<std::ptrdiff_t>(t.Offset),
                     FB.begin() + static_cast<std::ptrdiff_t>(t.Offset + size));
      t.Found = true;
      return t;
    }
    return {};
  }
  const TBytes& FB;
  bool FOk = false;
  bool FBig = false;
};

// A camera's block: IFD0 (make, orientation, the EXIF and GPS pointers), the EXIF directory
// (exposure time, a MakerNote), IFD1 with a JPEG thumbnail, and the GPS directory, laid out
// in that order (the thumbnail in the middle) or with the thumbnail last.
inline TBytes CameraExif(bool big, unsigned orientation, bool thumbnailLast = true, std::size_t thumbnailBytes = 300) {
  TDir ifd0{{{0x010F, 2, {}, std::string("Cam\0", 4)}, {0x0112, 3, {orientation}}, {0x8769, 4, {}, {}, 1}, {0x8825, 4, {}, {}, thumbnailLast ? 2 : 3}}, thumbnailLast ? 3 : 2};
  TDir exif{{{0x829A, 5, {}, std::string("\0\0\0\1\0\0\0\x7D", 8)}, {0x927C, 7, {}, "MakerNote: offsets from the header"}}};
  TDir gps{{{0x0000, 1, {}, std::string("\2\3\0\0", 4)}}};
  TDir ifd1{{{0x0103, 3, {6}}, {0x0201, 4, {}, std::string(thumbnailBytes, '\xA5'), -1, true}, {0x0202, 4, {static_cast<std::uint32_t>(thumbnailBytes)}}}};
  return thumbnailLast ? BuildExif(big, {ifd0, exif, gps, ifd1}) : BuildExif(big, {ifd0, exif, ifd1, gps});
}

// Writes a number into a block in its byte order.
inline void PutAt(TBytes& block, std::size_t at, std::uint32_t v, int bytes) {
  TBytes b;
  PutOrdered(b, v, bytes, block[0] == 'M');
  std::memcpy(block.data() + at, b.data(), static_cast<std::size_t>(bytes));
}

// ---- Containers

inline TBytes JpegSegment(unsigned marker, const TBytes& payload) {
  return TBytes{0xFF, static_cast<std::uint8_t>(marker)} + Be16(static_cast<unsigned>(payload.size() + 2)) + payload;
}
inline TBytes PngChunk(const std::string& type, const TBytes& data) {
  const TBytes kind = Bytes(type) + data;
  return Be32(static_cast<std::uint32_t>(data.size())) + kind +
         Be32(static_cast<std::uint32_t>(crc32(0, kind.data(), static_cast<uInt>(kind.size()))));
}
inline TBytes Box(const std::string& type, const TBytes& body) {
  return Be32(static_cast<std::uint32_t>(body.size() + 8)) + Bytes(type) + body;
}
inline TBytes Deflated(const TBytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  TBytes out(size);
  compress(out.data(), &size, data.data(), static_cast<uLong>(data.size()));
  out.resize(size);
  return out;
}

// A profile header that says what it describes (class and data colour space), then filler.
inline TBytes IccProfile(const char* kind, const char* space, std::size_t size) {
  TBytes icc(size, 0x11);
  const TBytes head = Be32(static_cast<std::uint32_t>(size));
  std::memcpy(icc.data(), head.data(), 4);
  std::memcpy(icc.data() + 12, kind, 4);
  std::memcpy(icc.data() + 16, space, 4);
  std::memcpy(icc.data() + 36, "acsp", 4);
  return icc;
}
