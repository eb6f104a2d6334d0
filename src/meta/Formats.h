#pragma once
// The readers of the containers, one per format, for ReadSourceMetadata: each fills in the
// blocks it finds, and OrientationApplied.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "meta/Metadata.h"

void ReadJpegMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source);
void ReadPngMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source);
void ReadTiffMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source);
void ReadWebpMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source);
void ReadHeifMetadata(const std::uint8_t* data, std::size_t size, TSourceMetadata& source);

// Whether the file opens with an ftyp box naming a HEIF or AVIF brand, as Tavex's own
// plug-in tells those files.
bool IsHeifFile(const std::uint8_t* data, std::size_t size) noexcept;

// An EXIF block that may come with the "Exif\0\0" of a JPEG segment before its TIFF
// structure, without it.
std::vector<std::uint8_t> ExifPayload(const std::uint8_t* data, std::size_t size);

inline std::uint32_t Big32(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline unsigned Big16(const std::uint8_t* p) noexcept { return unsigned{p[0]} << 8 | p[1]; }
