// Writes the inputs of bench/plugins into a folder:
//   batch2mp/pNN.png  50 x 1728 x 1152, 8-bit RGB (2 megapixels each)
//   24mp.png          6000 x 4000, 8-bit RGB (24 megapixels)
// The pictures are made here, the same on every machine: brightness and colour are
// fractal noise (detail at every scale, most of it coarse, as in a photograph), a
// coarse field cuts them into regions with hard edges, and a little grain lies on top,
// so that libpng and libjpeg-turbo work on them about as hard as on a photograph.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::uint64_t Mix(std::uint64_t v) {
  v += 0x9E3779B97F4A7C15ull;
  v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
  v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
  return v ^ (v >> 31);
}

// A value in [-1, 1) fixed by the three numbers.
float Hash(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
  const std::uint64_t v = Mix(seed ^ Mix(a * 0x100000001B3ull ^ Mix(b)));
  return static_cast<float>(v >> 40) / static_cast<float>(1u << 23) - 1.0f;
}

// Value noise: random values on a square lattice of the given cell, smoothly
// interpolated between them. Octaves of halving cells make fractal noise; the smaller the
// fall-off, the more fine detail (texture) against the coarse shapes.
class TNoise {
 public:
  TNoise(std::uint64_t seed, int width, int height, int coarsest, int finest, float falloff) : Width(width) {
    for (int cell = coarsest, k = 0; cell >= finest; cell /= 2, ++k) {
      TOctave o;
      o.Amplitude = std::pow(static_cast<float>(cell) / static_cast<float>(coarsest), falloff);
      o.Cell = cell;
      o.Columns = width / cell + 2;
      const int rows = height / cell + 2;
      o.Lattice.resize(static_cast<std::size_t>(o.Columns) * static_cast<std::size_t>(rows));
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < o.Columns; ++x)
          o.Lattice[static_cast<std::size_t>(y * o.Columns + x)] =
              Hash(seed + static_cast<std::uint64_t>(k), static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(y));
      o.X.resize(static_cast<std::size_t>(width));
      o.Fx.resize(static_cast<std::size_t>(width));
      for (int x = 0; x < width; ++x) {
        o.X[static_cast<std::size_t>(x)] = x / cell;
        o.Fx[static_cast<std::size_t>(x)] = Smooth(static_cast<float>(x % cell) / static_cast<float>(cell));
      }
      Total += o.Amplitude;
      Octaves.push_back(std::move(o));
    }
  }

  // Adds row y of the noise, scaled to about [-gain, gain], to out.
  void AddRow(int y, float gain, float* out) const {
    for (const TOctave& o : Octaves) {
      const float a = gain * o.Amplitude / Total, fy = Smooth(static_cast<float>(y % o.Cell) / static_cast<float>(o.Cell));
      const float* r0 = o.Lattice.data() + static_cast<std::size_t>(y / o.Cell) * static_cast<std::size_t>(o.Columns);
      const float* r1 = r0 + o.Columns;
      for (int x = 0; x < Width; ++x) {
        const int i = o.X[static_cast<std::size_t>(x)];
        const float fx = o.Fx[static_cast<std::size_t>(x)];
        const float top = r0[i] + (r0[i + 1] - r0[i]) * fx, bottom = r1[i] + (r1[i + 1] - r1[i]) * fx;
        out[x] += a * (top + (bottom - top) * fy);
      }
    }
  }

 private:
  struct TOctave {
    int Cell = 0, Columns = 0;
    float Amplitude = 0;
    std::vector<float> Lattice, Fx;
    std::vector<int> X;
  };
  static float Smooth(float t) { return t * t * (3 - 2 * t); }
  int Width;
  float Total = 0;
  std::vector<TOctave> Octaves;
};

std::uint8_t Clamp(float v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0l, 255l)); }

// One picture's rows, top first, as red-green-blue.
std::vector<std::uint8_t> Picture(std::uint64_t seed, int width, int height) {
  // Strengths chosen so that a 2 MP picture takes about 3.2 MB as PNG (half its pixels)
  // and 1.6 bits a pixel as a JPEG of quality 90.
  const TNoise light(seed * 16 + 0, width, height, 512, 2, 0.3f), red(seed * 16 + 1, width, height, 512, 8, 0.9f),
      blue(seed * 16 + 2, width, height, 512, 8, 0.9f), regions(seed * 16 + 3, width, height, 512, 32, 0.8f);
  // Each picture has its own cast and contrast.
  const float base = 110 + 40 * Hash(seed, 1, 0), tintR = 25 * Hash(seed, 2, 0), tintB = 25 * Hash(seed, 3, 0);
  const float step = 45 * Hash(seed, 4, 0);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  std::vector<float> l(static_cast<std::size_t>(width)), cr(l.size()), cb(l.size()), s(l.size());
  for (int y = 0; y < height; ++y) {
    std::fill(l.begin(), l.end(), 0.0f);
    std::fill(cr.begin(), cr.end(), 0.0f);
    std::fill(cb.begin(), cb.end(), 0.0f);
    std::fill(s.begin(), s.end(), 0.0f);
    light.AddRow(y, 160, l.data());
    red.AddRow(y, 30, cr.data());
    blue.AddRow(y, 30, cb.data());
    regions.AddRow(y, 1, s.data());
    std::uint8_t* out = rgb.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
    for (int x = 0; x < width; ++x) {
      const auto i = static_cast<std::size_t>(x);
      const bool inside = s[i] > 0.05f;
      const float lum = base + l[i] + (inside ? step : -step);
      const float r = cr[i] + tintR + (inside ? 12.0f : 0.0f), b = cb[i] + tintB - (inside ? 12.0f : 0.0f);
      const std::uint64_t grain = Mix(seed ^ (static_cast<std::uint64_t>(y) << 32 | static_cast<std::uint64_t>(x)));
      const auto g = [&](int shift) { return static_cast<float>((grain >> shift & 7) + (grain >> (shift + 3) & 7)) - 7.0f; };
      out[3 * i + 0] = Clamp(lum + 1.4f * r + g(0));
      out[3 * i + 1] = Clamp(lum - 0.34f * b - 0.71f * r + g(8));
      out[3 * i + 2] = Clamp(lum + 1.77f * b + g(16));
    }
  }
  return rgb;
}

struct TPngWriter {
  png_structp Png = nullptr;
  png_infop Info = nullptr;
};

// Everything between setjmp and the last libpng call: no object with a destructor.
bool WriteRows(TPngWriter& w, std::FILE* f, int width, int height, png_bytep* rows) {
  if (setjmp(png_jmpbuf(w.Png))) return false;
  png_init_io(w.Png, f);
  png_set_IHDR(w.Png, w.Info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(w.Png, w.Info);
  png_write_image(w.Png, rows);
  png_write_end(w.Png, w.Info);
  return true;
}

bool WritePng(const std::string& name, std::uint64_t seed, int width, int height) {
  std::vector<std::uint8_t> rgb = Picture(seed, width, height);
  std::vector<png_bytep> rows(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) rows[static_cast<std::size_t>(y)] = rgb.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return false;
  TPngWriter w;
  w.Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (w.Png) w.Info = png_create_info_struct(w.Png);
  bool ok = w.Info && WriteRows(w, f, width, height, rows.data());
  png_destroy_write_struct(&w.Png, &w.Info);
  ok = std::fclose(f) == 0 && ok;
  if (!ok) std::fprintf(stderr, "bench_png_inputs: cannot write %s\n", name.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_png_inputs OUTDIR   (OUTDIR/batch2mp must exist)\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  for (int i = 1; i <= 50; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "batch2mp/p%02d.png", i);
    if (!WritePng(dir + name, static_cast<std::uint64_t>(i), 1728, 1152)) return 1;
  }
  return WritePng(dir + "24mp.png", 1000, 6000, 4000) ? 0 : 1;
}
