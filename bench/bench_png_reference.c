/* The floor of a PNG conversion, for bench/plugins:
 *
 *   bench_png_reference OUTDIR FILE.png...
 *
 * For each FILE, in one process: read the whole file into memory, decode it with
 * libpng into one 24-bit picture (palettes and grey expanded, 16 bits cut to 8; a
 * picture with alpha is refused: this is a yardstick, not a product), compress it with
 * libjpeg-turbo's defaults at quality 90 into memory (the file's bytes already given
 * back) and write OUTDIR/NAME.jpg with one write. The compressed buffer is kept for the
 * next file, as a batch converter keeps its stream. The same libraries as the plug-in
 * and the program, found the same way. */
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <png.h>

#include "BenchReference.h"

typedef struct TSource {
  const unsigned char* data;
  size_t size, pos;
} TSource;

static void ReadFromMemory(png_structp png, png_bytep out, size_t n) {
  TSource* s = (TSource*)png_get_io_ptr(png);
  if (n > s->size - s->pos) png_error(png, "truncated");
  memcpy(out, s->data + s->pos, n);
  s->pos += n;
}

/* What libpng holds, so that the jump out of a decoding error can release it. */
typedef struct TDecoded {
  png_structp png;
  png_infop info;
  unsigned char* pixels;
  png_bytep* rows;
  png_uint_32 width, height;
} TDecoded;

static int Decode(TDecoded* d, TSource* src) {
  if (setjmp(png_jmpbuf(d->png))) return 0;
  png_set_read_fn(d->png, src, ReadFromMemory);
  png_read_info(d->png, d->info);
  if (png_get_color_type(d->png, d->info) & PNG_COLOR_MASK_ALPHA || png_get_valid(d->png, d->info, PNG_INFO_tRNS))
    png_error(d->png, "alpha");
  png_set_expand(d->png);
  png_set_strip_16(d->png);
  png_set_gray_to_rgb(d->png);
  png_set_interlace_handling(d->png);
  png_read_update_info(d->png, d->info);
  d->width = png_get_image_width(d->png, d->info);
  d->height = png_get_image_height(d->png, d->info);
  size_t stride = png_get_rowbytes(d->png, d->info);
  if (stride != (size_t)d->width * 3) png_error(d->png, "layout");
  d->pixels = malloc(stride * d->height);
  d->rows = malloc(sizeof(png_bytep) * d->height);
  if (!d->pixels || !d->rows) png_error(d->png, "memory");
  for (png_uint_32 y = 0; y < d->height; ++y) d->rows[y] = d->pixels + stride * y;
  png_read_image(d->png, d->rows);
  png_read_end(d->png, NULL);
  return 1;
}

/* Returns 0 on success; prints its own message otherwise. */
static int Convert(const char* in, const char* outdir, unsigned char** jbuf, unsigned long* jcap) {
  TSource src = {NULL, 0, 0};
  TDecoded d;
  int rc = 1;
  memset(&d, 0, sizeof d);
  src.data = ReadFile(in, &src.size);
  if (!src.data) {
    fprintf(stderr, "bench_png_reference: %s: cannot read\n", in);
    return 1;
  }
  d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
  if (d.png) d.info = png_create_info_struct(d.png);
  if (!d.info || !Decode(&d, &src)) {
    fprintf(stderr, "bench_png_reference: %s: not a PNG it takes\n", in);
    goto done;
  }
  free((void*)src.data); /* decoded: the compressed file is needed no more */
  src.data = NULL;

  rc = WriteJpeg("bench_png_reference", in, outdir, d.pixels, d.width, d.height, jbuf, jcap);
done:
  png_destroy_read_struct(&d.png, &d.info, NULL);
  free(d.rows);
  free(d.pixels);
  free((void*)src.data);
  return rc;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_png_reference OUTDIR FILE.png...\n");
    return 2;
  }
  unsigned long cap = 8ul << 20; /* grows to the largest output seen */
  unsigned char* jbuf = malloc(cap);
  if (!jbuf) return 1;
  int rc = 0;
  for (int i = 2; i < argc; ++i)
    if (Convert(argv[i], argv[1], &jbuf, &cap)) rc = 1;
  free(jbuf);
  return rc;
}
