#pragma once
// The TIFF structure of EXIF blocks and TIFF files: an EXIF block made fit for a JPEG, and a
// TIFF file's own descriptive tags made into one.
//
// An EXIF block is a little TIFF file: a byte-order mark ("II" or "MM"), 42, the offset of
// the first directory (IFD0), counted like every offset from the mark. A directory is a
// count, 12-byte entries (tag, type, count, then the value itself when it fits in 4 bytes,
// else its offset) and the offset of the next directory: IFD1, the thumbnail's. IFD0 points
// to the EXIF and GPS sub-directories, the EXIF one to the interoperability directory.
#include <cstddef>
#include <cstdint>
#include <vector>

// Makes the block fit for a JPEG: IFD1 and everything only it points to (the thumbnail's
// JPEG data or strips) are dropped, IFD0 then ends the chain; with upright, an Orientation of
// IFD0 (one SHORT) becomes 1. Everything else keeps its bytes at their offsets, so that a
// MakerNote, whose own offsets count from the TIFF header in many cameras, still reads: the
// block ends after the last byte still pointed to, and dropped bytes before that are zeroed.
// False, with the block untouched, for a broken block: a bad header, a directory or a value
// past the end, a count whose bytes overflow the block, a sub-directory pointer that is not
// one LONG, or directories that loop.
bool CleanExif(std::vector<std::uint8_t>& block, bool upright);

// The EXIF block of a TIFF file: IFD0's descriptive tags (description, make, model,
// orientation, resolution, software, date, artist, host, copyright, rating and the Windows
// XP tags; not the tags of the image's own structure), the EXIF sub-directory with its
// interoperability directory, and the GPS directory, laid out anew in the file's byte order.
// The MakerNote is left out: its offsets count from the header of the file it was written
// into, and would point elsewhere in the new layout. Empty when the file carries none of
// these, when what would be copied is broken (as for CleanExif), or beyond 16 MiB.
std::vector<std::uint8_t> ExifFromTiff(const std::uint8_t* data, std::size_t size);

// The value bytes of a tag of a TIFF file's IFD0 (XMP is 700, the ICC profile 34675), at
// most maxBytes; empty when the tag is missing, its value lies past the end or is larger.
std::vector<std::uint8_t> TiffTagBytes(const std::uint8_t* data, std::size_t size, std::uint16_t tag,
                                       std::size_t maxBytes);
