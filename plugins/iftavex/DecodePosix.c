/* The library decoders of every build: libpng, giflib, libtiff and libwebp, reading from memory.
 * Each hands rows of red, green, blue and alpha to the target; nothing else here knows
 * about DIBs. */
#include <gif_lib.h>
#include <png.h>
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>
#include <zlib.h>

#include "Colour.h"
#include "Exif.h"
#include "Plugin.h"

typedef struct TMemoryReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
} TMemoryReader;

static size_t ReadBytes(TMemoryReader* r, void* out, size_t n) {
  size_t left = r->size - r->pos;
  if (n > left) n = left;
  memcpy(out, r->data + r->pos, n);
  r->pos += n;
  return n;
}

/* ---- PNG ---------------------------------------------------------------------------- */

typedef struct TPngState {
  jmp_buf jump;
  TMemoryReader reader;
} TPngState;

static void PngError(png_structp png, png_const_charp message) {
  (void)message;
  longjmp(((TPngState*)png_get_error_ptr(png))->jump, 1);
}

static void PngWarning(png_structp png, png_const_charp message) {
  (void)png;
  (void)message;
}

static void PngRead(png_structp png, png_bytep out, size_t n) {
  TPngState* state = (TPngState*)png_get_io_ptr(png);
  if (ReadBytes(&state->reader, out, n) != n) png_error(png, "truncated");
}

static uint32_t PngBig32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* The profile of an iCCP chunk (a keyword, its terminator, the method byte 0, then the zlib
 * stream): the size its header declares is allocated, at most the profile limit, and must
 * come out whole. */
static TColour* PngIcc(const uint8_t* body, size_t size, int channels) {
  size_t k = 0;
  while (k < size && k < 80 && body[k]) ++k;
  if (k == 0 || k >= 80 || size - k < 2 || body[k + 1] != 0) return NULL;
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return NULL;
  uint8_t head[4];
  uint8_t* icc = NULL;
  TColour* colour = NULL;
  z.next_in = (Bytef*)(body + k + 2);
  z.avail_in = (uInt)(size - k - 2);
  z.next_out = head;
  z.avail_out = sizeof head;
  int rc = inflate(&z, Z_SYNC_FLUSH);
  uint32_t declared = PngBig32(head);
  if ((rc == Z_OK || rc == Z_STREAM_END) && z.avail_out == 0 && declared >= 132 &&
      declared <= COLOUR_MAX_PROFILE_BYTES && (icc = (uint8_t*)malloc(declared)) != NULL) {
    memcpy(icc, head, sizeof head);
    z.next_out = icc + sizeof head;
    z.avail_out = declared - (uInt)sizeof head;
    while (rc == Z_OK && z.avail_out > 0) rc = inflate(&z, Z_SYNC_FLUSH);
    if (z.avail_out == 0) colour = ColourFromIcc(icc, declared, channels);
  }
  free(icc);
  inflateEnd(&z);
  return colour;
}

/* The colour of a PNG, read off the chunks before its palette and image data (libpng skips
 * them unread): an sRGB chunk says the pixels are sRGB; else an embedded profile; else its
 * gamma and chromaticities. A chunk whose check sum fails counts as missing, as libpng's
 * handling of a damaged ancillary chunk drops it. */
static TColour* PngColour(const uint8_t* data, size_t size, int type) {
  const uint8_t* icc = NULL;
  size_t iccSize = 0;
  double gamma = 0, chrm[8];
  int haveChrm = 0;
  for (size_t at = 8; size - at >= 12;) {
    size_t n = PngBig32(data + at);
    if (n > size - at - 12) break;
    const uint8_t* kind = data + at + 4;
    const uint8_t* body = kind + 4;
    if (memcmp(kind, "IDAT", 4) == 0 || memcmp(kind, "PLTE", 4) == 0) break;
    at += 12 + n;
    if (crc32(crc32(0, NULL, 0), kind, (uInt)(n + 4)) != PngBig32(body + n)) continue;
    if (memcmp(kind, "sRGB", 4) == 0) return NULL;
    if (memcmp(kind, "iCCP", 4) == 0 && !icc) {
      icc = body;
      iccSize = n;
    } else if (memcmp(kind, "gAMA", 4) == 0 && n == 4) {
      gamma = PngBig32(body) / 100000.0;
    } else if (memcmp(kind, "cHRM", 4) == 0 && n == 32) {
      for (int i = 0; i < 8; ++i) chrm[i] = PngBig32(body + 4 * i) / 100000.0;
      haveChrm = 1;
    }
  }
  /* A profile that cannot be used leaves the chunks it stands above to say the colour. */
  TColour* colour = icc ? PngIcc(icc, iccSize, (type & PNG_COLOR_MASK_COLOR) ? 3 : 1) : NULL;
  return colour ? colour : ColourFromPng(gamma, haveChrm ? chrm : NULL);
}

/* Everything that libpng holds, so that one function can release it on every path,
 * including the jump out of a decoding error. */
typedef struct TPngJob {
  png_structp png;
  png_infop info;
  uint8_t* rows;      /* one row, or the whole picture of an interlaced file */
  png_bytep* pointers; /* row addresses, when rows are kept for all passes */
} TPngJob;

static int PngDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  TPngState state;
  TPngJob job;
  memset(&job, 0, sizeof job);
  state.reader.data = data;
  state.reader.size = size;
  state.reader.pos = 0;
  /* Only through this pointer after setjmp, so its fields need no volatile. */
  TPngJob* volatile j = &job;
  volatile int rc = SPI_OUT_OF_ORDER;

  j->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
  if (!j->png) return SPI_NO_MEMORY;
  j->info = png_create_info_struct(j->png);
  if (!j->info) {
    png_destroy_read_struct(&j->png, NULL, NULL);
    return SPI_NO_MEMORY;
  }
  if (setjmp(state.jump) == 0) {
    png_set_read_fn(j->png, &state, PngRead);
    /* The check sums catch corruption; a warning must not pass a damaged file. */
    png_set_crc_action(j->png, PNG_CRC_DEFAULT, PNG_CRC_DEFAULT);
    png_set_user_limits(j->png, 0x7FFFFFFF, 0x7FFFFFFF);
    /* Memory follows the picture, not what a chunk header claims: libpng would zero a buffer
     * of a text chunk's declared length (2 GB in 57 bytes) before reading it. The chunks the
     * decoding does not use are skipped unread, and what libpng keeps is bounded. Only IHDR,
     * PLTE, tRNS, IDAT and IEND are used. */
    static const png_byte unused[] = "bKGD\0cHRM\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0"
                                     "sBIT\0sCAL\0sPLT\0sRGB\0sTER\0tEXt\0tIME\0zTXt";
    png_set_keep_unknown_chunks(j->png, PNG_HANDLE_CHUNK_NEVER, NULL, 0);
    png_set_keep_unknown_chunks(j->png, PNG_HANDLE_CHUNK_NEVER, unused, (int)(sizeof unused / 5));
    png_set_chunk_cache_max(j->png, 64);
    png_set_chunk_malloc_max(j->png, (png_alloc_size_t)1 << 20);
    png_read_info(j->png, j->info);
    png_uint_32 w = png_get_image_width(j->png, j->info);
    png_uint_32 h = png_get_image_height(j->png, j->info);
    if (w > 0x7FFFFFFFu || h > 0x7FFFFFFFu) png_error(j->png, "too large");
    /* An eXIf chunk before the image data turns the picture; one after them is not seen,
     * since the rows are taken as they come. */
    png_bytep exif = NULL;
    png_uint_32 exifSize = 0;
    int orientation = png_get_eXIf_1(j->png, j->info, &exifSize, &exif) ? ExifOrientation(exif, exifSize) : 1;
    if (!target) {
      int swaps = OrientationSwaps(orientation);
      *width = (int)(swaps ? h : w);
      *height = (int)(swaps ? w : h);
      rc = SPI_SUCCESS;
    } else {
      int depth = png_get_bit_depth(j->png, j->info);
      int type = png_get_color_type(j->png, j->info);
      int transparent = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(j->png, j->info, PNG_INFO_tRNS);
      TargetSetColour(target, PngColour(data, size, type));
      /* Opaque pictures of 8 bits or less go straight into the DIB's rows as blue-green-red,
       * unless their colour is converted or they are turned; the rest become RGBA rows for the
       * target to convert and composite. Palettes, low gray depths and a transparent colour are
       * expanded. */
      int direct = depth <= 8 && !transparent && !target->colour && orientation == 1;
      png_set_expand(j->png);
      png_set_gray_to_rgb(j->png);
      if (direct)
        png_set_bgr(j->png);
      else if (!transparent)
        png_set_filler(j->png, depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
      if (depth == 16) png_set_swap(j->png); /* host order for the uint16 rows */
      int passes = png_set_interlace_handling(j->png);
      png_read_update_info(j->png, j->info);
      size_t rowBytes = png_get_rowbytes(j->png, j->info);
      int wide = png_get_bit_depth(j->png, j->info) == 16;
      size_t channels = direct ? 3 : 4;
      if (png_get_channels(j->png, j->info) != channels || rowBytes != (size_t)w * channels * (wide ? 2 : 1))
        png_error(j->png, "unexpected layout");
      rc = TargetBeginOriented(target, (int)w, (int)h, orientation);
      if (rc == SPI_SUCCESS) {
        rc = SPI_OUT_OF_ORDER;
        /* Interlaced rows are complete only after the last pass, so every row needs a home
         * for the whole decoding: the DIB itself when direct, else one buffer. */
        int whole = passes > 1;
        png_bytep* pointers = NULL;
        if (whole || direct) {
          j->pointers = (png_bytep*)malloc(sizeof(png_bytep) * h);
          if (!j->pointers) {
            rc = SPI_NO_MEMORY;
            png_error(j->png, "no memory");
          }
          pointers = j->pointers;
        }
        if (direct) {
          for (png_uint_32 y = 0; y < h; ++y) pointers[y] = TargetRow(target, (int)y);
        } else {
          if (rowBytes > SIZE_MAX / (whole ? h : 1)) png_error(j->png, "too large");
          j->rows = (uint8_t*)malloc(rowBytes * (whole ? h : 1));
          if (!j->rows) {
            rc = SPI_NO_MEMORY;
            png_error(j->png, "no memory");
          }
          if (whole)
            for (png_uint_32 y = 0; y < h; ++y) pointers[y] = j->rows + rowBytes * y;
        }
        for (int pass = 0; pass < passes; ++pass) {
          for (png_uint_32 y = 0; y < h; ++y) {
            png_bytep row = pointers ? pointers[y] : j->rows;
            png_read_row(j->png, row, NULL);
            if (whole) continue;
            if (!direct) {
              if (wide)
                TargetPutRow16(target, (int)y, 0, (int)w, (const uint16_t*)(void*)row, 0);
              else
                TargetPutRow8(target, (int)y, 0, (int)w, row, 0);
            }
            if (TargetProgressSource(target, (int)y + 1)) {
              rc = SPI_ABORT;
              png_error(j->png, "aborted");
            }
          }
          if (whole && TargetProgressSource(target, (int)((long long)h * (pass + 1) / (passes + 1)))) {
            rc = SPI_ABORT;
            png_error(j->png, "aborted");
          }
        }
        if (whole && !direct) {
          for (png_uint_32 y = 0; y < h; ++y) {
            if (wide)
              TargetPutRow16(target, (int)y, 0, (int)w, (const uint16_t*)(void*)pointers[y], 0);
            else
              TargetPutRow8(target, (int)y, 0, (int)w, pointers[y], 0);
          }
        }
        /* The end chunk is not read: a picture whose rows all arrived intact is decoded. */
        rc = SPI_SUCCESS;
      }
    }
  }
  free(j->pointers);
  free(j->rows);
  png_destroy_read_struct(&j->png, &j->info, NULL);
  return rc;
}

/* ---- GIF ---------------------------------------------------------------------------- */

static int GifRead(GifFileType* gif, GifByteType* out, int n) {
  return (int)ReadBytes((TMemoryReader*)gif->UserData, out, n > 0 ? (size_t)n : 0);
}

/* The first frame on its logical screen; what the frame does not cover stays transparent. */
static int GifDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  TMemoryReader reader = {data, size, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, GifRead, &error);
  if (!gif) return error == D_GIF_ERR_NOT_ENOUGH_MEM ? SPI_NO_MEMORY : SPI_OUT_OF_ORDER;
  int rc = SPI_OUT_OF_ORDER;
  int transparent = -1;
  GifPixelType* line = NULL;
  uint8_t* rgba = NULL;
  if (gif->SWidth <= 0 || gif->SHeight <= 0) goto done;
  if (!target) {
    *width = gif->SWidth;
    *height = gif->SHeight;
    rc = SPI_SUCCESS;
    goto done;
  }
  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif, &record) == GIF_ERROR) goto done;
    if (record == TERMINATE_RECORD_TYPE) goto done; /* no frame at all */
    if (record == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* ext;
      if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) goto done;
      while (ext) {
        if (code == GRAPHICS_EXT_FUNC_CODE && ext[0] >= 4) transparent = (ext[1] & 1) ? ext[4] : -1;
        if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) goto done;
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(gif) == GIF_ERROR) goto done;
    break;
  }
  {
    const GifImageDesc* desc = &gif->Image;
    const ColorMapObject* map = desc->ColorMap ? desc->ColorMap : gif->SColorMap;
    if (!map || desc->Width <= 0 || desc->Height <= 0) goto done;
    rc = TargetBegin(target, gif->SWidth, gif->SHeight, 1);
    if (rc != SPI_SUCCESS) goto done;
    rc = SPI_NO_MEMORY;
    line = (GifPixelType*)malloc((size_t)desc->Width);
    rgba = (uint8_t*)malloc((size_t)desc->Width * 4);
    if (!line || !rgba) goto done;
    rc = SPI_OUT_OF_ORDER;
    /* Interlaced frames arrive in four passes: every 8th row from 0, from 4, every 4th from
     * 2, every 2nd from 1. */
    static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    int passes = desc->Interlace ? 4 : 1;
    int done = 0;
    for (int pass = 0; pass < passes; ++pass) {
      for (int y = desc->Interlace ? start[pass] : 0; y < desc->Height;
           y += desc->Interlace ? step[pass] : 1) {
        if (DGifGetLine(gif, line, desc->Width) == GIF_ERROR) goto done;
        for (int x = 0; x < desc->Width; ++x) {
          uint8_t* p = rgba + (size_t)x * 4;
          int i = line[x];
          if (i == transparent) {
            p[0] = p[1] = p[2] = p[3] = 0;
          } else if (i < map->ColorCount) {
            p[0] = map->Colors[i].Red;
            p[1] = map->Colors[i].Green;
            p[2] = map->Colors[i].Blue;
            p[3] = 255;
          } else {
            p[0] = p[1] = p[2] = 0; /* an index past the table shows black */
            p[3] = 255;
          }
        }
        TargetPutRow8(target, desc->Top + y, desc->Left, desc->Width, rgba, 0);
        if (TargetProgress(target, (int)((long long)++done * gif->SHeight / desc->Height))) {
          rc = SPI_ABORT;
          goto done;
        }
      }
    }
    rc = SPI_SUCCESS;
  }
done:
  free(line);
  free(rgba);
  DGifCloseFile(gif, &error);
  return rc;
}

/* ---- TIFF --------------------------------------------------------------------------- */

#ifdef TAVEX_TIFF_SONAME
/* libtiff and what it pulls in (a dozen libraries, the C++ run-time among them) take longer
 * to load than the rest of the plug-in together, and every start of the program loads the
 * plug-in; so libtiff is loaded when the first TIFF comes. */
#include <dlfcn.h>
#include <pthread.h>

#define TIFF_FUNCTIONS(X)                                                                        \
  X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsFree) X(TIFFOpenOptionsSetErrorHandlerExtR)           \
  X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc)                 \
  X(TIFFClientOpenExt) X(TIFFClose) X(TIFFGetField) X(TIFFGetFieldDefaulted) X(TIFFSetField)      \
  X(TIFFIsTiled)                                                                                 \
  X(TIFFScanlineSize) X(TIFFReadScanline) X(TIFFRGBAImageOK) X(TIFFRGBAImageBegin)              \
  X(TIFFRGBAImageGet) X(TIFFRGBAImageEnd)

static struct {
  void* library;
#define TIFF_POINTER(name) __typeof__(name)* name;
  TIFF_FUNCTIONS(TIFF_POINTER)
#undef TIFF_POINTER
} gTiff;
static pthread_once_t gTiffOnce = PTHREAD_ONCE_INIT;

static void TiffLoad(void) {
  void* library = dlopen(TAVEX_TIFF_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (!library) return;
  int complete = 1;
#define TIFF_RESOLVE(name) complete &= (*(void**)&gTiff.name = dlsym(library, #name)) != NULL;
  TIFF_FUNCTIONS(TIFF_RESOLVE)
#undef TIFF_RESOLVE
  if (complete)
    gTiff.library = library;
  else
    dlclose(library);
}

__attribute__((destructor)) static void TiffUnload(void) {
  if (gTiff.library) dlclose(gTiff.library);
}

/* Whether libtiff is there; loads it the first time. */
static int TiffAvailable(void) {
  pthread_once(&gTiffOnce, TiffLoad);
  return gTiff.library != NULL;
}

/* From here on every call goes through the table. */
#define TIFFOpenOptionsAlloc gTiff.TIFFOpenOptionsAlloc
#define TIFFOpenOptionsFree gTiff.TIFFOpenOptionsFree
#define TIFFOpenOptionsSetErrorHandlerExtR gTiff.TIFFOpenOptionsSetErrorHandlerExtR
#define TIFFOpenOptionsSetWarningHandlerExtR gTiff.TIFFOpenOptionsSetWarningHandlerExtR
#define TIFFOpenOptionsSetMaxSingleMemAlloc gTiff.TIFFOpenOptionsSetMaxSingleMemAlloc
#define TIFFClientOpenExt gTiff.TIFFClientOpenExt
#define TIFFClose gTiff.TIFFClose
#define TIFFGetField gTiff.TIFFGetField
#define TIFFGetFieldDefaulted gTiff.TIFFGetFieldDefaulted
#define TIFFSetField gTiff.TIFFSetField
#define TIFFIsTiled gTiff.TIFFIsTiled
#define TIFFScanlineSize gTiff.TIFFScanlineSize
#define TIFFReadScanline gTiff.TIFFReadScanline
#define TIFFRGBAImageOK gTiff.TIFFRGBAImageOK
#define TIFFRGBAImageBegin gTiff.TIFFRGBAImageBegin
#define TIFFRGBAImageGet gTiff.TIFFRGBAImageGet
#define TIFFRGBAImageEnd gTiff.TIFFRGBAImageEnd
#else
static int TiffAvailable(void) { return 1; }
#endif

static tsize_t TiffRead(thandle_t h, tdata_t out, tsize_t n) {
  return n < 0 ? 0 : (tsize_t)ReadBytes((TMemoryReader*)h, out, (size_t)n);
}
static tsize_t TiffWrite(thandle_t h, tdata_t in, tsize_t n) {
  (void)h;
  (void)in;
  (void)n;
  return 0;
}
static toff_t TiffSeek(thandle_t h, toff_t off, int whence) {
  TMemoryReader* r = (TMemoryReader*)h;
  uint64_t base = whence == SEEK_CUR ? r->pos : whence == SEEK_END ? r->size : 0;
  uint64_t to = base + off; /* unsigned wrap-around lands past the end and is refused */
  if (to > r->size) return (toff_t)-1;
  r->pos = (size_t)to;
  return to;
}
static int TiffClose(thandle_t h) {
  (void)h;
  return 0;
}
static toff_t TiffSize(thandle_t h) { return ((TMemoryReader*)h)->size; }
static int TiffMap(thandle_t h, tdata_t* base, toff_t* size) {
  (void)h;
  (void)base;
  (void)size;
  return 0;
}
static void TiffUnmap(thandle_t h, tdata_t base, toff_t size) {
  (void)h;
  (void)base;
  (void)size;
}

/* Messages go to a handler of this file's own, never to the process-wide ones: a plug-in
 * must neither print nor change how the host's own use of libtiff reports. */
static int TiffSilent(TIFF* tif, void* user, const char* module, const char* fmt, va_list ap) {
  (void)tif;
  (void)user;
  (void)module;
  (void)fmt;
  (void)ap;
  return 1;
}

/* Strips of 8- or 16-bit gray or RGB, with or without alpha, are read sample by sample, as the
 * Windows decoder reads them; every other layout goes through libtiff's RGBA reader. */
static int TiffDecodeScanlines(TIFF* tif, TTarget* target, int w, int h, int orientation, int* handled) {
  uint16_t bits = 0, spp = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
  uint16_t extraCount = 0;
  uint16_t* extra = NULL;
  *handled = 0;
  if (TIFFIsTiled(tif) || !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return SPI_SUCCESS;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
  int color = photometric == PHOTOMETRIC_RGB ? 3 : photometric == PHOTOMETRIC_MINISBLACK ? 1 : 0;
  if (!color || (bits != 8 && bits != 16) || planar != PLANARCONFIG_CONTIG ||
      sampleFormat != SAMPLEFORMAT_UINT || spp < color || spp > color + 1 ||
      (spp == color + 1 && extraCount != 1))
    return SPI_SUCCESS;
  int alpha = spp == color + 1;
  int premultiplied = alpha && extra[0] == EXTRASAMPLE_ASSOCALPHA;
  *handled = 1;

  tsize_t lineBytes = TIFFScanlineSize(tif);
  if (lineBytes < (tsize_t)((size_t)w * spp * (bits / 8))) return SPI_OUT_OF_ORDER;
  int rc = TargetBeginOriented(target, w, h, orientation);
  if (rc != SPI_SUCCESS) return rc;
  uint8_t* line = (uint8_t*)malloc((size_t)lineBytes);
  void* rgba = malloc((size_t)w * 4 * (bits / 8));
  rc = SPI_NO_MEMORY;
  if (line && rgba) {
    rc = SPI_SUCCESS;
    for (int y = 0; y < h && rc == SPI_SUCCESS; ++y) {
      if (TIFFReadScanline(tif, line, (uint32_t)y, 0) < 0) {
        rc = SPI_OUT_OF_ORDER;
        break;
      }
      for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 4; ++c) {
          int s = c == 3 ? (alpha ? color : -1) : (color == 3 ? c : 0);
          if (bits == 8) {
            const uint8_t* px = line + (size_t)x * spp;
            ((uint8_t*)rgba)[x * 4 + c] = s < 0 ? 255 : px[s];
          } else {
            const uint16_t* px = (const uint16_t*)(void*)line + (size_t)x * spp;
            ((uint16_t*)rgba)[x * 4 + c] = s < 0 ? 65535 : px[s];
          }
        }
      }
      if (bits == 8)
        TargetPutRow8(target, y, 0, w, (const uint8_t*)rgba, premultiplied);
      else
        TargetPutRow16(target, y, 0, w, (const uint16_t*)rgba, premultiplied);
      if (TargetProgressSource(target, y + 1)) rc = SPI_ABORT;
    }
  }
  free(line);
  free(rgba);
  return rc;
}

/* Strips of 8-bit CMYK converted by their profile; other CMYK layouts are left to libtiff's
 * RGBA reader, which knows no profile. */
static int TiffDecodeCmyk(TIFF* tif, TTarget* target, int w, int h, int orientation, TColour* colour,
                          int* handled) {
  uint16_t bits = 0, spp = 0, planar = PLANARCONFIG_CONTIG, sampleFormat = SAMPLEFORMAT_UINT;
  *handled = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  if (TIFFIsTiled(tif) || bits != 8 || spp != 4 || planar != PLANARCONFIG_CONTIG || sampleFormat != SAMPLEFORMAT_UINT)
    return SPI_SUCCESS;
  *handled = 1;
  tsize_t lineBytes = TIFFScanlineSize(tif);
  if (lineBytes < (tsize_t)((size_t)w * 4)) return SPI_OUT_OF_ORDER;
  int rc = TargetBeginOriented(target, w, h, orientation);
  if (rc != SPI_SUCCESS) return rc;
  uint8_t* line = (uint8_t*)malloc((size_t)lineBytes);
  uint8_t* rgba = (uint8_t*)malloc((size_t)w * 4);
  rc = line && rgba ? SPI_SUCCESS : SPI_NO_MEMORY;
  for (int y = 0; y < h && rc == SPI_SUCCESS; ++y) {
    if (TIFFReadScanline(tif, line, (uint32_t)y, 0) < 0) {
      rc = SPI_OUT_OF_ORDER;
      break;
    }
    ColourCmykRow8(colour, line, 0, rgba, w);
    TargetPutRow8(target, y, 0, w, rgba, 0);
    if (TargetProgressSource(target, y + 1)) rc = SPI_ABORT;
  }
  free(line);
  free(rgba);
  return rc;
}

/* libtiff's RGBA reader takes a colour map of 16-bit entries down to 8 bits by dropping the
 * low byte; the plug-in's rule rounds. So a 16-bit map is rounded here and handed back, and the
 * reader, seeing no entry above 255, takes it as it is (as it takes an 8-bit map). */
static int TiffRoundColormap(TIFF* tif) {
  uint16_t photometric = 0, bits = 0;
  uint16_t *red, *green, *blue;
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_PALETTE)
    return SPI_SUCCESS;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  if (bits < 1 || bits > 8 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue)) return SPI_SUCCESS;
  size_t n = (size_t)1 << bits;
  int wide = 0;
  for (size_t i = 0; i < n && !wide; ++i) wide = red[i] > 255 || green[i] > 255 || blue[i] > 255;
  if (!wide) return SPI_SUCCESS;
  uint16_t* map = (uint16_t*)malloc(n * 3 * sizeof(uint16_t));
  if (!map) return SPI_NO_MEMORY;
  for (size_t i = 0; i < n; ++i) {
    map[i] = (uint16_t)To8(red[i]);
    map[n + i] = (uint16_t)To8(green[i]);
    map[2 * n + i] = (uint16_t)To8(blue[i]);
  }
  /* The field takes copies; the pointers read above are libtiff's and die with the call. */
  int ok = TIFFSetField(tif, TIFFTAG_COLORMAP, map, map + n, map + 2 * n);
  free(map);
  return ok ? SPI_SUCCESS : SPI_OUT_OF_ORDER;
}

/* The conversion of the ICC profile tag, for the pixels that reach the target as RGB or grey:
 * RGB, YCbCr and palette pictures come as RGB, black-is-zero grey as grey; and for CMYK. */
static TColour* TiffColour(TIFF* tif) {
  uint32_t size = 0;
  void* icc = NULL;
  uint16_t photometric = 0;
  if (!TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc) || !icc ||
      !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
    return NULL;
  uint16_t inks = INKSET_CMYK;
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inks);
  int channels = photometric == PHOTOMETRIC_MINISBLACK ? 1
                 : photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_YCBCR ||
                         photometric == PHOTOMETRIC_PALETTE
                     ? 3
                 : photometric == PHOTOMETRIC_SEPARATED && inks == INKSET_CMYK ? 4
                                                                                : 0;
  return channels ? ColourFromIcc((const uint8_t*)icc, size, channels) : NULL;
}

static int TiffDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  if (!TiffAvailable()) return SPI_NOT_SUPPORT;
  TMemoryReader reader = {data, size, 0};
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return SPI_NO_MEMORY;
  TIFFOpenOptionsSetErrorHandlerExtR(options, TiffSilent, NULL);
  TIFFOpenOptionsSetWarningHandlerExtR(options, TiffSilent, NULL);
  /* A damaged header must not make libtiff ask for gigabytes for one strip. */
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, (tmsize_t)1 << 30);
  TIFF* tif = TIFFClientOpenExt("memory", "rm", (thandle_t)&reader, TiffRead, TiffWrite, TiffSeek,
                                TiffClose, TiffSize, TiffMap, TiffUnmap, options);
  TIFFOpenOptionsFree(options);
  if (!tif) return SPI_OUT_OF_ORDER;
  int rc = SPI_OUT_OF_ORDER;
  uint32_t w = 0, h = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) ||
      w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu)
    goto done;
  /* Every layout is turned upright by the tag, the same on each road (libtiff's RGBA reader
   * would only flip, never exchange rows and columns). */
  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  if (!target) {
    int swaps = OrientationSwaps(orientation);
    *width = (int)(swaps ? h : w);
    *height = (int)(swaps ? w : h);
    rc = SPI_SUCCESS;
    goto done;
  }
  int handled;
  TColour* colour = TiffColour(tif);
  if (colour && ColourChannels(colour) == 4) {
    rc = TiffDecodeCmyk(tif, target, (int)w, (int)h, orientation, colour, &handled);
    ColourFree(colour);
    if (handled || rc != SPI_SUCCESS) goto done;
  } else {
    TargetSetColour(target, colour);
  }
  rc = TiffDecodeScanlines(tif, target, (int)w, (int)h, orientation, &handled);
  if (handled || rc != SPI_SUCCESS) goto done;
  rc = TiffRoundColormap(tif);
  if (rc != SPI_SUCCESS) goto done;
  {
    /* libtiff's reader premultiplies alpha and reduces 16 bits by the same rounding as ours. */
    char message[1024];
    TIFFRGBAImage img;
    /* Stop at the first strip or tile that cannot be read: a cut file is never a picture,
     * as on the strip road. */
    if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&img, tif, 1, message)) goto done;
    rc = TargetBeginOriented(target, (int)w, (int)h, orientation);
    uint32_t* raster = NULL;
    if (rc == SPI_SUCCESS) {
      rc = SPI_NO_MEMORY;
      if ((size_t)w <= SIZE_MAX / 4 / h) raster = (uint32_t*)malloc((size_t)w * h * 4);
    }
    if (raster) {
      /* The rows as stored; the target turns them. */
      img.req_orientation = img.orientation;
      rc = TIFFRGBAImageGet(&img, raster, w, h) ? SPI_SUCCESS : SPI_OUT_OF_ORDER;
      for (uint32_t y = 0; rc == SPI_SUCCESS && y < h; ++y) {
        /* Each pixel is packed as A<<24 | B<<16 | G<<8 | R, which is R,G,B,A in memory
         * on a little-endian machine; unpack it so the byte order does not matter. */
        uint32_t* row = raster + (size_t)y * w;
        for (uint32_t x = 0; x < w; ++x) {
          uint32_t p = row[x];
          uint8_t* q = (uint8_t*)&row[x];
          q[0] = (uint8_t)TIFFGetR(p);
          q[1] = (uint8_t)TIFFGetG(p);
          q[2] = (uint8_t)TIFFGetB(p);
          q[3] = (uint8_t)TIFFGetA(p);
        }
        TargetPutRow8(target, (int)y, 0, (int)w, (const uint8_t*)row, 1);
      }
      free(raster);
    }
    TIFFRGBAImageEnd(&img);
  }
done:
  TIFFClose(tif);
  return rc;
}

/* ---- WebP --------------------------------------------------------------------------- */

/* The conversion of the ICCP chunk, which the container's flags announce. */
static TColour* WebpColour(const uint8_t* data, size_t size) {
  WebPData webp = {data, size};
  WebPDemuxer* demux = WebPDemux(&webp);
  if (!demux) return NULL;
  TColour* colour = NULL;
  WebPChunkIterator chunk;
  if ((WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) && WebPDemuxGetChunk(demux, "ICCP", 1, &chunk)) {
    colour = ColourFromIcc(chunk.chunk.bytes, chunk.chunk.size, 3);
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  WebPDemuxDelete(demux);
  return colour;
}

/* An animation gives its first frame, as GIF and TIFF give their first: the whole canvas as
 * the animation decoder composes it, uncovered parts transparent. */
static int WebpDecodeFirstFrame(const uint8_t* data, size_t size, TTarget* target, int orientation) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return SPI_OTHER_ERROR;
  options.color_mode = MODE_RGBA; /* straight alpha, for the target's compositing */
  options.use_threads = 0;
  WebPData webp = {data, size};
  WebPAnimDecoder* decoder = WebPAnimDecoderNew(&webp, &options);
  if (!decoder) return SPI_OUT_OF_ORDER;
  int rc = SPI_OUT_OF_ORDER;
  WebPAnimInfo info;
  uint8_t* canvas;
  int timestamp;
  if (WebPAnimDecoderGetInfo(decoder, &info) && info.canvas_width > 0 && info.canvas_height > 0 &&
      info.canvas_width <= 0x7FFFFFFFu && info.canvas_height <= 0x7FFFFFFFu) {
    int w = (int)info.canvas_width, h = (int)info.canvas_height;
    rc = TargetBeginOriented(target, w, h, orientation);
    if (rc == SPI_SUCCESS) {
      rc = WebPAnimDecoderGetNext(decoder, &canvas, &timestamp) ? SPI_SUCCESS : SPI_OUT_OF_ORDER;
      for (int y = 0; rc == SPI_SUCCESS && y < h; ++y)
        TargetPutRow8(target, y, 0, w, canvas + (size_t)w * 4 * (size_t)y, 0);
    }
  }
  WebPAnimDecoderDelete(decoder);
  return rc;
}

/* The Orientation of the EXIF chunk, 1 without one. The chunk comes after the image data, so
 * a file whose extended header announces EXIF but that ends before the chunk is a cut file:
 * SPI_OUT_OF_ORDER, rather than the picture the wrong way round. */
static int WebpOrientation(const uint8_t* data, size_t size, int* orientation) {
  *orientation = 1;
  if (size < 21 || memcmp(data + 12, "VP8X", 4) != 0 || !(data[20] & EXIF_FLAG)) return SPI_SUCCESS;
  WebPData webp = {data, size};
  WebPDemuxState state;
  WebPDemuxer* demux = WebPDemuxPartial(&webp, &state);
  if (!demux) return SPI_OUT_OF_ORDER;
  int rc = state == WEBP_DEMUX_DONE ? SPI_SUCCESS : SPI_OUT_OF_ORDER;
  WebPChunkIterator chunk;
  if (rc == SPI_SUCCESS && WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
    *orientation = ExifOrientation(chunk.chunk.bytes, chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  WebPDemuxDelete(demux);
  return rc;
}

static int WebpDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data, size, &features) != VP8_STATUS_OK) return SPI_OUT_OF_ORDER;
  if (features.width <= 0 || features.height <= 0) return SPI_OUT_OF_ORDER;
  int orientation;
  int rc = WebpOrientation(data, size, &orientation);
  if (rc != SPI_SUCCESS) return rc;
  if (!target) {
    int swaps = OrientationSwaps(orientation);
    *width = swaps ? features.height : features.width;
    *height = swaps ? features.width : features.height;
    return SPI_SUCCESS;
  }
  TargetSetColour(target, WebpColour(data, size));
  if (features.has_animation) return WebpDecodeFirstFrame(data, size, target, orientation);
  rc = TargetBeginOriented(target, features.width, features.height, orientation);
  if (rc != SPI_SUCCESS) return rc;
  size_t stride = (size_t)features.width * 4;
  if (stride > SIZE_MAX / (size_t)features.height) return SPI_NO_MEMORY;
  uint8_t* rgba = (uint8_t*)malloc(stride * (size_t)features.height);
  if (!rgba) return SPI_NO_MEMORY;
  rc = WebPDecodeRGBAInto(data, size, rgba, stride * (size_t)features.height, (int)stride)
           ? SPI_SUCCESS
           : SPI_OUT_OF_ORDER;
  for (int y = 0; rc == SPI_SUCCESS && y < features.height; ++y)
    TargetPutRow8(target, y, 0, features.width, rgba + stride * (size_t)y, 0);
  free(rgba);
  return rc;
}

/* ---- dispatch ----------------------------------------------------------------------- */

static int Decode(const uint8_t* data, size_t size, TFormat format, TTarget* target, int* width,
                  int* height) {
  switch (format) {
  case fmtPng: return PngDecode(data, size, target, width, height);
  case fmtGif: return GifDecode(data, size, target, width, height);
  case fmtTiff: return TiffDecode(data, size, target, width, height);
  case fmtWebp: return WebpDecode(data, size, target, width, height);
#ifdef _WIN32
  /* What no library here reads, a Windows codec may. */
  default: return target ? WicDecode(data, size, format, target) : WicQueryInfo(data, size, format, width, height);
#else
  default: return SPI_NOT_SUPPORT;
#endif
  }
}

int DecoderQueryInfo(const uint8_t* data, size_t size, TFormat format, int* width, int* height) {
  return Decode(data, size, format, NULL, width, height);
}

int DecoderDecode(const uint8_t* data, size_t size, TFormat format, TTarget* target) {
  int width, height;
  return Decode(data, size, format, target, &width, &height);
}
