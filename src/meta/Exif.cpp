#include "meta/Exif.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr std::uint16_t TagStripOffsets = 0x0111;
constexpr std::uint16_t TagOrientation = 0x0112;
constexpr std::uint16_t TagStripByteCounts = 0x0117;
constexpr std::uint16_t TagThumbnailOffset = 0x0201;  // JPEGInterchangeFormat
constexpr std::uint16_t TagThumbnailLength = 0x0202;  // JPEGInterchangeFormatLength
constexpr std::uint16_t TagExifIfd = 0x8769;
constexpr std::uint16_t TagGpsIfd = 0x8825;
constexpr std::uint16_t TagMakerNote = 0x927C;
constexpr std::uint16_t TagInteropIfd = 0xA005;

constexpr std::uint16_t TypeShort = 3;
constexpr std::uint16_t TypeLong = 4;
constexpr std::uint16_t TypeIfd = 13;

// A chain this long after IFD0 is no thumbnail's.
constexpr int MaxChainedIfds = 16;
// More strips than this make no thumbnail: the rest stay as bytes nothing points to.
constexpr std::uint32_t MaxThumbnailStrips = 4096;
// A block built from a TIFF file is at most this large.
constexpr std::size_t MaxBuiltBytes = std::size_t{16} << 20;

// Bytes of one value of each field type: BYTE, ASCII, SHORT, LONG, RATIONAL, SBYTE,
// UNDEFINED, SSHORT, SLONG, SRATIONAL, FLOAT, DOUBLE, IFD; 0 for a type this reader does not
// know (its value cannot be found, so it is never followed).
std::size_t TypeSize(unsigned type) noexcept {
  static constexpr std::uint8_t Sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < sizeof Sizes ? Sizes[type] : 0;
}

// The block's bytes read in its byte order. Callers check that what they read lies inside.
class TTiffBytes {
public:
  TTiffBytes(const std::uint8_t* data, std::size_t size) noexcept : FData(data), FSize(size) {}

  // The header: "II*\0" (little-endian) or "MM\0*" (big-endian), then the first offset.
  bool Open() noexcept {
    if (!FData || FSize < 8) return false;
    if (std::memcmp(FData, "II*\0", 4) == 0)
      FBig = false;
    else if (std::memcmp(FData, "MM\0*", 4) == 0)
      FBig = true;
    else
      return false;
    return true;
  }
  std::size_t Size() const noexcept { return FSize; }
  bool Big() const noexcept { return FBig; }
  const std::uint8_t* At(std::size_t at) const noexcept { return FData + at; }
  unsigned U16(std::size_t at) const noexcept {
    const std::uint8_t* p = FData + at;
    return FBig ? unsigned{p[0]} << 8 | p[1] : unsigned{p[1]} << 8 | p[0];
  }
  std::uint32_t U32(std::size_t at) const noexcept {
    const std::uint8_t* p = FData + at;
    return FBig ? std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]
                : std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
  }
  std::uint32_t FirstIfd() const noexcept { return U32(4); }

private:
  const std::uint8_t* FData;
  std::size_t FSize;
  bool FBig = false;
};

void Put16(std::vector<std::uint8_t>& out, std::size_t at, unsigned v, bool big) noexcept {
  out[at + (big ? 0 : 1)] = static_cast<std::uint8_t>(v >> 8);
  out[at + (big ? 1 : 0)] = static_cast<std::uint8_t>(v);
}

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v, bool big) noexcept {
  for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(big ? 3 - i : i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct TEntry {
  std::uint16_t Tag = 0;
  std::uint16_t Type = 0;
  std::uint32_t Count = 0;
  std::size_t At = 0;         // the entry's 12 bytes
  std::size_t ValueAt = 0;    // the value: inside the entry when it fits in 4 bytes
  std::size_t ValueSize = 0;
  // A type of unknown size: its value cannot be found, and is neither followed nor copied.
  bool Known = false;
  // A known type whose value does not lie inside the block.
  bool Broken = false;
  bool Sound() const noexcept { return Known && !Broken; }
  bool OutOfLine() const noexcept { return Sound() && ValueSize > 4; }
};

struct TIfd {
  std::size_t At = 0;
  std::vector<TEntry> Entries;
  std::uint32_t Next = 0;
  std::size_t End() const noexcept { return At + 2 + 12 * Entries.size() + 4; }
  const TEntry* Find(std::uint16_t tag) const noexcept {
    for (const TEntry& e : Entries)
      if (e.Tag == tag) return &e;
    return nullptr;
  }
  bool AnyBroken() const noexcept {
    return std::any_of(Entries.begin(), Entries.end(), [](const TEntry& e) { return e.Broken; });
  }
};

// The directory at `at`; false when its table does not lie inside the block. Each entry says
// whether its value does: a count whose bytes would overflow the block, or an offset past it,
// makes the entry broken.
bool ReadIfd(const TTiffBytes& tiff, std::uint64_t at, TIfd& ifd) {
  const std::size_t size = tiff.Size();
  if (at < 8 || at > size || size - at < 2) return false;
  const std::size_t from = static_cast<std::size_t>(at);
  const std::size_t count = tiff.U16(from);
  if ((size - from - 2) / 12 < count || size - from - 2 - 12 * count < 4) return false;
  TIfd result;
  result.At = from;
  result.Entries.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    TEntry& e = result.Entries[i];
    e.At = from + 2 + 12 * i;
    e.Tag = static_cast<std::uint16_t>(tiff.U16(e.At));
    e.Type = static_cast<std::uint16_t>(tiff.U16(e.At + 2));
    e.Count = tiff.U32(e.At + 4);
    const std::uint64_t bytes = std::uint64_t{e.Count} * TypeSize(e.Type);
    e.Known = TypeSize(e.Type) != 0;
    if (!e.Known) continue;
    e.Broken = true;
    if (bytes > size) continue;
    e.ValueSize = static_cast<std::size_t>(bytes);
    if (bytes <= 4) {
      e.ValueAt = e.At + 8;
    } else {
      const std::size_t offset = tiff.U32(e.At + 8);
      if (offset > size || e.ValueSize > size - offset) continue;
      e.ValueAt = offset;
    }
    e.Broken = false;
  }
  result.Next = tiff.U32(from + 2 + 12 * count);
  ifd = std::move(result);
  return true;
}

// The directories of one block, each offset read at most once: a second visit is a loop.
class TIfdWalk {
public:
  explicit TIfdWalk(const TTiffBytes& tiff) noexcept : FTiff(tiff) {}

  bool Read(std::uint64_t at, TIfd& ifd) {
    if (std::find(FSeen.begin(), FSeen.end(), at) != FSeen.end()) return false;
    FSeen.push_back(at);
    return ReadIfd(FTiff, at, ifd);
  }

  // The sub-directory that parent's tag points to, read into child (found) or absent (not
  // found); false when the pointer is not one LONG, or what it points to is broken.
  bool ReadSub(const TIfd& parent, std::uint16_t tag, TIfd& child, bool& found) {
    found = false;
    const TEntry* e = parent.Find(tag);
    if (!e) return true;
    if (!e->Sound() || (e->Type != TypeLong && e->Type != TypeIfd) || e->Count != 1) return false;
    found = true;
    return Read(FTiff.U32(e->ValueAt), child) && !child.AnyBroken();
  }

private:
  const TTiffBytes& FTiff;
  std::vector<std::uint64_t> FSeen;
};

// An integer value of a SHORT or LONG entry; false for another type or past its count.
bool IntegerAt(const TTiffBytes& tiff, const TEntry& e, std::uint32_t i, std::uint64_t& value) {
  if (!e.Sound() || i >= e.Count) return false;
  if (e.Type == TypeShort)
    value = tiff.U16(e.ValueAt + 2 * std::size_t{i});
  else if (e.Type == TypeLong)
    value = tiff.U32(e.ValueAt + 4 * std::size_t{i});
  else
    return false;
  return true;
}

// Byte ranges [first, second) of a block.
using TRanges = std::vector<std::pair<std::size_t, std::size_t>>;

void AddRange(TRanges& ranges, std::uint64_t from, std::uint64_t length, std::size_t size) {
  if (from >= size || length == 0) return;
  const std::uint64_t end = std::min<std::uint64_t>(from + length, size);
  ranges.emplace_back(static_cast<std::size_t>(from), static_cast<std::size_t>(end));
}

// A directory's table and the values it holds out of line.
void AddDirectory(TRanges& ranges, const TIfd& ifd, std::size_t size) {
  AddRange(ranges, ifd.At, ifd.End() - ifd.At, size);
  for (const TEntry& e : ifd.Entries)
    if (e.OutOfLine()) AddRange(ranges, e.ValueAt, e.ValueSize, size);
}

// The picture a thumbnail directory points to: its JPEG data, or its strips.
void AddThumbnail(TRanges& ranges, const TTiffBytes& tiff, const TIfd& ifd) {
  const std::size_t size = tiff.Size();
  std::uint64_t offset = 0, length = 0;
  const TEntry* jpegOffset = ifd.Find(TagThumbnailOffset);
  const TEntry* jpegLength = ifd.Find(TagThumbnailLength);
  if (jpegOffset && jpegLength && IntegerAt(tiff, *jpegOffset, 0, offset) && IntegerAt(tiff, *jpegLength, 0, length))
    AddRange(ranges, offset, length, size);
  const TEntry* strips = ifd.Find(TagStripOffsets);
  const TEntry* counts = ifd.Find(TagStripByteCounts);
  if (!strips || !counts || strips->Count != counts->Count) return;
  for (std::uint32_t i = 0; i < strips->Count && i < MaxThumbnailStrips; ++i)
    if (IntegerAt(tiff, *strips, i, offset) && IntegerAt(tiff, *counts, i, length)) AddRange(ranges, offset, length, size);
}

TRanges Merged(TRanges ranges) {
  std::sort(ranges.begin(), ranges.end());
  TRanges merged;
  for (const auto& r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second)
      merged.back().second = std::max(merged.back().second, r.second);
    else
      merged.push_back(r);
  }
  return merged;
}

// Zeroes what is dropped and not kept, within the block's new length.
void ZeroDropped(std::vector<std::uint8_t>& block, const TRanges& dropped, const TRanges& kept) {
  std::size_t k = 0;
  for (auto [from, to] : dropped) {
    to = std::min(to, block.size());
    while (from < to) {
      while (k < kept.size() && kept[k].second <= from) ++k;
      const std::size_t stop = k < kept.size() ? std::min(to, kept[k].first) : to;
      if (stop > from) std::fill(block.begin() + static_cast<std::ptrdiff_t>(from),
                                 block.begin() + static_cast<std::ptrdiff_t>(stop), std::uint8_t{0});
      if (k >= kept.size() || kept[k].first >= to) break;
      from = kept[k].second;
    }
  }
}

// IFD0's tags that describe the picture rather than its storage, as an EXIF block's IFD0
// carries them.
bool Descriptive(std::uint16_t tag) noexcept {
  switch (tag) {
  case 0x010E:  // ImageDescription
  case 0x010F:  // Make
  case 0x0110:  // Model
  case TagOrientation:
  case 0x011A:  // XResolution
  case 0x011B:  // YResolution
  case 0x0128:  // ResolutionUnit
  case 0x0131:  // Software
  case 0x0132:  // DateTime
  case 0x013B:  // Artist
  case 0x013C:  // HostComputer
  case 0x4746:  // Rating
  case 0x4749:  // RatingPercent
  case 0x8298:  // Copyright
  case 0x9C9B:  // XPTitle
  case 0x9C9C:  // XPComment
  case 0x9C9D:  // XPAuthor
  case 0x9C9E:  // XPKeywords
  case 0x9C9F:  // XPSubject
    return true;
  default:
    return false;
  }
}

// A directory of the block being built: entries copied from the source, and pointers to
// other directories of the new block (Child), whose offsets are known once all are written.
struct TOutEntry {
  std::uint16_t Tag = 0;
  std::uint16_t Type = 0;
  std::uint32_t Count = 0;
  const std::uint8_t* Value = nullptr;
  std::size_t Size = 0;
  int Child = -1;
};
using TOutIfd = std::vector<TOutEntry>;

// Whether an entry's value can be copied as it is: a known type that points nowhere (a
// directory pointer of its own would point into the source).
bool Copyable(const TEntry& e) noexcept { return e.Known && e.Type != TypeIfd; }

TOutEntry Copied(const TTiffBytes& tiff, const TEntry& e) {
  return TOutEntry{e.Tag, e.Type, e.Count, tiff.At(e.ValueAt), e.ValueSize, -1};
}

TOutEntry Pointer(std::uint16_t tag, int child) { return TOutEntry{tag, TypeLong, 1, nullptr, 4, child}; }

// The directories one after the other, each followed by its values, on even offsets, in
// the source's byte order, so values are copied as they are. Empty when it grows too large.
std::vector<std::uint8_t> WriteBlock(bool big, std::vector<TOutIfd>& ifds) {
  std::vector<std::uint8_t> out(8, 0);
  out[0] = out[1] = big ? 'M' : 'I';
  Put16(out, 2, 42, big);
  Put32(out, 4, 8, big);
  std::vector<std::size_t> at(ifds.size());
  std::vector<std::pair<std::size_t, int>> pointers;
  for (std::size_t i = 0; i < ifds.size(); ++i) {
    TOutIfd& ifd = ifds[i];
    std::stable_sort(ifd.begin(), ifd.end(), [](const TOutEntry& a, const TOutEntry& b) { return a.Tag < b.Tag; });
    if (out.size() % 2) out.push_back(0);
    at[i] = out.size();
    const std::size_t table = out.size();
    out.resize(table + 2 + 12 * ifd.size() + 4, 0);
    Put16(out, table, static_cast<unsigned>(ifd.size()), big);
    for (std::size_t k = 0; k < ifd.size(); ++k) {
      const TOutEntry& e = ifd[k];
      const std::size_t entry = table + 2 + 12 * k;
      Put16(out, entry, e.Tag, big);
      Put16(out, entry + 2, e.Type, big);
      Put32(out, entry + 4, e.Count, big);
      if (e.Child >= 0) {
        pointers.emplace_back(entry + 8, e.Child);
      } else if (e.Size <= 4) {
        if (e.Size) std::memcpy(out.data() + entry + 8, e.Value, e.Size);
      } else {
        if (out.size() + 1 > MaxBuiltBytes || e.Size > MaxBuiltBytes - out.size() - 1) return {};
        if (out.size() % 2) out.push_back(0);
        Put32(out, entry + 8, static_cast<std::uint32_t>(out.size()), big);
        out.insert(out.end(), e.Value, e.Value + e.Size);
      }
    }
  }
  for (const auto& [where, child] : pointers) Put32(out, where, static_cast<std::uint32_t>(at[static_cast<std::size_t>(child)]), big);
  return out;
}

// CleanExif's work, once: block becomes the cleaned block, or stays when broken.
bool CleanOnce(std::vector<std::uint8_t>& block, bool upright) {
  TTiffBytes tiff(block.data(), block.size());
  if (!tiff.Open()) return false;
  TIfdWalk walk(tiff);
  std::vector<TIfd> kept(1), dropped;
  if (!walk.Read(tiff.FirstIfd(), kept[0]) || kept[0].AnyBroken()) return false;
  TIfd exif, interop, gps;
  bool hasExif = false, hasInterop = false, hasGps = false;
  if (!walk.ReadSub(kept[0], TagExifIfd, exif, hasExif)) return false;
  if (hasExif && !walk.ReadSub(exif, TagInteropIfd, interop, hasInterop)) return false;
  if (!walk.ReadSub(kept[0], TagGpsIfd, gps, hasGps)) return false;
  if (hasExif) kept.push_back(std::move(exif));
  if (hasInterop) kept.push_back(std::move(interop));
  if (hasGps) kept.push_back(std::move(gps));
  // IFD1 and whatever is chained after it: all of it goes.
  for (std::uint32_t next = kept[0].Next; next != 0;) {
    if (dropped.size() == MaxChainedIfds) return false;
    TIfd ifd;
    if (!walk.Read(next, ifd)) return false;
    next = ifd.Next;
    dropped.push_back(std::move(ifd));
  }

  const std::size_t size = block.size();
  TRanges keptRanges{{0, 8}}, droppedRanges;
  for (const TIfd& ifd : kept) AddDirectory(keptRanges, ifd, size);
  for (const TIfd& ifd : dropped) {
    AddDirectory(droppedRanges, ifd, size);
    AddThumbnail(droppedRanges, tiff, ifd);
  }
  std::size_t end = 0;
  for (const auto& r : keptRanges) end = std::max(end, r.second);

  std::vector<std::uint8_t> out(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(end));
  ZeroDropped(out, Merged(std::move(droppedRanges)), Merged(std::move(keptRanges)));
  const bool big = tiff.Big();
  Put32(out, kept[0].End() - 4, 0, big);
  if (upright) {
    const TEntry* orientation = kept[0].Find(TagOrientation);
    if (orientation && orientation->Type == TypeShort && orientation->Count == 1) Put16(out, orientation->ValueAt, 1, big);
  }
  block = std::move(out);
  return true;
}

}  // namespace

bool CleanExif(std::vector<std::uint8_t>& block, bool upright) {
  std::vector<std::uint8_t> out = block;
  if (!CleanOnce(out, upright)) return false;
  // Directories and values that overlap one another may read otherwise once IFD0's chain is
  // cut and the thumbnail zeroed: a block whose cleaned form is not clean is broken.
  std::vector<std::uint8_t> again = out;
  if (!CleanOnce(again, upright) || again != out) return false;
  block = std::move(out);
  return true;
}

std::vector<std::uint8_t> ExifFromTiff(const std::uint8_t* data, std::size_t size) {
  TTiffBytes tiff(data, size);
  if (!tiff.Open()) return {};
  TIfdWalk walk(tiff);
  TIfd ifd0, exif, interop, gps;
  bool hasExif = false, hasInterop = false, hasGps = false;
  if (!walk.Read(tiff.FirstIfd(), ifd0)) return {};
  if (!walk.ReadSub(ifd0, TagExifIfd, exif, hasExif)) return {};
  if (hasExif && !walk.ReadSub(exif, TagInteropIfd, interop, hasInterop)) return {};
  if (!walk.ReadSub(ifd0, TagGpsIfd, gps, hasGps)) return {};

  std::vector<TOutIfd> ifds(1);
  for (const TEntry& e : ifd0.Entries) {
    if (!Descriptive(e.Tag) || !Copyable(e)) continue;
    if (e.Broken) return {};
    ifds[0].push_back(Copied(tiff, e));
  }
  const auto add = [&ifds](std::size_t parent, std::uint16_t tag) {
    ifds.emplace_back();
    ifds[parent].push_back(Pointer(tag, static_cast<int>(ifds.size() - 1)));
    return ifds.size() - 1;
  };
  if (hasExif) {
    const std::size_t index = add(0, TagExifIfd);
    for (const TEntry& e : exif.Entries)
      if (Copyable(e) && e.Tag != TagMakerNote && e.Tag != TagInteropIfd) ifds[index].push_back(Copied(tiff, e));
    if (hasInterop) {
      const std::size_t child = add(index, TagInteropIfd);
      for (const TEntry& e : interop.Entries)
        if (Copyable(e)) ifds[child].push_back(Copied(tiff, e));
    }
  }
  if (hasGps) {
    const std::size_t index = add(0, TagGpsIfd);
    for (const TEntry& e : gps.Entries)
      if (Copyable(e)) ifds[index].push_back(Copied(tiff, e));
  }
  if (ifds[0].empty()) return {};
  return WriteBlock(tiff.Big(), ifds);
}

std::vector<std::uint8_t> TiffTagBytes(const std::uint8_t* data, std::size_t size, std::uint16_t tag,
                                       std::size_t maxBytes) {
  TTiffBytes tiff(data, size);
  TIfd ifd0;
  if (!tiff.Open() || !ReadIfd(tiff, tiff.FirstIfd(), ifd0)) return {};
  const TEntry* e = ifd0.Find(tag);
  if (!e || !e->Sound() || e->ValueSize > maxBytes) return {};
  return std::vector<std::uint8_t>(tiff.At(e->ValueAt), tiff.At(e->ValueAt) + e->ValueSize);
}
