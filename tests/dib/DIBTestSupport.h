#pragma once
// Helpers for the DIB tests: the message of an expected failure, loading from bytes, global
// blocks made from bytes, and a storage snapshot that tells whether a failed operation left
// a storage exactly as it was.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dib/VxDIB.h"
#include "graphics/Bitmap.h"
#include "platform/Memory.h"
#include "support/TempDir.h"

// The message of the E that f raises; "<no exception>" when it returns.
template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

// Writes one seed file of a fuzz target (<folder>/<target>/<name>) when TAVEX_FUZZ_CORPUS
// names a folder, so that the inputs of these tests also seed the fuzzers.
inline void WriteFuzzSeed(const std::string& target, const std::string& name, const std::vector<std::uint8_t>& input) {
  const char* folder = std::getenv("TAVEX_FUZZ_CORPUS");
  if (!folder || !*folder) return;
  const std::filesystem::path dir = std::filesystem::path(folder) / target;
  std::filesystem::create_directories(dir);
  WriteAllBytes(dir / name, input);
}

// Loads a DIB object from a BMP file's bytes.
inline void LoadBytes(TVxDIB& dib, const std::vector<std::uint8_t>& file) {
  TCustomMemoryStream s(file.data(), static_cast<std::int64_t>(file.size()));
  dib.LoadFromStream(s);
}

// The picture as colours 0x00BBGGRR, top row first, as the DIB draws into a bitmap.
inline std::vector<std::uint32_t> DrawnPicture(const TVxDIB& dib) {
  TBitmap bmp;
  bmp.Assign(&dib);
  auto& canvas = static_cast<TBitmapCanvas&>(bmp.Canvas());
  std::vector<std::uint32_t> out;
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) out.push_back(canvas.Pixel(x, y));
  return out;
}

// A movable global block holding the bytes; the caller frees it.
inline TGlobalHandle MakeGlobal(const std::vector<std::uint8_t>& bytes) {
  TGlobalHandle g = platform::GlobalAllocZeroed(bytes.size());
  if (!g) throw EOutOfMemory("MakeGlobal");
  platform::TGlobalLock lock(g);
  if (!bytes.empty()) std::memcpy(lock.Get(), bytes.data(), bytes.size());
  return g;
}

// Gives a storage an image that no reader produces by accident: 3 x -2, 4 bits, a few
// colours and pixels.
inline void FillDistinctive(TVxInternalDIB& dib) {
  dib.ReleaseStorage();
  dib.CreateDIB(3, -2, 5, 4);
  for (int i = 0; i < 5; ++i) dib.DIB.ColorTable[i] = TVxRGBQuad{std::uint8_t(i), 9, std::uint8_t(200 - i), 0};
  for (std::uint32_t i = 0; i < dib.DIB.BitsSize; ++i) dib.DIB.Bits[i] = static_cast<std::uint8_t>(0x31 * (i + 1));
  dib.PaletteChanged = false;
}

class TStorageSnapshot {
public:
  explicit TStorageSnapshot(const TVxInternalDIB& dib)
      : FWidth(dib.Width), FHeight(dib.Height), FRecord(dib.DIB), FPalette(dib.PaletteHandle),
        FChanged(dib.PaletteChanged), FPixels(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize) {}

  bool Matches(const TVxInternalDIB& dib) const {
    return dib.Width == FWidth && dib.Height == FHeight && dib.PaletteHandle == FPalette &&
           dib.PaletteChanged == FChanged && std::memcmp(&dib.DIB, &FRecord, sizeof FRecord) == 0 &&
           std::vector<std::uint8_t>(dib.DIB.Bits, dib.DIB.Bits + dib.DIB.BitsSize) == FPixels;
  }

private:
  int FWidth, FHeight;
  TVxDIBRecord FRecord;
  TPaletteHandle FPalette;
  bool FChanged;
  std::vector<std::uint8_t> FPixels;
};
