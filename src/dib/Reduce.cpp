// Colour reduction.
//
// The adaptive palettes come from one recursive division: a set of colours (weighted bins or
// single pixels) is split at the mean of the channel whose weighted variance is largest
// (red x3, green x4, blue x2), the part above the mean first, down to depth D; each final part
// becomes one palette entry, its rounded mean. 2^D parts give at most 256 (D = 8) or 16
// (D = 4) colours, numbered depth first.
//
// Low mode divides a 5-6-5 histogram of 65,536 bins and maps pixels through a table: fixed
// memory whatever the image size. High mode divides a copy of every pixel and maps pixels by
// walking the tree of splits.
//
// The sums are sums of integers. They are kept exact in 64 bits, and mean and variance are
// compared as exact fractions (128-bit products) rather than in floating point, so that every
// build picks the same channel and the same side for every value.
#include <cstring>
#include <limits>

#include "dib/Convert.h"
#include "dib/ConvertSupport.h"

using namespace convert_detail;

namespace {

// Unsigned 128-bit arithmetic on two 64-bit halves: enough for products of the sums
// (at most about 2^97) and small multiples of them.
struct TUInt128 {
  std::uint64_t Hi = 0, Lo = 0;

  static TUInt128 Product(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t aLo = a & 0xFFFFFFFFu, aHi = a >> 32;
    const std::uint64_t bLo = b & 0xFFFFFFFFu, bHi = b >> 32;
    const std::uint64_t ll = aLo * bLo, lh = aLo * bHi, hl = aHi * bLo, hh = aHi * bHi;
    const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    TUInt128 r;
    r.Lo = (mid << 32) | (ll & 0xFFFFFFFFu);
    r.Hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
    return r;
  }
  friend TUInt128 operator-(const TUInt128& a, const TUInt128& b) noexcept {
    TUInt128 r;
    r.Lo = a.Lo - b.Lo;
    r.Hi = a.Hi - b.Hi - (a.Lo < b.Lo ? 1u : 0u);
    return r;
  }
  TUInt128 Times(std::uint32_t k) const noexcept {
    TUInt128 r = Product(Lo, k);
    r.Hi += Hi * k;
    return r;
  }
  friend bool operator>=(const TUInt128& a, const TUInt128& b) noexcept {
    return a.Hi != b.Hi ? a.Hi > b.Hi : a.Lo >= b.Lo;
  }
};

// Weight, weighted sums and weighted sums of squares of a range, channels red, green, blue.
struct TSums {
  std::uint64_t W = 0;
  std::uint64_t S[3] = {};
  std::uint64_t Q[3] = {};
};

// Red on ties, then green. With the common denominator W^2 the variances compare as
// Q*W - S^2, which Cauchy-Schwarz keeps non-negative.
int ChooseChannel(const TSums& s) {
  TUInt128 v[3];
  for (int c = 0; c < 3; ++c) v[c] = TUInt128::Product(s.Q[c], s.W) - TUInt128::Product(s.S[c], s.S[c]);
  const TUInt128 r = v[0].Times(3), g = v[1].Times(4), b = v[2].Times(2);
  if (r >= g && r >= b) return 0;
  if (g >= b) return 1;
  return 2;
}

// The mean s / w to the nearest integer, halves to even.
std::uint8_t RoundedMean(std::uint64_t s, std::uint64_t w) {
  std::uint64_t q = s / w;
  const std::uint64_t r = s % w;
  if (2 * r > w || (2 * r == w && (q & 1u))) ++q;
  return static_cast<std::uint8_t>(q);
}

void CallStep(const TVxStepEvent& step) {
  if (step) step(nullptr);
}

// Adds the entry of a finished part to the palette and returns its number.
int AddEntry(TVxPaletteBuild& palette, const TSums& s, const char* overflowMessage) {
  Assert(palette.Count < 256, overflowMessage);
  const int k = palette.Count++;
  TVxRGBQuad& e = palette.Entries[static_cast<std::size_t>(k)];
  e.rgbRed = RoundedMean(s.S[0], s.W);
  e.rgbGreen = RoundedMean(s.S[1], s.W);
  e.rgbBlue = RoundedMean(s.S[2], s.W);
  e.rgbReserved = 0;
  return k;
}

// An empty part yields no entry but still counts its share of the 2^D steps, so that a
// division always reports the same number of steps.
bool EmptyPart(std::size_t start, std::size_t end, int depth, int maxDepth, const TVxStepEvent& step) {
  if (start != end) return false;
  for (std::uint32_t i = 0, n = 1u << (maxDepth - depth); i < n; ++i) CallStep(step);
  return true;
}

// Moves the items with a value <= threshold in front of those above it; returns the split.
template <class TItem, class TValue>
std::size_t Partition(TItem* items, std::size_t start, std::size_t end, std::int64_t threshold, TValue value) {
  std::size_t lo = start, hi = end;
  do {
    while (lo < hi && value(items[lo]) <= threshold) ++lo;
    while (lo < hi && value(items[hi - 1]) > threshold) --hi;
    if (lo != hi) std::swap(items[lo], items[hi - 1]);
  } while (lo < hi);
  return lo;
}

template <class TItem>
std::size_t PartitionOn(int channel, TItem* items, std::size_t start, std::size_t end, std::int64_t threshold) {
  switch (channel) {
    case 0: return Partition(items, start, end, threshold, [](const TItem& i) { return std::int64_t{i.R}; });
    case 1: return Partition(items, start, end, threshold, [](const TItem& i) { return std::int64_t{i.G}; });
    default: return Partition(items, start, end, threshold, [](const TItem& i) { return std::int64_t{i.B}; });
  }
}

TSums BinSums(const TColorBin* bins, std::size_t start, std::size_t end) {
  TSums s;
  for (std::size_t i = start; i < end; ++i) {
    const TColorBin& b = bins[i];
    const auto w = static_cast<std::uint64_t>(b.Count);
    const std::uint64_t v[3] = {static_cast<std::uint64_t>(b.R), static_cast<std::uint64_t>(b.G),
                                static_cast<std::uint64_t>(b.B)};
    s.W += w;
    for (int c = 0; c < 3; ++c) {
      s.S[c] += w * v[c];
      s.Q[c] += w * v[c] * v[c];
    }
  }
  return s;
}

// Pixels are counted per channel value first: one pass over the range, sums from 256 counts.
TSums PixelSums(const TPixel24* pixels, std::size_t start, std::size_t end) {
  std::uint64_t counts[3][256] = {};
  for (std::size_t i = start; i < end; ++i) {
    const TPixel24& p = pixels[i];
    ++counts[0][p.R];
    ++counts[1][p.G];
    ++counts[2][p.B];
  }
  TSums s;
  s.W = end - start;
  for (int c = 0; c < 3; ++c)
    for (std::uint64_t v = 0; v < 256; ++v) {
      s.S[c] += v * counts[c][v];
      s.Q[c] += v * v * counts[c][v];
    }
  return s;
}

// Pixels are compared with the mean S / W; v <= S / W exactly when v <= floor(S / W).
std::int64_t FloorMean(const TSums& s, int channel) {
  return static_cast<std::int64_t>(s.S[channel] / s.W);
}

std::uint8_t LowByte(int value) { return static_cast<std::uint8_t>(value & 0xFF); }

// The 5-6-5 bin of a colour: red highest.
inline std::uint32_t BinOf(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
  return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
}

void CheckTrueColor(const TVxDIBRecord& source, const char* message) {
  if (source.Header.biBitCount != 24) throw EVxDIBBadDIBType(message);
}

// A reduced result: the new palette in front of the source's remaining table entries.
void HandToWithPalette(TResultMemory& memory, const TVxDIBRecord& source, TVxDIBRecord& result, int bitCount,
                       const TVxPaletteBuild& palette) {
  memory.HandTo(source, result, bitCount);
  result.Header.biClrUsed = static_cast<std::uint32_t>(palette.Count);
  for (int i = 0; i < palette.Count; ++i) result.ColorTable[i] = palette.Entries[static_cast<std::size_t>(i)];
}

// Writes one row of indices at 8 or 4 bits; index(x) gives pixel x's palette index.
template <class TIndexOf>
void WriteIndexRow(std::uint8_t* out, std::int64_t width, int bitCount, TIndexOf index) {
  if (bitCount == 8) {
    for (std::int64_t x = 0; x < width; ++x) out[x] = index(x);
  } else {
    for (std::int64_t x = 0; x + 1 < width; x += 2)
      out[x >> 1] = static_cast<std::uint8_t>((index(x) << 4) | index(x + 1));
    if (width & 1) out[width >> 1] = static_cast<std::uint8_t>(index(width - 1) << 4);
  }
}

void ReduceLow(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, const TVxStepEvent& step,
               int bitCount, const char* routine, const char* message) {
  CheckTrueColor(source, message);
  CheckSourceRows(source, 24, routine);
  const TRows src(source, 24);
  const auto stride = static_cast<std::uint64_t>(DIBRowSize(src.Width, bitCount));
  TResultMemory memory(stride * static_cast<std::uint64_t>(src.Height), useFMO);
  const auto table = NewBuffer<TVxLookupTable>(1);
  TVxPaletteBuild palette;
  CreatePaletteLow(source, bitCount == 8 ? 8 : 4, step, table[0], palette);
  const std::uint8_t* lookup = table[0].data();
  for (std::int64_t y = 0; y < src.Height; ++y) {
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    WriteIndexRow(memory.Row(static_cast<std::size_t>(stride), y), src.Width, bitCount, [in, lookup](std::int64_t x) {
      const std::uint8_t* p = in + 3 * x;
      return lookup[BinOf(p[2], p[1], p[0])];
    });
  }
  HandToWithPalette(memory, source, result, bitCount, palette);
}

void ReduceHigh(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, const TVxStepEvent& step,
                int bitCount, const char* routine, const char* message, const char* divideIdMessage) {
  CheckTrueColor(source, message);
  CheckSourceRows(source, 24, routine);
  const TRows src(source, 24);
  const auto stride = static_cast<std::uint64_t>(DIBRowSize(src.Width, bitCount));
  TResultMemory memory(stride * static_cast<std::uint64_t>(src.Height), useFMO);
  const auto tree = NewBuffer<TDivideTree>(1);
  TVxPaletteBuild palette;
  CreatePaletteHigh(source, bitCount == 8 ? 8 : 4, step, tree[0], palette);
  const TDivideNode* nodes = tree[0].Nodes;
  for (std::int64_t y = 0; y < src.Height; ++y) {
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    WriteIndexRow(memory.Row(static_cast<std::size_t>(stride), y), src.Width, bitCount,
                  [in, nodes, divideIdMessage](std::int64_t x) {
                    const std::uint8_t* p = in + 3 * x;
                    const TDivideNode* n = nodes;
                    for (;;) {
                      std::int32_t v;
                      switch (n->DivideID) {
                        case 0: v = p[2]; break;
                        case 1: v = p[1]; break;
                        case 2: v = p[0]; break;
                        case DivideLeaf: return n->PaletteIndex;
                        default: Assert(false, divideIdMessage); return std::uint8_t{0};
                      }
                      n = nodes + (n->Threshold >= v ? n->Lower : n->Upper);
                    }
                  });
  }
  HandToWithPalette(memory, source, result, bitCount, palette);
}

// Accumulated low bits of one histogram bin. 64-bit sums: a bin may collect more pixels
// than 32 bits of low-bit sums can hold.
struct TBinTotal {
  std::uint64_t R, G, B;
  std::uint32_t Count;
};

constexpr std::size_t BinCount = 65536;

void MonoRow(std::uint8_t* out, std::int64_t width, std::uint32_t monoColor,
             const auto& colourAt /* (x, r, g, b) -> void */) {
  const unsigned wantR = monoColor & 0xFF, wantG = (monoColor >> 8) & 0xFF, wantB = (monoColor >> 16) & 0xFF;
  std::uint8_t byte = 0, mask = 0x80;
  for (std::int64_t x = 0; x < width; ++x) {
    unsigned r, g, b;
    colourAt(x, r, g, b);
    if (r == wantR && g == wantG && b == wantB) byte = static_cast<std::uint8_t>(byte | mask);
    mask = static_cast<std::uint8_t>(mask >> 1);
    if (mask == 0) {
      out[x >> 3] = byte;
      byte = 0;
      mask = 0x80;
    }
  }
  if (width & 7) out[width >> 3] = byte;
}

template <class TColourAt>
void ReduceToMono(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, std::uint32_t monoColor,
                  int sourceBits, const char* routine, TColourAt colourAt) {
  CheckSourceRows(source, sourceBits, routine);
  const TRows src(source, sourceBits);
  const auto stride = static_cast<std::uint64_t>(DIBRowSize(src.Width, 1));
  TResultMemory memory(stride * static_cast<std::uint64_t>(src.Height), useFMO);
  for (std::int64_t y = 0; y < src.Height; ++y) {
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    MonoRow(memory.Row(static_cast<std::size_t>(stride), y), src.Width, monoColor,
            [&](std::int64_t x, unsigned& r, unsigned& g, unsigned& b) { colourAt(in, x, r, g, b); });
  }
  memory.HandTo(source, result, 1);
  result.Header.biClrUsed = 2;
  result.ColorTable[0] = TVxRGBQuad{0, 0, 0, 0};
  result.ColorTable[1] = TVxRGBQuad{255, 255, 255, 0};
}

void TableColour(const TVxDIBRecord& dib, unsigned index, unsigned& r, unsigned& g, unsigned& b) {
  const TVxRGBQuad& c = dib.ColorTable[index];
  r = c.rgbRed;
  g = c.rgbGreen;
  b = c.rgbBlue;
}

}  // namespace

// ---------------------------------------------------------------------------- division

void DivideColorBins(std::size_t start, std::size_t end, int depth, int maxDepth, TColorBin* bins,
                     TVxPaletteBuild& palette, const TVxStepEvent& step) {
  if (EmptyPart(start, end, depth, maxDepth, step)) return;
  const TSums s = BinSums(bins, start, end);
  if (depth == maxDepth) {
    const int k = AddEntry(palette, s, "DivideColorBins: Palette Overflow");
    for (std::size_t i = start; i < end; ++i) bins[i].Count = k;
    CallStep(step);
    return;
  }
  const int channel = ChooseChannel(s);
  const std::size_t split = PartitionOn(channel, bins, start, end, FloorMean(s, channel));
  DivideColorBins(split, end, depth + 1, maxDepth, bins, palette, step);
  DivideColorBins(start, split, depth + 1, maxDepth, bins, palette, step);
}

void DividePixels(std::size_t start, std::size_t end, int depth, int maxDepth, TPixel24* pixels,
                  TVxPaletteBuild& palette, const TVxStepEvent& step, TDivideTree& tree, int node) {
  if (EmptyPart(start, end, depth, maxDepth, step)) return;
  const TSums s = PixelSums(pixels, start, end);
  TDivideNode& n = tree.Nodes[node];
  if (depth == maxDepth) {
    const int k = AddEntry(palette, s, "DividePixels: Palette Overflow");
    n = TDivideNode{DivideLeaf, 0, LowByte(k), 0, 0};
    CallStep(step);
    return;
  }
  const int channel = ChooseChannel(s);
  const std::int64_t threshold = FloorMean(s, channel);
  const std::size_t split = PartitionOn(channel, pixels, start, end, threshold);
  n.DivideID = static_cast<std::uint8_t>(channel);
  n.Threshold = static_cast<std::int32_t>(threshold);
  n.PaletteIndex = 0;
  Assert(tree.Count + 2 <= DivideTreeSize, "DividePixels: Tree Overflow");
  n.Upper = tree.Count++;
  DividePixels(split, end, depth + 1, maxDepth, pixels, palette, step, tree, n.Upper);
  n.Lower = tree.Count++;
  DividePixels(start, split, depth + 1, maxDepth, pixels, palette, step, tree, n.Lower);
}

// ---------------------------------------------------------------------------- palettes

void CreatePaletteLow(const TVxDIBRecord& source, int depth, const TVxStepEvent& step, TVxLookupTable& table,
                      TVxPaletteBuild& palette) {
  const TRows src(source, 24);
  std::size_t used = 0;
  const auto bins = NewBuffer<TColorBin>(BinCount);
  {
    // The bin keeps the sums of the bits below its 5-6-5 colour; their average, truncated,
    // completes the bin's colour.
    const auto totals = NewBuffer<TBinTotal>(BinCount);
    std::memset(totals.get(), 0, BinCount * sizeof(TBinTotal));
    for (std::int64_t y = 0; y < src.Height; ++y) {
      const std::uint8_t* p = SourceRow(source, src.Stride, y);
      for (std::int64_t x = 0; x < src.Width; ++x, p += 3) {
        TBinTotal& t = totals[BinOf(p[2], p[1], p[0])];
        t.R += p[2] & 7u;
        t.G += p[1] & 3u;
        t.B += p[0] & 7u;
        ++t.Count;
      }
    }
    // Used bins move to the front in bin order.
    for (std::uint32_t i = 0; i < BinCount; ++i) {
      const TBinTotal& t = totals[i];
      if (t.Count == 0) continue;
      TColorBin& b = bins[used++];
      b.R = static_cast<std::int32_t>(t.R / t.Count + (i >> 11) * 8);
      b.G = static_cast<std::int32_t>(t.G / t.Count + ((i >> 5) & 63) * 4);
      b.B = static_cast<std::int32_t>(t.B / t.Count + (i & 31) * 8);
      b.Count = static_cast<std::int32_t>(t.Count);
      b.BinIndex = static_cast<std::int32_t>(i);
    }
  }
  palette.Count = 0;
  DivideColorBins(0, used, 0, depth, bins.get(), palette, step);
  table.fill(0);
  for (std::size_t i = 0; i < used; ++i)
    table[static_cast<std::size_t>(bins[i].BinIndex)] = LowByte(bins[i].Count);
}

void CreatePaletteHigh(const TVxDIBRecord& source, int depth, const TVxStepEvent& step, TDivideTree& tree,
                       TVxPaletteBuild& palette) {
  const TRows src(source, 24);
  const std::uint64_t pixelCount = static_cast<std::uint64_t>(src.Width) * static_cast<std::uint64_t>(src.Height);
  const std::uint64_t bytes = pixelCount * 3 + 4;
  if (bytes > std::numeric_limits<std::size_t>::max()) throw EOutOfMemory("Out of memory");
  // Whole source rows are copied one after the other, each overwriting the padding of the
  // row before; the 4 spare bytes take the padding of the last.
  const auto copy = NewBuffer<std::uint8_t>(static_cast<std::size_t>(bytes));
  const std::size_t rowBytes = static_cast<std::size_t>(src.Width) * 3;
  for (std::int64_t y = 0; y < src.Height; ++y)
    std::memcpy(copy.get() + static_cast<std::size_t>(y) * rowBytes, SourceRow(source, src.Stride, y), src.Stride);
  tree.Count = 1;
  tree.Nodes[0] = TDivideNode{DivideLeaf, 0, 0, 0, 0};
  palette.Count = 0;
  DividePixels(0, static_cast<std::size_t>(pixelCount), 0, depth, reinterpret_cast<TPixel24*>(copy.get()), palette,
               step, tree, 0);
}

void CreateReducedPaletteFrom8Bit(const TVxDIBRecord& source, const TVxStepEvent& step, TVxIndexMap& map,
                                  TVxPaletteBuild& palette) {
  const TRows src(source, 8);
  TColorBin bins[256];
  for (int i = 0; i < 256; ++i) {
    const TVxRGBQuad& c = source.ColorTable[i];
    bins[i] = TColorBin{c.rgbRed, c.rgbGreen, c.rgbBlue, 0, i};
  }
  for (std::int64_t y = 0; y < src.Height; ++y) {
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    for (std::int64_t x = 0; x < src.Width; ++x) ++bins[in[x]].Count;
  }
  std::size_t used = 0;
  for (auto& bin : bins)
    if (bin.Count > 0) bins[used++] = bin;
  palette.Count = 0;
  DivideColorBins(0, used, 0, 4, bins, palette, step);
  map.fill(0);
  for (std::size_t i = 0; i < used; ++i) map[static_cast<std::size_t>(bins[i].BinIndex)] = LowByte(bins[i].Count);
}

// ---------------------------------------------------------------------------- conversions

void ConvertTrueColorTo8BitRGBLow(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                  const TVxStepEvent& step) {
  ReduceLow(source, result, useFMO, step, 8, "ConvertTrueColorTo8BitRGBLow",
            "ConvertTrueColorTo8BitRGBLow: Invalid Bitcount");
}

void ConvertTrueColorTo4BitRGBLow(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                  const TVxStepEvent& step) {
  ReduceLow(source, result, useFMO, step, 4, "ConvertTrueColorTo4BitRGBLow",
            "ConvertTrueColorTo4BitRGBLow: Invalid Bitcount");
}

void ConvertTrueColorTo8BitRGBHigh(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                   const TVxStepEvent& step) {
  ReduceHigh(source, result, useFMO, step, 8, "ConvertTrueColorTo8BitRGBHigh",
             "ConvertTrueColorTo8BitRGBHigh: Invalid Bitcount",
             "ConvertTrueColorTo8BitRGBHigh: Invalid DivideID");
}

void ConvertTrueColorTo4BitRGBHigh(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                   const TVxStepEvent& step) {
  ReduceHigh(source, result, useFMO, step, 4, "ConvertTrueColorTo4BitRGBHigh",
             "ConvertTrueColorTo4BitRGBHigh: Invalid Bitcount",
             "ConvertTrueColorTo4BitRGBHigh: Invalid DivideID");
}

void Convert8BitRGBTo4BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                             const TVxStepEvent& step) {
  if (source.Header.biBitCount != 8 || source.Header.biCompression != 0)
    throw EVxDIBBadDIBType("Convert8BitRGBTo4BitRGB: Invalid Bitcount or Compression");
  CheckSourceRows(source, 8, "Convert8BitRGBTo4BitRGB");
  const TRows src(source, 8);
  const auto stride = static_cast<std::uint64_t>(DIBRowSize(src.Width, 4));
  TResultMemory memory(stride * static_cast<std::uint64_t>(src.Height), useFMO);
  TVxIndexMap map;
  TVxPaletteBuild palette;
  CreateReducedPaletteFrom8Bit(source, step, map, palette);
  for (std::int64_t y = 0; y < src.Height; ++y) {
    const std::uint8_t* in = SourceRow(source, src.Stride, y);
    WriteIndexRow(memory.Row(static_cast<std::size_t>(stride), y), src.Width, 4,
                  [in, &map](std::int64_t x) { return map[in[x]]; });
  }
  HandToWithPalette(memory, source, result, 4, palette);
}

void ConvertTrueColorTo1BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                               std::uint32_t monoColor) {
  CheckTrueColor(source, "ConvertTrueColorTo1BitRGB: Invalid Bitcount");
  ReduceToMono(source, result, useFMO, monoColor, 24, "ConvertTrueColorTo1BitRGB",
               [](const std::uint8_t* row, std::int64_t x, unsigned& r, unsigned& g, unsigned& b) {
                 const std::uint8_t* p = row + 3 * x;
                 b = p[0];
                 g = p[1];
                 r = p[2];
               });
}

void Convert8BitTo1BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, std::uint32_t monoColor) {
  if (source.Header.biBitCount != 8 || source.Header.biCompression != 0)
    throw EVxDIBBadDIBType("Convert8BitTo1BitRGB: Invalid Bitcount or Compression");
  ReduceToMono(source, result, useFMO, monoColor, 8, "Convert8BitTo1BitRGB",
               [&source](const std::uint8_t* row, std::int64_t x, unsigned& r, unsigned& g, unsigned& b) {
                 TableColour(source, row[x], r, g, b);
               });
}

void Convert4BitRGBTo1BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                             std::uint32_t monoColor) {
  if (source.Header.biBitCount != 4 || source.Header.biCompression != 0)
    throw EVxDIBBadDIBType("Convert4BitRGBTo1BitRGB: Invalid Bitcount");
  ReduceToMono(source, result, useFMO, monoColor, 4, "Convert4BitRGBTo1BitRGB",
               [&source](const std::uint8_t* row, std::int64_t x, unsigned& r, unsigned& g, unsigned& b) {
                 const std::uint8_t byte = row[x >> 1];
                 TableColour(source, (x & 1) ? byte & 0x0Fu : byte >> 4u, r, g, b);
               });
}

bool CreateTrueColorPaletteOf(TVxDIBRecord& dib, TVxConvertMethod method, const TVxStepEvent& step) {
  if (dib.Header.biBitCount != 24) throw EVxDIBBadDIBType("TVxInternalDIB.CreateTrueColorPalette: Bad DIB Type");
  CheckSourceRows(dib, 24, "TVxInternalDIB.CreateTrueColorPalette");
  TVxPaletteBuild palette;
  switch (method) {
    case ConvertMethodLow: {
      const auto table = NewBuffer<TVxLookupTable>(1);
      CreatePaletteLow(dib, 8, step, table[0], palette);
      break;
    }
    case ConvertMethodHigh: {
      const auto tree = NewBuffer<TDivideTree>(1);
      CreatePaletteHigh(dib, 8, step, tree[0], palette);
      break;
    }
    default:
      // Only the two reduction methods make a palette; the table is left as it is.
      return false;
  }
  dib.Header.biClrUsed = static_cast<std::uint32_t>(palette.Count);
  for (int i = 0; i < palette.Count; ++i) dib.ColorTable[i] = palette.Entries[static_cast<std::size_t>(i)];
  return true;
}

void CreateTrueColorPalette(TVxInternalDIB& dib, TVxConvertMethod method, const TVxStepEvent& step) {
  if (dib.DIB.Header.biBitCount != 24)
    throw EVxDIBBadDIBType("TVxInternalDIB.CreateTrueColorPalette: Bad DIB Type");
  // The table of a shared storage must not change under its other holders: refuse before
  // anything is written rather than after.
  Assert(dib.RefCount == 1, "TVxInternalDIB.UpdatePalette: RefCount Must be 1");
  if (CreateTrueColorPaletteOf(dib.DIB, method, step)) dib.UpdatePalette();
}
