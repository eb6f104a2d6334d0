/* What the floors of bench/plugins share: reading a whole file, and compressing a 24-bit
 * picture with libjpeg-turbo's defaults at quality 90 into the kept buffer, then writing
 * OUTDIR/NAME.jpg (NAME: the input's file name without its extension) with one write. */
#ifndef TAVEX_BENCH_REFERENCE_H
#define TAVEX_BENCH_REFERENCE_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h> /* after stdio.h: it needs FILE and size_t */

static unsigned char* ReadFile(const char* path, size_t* len) {
  FILE* f = fopen(path, "rb");
  unsigned char* buf = NULL;
  if (!f) return NULL;
  if (fseek(f, 0, SEEK_END) == 0) {
    long n = ftell(f);
    if (n > 0 && fseek(f, 0, SEEK_SET) == 0 && (buf = malloc((size_t)n)) && fread(buf, 1, (size_t)n, f) != (size_t)n) {
      free(buf);
      buf = NULL;
    }
    *len = n > 0 ? (size_t)n : 0;
  }
  fclose(f);
  return buf;
}

/* Rows of width * 3 bytes, height of them at rows (the picture lies as one block).
 * A libjpeg error prints its message and exits: fine for a yardstick. Returns 0 on
 * success; prints its own message (behind tool) otherwise. */
static int WriteJpeg(const char* tool, const char* in, const char* outdir, unsigned char* rows, unsigned width,
                     unsigned height, unsigned char** jbuf, unsigned long* jcap) {
  struct jpeg_compress_struct cinfo;
  struct jpeg_error_mgr jerr;
  unsigned char* out = *jbuf;
  unsigned long outlen = *jcap;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &out, &outlen);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = rows + (size_t)cinfo.next_scanline * width * 3;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  if (out != *jbuf) { /* the library outgrew the buffer: keep its bigger one */
    free(*jbuf);
    *jbuf = out;
    *jcap = outlen;
  }
  const char* base = strrchr(in, '/');
  base = base ? base + 1 : in;
  const char* dot = strrchr(base, '.');
  const int bl = dot ? (int)(dot - base) : (int)strlen(base);
  char path[4096];
  snprintf(path, sizeof path, "%s/%.*s.jpg", outdir, bl, base);
  FILE* f = fopen(path, "wb");
  int written = f && fwrite(out, 1, outlen, f) == outlen;
  if (f && fclose(f) != 0) written = 0;
  if (written) return 0;
  fprintf(stderr, "%s: %s: cannot write\n", tool, path);
  return 1;
}

#endif
