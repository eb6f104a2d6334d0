/* BMPs whose info header has 52, 56, 108 or 124 bytes: the versions with colour masks in the
 * header, colour spaces and profiles, which the program's own DIB library leaves alone. Every
 * other BMP is that library's, and the plug-in does not claim it (BmpIsOurs), so that its
 * bytes never depend on which plug-ins are installed.
 *
 * Layout: a 14-byte file header ("BM", file size, two reserved words, offset of the pixels),
 * the info header, a colour table of blue-green-red-reserved entries for 1 to 8 bits, then
 * the rows, each padded to 4 bytes, bottom-up unless the height is negative. */
#include <stdlib.h>
#include <string.h>

#include "Plugin.h"

#define BMP_FILE_HEADER 14
#define BMP_RGB 0u
#define BMP_BITFIELDS 3u
#define BMP_JPEG 4u
#define BMP_PNG 5u
#define BMP_ALPHABITFIELDS 6u

static uint32_t Le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static unsigned Le16(const uint8_t* p) { return (unsigned)p[0] | (unsigned)p[1] << 8; }

int BmpIsOurs(const uint8_t* data, size_t size) {
  if (size < BMP_FILE_HEADER + 4 || data[0] != 'B' || data[1] != 'M') return 0;
  uint32_t header = Le32(data + BMP_FILE_HEADER);
  return header == 52 || header == 56 || header == 108 || header == 124;
}

/* One colour mask: where its lowest bit lies and the largest value it holds. */
typedef struct TMask {
  uint32_t mask;
  unsigned shift;
  uint32_t max;
} TMask;

static TMask MakeMask(uint32_t mask) {
  TMask m = {mask, 0, 0};
  if (!mask) return m;
  while (!(mask >> m.shift & 1u)) ++m.shift;
  m.max = mask >> m.shift;
  return m;
}

/* The nearest 8-bit value of a field of any width, by the same rounding as To8 for 16 bits.
 * An empty mask gives fallback (0 for a colour, 255, opaque, for alpha). */
static uint8_t Field(uint32_t pixel, const TMask* m, uint8_t fallback) {
  if (!m->max) return fallback;
  uint64_t v = (pixel & m->mask) >> m->shift;
  return (uint8_t)((v * 255u + m->max / 2u) / m->max);
}

typedef struct TBmp {
  int width, height; /* height > 0 */
  int topDown;
  unsigned bits;
  uint32_t compression;
  TMask masks[4]; /* red, green, blue, alpha */
  uint8_t palette[256][3]; /* red, green, blue */
  unsigned colours;
  size_t offset; /* of the pixels, from the file's start */
} TBmp;

static int BmpParse(const uint8_t* data, size_t size, TBmp* bmp) {
  if (!BmpIsOurs(data, size)) return SPI_NOT_SUPPORT;
  uint32_t headerSize = Le32(data + BMP_FILE_HEADER);
  if (size < BMP_FILE_HEADER + (size_t)headerSize) return SPI_OUT_OF_ORDER;
  const uint8_t* h = data + BMP_FILE_HEADER;
  int32_t width = (int32_t)Le32(h + 4), height = (int32_t)Le32(h + 8);
  unsigned planes = Le16(h + 12);
  memset(bmp, 0, sizeof *bmp);
  bmp->bits = Le16(h + 14);
  bmp->compression = Le32(h + 16);
  uint32_t used = Le32(h + 32);
  if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) return SPI_OUT_OF_ORDER;
  bmp->width = width;
  bmp->topDown = height < 0;
  bmp->height = height < 0 ? -height : height;
  bmp->offset = Le32(data + 10);

  switch (bmp->compression) {
  case BMP_RGB:
    if (bmp->bits == 16) {
      bmp->masks[0] = MakeMask(0x7C00u), bmp->masks[1] = MakeMask(0x03E0u), bmp->masks[2] = MakeMask(0x001Fu);
    } else if (bmp->bits == 32) {
      bmp->masks[0] = MakeMask(0xFF0000u), bmp->masks[1] = MakeMask(0xFF00u), bmp->masks[2] = MakeMask(0xFFu);
    } else if (bmp->bits != 1 && bmp->bits != 4 && bmp->bits != 8 && bmp->bits != 24) {
      return SPI_OUT_OF_ORDER;
    }
    break;
  case BMP_BITFIELDS:
  case BMP_ALPHABITFIELDS:
    if (bmp->bits != 16 && bmp->bits != 32) return SPI_OUT_OF_ORDER;
    for (int i = 0; i < 3; ++i) bmp->masks[i] = MakeMask(Le32(h + 40 + 4 * i));
    /* The alpha mask: in the header from 56 bytes on; a 52-byte header with alpha fields
     * has it right after, as the 40-byte one has all four. */
    if (headerSize >= 56)
      bmp->masks[3] = MakeMask(Le32(h + 52));
    else if (bmp->compression == BMP_ALPHABITFIELDS) {
      if (size < BMP_FILE_HEADER + (size_t)headerSize + 4) return SPI_OUT_OF_ORDER;
      bmp->masks[3] = MakeMask(Le32(h + headerSize));
    }
    break;
  case BMP_JPEG:
  case BMP_PNG: break; /* the pixels are a whole file of that format */
  default: return SPI_NOT_SUPPORT; /* run-length and printer formats */
  }
  if (bmp->compression == BMP_JPEG || bmp->compression == BMP_PNG) {
    if (bmp->offset >= size) return SPI_OUT_OF_ORDER;
    return SPI_SUCCESS;
  }

  if (bmp->bits <= 8) {
    /* The table lies between the header and the pixels; no more entries than the depth
     * can index are used, and an index past the table shows black. */
    size_t at = BMP_FILE_HEADER + (size_t)headerSize;
    size_t n = used ? used : (size_t)1 << bmp->bits;
    if (n > ((size_t)1 << bmp->bits)) n = (size_t)1 << bmp->bits;
    if (bmp->offset < at || bmp->offset > size) return SPI_OUT_OF_ORDER;
    if (n > (bmp->offset - at) / 4) n = (bmp->offset - at) / 4;
    for (size_t i = 0; i < n; ++i) {
      bmp->palette[i][0] = data[at + i * 4 + 2];
      bmp->palette[i][1] = data[at + i * 4 + 1];
      bmp->palette[i][2] = data[at + i * 4];
    }
    bmp->colours = (unsigned)n;
  }
  /* Every row must be there before anything is made: a few bytes that declare a huge
   * picture cost nothing. */
  size_t stride = (((size_t)bmp->width * bmp->bits + 31) / 32) * 4;
  if (bmp->offset > size || bmp->offset < BMP_FILE_HEADER + (size_t)headerSize ||
      stride > (size - bmp->offset) / (size_t)bmp->height)
    return SPI_OUT_OF_ORDER;
  return SPI_SUCCESS;
}

static void BmpRow(const TBmp* bmp, const uint8_t* in, uint8_t* rgba) {
  for (int x = 0; x < bmp->width; ++x, rgba += 4) {
    if (bmp->bits <= 8) {
      unsigned perByte = 8u / bmp->bits, i;
      unsigned shift = 8u - bmp->bits * (1u + (unsigned)x % perByte);
      i = (unsigned)(in[(unsigned)x / perByte] >> shift) & ((1u << bmp->bits) - 1u);
      if (i < bmp->colours) {
        memcpy(rgba, bmp->palette[i], 3);
      } else {
        rgba[0] = rgba[1] = rgba[2] = 0;
      }
      rgba[3] = 255;
    } else if (bmp->bits == 24) {
      const uint8_t* p = in + (size_t)x * 3;
      rgba[0] = p[2], rgba[1] = p[1], rgba[2] = p[0], rgba[3] = 255;
    } else {
      uint32_t v = bmp->bits == 16 ? Le16(in + (size_t)x * 2) : Le32(in + (size_t)x * 4);
      for (int c = 0; c < 4; ++c) rgba[c] = Field(v, &bmp->masks[c], c == 3 ? 255 : 0);
    }
  }
}

int BmpDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  TBmp* bmp = (TBmp*)malloc(sizeof(TBmp));
  if (!bmp) return SPI_NO_MEMORY;
  int rc = BmpParse(data, size, bmp);
  if (rc == SPI_SUCCESS && (bmp->compression == BMP_JPEG || bmp->compression == BMP_PNG)) {
    /* The embedded file is decoded as if it came alone; its own size is the picture's. */
    const uint8_t* inner = data + bmp->offset;
    size_t innerSize = size - bmp->offset;
    TFormat format = bmp->compression == BMP_JPEG ? fmtJpeg : fmtPng;
    if (DetectFormat(inner, innerSize) != format)
      rc = SPI_OUT_OF_ORDER;
    else if (format == fmtJpeg)
      rc = JpegDecode(inner, innerSize, target, width, height);
    else if (target)
      rc = DecoderDecode(inner, innerSize, format, target);
    else
      rc = DecoderQueryInfo(inner, innerSize, format, width, height);
  } else if (rc == SPI_SUCCESS && !target) {
    *width = bmp->width;
    *height = bmp->height;
  } else if (rc == SPI_SUCCESS) {
    rc = TargetBegin(target, bmp->width, bmp->height, 0);
    /* A version 5 header's embedded profile (CSType "MBED", ProfileData counted from the
     * info header) converts the rows to sRGB; a linked one names a file and is not opened. */
    const uint8_t* h = data + BMP_FILE_HEADER;
    if (rc == SPI_SUCCESS && Le32(h) == 124 && Le32(h + 56) == 0x4D424544u) {
      size_t at = BMP_FILE_HEADER + (size_t)Le32(h + 112), n = Le32(h + 116);
      if (at <= size && n <= size - at) TargetSetColour(target, ColourFromIcc(data + at, n, 3));
    }
    size_t stride = (((size_t)bmp->width * bmp->bits + 31) / 32) * 4;
    uint8_t* rgba = rc == SPI_SUCCESS ? (uint8_t*)malloc((size_t)bmp->width * 4) : NULL;
    if (rc == SPI_SUCCESS && !rgba) rc = SPI_NO_MEMORY;
    for (int i = 0; rc == SPI_SUCCESS && i < bmp->height; ++i) {
      BmpRow(bmp, data + bmp->offset + stride * (size_t)i, rgba);
      TargetPutRow8(target, bmp->topDown ? i : bmp->height - 1 - i, 0, bmp->width, rgba, 0);
      if (TargetProgress(target, i + 1)) rc = SPI_ABORT;
    }
    free(rgba);
  }
  free(bmp);
  return rc;
}
