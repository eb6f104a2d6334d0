#include "jpeg/JPEGTestSupport.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

struct TTestError {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  char Text[JMSG_LENGTH_MAX];
};

[[noreturn]] void TestErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TTestError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->Text);
  std::longjmp(err->Jump, 1);
}

// Only plain data in this frame: the library may jump out of any call.
bool RunDecode(jpeg_decompress_struct* cinfo, TTestError* err, const std::uint8_t* data, std::size_t size,
               TDecodedJPEG* out) {
  if (setjmp(err->Jump) != 0) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(cinfo, TRUE);
  cinfo->out_color_space = cinfo->num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(cinfo);
  out->Width = static_cast<int>(cinfo->output_width);
  out->Height = static_cast<int>(cinfo->output_height);
  out->Components = cinfo->output_components;
  const std::size_t stride = static_cast<std::size_t>(out->Width) * static_cast<std::size_t>(out->Components);
  out->Pixels.resize(stride * static_cast<std::size_t>(out->Height));
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = out->Pixels.data() + stride * cinfo->output_scanline;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

bool RunEncode(jpeg_compress_struct* cinfo, TTestError* err, int width, int height, const std::uint8_t* rgb,
               unsigned char** out, unsigned long* outSize) {
  if (setjmp(err->Jump) != 0) return false;
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, outSize);
  cinfo->image_width = static_cast<JDIMENSION>(width);
  cinfo->image_height = static_cast<JDIMENSION>(height);
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, 90, FALSE);  // as cjpeg does without -baseline
  jpeg_start_compress(cinfo, TRUE);
  const std::size_t stride = static_cast<std::size_t>(width) * 3;
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + stride * cinfo->next_scanline);
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

}  // namespace

TDecodedJPEG DecodeJPEG(const std::uint8_t* data, std::size_t size) {
  TDecodedJPEG out;
  if (size == 0) {
    out.Error = "no data";
    return out;
  }
  jpeg_decompress_struct cinfo{};
  TTestError err{};
  cinfo.err = jpeg_std_error(&err.Pub);
  err.Pub.error_exit = TestErrorExit;
  if (!RunDecode(&cinfo, &err, data, size, &out)) out.Error = err.Text;
  jpeg_destroy_decompress(&cinfo);
  return out;
}

std::vector<std::uint8_t> ReferenceJPEG(int width, int height, const std::vector<std::uint8_t>& rgb) {
  jpeg_compress_struct cinfo{};
  TTestError err{};
  cinfo.err = jpeg_std_error(&err.Pub);
  err.Pub.error_exit = TestErrorExit;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool ok = RunEncode(&cinfo, &err, width, height, rgb.data(), &buffer, &size);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> result;
  if (ok && buffer) result.assign(buffer, buffer + size);
  std::free(buffer);
  return result;
}

std::vector<std::uint8_t> TestPictureRGB(int width, int height, unsigned seed) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  unsigned state = seed * 2654435761u + 12345u;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      state = state * 1103515245u + 12345u;
      const int noise = static_cast<int>((state >> 16) & 31) - 16;
      auto clamp = [](int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3];
      p[0] = clamp(x * 255 / (width > 1 ? width - 1 : 1) + noise);
      p[1] = clamp(y * 255 / (height > 1 ? height - 1 : 1) - noise);
      p[2] = clamp(((x / 4 + y / 4) & 1) * 200 + 20 + noise / 2);
    }
  return rgb;
}

std::vector<std::uint8_t> ToBottomUpBGR(int width, int height, const std::vector<std::uint8_t>& rgb) {
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  std::vector<std::uint8_t> dib(stride * static_cast<std::size_t>(height), 0xCD);  // padding that must be ignored
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = &dib[stride * static_cast<std::size_t>(height - 1 - y)];
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3];
      row[x * 3 + 0] = p[2];
      row[x * 3 + 1] = p[1];
      row[x * 3 + 2] = p[0];
    }
  }
  return dib;
}
