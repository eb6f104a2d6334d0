/* JPEG through libjpeg-turbo, the same code in every build: baseline, progressive and
 * arithmetic-coded files in grey, YCbCr, RGB, CMYK and YCCK, turned upright by their EXIF
 * Orientation.
 *
 * A damaged file is refused rather than shown: libjpeg would carry on after a cut or a broken
 * scan and paint the rest grey, and a converter that writes that out destroys nothing but
 * shows nobody the fault either. So the warnings that mean lost picture data end the
 * decoding with SPI_OUT_OF_ORDER, as libjpeg's errors do. */
#include <limits.h>
#include <setjmp.h>
#include <stdio.h> /* jpeglib.h needs FILE and size_t first */
#include <stdlib.h>
#include <string.h>

/* jerror.h lists some codes only once jpeglib.h has set the library's version. */
#include <jpeglib.h>
#include <jerror.h>

#include "Exif.h"
#include "Plugin.h"

/* More scans than a real progressive file has (ten or so, a few dozen at most); a file of
 * thousands of tiny scans would make every one of them walk the whole picture again. */
#define JPEG_MAX_SCANS 500

/* What the coefficient buffer of a progressive picture may take beyond its two bytes a
 * sample: rounding to whole blocks and MCUs, and libjpeg's own tables. */
#define JPEG_MEMORY_SLACK ((size_t)64 << 20)

typedef struct TJpegError {
  struct jpeg_error_mgr pub;
  jmp_buf jump;
  int rc; /* what the jump out reports */
} TJpegError;

static void JpegErrorExit(j_common_ptr cinfo) {
  TJpegError* error = (TJpegError*)(void*)cinfo->err;
  if (error->rc == SPI_SUCCESS)
    error->rc = error->pub.msg_code == JERR_OUT_OF_MEMORY || error->pub.msg_code == JERR_NO_BACKING_STORE
                    ? SPI_NO_MEMORY
                    : SPI_OUT_OF_ORDER;
  longjmp(error->jump, 1);
}

/* Never prints. Warnings of lost data (a cut file, a broken entropy-coded segment) are errors
 * here; the others (extra bytes before a marker, an unusual JFIF revision) leave the picture
 * whole and pass. */
static void JpegMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  switch (cinfo->err->msg_code) {
  case JWRN_JPEG_EOF:
  case JWRN_HIT_MARKER:
  case JWRN_HUFF_BAD_CODE:
#ifdef D_ARITH_CODING_SUPPORTED
  case JWRN_ARITH_BAD_CODE:
#endif
  case JWRN_MUST_RESYNC:
    ((TJpegError*)(void*)cinfo->err)->rc = SPI_OUT_OF_ORDER;
    longjmp(((TJpegError*)(void*)cinfo->err)->jump, 1);
  default: break;
  }
}

static void JpegScanLimit(j_common_ptr cinfo) {
  j_decompress_ptr d = (j_decompress_ptr)cinfo;
  if (d->is_decompressor && d->input_scan_number > JPEG_MAX_SCANS) {
    ((TJpegError*)(void*)cinfo->err)->rc = SPI_OUT_OF_ORDER;
    longjmp(((TJpegError*)(void*)cinfo->err)->jump, 1);
  }
}

/* The first APP1 segment that holds EXIF decides; none means as stored. */
static int JpegOrientation(j_decompress_ptr cinfo) {
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next)
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && memcmp(m->data, "Exif\0\0", 6) == 0)
      return ExifOrientation(m->data, m->data_length);
  return 1;
}

/* A CMYK pixel as red, green and blue: ink c of k is (255 - c) * (255 - k) / 255 of the light.
 * Files with Adobe's marker (Photoshop and every libjpeg-based writer) store each ink
 * inverted, 255 for none, so their samples are the light already. Without an embedded
 * profile this plain formula is the picture's colour. */
static void CmykRow(const uint8_t* cmyk, uint8_t* rgba, int count, int inverted) {
  for (int x = 0; x < count; ++x, cmyk += 4, rgba += 4) {
    unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
    if (!inverted) c = 255u - c, m = 255u - m, y = 255u - y, k = 255u - k;
    rgba[0] = (uint8_t)((c * k + 127u) / 255u);
    rgba[1] = (uint8_t)((m * k + 127u) / 255u);
    rgba[2] = (uint8_t)((y * k + 127u) / 255u);
    rgba[3] = 255;
  }
}

/* Everything to release on every road, the jump out of libjpeg included. */
typedef struct TJpegJob {
  struct jpeg_decompress_struct cinfo;
  TJpegError error;
  struct jpeg_progress_mgr progress;
  int created;
  uint8_t* row; /* one decoded row, when the DIB cannot take it directly */
  JOCTET* icc;  /* the embedded profile, put together by libjpeg */
  unsigned int iccSize;
  TColour* cmykColour; /* the profile's conversion of CMYK rows, done here */
  int rc;
} TJpegJob;

int JpegDecode(const uint8_t* data, size_t size, TTarget* target, int* width, int* height) {
  TJpegJob job;
  memset(&job, 0, sizeof job);
  /* Only through this pointer after setjmp, so its fields need no volatile. */
  TJpegJob* volatile j = &job;
  j->cinfo.err = jpeg_std_error(&j->error.pub);
  j->error.pub.error_exit = JpegErrorExit;
  j->error.pub.emit_message = JpegMessage;
  j->error.rc = SPI_SUCCESS;
  if (setjmp(j->error.jump) == 0) {
    jpeg_create_decompress(&j->cinfo);
    j->created = 1;
    j->progress.progress_monitor = JpegScanLimit;
    j->cinfo.progress = &j->progress;
    /* libjpeg reads JPEGMEM from the environment; the plug-in sets its own bound below. */
    j->cinfo.mem->max_memory_to_use = 0;
    jpeg_mem_src(&j->cinfo, data, (unsigned long)(size > ULONG_MAX ? ULONG_MAX : size));
    jpeg_save_markers(&j->cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&j->cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&j->cinfo, TRUE);
    JDIMENSION w = j->cinfo.image_width, h = j->cinfo.image_height;
    int orientation = JpegOrientation(&j->cinfo);
    if (w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu) ERREXIT(&j->cinfo, JERR_EMPTY_IMAGE);
    if (!target) {
      int swaps = OrientationSwaps(orientation);
      *width = (int)(swaps ? h : w);
      *height = (int)(swaps ? w : h);
      j->rc = SPI_SUCCESS;
    } else {
      J_COLOR_SPACE space = j->cinfo.jpeg_color_space;
      int cmyk = space == JCS_CMYK || space == JCS_YCCK;
      /* An embedded profile (APP2 chunks) converts the rows to sRGB: RGB and grey rows in
       * the target, CMYK ones here, in place of the ink formula. Upright rows without one go
       * straight into the DIB as blue-green-red; the rest pass one row buffer of RGBA to the
       * target, which turns them. */
      TColour* colour = NULL;
      if (jpeg_read_icc_profile(&j->cinfo, &j->icc, &j->iccSize))
        colour = ColourFromIcc(j->icc, j->iccSize, cmyk ? 4 : space == JCS_GRAYSCALE ? 1 : 3);
      if (cmyk) j->cmykColour = colour;
      int direct = orientation == 1 && !cmyk && !colour;
      j->cinfo.out_color_space = cmyk ? JCS_CMYK : direct ? JCS_EXT_BGR : JCS_EXT_RGBX;
      j->rc = TargetBeginOriented(target, (int)w, (int)h, orientation);
      if (j->rc != SPI_SUCCESS) {
        if (!cmyk) ColourFree(colour);
        goto done;
      }
      if (!cmyk) TargetSetColour(target, colour);
      /* A progressive picture keeps every coefficient until the last scan: two bytes a
       * sample, in proportion to the picture; a file that asks libjpeg for more is refused
       * as out of memory. */
      unsigned long long limit =
          (unsigned long long)w * h * (unsigned)j->cinfo.num_components * 2u + JPEG_MEMORY_SLACK;
      j->cinfo.mem->max_memory_to_use = limit > (unsigned long long)LONG_MAX ? LONG_MAX : (long)limit;
      jpeg_start_decompress(&j->cinfo);
      if (j->cinfo.output_width != w || j->cinfo.output_height != h ||
          j->cinfo.output_components != (cmyk || !direct ? 4 : 3))
        ERREXIT(&j->cinfo, JERR_CONVERSION_NOTIMPL);
      if (!direct) {
        j->row = (uint8_t*)malloc((size_t)w * 4 * (cmyk ? 2 : 1));
        if (!j->row) {
          j->rc = SPI_NO_MEMORY;
          goto done;
        }
      }
      while (j->cinfo.output_scanline < h) {
        JDIMENSION y = j->cinfo.output_scanline;
        JSAMPROW line = direct ? TargetRow(target, (int)y) : j->row;
        if (jpeg_read_scanlines(&j->cinfo, &line, 1) != 1) ERREXIT(&j->cinfo, JERR_INPUT_EMPTY);
        /* The arithmetic decoder goes on with zeros past the end marker without a word; the
         * end reached with more than the last MCU rows to come (the decoder reads a little
         * ahead, and the upsampler lags a row of MCUs) is data lost. */
        if (j->cinfo.unread_marker == JPEG_EOI && !j->cinfo.progressive_mode &&
            (unsigned long long)y + 1 + 3ull * (unsigned)j->cinfo.max_v_samp_factor * DCTSIZE < h) {
          j->rc = SPI_OUT_OF_ORDER;
          goto done;
        }
        if (!direct) {
          const uint8_t* rgba = j->row;
          if (cmyk) {
            if (j->cmykColour)
              ColourCmykRow8(j->cmykColour, j->row, j->cinfo.saw_Adobe_marker, j->row + (size_t)w * 4, (int)w);
            else
              CmykRow(j->row, j->row + (size_t)w * 4, (int)w, j->cinfo.saw_Adobe_marker);
            rgba = j->row + (size_t)w * 4;
          }
          TargetPutRow8(target, (int)y, 0, (int)w, rgba, 0);
        }
        if (TargetProgressSource(target, (int)y + 1)) {
          j->rc = SPI_ABORT;
          goto done;
        }
      }
      /* The end marker is not waited for: a picture whose rows all arrived intact is
       * decoded, as for PNG. */
      j->rc = SPI_SUCCESS;
    }
  } else {
    j->rc = j->error.rc;
  }
done:
  free(j->row);
  free(j->icc);
  ColourFree(j->cmykColour);
  if (j->created) jpeg_destroy_decompress(&j->cinfo);
  return j->rc;
}
