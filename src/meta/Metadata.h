#pragma once
// What a source file carries besides its pixels: its EXIF block, its XMP packet and its ICC
// colour profile, read by Tavex itself (plug-ins hand back pixels only) straight from the
// file's bytes, for JPEG, PNG, TIFF, WebP and HEIF/AVIF; and the same made fit for the JPEG
// written of the file. Every length found in a file is checked against what remains before
// it is followed, and every block is bounded: a block that is broken is left out, never the
// file.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtl/Stream.h"

// The three blocks, each empty when there is none.
struct TImageMetadata {
  // The TIFF structure ("II*\0" or "MM\0*" and what follows), as a JPEG's APP1 "Exif"
  // segment carries it after "Exif\0\0".
  std::vector<std::uint8_t> Exif;
  // The XMP packet, as the file holds it.
  std::vector<std::uint8_t> Xmp;
  // The whole ICC profile.
  std::vector<std::uint8_t> Icc;

  bool Empty() const noexcept { return Exif.empty() && Xmp.empty() && Icc.empty(); }
  bool operator==(const TImageMetadata&) const = default;
};

// The containers the reader knows, told apart by their signatures.
enum TMetadataFormat : std::uint8_t { mfNone, mfJpeg, mfPng, mfTiff, mfWebp, mfHeif };

// The blocks as the file holds them, with what Tavex's own plug-in makes of them.
struct TSourceMetadata {
  TMetadataFormat Format = mfNone;
  TImageMetadata Blocks;
  // Whether the own plug-in, decoding this file, stands its pixels upright by this EXIF
  // block's Orientation (HEIF: by the format's rotation and mirror, or else by the EXIF), so
  // that its picture is one of Orientation 1. A PNG's eXIf counts only before the image data
  // and a WebP's EXIF only where the extended header announces it, as the plug-in reads them.
  bool OrientationApplied = false;
};

// The largest block read: the largest profile a JPEG can carry (255 segments), far more than
// any EXIF block or XMP packet that fits a JPEG.
inline constexpr std::size_t MetadataMaxBlockBytes = std::size_t{255} * 65519;
// The largest source read for its metadata: what a plug-in is given of a file.
inline constexpr std::int64_t MetadataMaxSourceBytes = 0x7FFFFFFF;

// The blocks of the file in data[0, size). A file of no known format, or one whose
// structure cannot be read, gives none; each broken block is left out on its own.
TSourceMetadata ReadSourceMetadata(const std::uint8_t* data, std::size_t size);

// Who decoded the pixels the JPEG is made of.
enum TMetadataDecoder : std::uint8_t {
  // Tavex's own plug-in: upright pixels (see OrientationApplied), converted to sRGB wherever
  // the file describes its colour.
  mdTavexPlugin,
  // Any other plug-in, or the DIB library: the pixels as stored.
  mdOtherDecoder
};

// The blocks for the JPEG: the EXIF block cleaned (thumbnails dropped; the Orientation set
// to 1 where the decoder stood the pixels upright) or left out when broken; no profile after
// the own plug-in, which converts the pixels to sRGB, and otherwise the source's only when it
// describes RGB pixels, as the JPEG's are. The XMP packet as it is. Blocks too large for
// their JPEG segments are left to the JPEG writer to leave out.
TImageMetadata MetadataForOutput(TSourceMetadata source, TMetadataDecoder decoder);

// Both steps over the file's bytes.
TImageMetadata ReadImageMetadata(const std::uint8_t* data, std::size_t size, TMetadataDecoder decoder);
// Both steps over the whole stream, read from its start (its position is left at the end).
// A stream larger than MetadataMaxSourceBytes gives none; a failing read raises the
// stream's error.
TImageMetadata ReadImageMetadata(TStream& stream, TMetadataDecoder decoder);

// Whether an ICC profile can describe a JPEG's colour pixels: a whole header ("acsp", the
// size it declares present), RGB data, and a class of device or colour space pixels.
bool IccDescribesRgb(const std::vector<std::uint8_t>& icc) noexcept;
