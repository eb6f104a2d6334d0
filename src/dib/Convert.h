#pragma once
// Pixel conversions of the DIB library: depth expansion, colour reduction and the two
// error-diffusion halftones. Each takes a source DIB record that it only reads and fills a
// result record: a copy of the source's header and colour table over newly obtained pixel
// memory. On failure the new memory is released again and the result record is untouched.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "dib/VxDIB.h"

// The progress callback of the reductions: called with a null sender, 2^D times per division.
using TVxStepEvent = std::function<void(TObject* sender)>;

// How a 24-bit image is reduced: cmLow (0) through a 5-6-5 histogram of fixed size, cmHigh (1)
// pixel by pixel. The enumeration belongs to the DIB graphic, which defines its values.
enum TVxConvertMethod : std::uint8_t;
inline constexpr auto ConvertMethodLow = static_cast<TVxConvertMethod>(0);
inline constexpr auto ConvertMethodHigh = static_cast<TVxConvertMethod>(1);

// One histogram bin. R, G, B hold the bin's colour while it is divided; Count its weight,
// afterwards its palette index; BinIndex the bin number, which survives the reordering.
struct TColorBin {
  std::int32_t R, G, B, Count, BinIndex;
};

// One node of the division tree. Channel values are integers, so the largest integer not
// above the mean (Threshold) sends every value exactly where the mean itself would.
struct TDivideNode {
  std::uint8_t DivideID;  // 0 red, 1 green, 2 blue, 3 leaf
  std::int32_t Threshold;
  std::uint8_t PaletteIndex;
  std::int32_t Lower;  // values <= Threshold
  std::int32_t Upper;  // values > Threshold
};

constexpr int DivideTreeSize = 512;
constexpr std::uint8_t DivideLeaf = 3;

// A division of depth D hands out at most 2^(D+1) - 1 nodes; node 0 is the root.
struct TDivideTree {
  std::int32_t Count;
  TDivideNode Nodes[DivideTreeSize];
};

// A palette being built.
struct TVxPaletteBuild {
  std::array<TVxRGBQuad, 256> Entries{};
  int Count = 0;
};

// One pixel of the high mode's working copy, in DIB byte order.
struct TPixel24 {
  std::uint8_t B, G, R;
};
static_assert(sizeof(TPixel24) == 3);

using TVxLookupTable = std::array<std::uint8_t, 65536>;
using TVxIndexMap = std::array<std::uint8_t, 256>;

// Depth expansion: indices kept (to 4 and 8 bits) or looked up in the colour table (to 24).
void Convert1BitRGBTo4BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);
void Convert1BitRGBTo8BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);
void Convert4BitRGBTo8BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);
void Convert1BitRGBToTrueColor(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);
void Convert4BitRGBToTrueColor(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);
void Convert8BitRGBToTrueColor(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);

// Colour reduction to an adaptive palette.
void ConvertTrueColorTo8BitRGBLow(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                  const TVxStepEvent& step);
void ConvertTrueColorTo4BitRGBLow(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                  const TVxStepEvent& step);
void ConvertTrueColorTo8BitRGBHigh(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                   const TVxStepEvent& step);
void ConvertTrueColorTo4BitRGBHigh(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                                   const TVxStepEvent& step);
void Convert8BitRGBTo4BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                             const TVxStepEvent& step);

// Reduction to one bit: pixels of exactly monoColor (0x00BBGGRR) become 1.
void ConvertTrueColorTo1BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                               std::uint32_t monoColor);
void Convert8BitTo1BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO, std::uint32_t monoColor);
void Convert4BitRGBTo1BitRGB(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO,
                             std::uint32_t monoColor);

// Halftones: 8 bits over the fixed 215-colour palette, or 1 bit black and white.
void ConvertToHalfTone(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);
void ConvertToHalfToneBW(const TVxDIBRecord& source, TVxDIBRecord& result, bool useFMO);

// Palettes of the reductions. depth is 8 for 256 colours, 4 for 16.
void CreatePaletteLow(const TVxDIBRecord& source, int depth, const TVxStepEvent& step, TVxLookupTable& table,
                      TVxPaletteBuild& palette);
void CreatePaletteHigh(const TVxDIBRecord& source, int depth, const TVxStepEvent& step, TDivideTree& tree,
                       TVxPaletteBuild& palette);
void CreateReducedPaletteFrom8Bit(const TVxDIBRecord& source, const TVxStepEvent& step, TVxIndexMap& map,
                                  TVxPaletteBuild& palette);

// The division itself, on weighted bins [start, end) and on pixels [start, end).
void DivideColorBins(std::size_t start, std::size_t end, int depth, int maxDepth, TColorBin* bins,
                     TVxPaletteBuild& palette, const TVxStepEvent& step);
void DividePixels(std::size_t start, std::size_t end, int depth, int maxDepth, TPixel24* pixels,
                  TVxPaletteBuild& palette, const TVxStepEvent& step, TDivideTree& tree, int node);

// The true-colour palette of a 24-bit record: biClrUsed and the colour table are replaced
// once the palette is complete; the pixels stay. Returns false, changing nothing, for a
// method other than cmLow and cmHigh. Raises EVxDIBBadDIBType for any other depth.
bool CreateTrueColorPaletteOf(TVxDIBRecord& dib, TVxConvertMethod method, const TVxStepEvent& step);

// The storage's true-colour palette (shown on palette displays): as above on its record, then
// the cached palette handle is dropped and the change is flagged. The storage must not be
// shared; a failure leaves its colour table as it was.
void CreateTrueColorPalette(TVxInternalDIB& dib, TVxConvertMethod method, const TVxStepEvent& step);
