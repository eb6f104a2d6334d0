// The blocks of JPEG, PNG, TIFF and WebP files. JPEG markers and PNG chunks are walked here:
// a walk of a few lines reaches what the libraries would only give after the image data
// (PNG chunks past IDAT) or behind a decoder's error handling. WebP goes through libwebp's
// demuxer, TIFF through the directory reader of the EXIF blocks.
#include <algorithm>
#include <cstring>
#include <string_view>

#include <webp/demux.h>
#include <zlib.h>

#include "meta/Exif.h"
#include "meta/Formats.h"

namespace {

// The block of a segment or chunk when it is not too large for anything that reads it on.
bool Take(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>& block) {
  if (n == 0 || n > MetadataMaxBlockBytes) return false;
  block.assign(p, p + n);
  return true;
}

// ---- JPEG

constexpr std::string_view JpegExifId{"Exif\0\0", 6};
constexpr std::string_view JpegXmpId{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view JpegIccId{"ICC_PROFILE\0", 12};

bool StartsWith(const std::uint8_t* p, std::size_t n, std::string_view id) noexcept {
  return n >= id.size() && std::memcmp(p, id.data(), id.size()) == 0;
}

// The profile's APP2 chunks as a decoder puts them together: each numbered 1 to n of the
// same n, none twice, all of them there; anything else is no profile.
class TIccChunks {
public:
  void Add(const std::uint8_t* p, std::size_t n) {
    const unsigned sequence = p[12], count = p[13];
    if (FChunks.empty()) FCount = count;
    if (count != FCount || sequence == 0 || sequence > count ||
        std::any_of(FChunks.begin(), FChunks.end(), [sequence](const TChunk& c) { return c.Sequence == sequence; }))
      FBroken = true;
    if (!FBroken) FChunks.push_back({sequence, p + 14, n - 14});
  }

  void Join(std::vector<std::uint8_t>& icc) {
    if (FBroken || FChunks.empty() || FChunks.size() != FCount) return;
    std::sort(FChunks.begin(), FChunks.end(), [](const TChunk& a, const TChunk& b) { return a.Sequence < b.Sequence; });
    std::size_t total = 0;
    for (const TChunk& c : FChunks) total += c.Size;
    if (total == 0) return;
    icc.clear();
    icc.reserve(total);
    for (const TChunk& c : FChunks) icc.insert(icc.end(), c.Data, c.Data + c.Size);
  }

private:
  struct TChunk {
    unsigned Sequence;
    const std::uint8_t* Data;
    std::size_t Size;
  };
  std::vector<TChunk> FChunks;
  unsigned FCount = 0;
  bool FBroken = false;
};

// ---- PNG

// Inflates a whole zlib stream into out, at most limit bytes; false when the stream is
// broken, cut short, or gives more.
bool InflateBounded(const std::uint8_t* in, std::size_t n, std::size_t limit, std::vector<std::uint8_t>& out) {
  struct TInflater {
    z_stream Z{};
    bool Ready = false;
    ~TInflater() {
      if (Ready) inflateEnd(&Z);
    }
  } inflater;
  if (n > 0x7FFFFFFF || inflateInit(&inflater.Z) != Z_OK) return false;
  inflater.Ready = true;
  z_stream& z = inflater.Z;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(n);
  std::vector<std::uint8_t> result;
  for (;;) {
    if (result.size() > limit) return false;
    const std::size_t have = result.size();
    const std::size_t room = std::min<std::size_t>(std::max<std::size_t>(have, 16384), limit + 1 - have);
    result.resize(have + room);
    z.next_out = result.data() + have;
    z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    result.resize(have + room - z.avail_out);
    if (rc == Z_STREAM_END) break;
    // Z_BUF_ERROR: no progress, the input is used up before the stream's end.
    if (rc != Z_OK) return false;
  }
  if (result.size() > limit) return false;
  out = std::move(result);
  return true;
}

// The NUL-terminated text at p[0, n) from *at on; false without its terminator.
bool SkipText(const std::uint8_t* p, std::size_t n, std::size_t& at) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p + at, 0, n - at));
  if (!end) return false;
  at = static_cast<std::size_t>(end - p) + 1;
  return true;
}

// An iTXt chunk: keyword, NUL, compression flag and method, language, NUL, translated
// keyword, NUL, then the text, deflated when the flag is 1.
bool PngXmp(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>& xmp) {
  constexpr std::string_view Keyword{"XML:com.adobe.xmp\0", 18};
  if (!StartsWith(p, n, Keyword) || n < Keyword.size() + 2) return false;
  const unsigned compressed = p[Keyword.size()], method = p[Keyword.size() + 1];
  std::size_t at = Keyword.size() + 2;
  if (!SkipText(p, n, at) || !SkipText(p, n, at)) return false;
  if (compressed == 0) return Take(p + at, n - at, xmp);
  return compressed == 1 && method == 0 && InflateBounded(p + at, n - at, MetadataMaxBlockBytes, xmp) && !xmp.empty();
}

// An iCCP chunk: the profile's name (1 to 79 bytes), NUL, method 0, the deflated profile.
bool PngIcc(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>& icc) {
  const std::size_t name = static_cast<std::size_t>(
      std::find(p, p + std::min<std::size_t>(n, 80), std::uint8_t{0}) - p);
  if (name == 0 || name >= 80 || n - name < 2 || p[name + 1] != 0) return false;
  return InflateBounded(p + name + 2, n - name - 2, MetadataMaxBlockBytes, icc) && !icc.empty();
}

}  // namespace

std::vector<std::uint8_t> ExifPayload(const std::uint8_t* data, std::size_t size) {
  if (StartsWith(data, size, JpegExifId)) {
    data += JpegExifId.size();
    size -= JpegExifId.size();
  }
  std::vector<std::uint8_t> block;
  Take(data, size, block);
  return block;
}

// The segments before the first scan, as a decoder reads them: bytes before a marker and fill
// bytes are passed over, a cut segment ends the walk. The first "Exif" and the first XMP APP1
// segment count; the profile is all its APP2 chunks or none.
void ReadJpegMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source) {
  TImageMetadata& blocks = source.Blocks;
  bool haveExif = false, haveXmp = false;
  TIccChunks icc;
  std::size_t at = 2;
  for (;;) {
    while (at < size && data[at] != 0xFF) ++at;
    while (at < size && data[at] == 0xFF) ++at;
    if (at >= size) break;
    const unsigned marker = data[at++];
    if (marker == 0xDA || marker == 0xD9 || marker == 0xD8) break;  // SOS, EOI, a second SOI
    // A stuffed zero, RSTn and TEM carry no length.
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (size - at < 2) break;
    const std::size_t length = Big16(data + at);
    if (length < 2 || length > size - at) break;
    const std::uint8_t* p = data + at + 2;
    const std::size_t n = length - 2;
    at += length;
    if (marker == 0xE1 && !haveExif && StartsWith(p, n, JpegExifId)) {
      haveExif = true;
      blocks.Exif = ExifPayload(p, n);
    } else if (marker == 0xE1 && !haveXmp && StartsWith(p, n, JpegXmpId)) {
      haveXmp = true;
      Take(p + JpegXmpId.size(), n - JpegXmpId.size(), blocks.Xmp);
    } else if (marker == 0xE2 && n >= 14 && StartsWith(p, n, JpegIccId)) {
      icc.Add(p, n);
    }
  }
  icc.Join(blocks.Icc);
  // The own plug-in turns the picture by this same first EXIF segment.
  source.OrientationApplied = true;
}

// The chunks up to IEND; one whose check sum fails counts as missing, as a decoder drops a
// damaged ancillary chunk. The first of each kind counts; a profile only before the palette
// and the image data, where it belongs. The own plug-in turns the picture by an eXIf chunk
// that comes before the image data, and never sees one after.
void ReadPngMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source) {
  TImageMetadata& blocks = source.Blocks;
  bool haveExif = false, haveXmp = false, haveIcc = false, imageData = false, palette = false;
  for (std::size_t at = 8; size - at >= 12;) {
    const std::size_t n = Big32(data + at);
    if (n > 0x7FFFFFFF || n > size - at - 12) break;
    const std::uint8_t* kind = data + at + 4;
    const std::uint8_t* body = kind + 4;
    at += 12 + n;
    if (crc32(crc32(0, nullptr, 0), kind, static_cast<uInt>(n + 4)) != Big32(body + n)) continue;
    const std::string_view type(reinterpret_cast<const char*>(kind), 4);
    if (type == "IEND") break;
    if (type == "IDAT") {
      imageData = true;
    } else if (type == "PLTE") {
      palette = true;
    } else if (type == "eXIf" && !haveExif) {
      haveExif = true;
      blocks.Exif = ExifPayload(body, n);
      source.OrientationApplied = !imageData;
    } else if (type == "iTXt" && !haveXmp) {
      haveXmp = PngXmp(body, n, blocks.Xmp);
    } else if (type == "iCCP" && !haveIcc && !imageData && !palette) {
      haveIcc = true;
      PngIcc(body, n, blocks.Icc);
    }
  }
}

// IFD0's profile and XMP tags, and an EXIF block made of its descriptive tags and
// sub-directories. The own plug-in turns every TIFF by its Orientation.
void ReadTiffMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source) {
  TImageMetadata& blocks = source.Blocks;
  blocks.Exif = ExifFromTiff(data, size);
  blocks.Xmp = TiffTagBytes(data, size, 700, MetadataMaxBlockBytes);
  blocks.Icc = TiffTagBytes(data, size, 34675, MetadataMaxBlockBytes);
  source.OrientationApplied = true;
}

// The EXIF, "XMP " and ICCP chunks of an extended file, each where the header's flags
// announce it, as the own plug-in reads them.
void ReadWebpMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source) {
  source.OrientationApplied = true;
  const WebPData webp{data, size};
  struct TDemuxer {
    WebPDemuxer* Demux;
    ~TDemuxer() { WebPDemuxDelete(Demux); }
  } demuxer{WebPDemux(&webp)};
  if (!demuxer.Demux) return;
  const std::uint32_t flags = WebPDemuxGetI(demuxer.Demux, WEBP_FF_FORMAT_FLAGS);
  const auto chunk = [&demuxer](const char* fourcc, std::vector<std::uint8_t>& block) {
    WebPChunkIterator it;
    if (!WebPDemuxGetChunk(demuxer.Demux, fourcc, 1, &it)) return;
    try {
      Take(it.chunk.bytes, it.chunk.size, block);
    } catch (...) {
      WebPDemuxReleaseChunkIterator(&it);
      throw;
    }
    WebPDemuxReleaseChunkIterator(&it);
  };
  TImageMetadata& blocks = source.Blocks;
  if (flags & EXIF_FLAG) {
    std::vector<std::uint8_t> exif;
    chunk("EXIF", exif);
    blocks.Exif = ExifPayload(exif.data(), exif.size());
  }
  if (flags & XMP_FLAG) chunk("XMP ", blocks.Xmp);
  if (flags & ICCP_FLAG) chunk("ICCP", blocks.Icc);
}
