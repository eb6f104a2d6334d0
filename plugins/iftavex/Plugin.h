/* Inside Tavex's own import filter: the formats, and the target that every decoder writes into.
 *
 * A decoder turns the source into rows of red, green, blue and alpha (8 or 16 bits a channel,
 * straight or premultiplied alpha) and hands them to the target, which composites them on
 * white and stores them as a 24-bit bottom-up blue-green-red DIB. Keeping that step here, the
 * same for the native libraries and for the Windows imaging component, is what makes both
 * builds give the same bytes for the same file. */
#ifndef TAVEX_IFTAVEX_PLUGIN_H
#define TAVEX_IFTAVEX_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#include "Colour.h"
#include "SusiePlugin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum TFormat { fmtNone, fmtPng, fmtGif, fmtTiff, fmtWebp, fmtHeif, fmtJpeg, fmtBmp,
  fmtIco, fmtJxr, fmtDds /* Windows only: what only the system's imaging component reads */
} TFormat;

/* The format that the first bytes announce; fmtNone when none of ours. */
TFormat DetectFormat(const uint8_t* data, size_t size);

typedef struct TTarget {
  int width;
  int height;
  size_t stride;
  HLOCAL infoHandle;
  HLOCAL bitsHandle;
  uint8_t* bits; /* locked pixel block while decoding */
  SpiProgressCallback progress;
  SpiLongPtr progressData;
  int rowsDone;
  int reported; /* last progress step reported, -1 before the first */
  int aborted;
  /* How the decoder's rows lie in the picture (a TIFF Orientation, 1 to 8), and their size:
   * the rows are stored as they come and turned upright on the way into the DIB. */
  int orientation;
  int sourceWidth;
  int sourceHeight;
  /* The conversion to sRGB of every row put, or NULL to store the rows as they come. */
  TColour* colour;
} TTarget;

/* TIFF Orientation values: 1 rows as they come, 2 mirrored, 3 turned half round, 4 upside
 * down, 5 to 8 the same four with rows and columns exchanged (the picture is height x width). */
/* Whether an orientation exchanges width and height (5 to 8). */
int OrientationSwaps(int orientation);

/* 16 to 8 bits: the nearest 8-bit value, (v*255 + 32767) / 65535, which equals (v + 128) / 257.
 * Every 16-bit value the plug-in reduces (samples, alpha, colour maps) goes by this rule. */
static inline unsigned To8(uint16_t v) { return ((unsigned)v * 255u + 32767u) / 65535u; }

/* Makes the two result blocks for a picture of width x height and reports step 0. A decoder
 * that may leave parts of the picture uncovered (a GIF frame smaller than its screen) asks
 * for partial, which makes the picture white first. Returns SPI_SUCCESS, SPI_OUT_OF_ORDER
 * for an impossible size, SPI_NO_MEMORY or SPI_ABORT. */
int TargetBegin(TTarget* target, int width, int height, int partial);

/* What TargetBegin would answer for the size, without making anything: SPI_SUCCESS,
 * SPI_OUT_OF_ORDER or SPI_NO_MEMORY. For a decoder that can refuse before it decodes. */
int TargetSizeFits(int width, int height);

/* TargetBegin for rows of width x height stored in the given orientation (anything outside 1
 * to 8 counts as 1): the picture made is upright, height x width for 5 to 8. The rows and
 * columns that TargetPutRow8/16 and TargetProgressSource take are then those of the storage. */
int TargetBeginOriented(TTarget* target, int width, int height, int orientation);

/* Stores count pixels of picture row y (0 = top) from column x on; pixels that fall outside
 * the picture are dropped. rgba holds 4 channels a pixel. Row and column are the decoder's,
 * before the orientation that TargetBeginOriented was given. */
void TargetPutRow8(TTarget* target, int y, int x, int count, const uint8_t* rgba, int premultiplied);
void TargetPutRow16(TTarget* target, int y, int x, int count, const uint16_t* rgba, int premultiplied);

/* Makes the target convert each row that TargetPutRow8/16 stores from colour to sRGB, before
 * alpha is put on white; the target owns colour from here on (NULL: rows as they come). A
 * decoder that writes TargetRow itself must not be given one. */
void TargetSetColour(TTarget* target, TColour* colour);

/* Row y (0 = top) of the DIB, for a decoder that writes width blue-green-red triples itself:
 * an opaque picture needs no compositing. Rows as they come only (orientation 1). */
uint8_t* TargetRow(TTarget* target, int y);

/* Tells the caller's progress callback that rowsDone rows of the picture are decoded.
 * Returns nonzero once the callback has asked to stop. */
int TargetProgress(TTarget* target, int rowsDone);

/* TargetProgress for rowsDone of the decoder's stored rows, which cover the picture's rows
 * in proportion whatever the orientation. */
int TargetProgressSource(TTarget* target, int rowsDone);

/* Implemented over the libraries (DecodePosix.c), in every build. Both return
 * SPI_* codes; Decode calls TargetBegin itself once the size is known and stops with
 * SPI_ABORT when TargetProgress asks it to. */
int DecoderQueryInfo(const uint8_t* data, size_t size, TFormat format, int* width, int* height);
int DecoderDecode(const uint8_t* data, size_t size, TFormat format, TTarget* target);

/* HEIF and AVIF (DecodeHeif.c), the same in every build over libheif loaded at run time.
 * HeifDetect: whether the ftyp box names a brand of ours. HeifAvailable: whether libheif is
 * there (loaded the first time it is asked). HeifDecode: SPI_* codes as the decoders above;
 * with a NULL target it reports the upright size only. */
int HeifDetect(const uint8_t* data, size_t size);
int HeifAvailable(void);
int HeifDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height);
/* Whether the primary item carries a rotation or mirror (irot, imir), read off the boxes. */
int HeifHasTransform(const uint8_t* data, size_t size);
/* The largest frame, in pixels, that the codec headers of any HEVC or AV1 item, or any grid
 * or overlay, ask for (0 when none is found, UINT64_MAX for boxes too many to look through). */
uint64_t HeifLargestCodedFrame(const uint8_t* data, size_t size);
/* An n-bit sample (9 to 16) as 16 bits, v * 65535 / (2^n - 1) rounded, for To8 to reduce. */
uint16_t HeifTo16(unsigned v, int bits);
#ifdef _WIN32
/* The system's imaging component (DecodeWic.cpp), the last resort: the formats that only a
 * Windows codec reads. Same contract as DecoderQueryInfo and DecoderDecode. */
int WicQueryInfo(const uint8_t* data, size_t size, TFormat format, int* width, int* height);
int WicDecode(const uint8_t* data, size_t size, TFormat format, TTarget* target);
#endif
/* The portable decoders, the same in every build (DecodeJpeg.c, DecodeBmp.c). With a NULL
 * target they report the upright picture's size only. SPI_* codes as above. */
int JpegDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height);
int BmpDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height);
/* Whether a BMP is one for the plug-in: only headers that the program's own DIB library does
 * not read (52, 56, 108 and 124 bytes), so that every other BMP keeps its road and bytes. */
int BmpIsOurs(const uint8_t* data, size_t size);

/* The progress step of rowsDone rows of height; the callback is told at most this many steps. */
#define TARGET_PROGRESS_STEPS 32

#ifdef __cplusplus
}
#endif

#endif
