/* EXIF Orientation, read straight from the bytes: only the first image directory (IFD0) is
 * looked at, which is where the tag belongs; a thumbnail's directory or the EXIF sub-directory
 * never decides. Every offset is checked against the block before it is followed, so a
 * broken block costs at most the entries it declares and answers "as stored". */
#include "Exif.h"

#include <string.h>

#define EXIF_TAG_ORIENTATION 0x0112u
#define EXIF_TYPE_SHORT 3u

static unsigned Get16(const uint8_t* p, int big) {
  return big ? (unsigned)p[0] << 8 | p[1] : (unsigned)p[1] << 8 | p[0];
}

static uint32_t Get32(const uint8_t* p, int big) {
  return big ? (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]
             : (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

int ExifOrientation(const uint8_t* data, size_t size) {
  if (!data) return 1;
  /* The APP1 identifier, when the caller left it on. */
  if (size >= 6 && memcmp(data, "Exif\0\0", 6) == 0) {
    data += 6;
    size -= 6;
  }
  if (size < 8) return 1;
  int big;
  if (memcmp(data, "II*\0", 4) == 0)
    big = 0;
  else if (memcmp(data, "MM\0*", 4) == 0)
    big = 1;
  else
    return 1;
  /* Offsets count from the byte-order mark. One directory is read, so a chain of next-IFD
   * pointers that loops back is never followed. */
  uint32_t ifd = Get32(data + 4, big);
  if (ifd < 8 || ifd > size - 2) return 1;
  unsigned count = Get16(data + ifd, big);
  size_t entries = ((size_t)size - ifd - 2) / 12; /* whole entries the block really holds */
  if (count > entries) count = (unsigned)entries;
  for (unsigned i = 0; i < count; ++i) {
    const uint8_t* e = data + ifd + 2 + (size_t)i * 12;
    if (Get16(e, big) != EXIF_TAG_ORIENTATION) continue;
    /* One SHORT, held in the entry itself; any other type or count is a broken tag. */
    if (Get16(e + 2, big) != EXIF_TYPE_SHORT || Get32(e + 4, big) != 1) return 1;
    unsigned v = Get16(e + 8, big);
    return v >= 1 && v <= 8 ? (int)v : 1;
  }
  return 1;
}
