/* The floor of a photo conversion, for bench/plugins:
 *
 *   bench_photo_reference OUTDIR FILE.jpg|FILE.heic...
 *
 * For each FILE, in one process: read the whole file into memory, decode it into one
 * 24-bit picture — a JPEG with libjpeg-turbo's defaults, a HEIC with libheif (its primary
 * image, interleaved RGB) — compress it with libjpeg-turbo's defaults at quality 90 into
 * memory and write OUTDIR/NAME.jpg with one write. The compressed buffer is kept for the
 * next file. The same libraries as the plug-in and the program. No orientation, no colour
 * profile: the bench's photos carry neither. */
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libheif/heif.h>

#include "BenchReference.h"

typedef struct TPicture {
  unsigned char* pixels; /* width * 3 bytes a row, rows one after the other */
  unsigned width, height;
  struct heif_context* heif; /* owns the pixels of a HEIC */
  struct heif_image* image;
} TPicture;

/* A libjpeg error prints its message and exits: fine for a yardstick. */
static int DecodeJpeg(const unsigned char* data, size_t size, TPicture* p) {
  struct jpeg_decompress_struct cinfo;
  struct jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, (unsigned long)size);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  p->width = cinfo.output_width;
  p->height = cinfo.output_height;
  p->pixels = malloc((size_t)p->width * 3 * p->height);
  if (!p->pixels) return 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = p->pixels + (size_t)cinfo.output_scanline * p->width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return 1;
}

static int DecodeHeif(const unsigned char* data, size_t size, TPicture* p) {
  struct heif_image_handle* handle = NULL;
  p->heif = heif_context_alloc();
  if (!p->heif || heif_context_read_from_memory_without_copy(p->heif, data, size, NULL).code != heif_error_Ok ||
      heif_context_get_primary_image_handle(p->heif, &handle).code != heif_error_Ok)
    return 0;
  struct heif_error e = heif_decode_image(handle, &p->image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, NULL);
  heif_image_handle_release(handle);
  if (e.code != heif_error_Ok) return 0;
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(p->image, heif_channel_interleaved, &stride);
  p->width = (unsigned)heif_image_get_width(p->image, heif_channel_interleaved);
  p->height = (unsigned)heif_image_get_height(p->image, heif_channel_interleaved);
  if (!plane) return 0;
  p->pixels = malloc((size_t)p->width * 3 * p->height);
  if (!p->pixels) return 0;
  for (unsigned y = 0; y < p->height; ++y)
    memcpy(p->pixels + (size_t)y * p->width * 3, plane + (size_t)y * (size_t)stride, (size_t)p->width * 3);
  return 1;
}

static void Release(TPicture* p) {
  free(p->pixels);
  if (p->image) heif_image_release(p->image);
  if (p->heif) heif_context_free(p->heif);
  memset(p, 0, sizeof *p);
}

/* Returns 0 on success; prints its own message otherwise. */
static int Convert(const char* in, const char* outdir, unsigned char** jbuf, unsigned long* jcap) {
  size_t size = 0;
  unsigned char* data = ReadFile(in, &size);
  TPicture p;
  int rc = 1;
  memset(&p, 0, sizeof p);
  if (!data) {
    fprintf(stderr, "bench_photo_reference: %s: cannot read\n", in);
    return 1;
  }
  const int jpeg = size > 3 && data[0] == 0xFF && data[1] == 0xD8;
  if (!(jpeg ? DecodeJpeg(data, size, &p) : DecodeHeif(data, size, &p))) {
    fprintf(stderr, "bench_photo_reference: %s: not a picture it takes\n", in);
    goto done;
  }
  free(data); /* decoded: the compressed file is needed no more */
  data = NULL;
  rc = WriteJpeg("bench_photo_reference", in, outdir, p.pixels, p.width, p.height, jbuf, jcap);
done:
  free(data);
  Release(&p);
  return rc;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_photo_reference OUTDIR FILE...\n");
    return 2;
  }
  unsigned char* jbuf = NULL;
  unsigned long jcap = 0;
  int rc = 0;
  for (int i = 2; i < argc; ++i) rc |= Convert(argv[i], argv[1], &jbuf, &jcap);
  free(jbuf);
  return rc;
}
