/* Plug-ins that misbehave the ways real ones do, for the plug-in host processes to survive.
 * Each claims every source whose first bytes are "BAD!" and then, in GetPicture:
 *
 *   TP_NULL      writes through a null pointer
 *   TP_LOOP      loops for ever without calling the progress callback
 *   TP_EXIT      ends the process with exit status 3
 *   TP_ALLOC     allocates until refused, then reports that it ran out of memory
 *   TP_TWICE     frees a block twice
 *   TP_MARKED    writes through a null pointer when the source says "BAD!CRASH", and hands
 *                back a 2 x 2 24-bit picture of the bytes after the mark otherwise
 *   TP_INFOCRASH writes through a null pointer in GetPluginInfo's first call (start-up)
 *   TP_PNG16     claims PNGs instead, and writes through a null pointer on one with 16-bit
 *                channels (as a real plug-in did); any other PNG it does not read */
#include "TestPluginSupport.h"

#include <stdio.h>
#include <stdlib.h>

static const char* const Info[] = {"00IN", "Tavex test misbehaving plug-in", "*.bad", "bad pictures"};

#if defined(TP_INFOCRASH)
static volatile int* volatile Nowhere;
#endif

TP_EXPORT int SPIAPI GetPluginInfo(int infoNo, char* buf, int bufLen) {
#if defined(TP_INFOCRASH)
  *Nowhere = infoNo;
#endif
  return CopyPluginInfo(Info, (int)(sizeof Info / sizeof Info[0]), infoNo, buf, bufLen);
}

TP_EXPORT int SPIAPI IsSupported(const char* fileName, void* header) {
  (void)fileName;
#if defined(TP_PNG16)
  return header && memcmp(header, "\x89PNG\r\n\x1a\n", 8) == 0;
#else
  return header && memcmp(header, "BAD!", 4) == 0;
#endif
}

TP_EXPORT int SPIAPI GetPictureInfo(const char* buf, SpiLongPtr len, unsigned int flag, SpiPictureInfo* info) {
  (void)buf;
  (void)len;
  (void)flag;
  memset(info, 0, 22);
  info->width = 2;
  info->height = 2;
  info->colorDepth = 24;
  return SPI_SUCCESS;
}

static volatile int* volatile Null;

/* A 2 x 2 24-bit picture whose pixel bytes come from the source after the mark. */
static int Picture(const unsigned char* src, size_t size, HLOCAL* bitmapInfo, HLOCAL* bitmap) {
  static const unsigned char header[40] = {40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24};
  unsigned char* p;
  size_t i;
  *bitmapInfo = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 40);
  *bitmap = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 16);
  if (!*bitmapInfo || !*bitmap) return SPI_NO_MEMORY;
  p = (unsigned char*)LocalLock(*bitmapInfo);
  memcpy(p, header, sizeof header);
  LocalUnlock(*bitmapInfo);
  p = (unsigned char*)LocalLock(*bitmap);
  for (i = 0; i < 16 && 4 + i < size; ++i) p[i] = src[4 + i];
  LocalUnlock(*bitmap);
  return SPI_SUCCESS;
}

TP_EXPORT int SPIAPI GetPicture(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* bitmapInfo,
                                HLOCAL* bitmap, SpiProgressCallback progress, SpiLongPtr data) {
  const unsigned char* src = (const unsigned char*)buf;
  size_t size = (flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY && len > 0 ? (size_t)len : 0;
  (void)progress;
  (void)data;
  (void)src;
  (void)bitmapInfo;
  (void)bitmap;
  (void)Picture; /* the variants that never deliver one */
  (void)Null;
  if (size < 4) return SPI_NOT_SUPPORT;
#if defined(TP_NULL)
  *Null = 1;
  return SPI_SUCCESS;
#elif defined(TP_LOOP)
  for (;;) {
  }
#elif defined(TP_EXIT)
  exit(3);
#elif defined(TP_ALLOC)
  for (;;) {
    char* volatile block = (char*)malloc(1 << 20);
    if (!block) return SPI_NO_MEMORY;
    memset((char*)block, 1, 1 << 20); /* touched, so that the pages are really taken */
  }
#elif defined(TP_TWICE)
  {
    char* volatile block = (char*)malloc(64);
    free(block);
    free(block);
    return SPI_SUCCESS;
  }
#elif defined(TP_PNG16)
  /* The bit depth: after the signature, IHDR's length and type, width and height. */
  if (size > 24 && src[24] == 16) *Null = 1;
  return SPI_NOT_SUPPORT;
#elif defined(TP_MARKED)
  if (size >= 9 && memcmp(src + 4, "CRASH", 5) == 0) *Null = 1;
  return Picture(src, size, bitmapInfo, bitmap);
#else
  return Picture(src, size, bitmapInfo, bitmap);
#endif
}
