/* A test plug-in that hands back whatever its source tells it to: the host's checks of a
 * plug-in's result are driven by data the tests build byte by byte. The source (a file at
 * an offset, or memory) starts with a 24-byte little-endian header:
 *
 *   0  "TVXE"
 *   4  int32   the result GetPicture returns (the blocks are filled all the same)
 *   8  uint32  size of the bitmap-information block to allocate (0: none)
 *   12 uint32  size of the pixel block to allocate (0: none)
 *   16 uint32  flags: 1 = call the progress callback once first and return SPI_ABORT when it
 *              asks to stop; 2 = GetPreview answers like GetPicture; 4 = GetPicture
 *              refuses (SPI_NOT_SUPPORT), so only a preview decodes; 8 = the information
 *              block is handed back as the pixel block too; 16 = GetPictureInfo hands back a
 *              text block (the information bytes, then the pixel bytes, in a block as large
 *              as the two), which 32 hands back as the pixel block and 64 as the information
 *              block
 *   20 uint32  n, the bytes of the bitmap information that follow
 *
 * then n bytes copied into the information block and the rest copied into the pixel block,
 * each cut to its block's size. IsSupported accepts a header beginning with "TVXE". */
#include "TestPluginSupport.h"

#include <stdio.h>
#include <stdlib.h>

static const char* const Info[] = {"00IN", "Tavex test echo", "*.tve", "echo pictures"};

TP_EXPORT int SPIAPI GetPluginInfo(int infoNo, char* buf, int bufLen) {
  return CopyPluginInfo(Info, (int)(sizeof Info / sizeof Info[0]), infoNo, buf, bufLen);
}

TP_EXPORT int SPIAPI IsSupported(const char* fileName, void* header) {
  (void)fileName;
  return header && memcmp(header, "TVXE", 4) == 0;
}

static uint32_t U32(const unsigned char* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* The source as bytes: memory as given, a file read whole from the offset (freed by the caller). */
static unsigned char* Load(const char* buf, SpiLongPtr len, unsigned int flag, size_t* size, int* owned) {
  FILE* f;
  long end;
  unsigned char* data;
  *owned = 0;
  if ((flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY) {
    *size = len > 0 ? (size_t)len : 0;
    return (unsigned char*)buf;
  }
  f = fopen(buf, "rb");
  if (!f) return NULL;
  if (fseek(f, 0, SEEK_END) != 0 || (end = ftell(f)) < (long)len || fseek(f, (long)len, SEEK_SET) != 0) {
    fclose(f);
    return NULL;
  }
  *size = (size_t)(end - (long)len);
  data = (unsigned char*)malloc(*size ? *size : 1);
  if (data && fread(data, 1, *size, f) != *size) {
    free(data);
    data = NULL;
  }
  fclose(f);
  *owned = data != NULL;
  return data;
}

static HLOCAL Block(uint32_t size, const unsigned char* from, size_t available) {
  HLOCAL h;
  unsigned char* p;
  if (!size) return NULL;
  h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
  if (!h) return NULL;
  p = (unsigned char*)LocalLock(h);
  if (p) {
    memcpy(p, from, available < size ? available : size);
    LocalUnlock(h);
  }
  return h;
}

/* The text block of the last GetPictureInfo (flag 16), owned by the host once handed back. */
static HLOCAL LastText;

static int Echo(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* bitmapInfo, HLOCAL* bitmap,
                SpiProgressCallback progress, SpiLongPtr data) {
  size_t size, infoBytes;
  int owned, rc;
  uint32_t flags;
  unsigned char* src = Load(buf, len, flag, &size, &owned);
  if (!src || size < 24 || memcmp(src, "TVXE", 4) != 0) {
    if (owned) free(src);
    return SPI_NOT_SUPPORT;
  }
  rc = (int)U32(src + 4);
  infoBytes = U32(src + 20);
  if (infoBytes > size - 24) infoBytes = size - 24;
  flags = U32(src + 16);
  *bitmapInfo = (flags & 64u) ? LastText : Block(U32(src + 8), src + 24, infoBytes);
  if (flags & 8u)
    *bitmap = *bitmapInfo;
  else if (flags & 32u)
    *bitmap = LastText;
  else
    *bitmap = Block(U32(src + 12), src + 24 + infoBytes, size - 24 - infoBytes);
  if ((flags & 1u) && progress && progress(0, 1, data)) rc = SPI_ABORT;
  if (owned) free(src);
  return rc;
}

TP_EXPORT int SPIAPI GetPictureInfo(const char* buf, SpiLongPtr len, unsigned int flag, SpiPictureInfo* info) {
  size_t size;
  int owned;
  unsigned char* src = Load(buf, len, flag, &size, &owned);
  memset(info, 0, 22);
  LastText = NULL;
  if (src && size >= 24 && (U32(src + 16) & 16u)) {
    LastText = Block(U32(src + 8) + U32(src + 12), src + 24, size - 24);
    info->hInfo = LastText;
  }
  if (owned) free(src);
  return SPI_SUCCESS;
}

/* The flags word of the source; 0 when it cannot be read. */
static uint32_t Flags(const char* buf, SpiLongPtr len, unsigned int flag) {
  size_t size;
  int owned;
  uint32_t flags = 0;
  unsigned char* src = Load(buf, len, flag, &size, &owned);
  if (src && size >= 24) flags = U32(src + 16);
  if (owned) free(src);
  return flags;
}

TP_EXPORT int SPIAPI GetPicture(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* bitmapInfo,
                                HLOCAL* bitmap, SpiProgressCallback progress, SpiLongPtr data) {
  if (Flags(buf, len, flag) & 4u) return SPI_NOT_SUPPORT;
  return Echo(buf, len, flag, bitmapInfo, bitmap, progress, data);
}

TP_EXPORT int SPIAPI GetPreview(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* bitmapInfo,
                                HLOCAL* bitmap, SpiProgressCallback progress, SpiLongPtr data) {
  if (!(Flags(buf, len, flag) & 2u)) return SPI_NOT_IMPLEMENTED;
  return Echo(buf, len, flag, bitmapInfo, bitmap, progress, data);
}
