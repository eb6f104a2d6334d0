/* The Orientation of an EXIF block: how the stored rows must be turned to stand upright. */
#ifndef TAVEX_IFTAVEX_EXIF_H
#define TAVEX_IFTAVEX_EXIF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* data: an EXIF block as a JPEG APP1 segment carries it after "Exif\0\0", the same with that
 * 6-byte prefix (WebP EXIF chunks and HEIF Exif items come both ways), or the bare TIFF
 * structure ("II*\0" or "MM\0*") as a PNG eXIf chunk holds it. Returns the Orientation of the
 * first image directory, 1 to 8; 1 when the block, the directory or the tag is missing or
 * broken. Nothing outside data[0..size) is ever read. */
int ExifOrientation(const uint8_t* data, size_t size);

#ifdef __cplusplus
}
#endif

#endif
