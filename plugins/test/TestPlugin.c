/* The small plug-ins that exercise the host: one source, built once per variant. The
 * build defines TP_<VARIANT>; the table below gives each variant its information entries
 * and switches its features on:
 *
 *   TP_GAP                 entry 2 exists, entry 3 does not, entries 4 and 5 do
 *   TP_NO_GETPLUGININFO    exports none of the interface at all
 *   TP_NO_LOADER           exports only GetPluginInfo (a "00XN" plug-in)
 *   TP_NO_GETPICTURE, TP_NO_GETPREVIEW
 *   TP_ARCHIVE             the archive entry points instead of the picture ones
 *   TP_REFUSE              refuses every file and every call
 *   TP_RECORD_ALIGNED      fills the 64-bit picture record naturally aligned (handle at 24)
 *                          instead of packed (handle at 22)
 *   TP_SJIS_NAME           IsSupported accepts only names ending in "テスト.png" as
 *                          Shift_JIS bytes
 *   TP_JPEG_SIGNATURE      IsSupported accepts real JPEG files (FF D8 FF), whose pixels it
 *                          never looks at: another plug-in than Tavex's own for them */
#define TP_SJIS_TEST "\x83\x65\x83\x58\x83\x67" /* テスト in Shift_JIS */
#if defined(TP_PNGTIF)
#define TP_INFO "00IN", "Tavex test PNG/TIFF", "*.png;*.tif", "PNG and TIFF images"
#elif defined(TP_BMP)
#define TP_INFO "00IN", "Tavex test BMP", "*.bmp", "BMP images"
#elif defined(TP_JPEG)
#define TP_INFO "00IN", "Tavex test JPEG", "*.jpg;*.jpeg", "JPEG images"
#elif defined(TP_PHOTO)
#define TP_JPEG_SIGNATURE
#define TP_INFO "00IN", "Tavex test photo", "*.jpg", "JPEG photos"
#elif defined(TP_TIFFS)
#define TP_INFO "00IN", "Tavex test TIFF", "*.tif;", "TIFF images", "*.tiff", "TIFF long"
#elif defined(TP_GAPPED)
#define TP_GAP
#define TP_INFO "00IN", "Tavex test gap", "*.gap", "", "*.gp2", "after the gap"
#elif defined(TP_SJIS)
#define TP_SJIS_NAME
#define TP_INFO "00IN", TP_SJIS_TEST, "*.png", TP_SJIS_TEST " PNG"
#elif defined(TP_LOWER)
#define TP_INFO "00in", "lower-case version", "*.low", "low"
#elif defined(TP_SPACE)
#define TP_INFO "00IN ", "version with a space", "*.spc", "space"
#elif defined(TP_NOPICTURE)
#define TP_NO_GETPICTURE
#define TP_INFO "00IN", "no GetPicture", "*.nop", "nop"
#elif defined(TP_NOPREVIEW)
#define TP_NO_GETPREVIEW
#define TP_INFO "00IN", "no GetPreview", "*.npv", "npv"
#elif defined(TP_ARCHIVER)
#define TP_ARCHIVE
#define TP_INFO "00AM", "Tavex test archive", "*.arc", "archives"
#elif defined(TP_XN)
#define TP_NO_LOADER
#define TP_INFO "00XN", "Tavex test XN"
#elif defined(TP_REFUSER)
#define TP_REFUSE
#define TP_INFO "00IN", "refuses everything", "*.ref", "refused"
#elif defined(TP_PACKED)
#define TP_INFO "00IN", "packed record", "*.rec", "records"
#elif defined(TP_ALIGNED)
#define TP_RECORD_ALIGNED
#define TP_INFO "00IN", "aligned record", "*.rec", "records"
#elif defined(TP_NOTSPI)
#define TP_NO_GETPLUGININFO
#else
#error "no test plug-in variant defined"
#endif

#include "TestPluginSupport.h"

#ifndef TP_NO_GETPLUGININFO

static const char* const Info[] = {TP_INFO};

TP_EXPORT int SPIAPI GetPluginInfo(int infoNo, char* buf, int bufLen) {
#ifdef TP_GAP
  if (infoNo == 3) return 0;
#endif
  return CopyPluginInfo(Info, (int)(sizeof Info / sizeof Info[0]), infoNo, buf, bufLen);
}

#ifndef TP_NO_LOADER

TP_EXPORT int SPIAPI IsSupported(const char* fileName, void* header) {
#if defined(TP_REFUSE)
  (void)fileName;
  (void)header;
  return 0;
#elif defined(TP_JPEG_SIGNATURE)
  (void)fileName;
  return header && memcmp(header, "\xFF\xD8\xFF", 3) == 0;
#elif defined(TP_SJIS_NAME)
  static const char tail[] = "\x83\x65\x83\x58\x83\x67.png";
  size_t n = fileName ? strlen(fileName) : 0;
  (void)header;
  return n >= sizeof tail - 1 && memcmp(fileName + n - (sizeof tail - 1), tail, sizeof tail - 1) == 0;
#else
  (void)fileName;
  return header && memcmp(header, "TVX1", 4) == 0;
#endif
}

#ifndef TP_ARCHIVE

#ifndef TP_REFUSE
static HLOCAL Text(const char* text) {
  size_t n = strlen(text) + 1;
  HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, n);
  void* p = h ? LocalLock(h) : NULL;
  if (p) {
    memcpy(p, text, n);
    LocalUnlock(h);
  }
  return h;
}
#endif

#ifdef TP_REFUSE
TP_EXPORT int SPIAPI GetPictureInfo(const char* buf, SpiLongPtr len, unsigned int flag, void* record) {
  (void)buf;
  (void)len;
  (void)flag;
  (void)record;
  return SPI_NOT_SUPPORT;
}
#else
TP_EXPORT int SPIAPI GetPictureInfo(const char* buf, SpiLongPtr len, unsigned int flag, void* record) {
  SpiPictureInfo fields;
  (void)buf;
  /* The fields before the handle are the same in every layout. */
  fields.left = 1;
  fields.top = 2;
  fields.width = (int32_t)len;
  fields.height = (int32_t)flag + 4;
  fields.x_density = 72;
  fields.y_density = 96;
  fields.colorDepth = 24;
  memcpy(record, &fields, 22);
  {
    HLOCAL text = Text("TVX info");
#ifdef TP_RECORD_ALIGNED
    memcpy((char*)record + offsetof(SpiPictureInfoAligned, hInfo), &text, sizeof text);
#else
    memcpy((char*)record + offsetof(SpiPictureInfo, hInfo), &text, sizeof text);
#endif
  }
  return SPI_SUCCESS;
}
#endif

#ifndef TP_NO_GETPICTURE
/* A 1x1 24-bit picture, blue-green-red 10 20 30, after one progress step that hands the
 * user value back; the callback's nonzero answer aborts. */
static int Picture(SpiLongPtr len, HLOCAL* bitmapInfo, HLOCAL* bitmap, SpiProgressCallback progress,
                   SpiLongPtr data) {
#ifdef TP_REFUSE
  (void)len;
  (void)progress;
  (void)data;
  *bitmapInfo = NULL;
  *bitmap = NULL;
  return SPI_NOT_SUPPORT;
#else
  SpiBitmapInfoHeader header;
  unsigned char* p;
  *bitmapInfo = NULL;
  *bitmap = NULL;
  if (progress && progress((int)len, 2, data)) return SPI_ABORT;
  memset(&header, 0, sizeof header);
  header.biSize = 40;
  header.biWidth = 1;
  header.biHeight = 1;
  header.biPlanes = 1;
  header.biBitCount = 24;
  *bitmapInfo = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof header);
  *bitmap = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 4);
  if (!*bitmapInfo || !*bitmap) return SPI_NO_MEMORY;
  p = (unsigned char*)LocalLock(*bitmapInfo);
  memcpy(p, &header, sizeof header);
  LocalUnlock(*bitmapInfo);
  p = (unsigned char*)LocalLock(*bitmap);
  p[0] = 10;
  p[1] = 20;
  p[2] = 30;
  LocalUnlock(*bitmap);
  return SPI_SUCCESS;
#endif
}

TP_EXPORT int SPIAPI GetPicture(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* bitmapInfo,
                                HLOCAL* bitmap, SpiProgressCallback progress, SpiLongPtr data) {
  (void)buf;
  (void)flag;
  return Picture(len, bitmapInfo, bitmap, progress, data);
}
#endif

#ifndef TP_NO_GETPREVIEW
TP_EXPORT int SPIAPI GetPreview(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* bitmapInfo,
                                HLOCAL* bitmap, SpiProgressCallback progress, SpiLongPtr data) {
  (void)buf;
  (void)flag;
  (void)bitmapInfo;
  (void)bitmap;
  (void)progress;
  (void)data;
  (void)len;
  return SPI_NOT_IMPLEMENTED;
}
#endif

#else /* TP_ARCHIVE */

TP_EXPORT int SPIAPI GetArchiveInfo(const char* buf, SpiLongPtr len, unsigned int flag, HLOCAL* info) {
  (void)buf;
  (void)len;
  (void)flag;
  *info = NULL;
  return SPI_NOT_SUPPORT;
}
TP_EXPORT int SPIAPI GetFileInfo(const char* buf, SpiLongPtr len, const char* name, unsigned int flag, void* info) {
  (void)buf;
  (void)len;
  (void)name;
  (void)flag;
  (void)info;
  return SPI_NOT_SUPPORT;
}
TP_EXPORT int SPIAPI GetFile(const char* src, SpiLongPtr len, char* dest, unsigned int flag,
                             SpiProgressCallback progress, SpiLongPtr data) {
  (void)src;
  (void)len;
  (void)dest;
  (void)flag;
  (void)progress;
  (void)data;
  return SPI_NOT_SUPPORT;
}

#endif /* TP_ARCHIVE */
#endif /* TP_NO_LOADER */

#else /* TP_NO_GETPLUGININFO */

/* A library that is not a plug-in at all. */
TP_EXPORT int SPIAPI NotAPlugin(void) { return 0; }

#endif
