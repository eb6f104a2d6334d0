#include "meta/Metadata.h"

#include <cstring>

#include "meta/Exif.h"
#include "meta/Formats.h"

namespace {

// The format by its signature, in the order Tavex's own plug-in tells them.
TMetadataFormat DetectFormat(const std::uint8_t* data, std::size_t size) noexcept {
  if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) return mfPng;
  if (size >= 4 && (std::memcmp(data, "II*\0", 4) == 0 || std::memcmp(data, "MM\0*", 4) == 0)) return mfTiff;
  if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WEBP", 4) == 0) return mfWebp;
  if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return mfJpeg;
  if (IsHeifFile(data, size)) return mfHeif;
  return mfNone;
}

}  // namespace

TSourceMetadata ReadSourceMetadata(const std::uint8_t* data, std::size_t size) {
  TSourceMetadata source;
  if (!data) return source;
  source.Format = DetectFormat(data, size);
  switch (source.Format) {
  case mfJpeg: ReadJpegMetadata(data, size, source); break;
  case mfPng: ReadPngMetadata(data, size, source); break;
  case mfTiff: ReadTiffMetadata(data, size, source); break;
  case mfWebp: ReadWebpMetadata(data, size, source); break;
  case mfHeif: ReadHeifMetadata(data, size, source); break;
  case mfNone: break;
  }
  return source;
}

bool IccDescribesRgb(const std::vector<std::uint8_t>& icc) noexcept {
  if (icc.size() < 132 || std::memcmp(icc.data() + 36, "acsp", 4) != 0) return false;
  const std::uint32_t declared = Big32(icc.data());
  if (declared < 132 || declared > icc.size()) return false;
  if (std::memcmp(icc.data() + 16, "RGB ", 4) != 0) return false;
  // Input, display, output and colour-space profiles describe pixels; device links,
  // abstract and named-colour profiles do not.
  const std::uint8_t* kind = icc.data() + 12;
  return std::memcmp(kind, "scnr", 4) == 0 || std::memcmp(kind, "mntr", 4) == 0 || std::memcmp(kind, "prtr", 4) == 0 ||
         std::memcmp(kind, "spac", 4) == 0;
}

TImageMetadata MetadataForOutput(TSourceMetadata source, TMetadataDecoder decoder) {
  TImageMetadata blocks = std::move(source.Blocks);
  const bool own = decoder == mdTavexPlugin;
  if (!blocks.Exif.empty() && !CleanExif(blocks.Exif, own && source.OrientationApplied)) blocks.Exif.clear();
  // Where the own plug-in found colour information it has converted the pixels to sRGB,
  // which a JPEG without a profile is taken to be. Other decoders hand the pixels over as
  // stored, and the profile says what they are, if it can describe the JPEG's pixels at all.
  if (own || !IccDescribesRgb(blocks.Icc)) blocks.Icc.clear();
  return blocks;
}

TImageMetadata ReadImageMetadata(const std::uint8_t* data, std::size_t size, TMetadataDecoder decoder) {
  return MetadataForOutput(ReadSourceMetadata(data, size), decoder);
}

TImageMetadata ReadImageMetadata(TStream& stream, TMetadataDecoder decoder) {
  const std::int64_t size = stream.Size();
  if (size <= 0 || size > MetadataMaxSourceBytes) return {};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  stream.SetPosition(0);
  stream.ReadBuffer(bytes.data(), size);
  return ReadImageMetadata(bytes.data(), bytes.size(), decoder);
}
