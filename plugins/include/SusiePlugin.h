/* The plug-in side of the Susie plug-in interface, shared by every plug-in source.
 *
 * On Windows the entry points use the Windows API calling convention (stdcall on i686; a
 * .def file and -Wl,--kill-at export them undecorated, as real plug-ins do). Natively they
 * are plain C functions of a shared object, and local memory comes from tavex_localmem.
 *
 * 64-bit builds follow the published 64-bit interface: the "length or offset" argument and
 * the progress callback's user value are pointer-sized; everything else keeps its 32-bit
 * width. */
#ifndef TAVEX_SUSIE_PLUGIN_H
#define TAVEX_SUSIE_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#define SPIAPI WINAPI
#define SPI_EXPORT
#else
#include "LocalMem.h"
#define SPIAPI
#define SPI_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* "length or offset" and the callback's user value: 32 bits in 32-bit builds, 64 in 64-bit. */
typedef intptr_t SpiLongPtr;

/* Results of the decoding entry points. */
enum {
  SPI_NOT_IMPLEMENTED = -1,
  SPI_SUCCESS = 0,
  SPI_ABORT = 1,          /* the progress callback asked to stop */
  SPI_NOT_SUPPORT = 2,    /* unknown format */
  SPI_OUT_OF_ORDER = 3,   /* corrupt or truncated data */
  SPI_NO_MEMORY = 4,      /* memory could not be allocated */
  SPI_MEMORY_ERROR = 5,   /* memory error (locking a block) */
  SPI_FILE_READ_ERROR = 6,
  SPI_WINDOW_ERROR = 7,   /* reserved */
  SPI_OTHER_ERROR = 8     /* internal error */
};

/* Low three bits of the flags word: where the source is. */
enum {
  SPI_INPUT_FILE = 0,   /* source: file name (ANSI); second argument: byte offset */
  SPI_INPUT_MEMORY = 1, /* source: address of the image; second argument: its length */
  SPI_INPUT_MASK = 7
};

/* Picture information, the interface's wire record: packed without gaps, little-endian.
 * 26 bytes in 32-bit builds; in 64-bit builds the same fields with an 8-byte handle at 22
 * (30 bytes), the packed 64-bit layout. */
#pragma pack(push, 1)
typedef struct SpiPictureInfo {
  int32_t left;
  int32_t top;
  int32_t width;
  int32_t height;
  uint16_t x_density;
  uint16_t y_density;
  int16_t colorDepth;
  HLOCAL hInfo; /* local-memory block of further text information, or NULL */
} SpiPictureInfo;
#pragma pack(pop)

/* The other layout found in 64-bit plug-ins: natural alignment, the handle at 24 (32 bytes).
 * Offsets 0-21 are the same as in the packed record. */
typedef struct SpiPictureInfoAligned {
  int32_t left;
  int32_t top;
  int32_t width;
  int32_t height;
  uint16_t x_density;
  uint16_t y_density;
  int16_t colorDepth;
  HLOCAL hInfo;
} SpiPictureInfoAligned;

#if defined(__cplusplus)
#define SPI_STATIC_ASSERT static_assert
#else
#define SPI_STATIC_ASSERT _Static_assert
#endif
SPI_STATIC_ASSERT(offsetof(SpiPictureInfo, colorDepth) == 20, "packed record: depth at 20");
SPI_STATIC_ASSERT(offsetof(SpiPictureInfo, hInfo) == 22, "packed record: handle at 22");
SPI_STATIC_ASSERT(sizeof(SpiPictureInfo) == 22 + sizeof(void*), "packed record: 26 or 30 bytes");
#if INTPTR_MAX > INT32_MAX
SPI_STATIC_ASSERT(offsetof(SpiPictureInfoAligned, hInfo) == 24, "aligned record: handle at 24");
SPI_STATIC_ASSERT(sizeof(SpiPictureInfoAligned) == 32, "aligned record: 32 bytes");
#endif

/* The bitmap header and colour entry of a result, laid out as Windows lays them out (40 and
 * 4 bytes; natural alignment adds no padding), usable natively where <windows.h> is absent. */
typedef struct SpiBitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
} SpiBitmapInfoHeader;
typedef struct SpiRgbQuad {
  uint8_t rgbBlue;
  uint8_t rgbGreen;
  uint8_t rgbRed;
  uint8_t rgbReserved;
} SpiRgbQuad;
SPI_STATIC_ASSERT(sizeof(SpiBitmapInfoHeader) == 40, "BITMAPINFOHEADER is 40 bytes");
#define SPI_BI_RGB 0u
#define SPI_BI_BITFIELDS 3u

/* Called by the plug-in with the current step and the number of steps; a nonzero result asks
 * the plug-in to stop, and the call then returns SPI_ABORT. */
typedef int(SPIAPI* SpiProgressCallback)(int num, int denom, SpiLongPtr data);

/* Entry-point types, for hosts and test drivers that resolve them by name. */
typedef int(SPIAPI* SpiGetPluginInfoProc)(int infoNo, char* buf, int bufLen);
typedef int(SPIAPI* SpiIsSupportedProc)(const char* fileName, void* header);
typedef int(SPIAPI* SpiGetPictureInfoProc)(const char* buf, SpiLongPtr len, unsigned int flag,
                                           SpiPictureInfo* info);
typedef int(SPIAPI* SpiGetPictureProc)(const char* buf, SpiLongPtr len, unsigned int flag,
                                       HLOCAL* bitmapInfo, HLOCAL* bitmap,
                                       SpiProgressCallback progress, SpiLongPtr data);
typedef SpiGetPictureProc SpiGetPreviewProc;

#ifndef SPI_NO_PROTOTYPES
/* Information entry infoNo into buf (at most bufLen bytes, zero-terminated when it fits):
 * 0 the API version ("00IN"), 1 the description, then pairs of filter and format name.
 * Returns the number of bytes written, 0 when the entry does not exist. */
SPI_EXPORT int SPIAPI GetPluginInfo(int infoNo, char* buf, int bufLen);
/* header points to the first 2 KB of the data (zero-padded when shorter). Nonzero: can decode. */
SPI_EXPORT int SPIAPI IsSupported(const char* fileName, void* header);
SPI_EXPORT int SPIAPI GetPictureInfo(const char* buf, SpiLongPtr len, unsigned int flag,
                                     SpiPictureInfo* info);
/* On success *bitmapInfo holds a BITMAPINFO and *bitmap the pixel rows, two LocalAlloc
 * blocks that the caller frees; on failure both are NULL. */
SPI_EXPORT int SPIAPI GetPicture(const char* buf, SpiLongPtr len, unsigned int flag,
                                 HLOCAL* bitmapInfo, HLOCAL* bitmap, SpiProgressCallback progress,
                                 SpiLongPtr data);
SPI_EXPORT int SPIAPI GetPreview(const char* buf, SpiLongPtr len, unsigned int flag,
                                 HLOCAL* bitmapInfo, HLOCAL* bitmap, SpiProgressCallback progress,
                                 SpiLongPtr data);
#endif

#ifdef __cplusplus
}
#endif

#endif
