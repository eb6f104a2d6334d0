// The blocks of HEIF and AVIF files, walked box by box (libheif, being LGPL, is loaded by the
// plug-in at run time and never linked into the program).
//
// The meta box describes the items: pitm names the primary picture, iinf gives each item its
// type ('Exif', or 'mime' with a content type, for metadata), iloc where its bytes are (in
// the file, or in the meta box's idat), iref's 'cdsc' references tie a metadata item to the
// picture it describes, and iprp holds the properties (ipco, numbered from 1) and which item
// has which (ipma); a 'colr' property of type 'prof' or 'rICC' is the ICC profile.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "meta/Formats.h"

namespace {

// A file holds fewer items than this; the rest are not looked at.
constexpr std::size_t MaxItems = 4096;

struct TBox {
  const std::uint8_t* Body = nullptr;
  std::size_t Size = 0;
  char Type[4] = {};
  bool Is(const char* type) const noexcept { return std::memcmp(Type, type, 4) == 0; }
};

// The boxes one after the other in [data, data + size); a box that does not fit ends them.
class TBoxReader {
public:
  TBoxReader(const std::uint8_t* data, std::size_t size) noexcept : FData(data), FSize(size) {}
  bool Next(TBox& box) noexcept {
    if (FAt > FSize || FSize - FAt < 8) return false;
    const std::uint8_t* p = FData + FAt;
    const std::size_t left = FSize - FAt;
    std::uint64_t length = Big32(p), header = 8;
    if (length == 1) {
      if (left < 16) return false;
      length = std::uint64_t{Big32(p + 8)} << 32 | Big32(p + 12);
      header = 16;
    } else if (length == 0) {
      length = left;  // to the end of what holds it
    }
    if (length < header || length > left) return false;
    std::memcpy(box.Type, p + 4, 4);
    box.Body = p + header;
    box.Size = static_cast<std::size_t>(length - header);
    FAt += static_cast<std::size_t>(length);
    return true;
  }

private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

bool FindBox(const std::uint8_t* data, std::size_t size, const char* type, TBox& box) {
  TBoxReader boxes(data, size);
  while (boxes.Next(box))
    if (box.Is(type)) return true;
  return false;
}

// Big-endian fields read off a box body; every read is checked against its end, and the
// first that does not fit makes the reader fail for good.
class TFields {
public:
  TFields(const std::uint8_t* p, std::size_t n) noexcept : FP(p), FN(n) {}
  bool Ok() const noexcept { return FOk; }
  std::size_t Left() const noexcept { return FOk ? FN - FAt : 0; }
  const std::uint8_t* Here() const noexcept { return FP + FAt; }
  // An unsigned number of 0, 1, 2, 4 or 8 bytes.
  std::uint64_t Read(std::size_t bytes) noexcept {
    if (!FOk || (bytes != 0 && bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) || FN - FAt < bytes) {
      FOk = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v = v << 8 | FP[FAt + i];
    FAt += bytes;
    return v;
  }
  // A NUL-terminated string.
  std::string Text() {
    if (!FOk) return {};
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(FP + FAt, 0, FN - FAt));
    if (!end) {
      FOk = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(FP + FAt), static_cast<std::size_t>(end - (FP + FAt)));
    FAt = static_cast<std::size_t>(end - FP) + 1;
    return s;
  }
  void Skip(std::size_t bytes) noexcept {
    if (!FOk || FN - FAt < bytes) FOk = false;
    else FAt += bytes;
  }

private:
  const std::uint8_t* FP;
  std::size_t FN;
  std::size_t FAt = 0;
  bool FOk = true;
};

struct TExtent {
  std::uint64_t Offset;
  std::uint64_t Length;
};

struct TItem {
  std::uint32_t Id = 0;
  char Type[4] = {};
  std::string ContentType;
  std::string Encoding;
  // From iloc: how the bytes are found (0 the file, 1 the idat box), and where.
  bool Located = false;
  unsigned Method = 0;
  std::uint64_t Base = 0;
  std::vector<TExtent> Extents;
};

// iinf: the items' information entries (infe). Versions 0 and 1 know no item types: their
// items are all of content types, as 'mime' items are.
void ReadItems(const TBox& iinf, std::vector<TItem>& items) {
  if (iinf.Size < 4) return;
  const std::size_t countBytes = iinf.Body[0] == 0 ? 2 : 4;
  if (iinf.Size < 4 + countBytes) return;
  TBoxReader boxes(iinf.Body + 4 + countBytes, iinf.Size - 4 - countBytes);
  TBox infe;
  while (items.size() < MaxItems && boxes.Next(infe)) {
    if (!infe.Is("infe")) continue;
    TFields f(infe.Body, infe.Size);
    const unsigned version = static_cast<unsigned>(f.Read(1));
    f.Skip(3);
    TItem item;
    if (version < 2) {
      item.Id = static_cast<std::uint32_t>(f.Read(2));
      f.Skip(2);
      std::memcpy(item.Type, "mime", 4);
      f.Text();
      item.ContentType = f.Text();
      if (f.Left()) item.Encoding = f.Text();
    } else {
      item.Id = static_cast<std::uint32_t>(f.Read(version == 2 ? 2 : 4));
      f.Skip(2);
      if (f.Left() < 4) continue;
      std::memcpy(item.Type, f.Here(), 4);
      f.Skip(4);
      f.Text();
      if (std::memcmp(item.Type, "mime", 4) == 0) {
        item.ContentType = f.Text();
        if (f.Left()) item.Encoding = f.Text();
      }
    }
    if (f.Ok()) items.push_back(std::move(item));
  }
}

// iloc: where each item's bytes are, for the items already known. Items kept in another
// file (a data reference other than 0) are never located.
void LocateItems(const TBox& iloc, std::vector<TItem>& items) {
  // The items by number, for a box that may list many more.
  std::vector<std::pair<std::uint32_t, std::size_t>> byId;
  for (std::size_t i = 0; i < items.size(); ++i) byId.emplace_back(items[i].Id, i);
  std::sort(byId.begin(), byId.end());
  TFields f(iloc.Body, iloc.Size);
  const unsigned version = static_cast<unsigned>(f.Read(1));
  f.Skip(3);
  if (version > 2) return;
  const unsigned sizes = static_cast<unsigned>(f.Read(1)), more = static_cast<unsigned>(f.Read(1));
  const std::size_t offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4;
  const std::size_t indexSize = version >= 1 ? more & 15 : 0;
  const std::uint64_t count = f.Read(version < 2 ? 2 : 4);
  for (std::uint64_t i = 0; i < count && f.Ok(); ++i) {
    const auto id = static_cast<std::uint32_t>(f.Read(version < 2 ? 2 : 4));
    const unsigned method = version >= 1 ? static_cast<unsigned>(f.Read(2) & 15) : 0;
    const std::uint64_t reference = f.Read(2);
    const std::uint64_t base = f.Read(baseSize);
    const std::uint64_t extents = f.Read(2);
    std::vector<TExtent> list;
    for (std::uint64_t e = 0; e < extents && f.Ok(); ++e) {
      f.Read(indexSize);
      const std::uint64_t offset = f.Read(offsetSize);
      const std::uint64_t length = f.Read(lengthSize);
      list.push_back({offset, length});
    }
    const auto found = std::lower_bound(byId.begin(), byId.end(), std::pair<std::uint32_t, std::size_t>{id, 0});
    if (!f.Ok() || found == byId.end() || found->first != id) continue;
    TItem* item = &items[found->second];
    if (item->Located || reference != 0) continue;
    item->Located = true;
    item->Method = method;
    item->Base = base;
    item->Extents = std::move(list);
  }
}

// The item's bytes, its extents one after the other; false when any lies outside what
// holds it, when they come to more than the limit, or for a way of storing this reader does
// not know (offsets into another item).
bool ItemBytes(const TItem& item, const std::uint8_t* file, std::size_t fileSize, const TBox* idat,
               std::vector<std::uint8_t>& bytes) {
  if (!item.Located || item.Extents.empty() || item.Method > 1 || (item.Method == 1 && !idat)) return false;
  const std::uint8_t* data = item.Method == 0 ? file : idat->Body;
  const std::size_t size = item.Method == 0 ? fileSize : idat->Size;
  std::vector<std::uint8_t> result;
  for (const TExtent& e : item.Extents) {
    const std::uint64_t from = item.Base + e.Offset;
    if (from < item.Base || from > size) return false;
    // A length of 0 is everything to the end of what holds the item.
    const std::uint64_t length = e.Length ? e.Length : size - from;
    if (length > size - from || length > MetadataMaxBlockBytes - result.size()) return false;
    result.insert(result.end(), data + from, data + from + length);
  }
  if (result.empty()) return false;
  bytes = std::move(result);
  return true;
}

struct TReference {
  char Type[4];
  std::uint32_t From;
  std::uint32_t To;
};

// iref: each reference from one item to others, by its type.
void ReadReferences(const TBox& iref, std::vector<TReference>& references) {
  if (iref.Size < 4) return;
  const std::size_t idBytes = iref.Body[0] == 0 ? 2 : 4;
  TBoxReader boxes(iref.Body + 4, iref.Size - 4);
  TBox box;
  while (boxes.Next(box)) {
    TFields f(box.Body, box.Size);
    const auto from = static_cast<std::uint32_t>(f.Read(idBytes));
    const std::uint64_t count = f.Read(2);
    for (std::uint64_t i = 0; i < count && f.Ok() && references.size() < MaxItems * 4; ++i) {
      const auto to = static_cast<std::uint32_t>(f.Read(idBytes));
      if (f.Ok()) references.push_back({{box.Type[0], box.Type[1], box.Type[2], box.Type[3]}, from, to});
    }
  }
}

bool Refers(const std::vector<TReference>& references, const char* type, std::uint32_t from, std::uint32_t to) {
  return std::any_of(references.begin(), references.end(), [&](const TReference& r) {
    return std::memcmp(r.Type, type, 4) == 0 && r.From == from && r.To == to;
  });
}

// The ICC profile among the properties of the item: its first colr box of type 'prof' or
// 'rICC' (a 'nclx' one names coefficients, not a profile).
bool ItemProfile(const TBox& iprp, std::uint32_t id, std::vector<std::uint8_t>& icc) {
  TBox ipco;
  if (!FindBox(iprp.Body, iprp.Size, "ipco", ipco)) return false;
  std::vector<TBox> properties;
  TBoxReader list(ipco.Body, ipco.Size);
  for (TBox p; properties.size() < 0x7FFF && list.Next(p);) properties.push_back(p);
  // Every ipma box counts: a writer may split the associations over several.
  TBoxReader boxes(iprp.Body, iprp.Size);
  TBox ipma;
  while (boxes.Next(ipma)) {
    if (!ipma.Is("ipma")) continue;
    TFields f(ipma.Body, ipma.Size);
    const unsigned version = static_cast<unsigned>(f.Read(1));
    f.Skip(2);
    const bool wide = (f.Read(1) & 1) != 0;  // 15-bit property numbers instead of 7
    const std::uint64_t entries = f.Read(4);
    for (std::uint64_t e = 0; e < entries && f.Ok(); ++e) {
      const auto item = static_cast<std::uint32_t>(f.Read(version < 1 ? 2 : 4));
      const std::uint64_t associations = f.Read(1);
      for (std::uint64_t a = 0; a < associations && f.Ok(); ++a) {
        const std::size_t index = static_cast<std::size_t>(f.Read(wide ? 2 : 1) & (wide ? 0x7FFF : 0x7F));
        if (item != id || index == 0 || index > properties.size()) continue;
        const TBox& colr = properties[index - 1];
        if (!colr.Is("colr") || colr.Size <= 4) continue;
        if (std::memcmp(colr.Body, "prof", 4) != 0 && std::memcmp(colr.Body, "rICC", 4) != 0) continue;
        if (colr.Size - 4 > MetadataMaxBlockBytes) continue;
        icc.assign(colr.Body + 4, colr.Body + colr.Size);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool IsHeifFile(const std::uint8_t* data, std::size_t size) noexcept {
  static constexpr const char* Brands[] = {"heic", "heix", "heim", "heis", "hevc",
                                           "hevx", "mif1", "msf1", "avif", "avis"};
  const auto ours = [](const std::uint8_t* b) {
    return std::any_of(std::begin(Brands), std::end(Brands), [b](const char* brand) { return std::memcmp(b, brand, 4) == 0; });
  };
  if (size < 16 || std::memcmp(data + 4, "ftyp", 4) != 0) return false;
  const std::uint32_t box = Big32(data);
  if (box < 16 || box > 4096 || box % 4 != 0) return false;
  const std::size_t end = std::min<std::size_t>(box, size);
  if (ours(data + 8)) return true;
  for (std::size_t at = 16; at + 4 <= end; at += 4)
    if (ours(data + at)) return true;
  return false;
}

// The primary picture's blocks: the first 'Exif' item and the first XMP 'mime' item that
// describe it (cdsc), and its profile; a grid or overlay without a profile of its own has
// that of its first tile. An Exif item opens with the offset of its TIFF header past those
// four bytes. The own plug-in stands every HEIF upright: by the format's rotation and
// mirror, or else by the Orientation.
void ReadHeifMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source) {
  source.OrientationApplied = true;
  TBox meta, pitm, iinf, iloc, iref, iprp, idat;
  if (!FindBox(data, size, "meta", meta) || meta.Size < 4) return;
  const std::uint8_t* m = meta.Body + 4;  // version and flags
  const std::size_t mSize = meta.Size - 4;
  if (!FindBox(m, mSize, "pitm", pitm) || pitm.Size < 6) return;
  const std::uint32_t primary = pitm.Body[0] == 0 ? Big16(pitm.Body + 4) : pitm.Size >= 8 ? Big32(pitm.Body + 4) : 0;
  std::vector<TItem> items;
  if (FindBox(m, mSize, "iinf", iinf)) ReadItems(iinf, items);
  if (FindBox(m, mSize, "iloc", iloc)) LocateItems(iloc, items);
  std::vector<TReference> references;
  if (FindBox(m, mSize, "iref", iref)) ReadReferences(iref, references);
  const bool hasIdat = FindBox(m, mSize, "idat", idat);

  TImageMetadata& blocks = source.Blocks;
  bool haveExif = false, haveXmp = false;
  for (const TItem& item : items) {
    if (!Refers(references, "cdsc", item.Id, primary)) continue;
    std::vector<std::uint8_t> bytes;
    if (!haveExif && std::memcmp(item.Type, "Exif", 4) == 0) {
      haveExif = true;
      if (!ItemBytes(item, data, size, hasIdat ? &idat : nullptr, bytes) || bytes.size() < 4) continue;
      const std::uint32_t skip = Big32(bytes.data());
      if (skip > bytes.size() - 4) continue;
      blocks.Exif = ExifPayload(bytes.data() + 4 + skip, bytes.size() - 4 - skip);
    } else if (!haveXmp && std::memcmp(item.Type, "mime", 4) == 0 && item.ContentType == "application/rdf+xml" &&
               item.Encoding.empty()) {
      haveXmp = true;
      if (ItemBytes(item, data, size, hasIdat ? &idat : nullptr, bytes)) blocks.Xmp = std::move(bytes);
    }
  }

  if (!FindBox(m, mSize, "iprp", iprp)) return;
  if (ItemProfile(iprp, primary, blocks.Icc)) return;
  for (const TReference& r : references)
    if (std::memcmp(r.Type, "dimg", 4) == 0 && r.From == primary) {
      ItemProfile(iprp, r.To, blocks.Icc);
      return;
    }
}
