// Times every colour reduction and both halftones on one 24-megapixel, 24-bit image.
//
//   bench_convert [width height]      (default 6000 x 4000)
//
// The image is a noisy gradient, so the divisions see many distinct colours.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "dib/Convert.h"

namespace {

struct TCase {
  const char* Name;
  void (*Run)(const TVxDIBRecord&, TVxDIBRecord&);
};

void Release(TVxDIBRecord& r) {
  if (r.Bits) ReleaseMemory(r.MappingHandle, r.Bits, true);
  r.Bits = nullptr;
}

const TCase Cases[] = {
    {"ConvertTrueColorTo8BitRGBLow", [](const TVxDIBRecord& s, TVxDIBRecord& r) { ConvertTrueColorTo8BitRGBLow(s, r, true, nullptr); }},
    {"ConvertTrueColorTo4BitRGBLow", [](const TVxDIBRecord& s, TVxDIBRecord& r) { ConvertTrueColorTo4BitRGBLow(s, r, true, nullptr); }},
    {"ConvertTrueColorTo8BitRGBHigh", [](const TVxDIBRecord& s, TVxDIBRecord& r) { ConvertTrueColorTo8BitRGBHigh(s, r, true, nullptr); }},
    {"ConvertTrueColorTo4BitRGBHigh", [](const TVxDIBRecord& s, TVxDIBRecord& r) { ConvertTrueColorTo4BitRGBHigh(s, r, true, nullptr); }},
    {"ConvertToHalfTone", [](const TVxDIBRecord& s, TVxDIBRecord& r) { ConvertToHalfTone(s, r, true); }},
    {"ConvertToHalfToneBW", [](const TVxDIBRecord& s, TVxDIBRecord& r) { ConvertToHalfToneBW(s, r, true); }},
};

}  // namespace

int main(int argc, char** argv) {
  const int width = argc > 2 ? std::atoi(argv[1]) : 6000;
  const int height = argc > 2 ? std::atoi(argv[2]) : 4000;
  if (width <= 0 || height <= 0) {
    std::fprintf(stderr, "usage: bench_convert [width height]\n");
    return 2;
  }
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
  std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(height));
  std::uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* p = pixels.data() + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < width; ++x, p += 3) {
      state = state * 1664525u + 1013904223u;
      const std::uint32_t noise = state >> 8;
      p[0] = static_cast<std::uint8_t>(x * 255 / width + (noise & 31));
      p[1] = static_cast<std::uint8_t>(y * 255 / height + ((noise >> 5) & 31));
      p[2] = static_cast<std::uint8_t>((x + y) * 255 / (width + height) + ((noise >> 10) & 63));
    }
  }
  TVxDIBRecord source{};
  source.Bits = pixels.data();
  source.BitsSize = static_cast<std::uint32_t>(pixels.size());
  source.Header.biSize = 40;
  source.Header.biWidth = width;
  source.Header.biHeight = height;
  source.Header.biPlanes = 1;
  source.Header.biBitCount = 24;

  std::printf("%d x %d (%.1f MP)\n", width, height, static_cast<double>(width) * height / 1e6);
  for (const TCase& c : Cases) {
    TVxDIBRecord result{};
    const auto start = std::chrono::steady_clock::now();
    c.Run(source, result);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%-32s %8.3f s  (%u colours)\n", c.Name, took.count(), result.Header.biClrUsed);
    Release(result);
  }
  return 0;
}
