/* Tavex's own import filter: PNG, GIF (first frame), TIFF (first page) and WebP as 24-bit DIBs,
 * and on Windows what only the system's codecs read (ICO, JPEG XR, DDS).
 *
 * The entry points read the source (a file from an offset, or a memory image), find the format
 * from its signature and let the decoder of this build fill a TTarget. Transparency is put on
 * white here, and 16-bit channels are reduced here, by one rule for every build. */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Plugin.h"

#define TAVEX_PLUGIN_ENGINE "libpng, giflib, libtiff, libwebp, lcms2, libheif"
#ifdef _WIN32
/* The formats that only a Windows codec reads go to the system's imaging component. */
#define TAVEX_PLUGIN_SYSTEM "; ICO, JPEG XR, DDS: Windows Imaging Component"
#else
#define TAVEX_PLUGIN_SYSTEM ""
#endif

static const char* const PluginInfo[] = {
    "00IN",
    "Tavex image filter " TAVEX_VERSION " (PNG, GIF, TIFF, WebP, JPEG, BMP, HEIF, AVIF; libjpeg-turbo, " TAVEX_PLUGIN_ENGINE
    TAVEX_PLUGIN_SYSTEM ")",
    "*.png", "PNG",
    "*.gif", "GIF",
    "*.tif;*.tiff", "TIFF",
    "*.webp", "WebP",
    "*.jpg;*.jpeg;*.jpe;*.jfif", "JPEG",
    "*.bmp", "BMP (versions 4 and 5)",
    /* Listed whether or not libheif is there, so that the list is the same on every machine
     * and no start pays for loading it; without it IsSupported says no to these files. */
    "*.heic;*.heif;*.hif", "HEIF",
    "*.avif", "AVIF",
#ifdef _WIN32
    "*.ico", "ICO",
    "*.jxr;*.wdp;*.hdp", "JPEG XR",
    "*.dds", "DDS",
#endif
};

/* A picture whose 24-bit rows would exceed this is refused: the DIB header counts bytes in
 * 32 bits, and a host cannot be expected to take more in one block. */
#define TARGET_MAX_BYTES ((size_t)INT32_MAX)

#ifdef _WIN32
/* An icon directory has only four fixed bytes, so its first entry must look right too: a
 * reserved zero, 0 or 1 planes, a usual depth, and data that start after the directory. */
static int IsIcon(const uint8_t* data, size_t size) {
  if (size < 22 || memcmp(data, "\0\0\1\0", 4) != 0) return 0;
  unsigned count = data[4] | data[5] << 8, planes = data[10] | data[11] << 8, depth = data[12] | data[13] << 8;
  uint32_t bytes = data[14] | data[15] << 8 | data[16] << 16 | (uint32_t)data[17] << 24;
  uint32_t offset = data[18] | data[19] << 8 | data[20] << 16 | (uint32_t)data[21] << 24;
  return count > 0 && data[9] == 0 && planes <= 1 && bytes > 0 && offset >= 6 + 16 * count &&
         (depth == 0 || depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32);
}
#endif

TFormat DetectFormat(const uint8_t* data, size_t size) {
  if (size >= 8 && memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) return fmtPng;
  if (size >= 6 && (memcmp(data, "GIF87a", 6) == 0 || memcmp(data, "GIF89a", 6) == 0)) return fmtGif;
  if (size >= 4 && (memcmp(data, "II*\0", 4) == 0 || memcmp(data, "MM\0*", 4) == 0)) return fmtTiff;
  if (size >= 12 && memcmp(data, "RIFF", 4) == 0 && memcmp(data + 8, "WEBP", 4) == 0) return fmtWebp;
  if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return fmtJpeg;
  if (BmpIsOurs(data, size)) return fmtBmp;
  if (HeifDetect(data, size)) return fmtHeif;
#ifdef _WIN32
  if (IsIcon(data, size)) return fmtIco;
  if (size >= 4 && memcmp(data, "II\xBC\x01", 4) == 0) return fmtJxr;
  if (size >= 8 && memcmp(data, "DDS |\0\0\0", 8) == 0) return fmtDds; /* then the 124-byte header */
#endif
  return fmtNone;
}

int OrientationSwaps(int orientation) { return orientation >= 5 && orientation <= 8; }

int TargetSizeFits(int width, int height) {
  if (width <= 0 || height <= 0) return SPI_OUT_OF_ORDER;
  size_t stride = ((size_t)width * 3 + 3) & ~(size_t)3;
  if ((size_t)width > TARGET_MAX_BYTES / 3 || stride > TARGET_MAX_BYTES / (size_t)height) return SPI_NO_MEMORY;
  return SPI_SUCCESS;
}

int TargetBegin(TTarget* target, int width, int height, int partial) {
  if (width <= 0 || height <= 0) return SPI_OUT_OF_ORDER;
  size_t stride = ((size_t)width * 3 + 3) & ~(size_t)3;
  if ((size_t)width > TARGET_MAX_BYTES / 3 || stride > TARGET_MAX_BYTES / (size_t)height)
    return SPI_NO_MEMORY;
  size_t bytes = stride * (size_t)height;

  HLOCAL info = LocalAlloc(LHND, sizeof(SpiBitmapInfoHeader));
  HLOCAL bits = LocalAlloc(LMEM_MOVEABLE, bytes);
  SpiBitmapInfoHeader* header = info ? (SpiBitmapInfoHeader*)LocalLock(info) : NULL;
  uint8_t* pixels = bits ? (uint8_t*)LocalLock(bits) : NULL;
  if (!header || !pixels) {
    if (header) LocalUnlock(info);
    if (pixels) LocalUnlock(bits);
    if (info) LocalFree(info);
    if (bits) LocalFree(bits);
    return SPI_NO_MEMORY;
  }
  header->biSize = sizeof(SpiBitmapInfoHeader);
  header->biWidth = width;
  header->biHeight = height;
  header->biPlanes = 1;
  header->biBitCount = 24;
  header->biCompression = SPI_BI_RGB;
  header->biSizeImage = (uint32_t)bytes;
  LocalUnlock(info);
  /* Uncovered parts show the composite's background; every other decoder writes each row
   * before it succeeds. Row padding is zero in every case. */
  if (partial) memset(pixels, 0xFF, bytes);
  size_t used = (size_t)width * 3;
  if (stride != used)
    for (size_t y = 0; y < (size_t)height; ++y) memset(pixels + y * stride + used, 0, stride - used);

  target->width = width;
  target->height = height;
  target->stride = stride;
  target->infoHandle = info;
  target->bitsHandle = bits;
  target->bits = pixels;
  target->rowsDone = 0;
  target->reported = -1;
  target->aborted = 0;
  target->orientation = 1;
  target->sourceWidth = width;
  target->sourceHeight = height;
  return TargetProgress(target, 0) ? SPI_ABORT : SPI_SUCCESS;
}

int TargetBeginOriented(TTarget* target, int width, int height, int orientation) {
  if (orientation < 1 || orientation > 8) orientation = 1;
  int swaps = OrientationSwaps(orientation);
  int rc = TargetBegin(target, swaps ? height : width, swaps ? width : height, 0);
  if (rc != SPI_SUCCESS) return rc;
  target->orientation = orientation;
  target->sourceWidth = width;
  target->sourceHeight = height;
  return SPI_SUCCESS;
}

/* Frees a half-made result; also used when the decoder fails after TargetBegin. */
static void TargetDiscard(TTarget* target) {
  if (target->bits) LocalUnlock(target->bitsHandle);
  if (target->infoHandle) LocalFree(target->infoHandle);
  if (target->bitsHandle) LocalFree(target->bitsHandle);
  target->bits = NULL;
  target->infoHandle = NULL;
  target->bitsHandle = NULL;
}

/* Straight alpha: c*a + 255*(255-a), rounded; premultiplied: c + 255 - a, clamped, since a
 * premultiplied colour above its alpha is out of range and must not wrap. */
static uint8_t OnWhite(unsigned c, unsigned a, int premultiplied) {
  if (a == 255u) return (uint8_t)c; /* the common case, without a division */
  if (premultiplied) {
    unsigned v = c + 255u - a;
    return (uint8_t)(v > 255u ? 255u : v);
  }
  return (uint8_t)((c * a + 255u * (255u - a) + 127u) / 255u);
}

/* Where stored pixel (x, y) lands in the DIB, as an offset into the block, and *step, how far
 * the next pixel of the stored row lands from it: along a DIB row for 1 to 4, along a column
 * for 5 to 8. Offsets, not pointers, since a step may lead before the block's start after the
 * last pixel. */
static ptrdiff_t PixelOffset(const TTarget* target, int x, int y, ptrdiff_t* step) {
  int w = target->sourceWidth, h = target->sourceHeight, px, py;
  ptrdiff_t stride = (ptrdiff_t)target->stride;
  switch (target->orientation) {
  case 2: px = w - 1 - x, py = y, *step = -3; break;
  case 3: px = w - 1 - x, py = h - 1 - y, *step = -3; break;
  case 4: px = x, py = h - 1 - y, *step = 3; break;
  case 5: px = y, py = x, *step = -stride; break;
  case 6: px = h - 1 - y, py = x, *step = -stride; break;
  case 7: px = h - 1 - y, py = w - 1 - x, *step = stride; break;
  case 8: px = y, py = w - 1 - x, *step = stride; break;
  default: px = x, py = y, *step = 3; break;
  }
  /* Bottom-up: the picture's top row is the last row of the block. */
  return (ptrdiff_t)(target->height - 1 - py) * stride + (ptrdiff_t)px * 3;
}

static int RowStart(TTarget* target, int y, int* x, int* count, size_t* skip, ptrdiff_t* at, ptrdiff_t* step) {
  *skip = 0;
  if (!target->bits || y < 0 || y >= target->sourceHeight || *count <= 0) return 0;
  if (*x < 0) {
    if (-(long long)*x >= *count) return 0;
    *skip = (size_t)(-*x);
    *count += *x;
    *x = 0;
  }
  if (*x >= target->sourceWidth) return 0;
  if (*count > target->sourceWidth - *x) *count = target->sourceWidth - *x;
  *at = PixelOffset(target, *x, y, step);
  return 1;
}

uint8_t* TargetRow(TTarget* target, int y) {
  return target->bits + (size_t)(target->height - 1 - y) * target->stride;
}

void TargetSetColour(TTarget* target, TColour* colour) {
  ColourFree(target->colour);
  target->colour = colour;
}

/* Pixels converted at a time, through a buffer on the stack. */
#define TARGET_COLOUR_CHUNK 256

/* The conversion works on straight colours, since it is not linear: premultiplied pixels are
 * divided by their alpha first, and all go on as straight. */
static void PutColourRow8(TTarget* target, ptrdiff_t at, ptrdiff_t step, int count, const uint8_t* rgba,
                          int premultiplied) {
  uint8_t chunk[TARGET_COLOUR_CHUNK * 4];
  for (int done = 0; done < count;) {
    int n = count - done < TARGET_COLOUR_CHUNK ? count - done : TARGET_COLOUR_CHUNK;
    memcpy(chunk, rgba + (size_t)done * 4, (size_t)n * 4);
    for (int i = 0; premultiplied && i < n; ++i) {
      unsigned a = chunk[i * 4 + 3];
      for (int c = 0; c < 3 && a != 255u; ++c) {
        unsigned v = a ? (chunk[i * 4 + c] * 255u + a / 2) / a : 0;
        chunk[i * 4 + c] = (uint8_t)(v > 255u ? 255u : v);
      }
    }
    ColourRow8(target->colour, chunk, chunk, n);
    for (int i = 0; i < n; ++i, at += step) {
      uint8_t* out = target->bits + at;
      const uint8_t* p = chunk + i * 4;
      out[0] = OnWhite(p[2], p[3], 0);
      out[1] = OnWhite(p[1], p[3], 0);
      out[2] = OnWhite(p[0], p[3], 0);
    }
    done += n;
  }
}

static void PutColourRow16(TTarget* target, ptrdiff_t at, ptrdiff_t step, int count, const uint16_t* rgba,
                           int premultiplied) {
  uint16_t chunk[TARGET_COLOUR_CHUNK * 4];
  for (int done = 0; done < count;) {
    int n = count - done < TARGET_COLOUR_CHUNK ? count - done : TARGET_COLOUR_CHUNK;
    memcpy(chunk, rgba + (size_t)done * 4, (size_t)n * 4 * sizeof(uint16_t));
    for (int i = 0; premultiplied && i < n; ++i) {
      unsigned long a = chunk[i * 4 + 3];
      for (int c = 0; c < 3 && a != 65535u; ++c) {
        unsigned long v = a ? (chunk[i * 4 + c] * 65535ul + a / 2) / a : 0;
        chunk[i * 4 + c] = (uint16_t)(v > 65535u ? 65535u : v);
      }
    }
    ColourRow16(target->colour, chunk, chunk, n);
    for (int i = 0; i < n; ++i, at += step) {
      uint8_t* out = target->bits + at;
      const uint16_t* p = chunk + i * 4;
      unsigned a = To8(p[3]);
      out[0] = OnWhite(To8(p[2]), a, 0);
      out[1] = OnWhite(To8(p[1]), a, 0);
      out[2] = OnWhite(To8(p[0]), a, 0);
    }
    done += n;
  }
}

void TargetPutRow8(TTarget* target, int y, int x, int count, const uint8_t* rgba, int premultiplied) {
  size_t skip;
  ptrdiff_t at, step;
  if (!RowStart(target, y, &x, &count, &skip, &at, &step)) return;
  rgba += skip * 4;
  if (target->colour) {
    PutColourRow8(target, at, step, count, rgba, premultiplied);
    return;
  }
  for (int i = 0; i < count; ++i, rgba += 4, at += step) {
    uint8_t* out = target->bits + at;
    unsigned a = rgba[3];
    out[0] = OnWhite(rgba[2], a, premultiplied);
    out[1] = OnWhite(rgba[1], a, premultiplied);
    out[2] = OnWhite(rgba[0], a, premultiplied);
  }
}

void TargetPutRow16(TTarget* target, int y, int x, int count, const uint16_t* rgba, int premultiplied) {
  size_t skip;
  ptrdiff_t at, step;
  if (!RowStart(target, y, &x, &count, &skip, &at, &step)) return;
  rgba += skip * 4;
  if (target->colour) {
    PutColourRow16(target, at, step, count, rgba, premultiplied);
    return;
  }
  for (int i = 0; i < count; ++i, rgba += 4, at += step) {
    uint8_t* out = target->bits + at;
    unsigned a = To8(rgba[3]);
    out[0] = OnWhite(To8(rgba[2]), a, premultiplied);
    out[1] = OnWhite(To8(rgba[1]), a, premultiplied);
    out[2] = OnWhite(To8(rgba[0]), a, premultiplied);
  }
}

int TargetProgress(TTarget* target, int rowsDone) {
  if (target->aborted) return 1;
  if (rowsDone < target->rowsDone) rowsDone = target->rowsDone; /* steps only rise */
  if (rowsDone > target->height) rowsDone = target->height;
  target->rowsDone = rowsDone;
  int step = (int)((long long)rowsDone * TARGET_PROGRESS_STEPS / target->height);
  if (step == target->reported) return 0;
  target->reported = step;
  if (target->progress && target->progress(rowsDone, target->height, target->progressData) != 0)
    target->aborted = 1;
  return target->aborted;
}

int TargetProgressSource(TTarget* target, int rowsDone) {
  if (target->sourceHeight <= 0) return TargetProgress(target, rowsDone);
  return TargetProgress(target, (int)((long long)rowsDone * target->height / target->sourceHeight));
}

/* The source as one block in memory: a memory image is used in place; a file is read whole
 * from the offset on. *owned is the block to free afterwards, or NULL. */
/* JPEG and BMP have one decoder for every build; the rest go to this build's. */
static int QueryInfo(const uint8_t* data, size_t size, TFormat format, int* width, int* height) {
  if (format == fmtJpeg) return JpegDecode(data, size, NULL, width, height);
  if (format == fmtBmp) return BmpDecode(data, size, NULL, width, height);
  if (format == fmtHeif) return HeifDecode(data, size, NULL, width, height);
  return DecoderQueryInfo(data, size, format, width, height);
}

static int DecodeInto(const uint8_t* data, size_t size, TFormat format, TTarget* target) {
  int width, height;
  if (format == fmtJpeg) return JpegDecode(data, size, target, &width, &height);
  if (format == fmtBmp) return BmpDecode(data, size, target, &width, &height);
  if (format == fmtHeif) return HeifDecode(data, size, target, &width, &height);
  return DecoderDecode(data, size, format, target);
}

static int LoadSource(const char* buf, SpiLongPtr len, unsigned flag, const uint8_t** data,
                      size_t* size, uint8_t** owned) {
  *owned = NULL;
  if (!buf) return SPI_FILE_READ_ERROR;
  if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) {
    if (len <= 0) return SPI_OUT_OF_ORDER;
    *data = (const uint8_t*)buf;
    *size = (size_t)len;
    return SPI_SUCCESS;
  }
  if ((flag & SPI_INPUT_MASK) != SPI_INPUT_FILE || len < 0) return SPI_NOT_IMPLEMENTED;
  FILE* f = fopen(buf, "rb");
  if (!f) return SPI_FILE_READ_ERROR;
  int rc = SPI_FILE_READ_ERROR;
  long end;
  if (fseek(f, 0, SEEK_END) == 0 && (end = ftell(f)) >= 0 && len <= end &&
      fseek(f, (long)len, SEEK_SET) == 0) {
    size_t n = (size_t)(end - (long)len);
    uint8_t* block = (uint8_t*)malloc(n ? n : 1);
    if (!block) {
      rc = SPI_NO_MEMORY;
    } else if (fread(block, 1, n, f) != n) {
      free(block);
    } else {
      *owned = block;
      *data = block;
      *size = n;
      rc = n ? SPI_SUCCESS : SPI_OUT_OF_ORDER;
    }
  }
  fclose(f);
  return rc;
}

SPI_EXPORT int SPIAPI GetPluginInfo(int infoNo, char* buf, int bufLen) {
  if (infoNo < 0 || infoNo >= (int)(sizeof PluginInfo / sizeof PluginInfo[0]) || !buf || bufLen <= 0)
    return 0;
  size_t n = strlen(PluginInfo[infoNo]);
  if (n > (size_t)bufLen - 1) n = (size_t)bufLen - 1;
  memcpy(buf, PluginInfo[infoNo], n);
  buf[n] = '\0';
  return (int)n;
}

SPI_EXPORT int SPIAPI IsSupported(const char* fileName, void* header) {
  (void)fileName; /* the data decide, whatever the name says */
  /* The classic interface also allows a file handle here; hosts of ours pass the 2 KB
   * header, and a value that low can be no address, so it is refused, never read. */
  if ((uintptr_t)header < 0x10000u) return 0;
  TFormat format = DetectFormat((const uint8_t*)header, 2048);
  return format != fmtNone && (format != fmtHeif || HeifAvailable()); /* no libheif: not ours */
}

SPI_EXPORT int SPIAPI GetPictureInfo(const char* buf, SpiLongPtr len, unsigned int flag,
                                     SpiPictureInfo* info) {
  if (!info) return SPI_OTHER_ERROR;
  const uint8_t* data;
  size_t size;
  uint8_t* owned;
  int rc = LoadSource(buf, len, flag, &data, &size, &owned);
  if (rc != SPI_SUCCESS) return rc;
  TFormat format = DetectFormat(data, size);
  int width = 0, height = 0;
  rc = format == fmtNone ? SPI_NOT_SUPPORT : QueryInfo(data, size, format, &width, &height);
  free(owned);
  if (rc != SPI_SUCCESS) return rc;
  info->left = 0;
  info->top = 0;
  info->width = width;
  info->height = height;
  info->x_density = 0;
  info->y_density = 0;
  info->colorDepth = 24;
  info->hInfo = NULL;
  return SPI_SUCCESS;
}

SPI_EXPORT int SPIAPI GetPicture(const char* buf, SpiLongPtr len, unsigned int flag,
                                 HLOCAL* bitmapInfo, HLOCAL* bitmap, SpiProgressCallback progress,
                                 SpiLongPtr data) {
  if (!bitmapInfo || !bitmap) return SPI_OTHER_ERROR;
  *bitmapInfo = NULL;
  *bitmap = NULL;
  const uint8_t* source;
  size_t size;
  uint8_t* owned;
  int rc = LoadSource(buf, len, flag, &source, &size, &owned);
  if (rc != SPI_SUCCESS) return rc;
  TFormat format = DetectFormat(source, size);
  TTarget target;
  memset(&target, 0, sizeof target);
  target.progress = progress;
  target.progressData = data;
  rc = format == fmtNone ? SPI_NOT_SUPPORT : DecodeInto(source, size, format, &target);
  free(owned);
  TargetSetColour(&target, NULL);
  if (rc == SPI_SUCCESS && target.aborted) rc = SPI_ABORT;
  if (rc == SPI_SUCCESS && !target.bits) rc = SPI_OTHER_ERROR;
  if (rc == SPI_SUCCESS && TargetProgress(&target, target.height)) rc = SPI_ABORT;
  if (rc != SPI_SUCCESS) {
    TargetDiscard(&target);
    return rc;
  }
  LocalUnlock(target.bitsHandle);
  *bitmapInfo = target.infoHandle;
  *bitmap = target.bitsHandle;
  return SPI_SUCCESS;
}

SPI_EXPORT int SPIAPI GetPreview(const char* buf, SpiLongPtr len, unsigned int flag,
                                 HLOCAL* bitmapInfo, HLOCAL* bitmap, SpiProgressCallback progress,
                                 SpiLongPtr data) {
  (void)buf;
  (void)len;
  (void)flag;
  (void)progress;
  (void)data;
  if (bitmapInfo) *bitmapInfo = NULL;
  if (bitmap) *bitmap = NULL;
  return SPI_NOT_IMPLEMENTED;
}
