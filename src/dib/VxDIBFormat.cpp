// Format changes of the DIB graphic with their progress events, the true-colour palette, and
// the shared palettes of the halftone modes.
#include <cstdint>
#include <iterator>

#include "dib/Convert.h"
#include "dib/VxDIB.h"
#include "platform/Gdi.h"
#include "platform/Palette.h"

namespace {

struct TProgressText {
  TVxPixelFormat From, To;
  std::int32_t Total;  // the steps the reduction reports: 2^D per division
  const char* Message;
};

constexpr TProgressText ProgressTexts[] = {
    {vxpf8Bit, vxpf4Bit, 16, "PixelFormat 8Bit -> 4Bit"},
    {vxpf8Bit, vxpf4BitRLE, 16, "PixelFormat 8Bit -> 4BitRLE"},
    {vxpf8BitRLE, vxpf4Bit, 16, "PixelFormat 8BitRLE -> 4Bit"},
    {vxpf8BitRLE, vxpf4BitRLE, 16, "PixelFormat 8BitRLE -> 4BitRLE"},
    {vxpf24Bit, vxpf4Bit, 16, "PixelFormat 24Bit -> 4Bit"},
    {vxpf24Bit, vxpf4BitRLE, 16, "PixelFormat 24Bit -> 4BitRLE"},
    {vxpf24Bit, vxpf8Bit, 256, "PixelFormat 24Bit -> 8Bit"},
    {vxpf24Bit, vxpf8BitRLE, 256, "PixelFormat 24Bit -> 8BitRLE"},
};

const TProgressText* ProgressTextOf(TVxPixelFormat from, TVxPixelFormat to) {
  for (const TProgressText& t : ProgressTexts)
    if (t.From == from && t.To == to) return &t;
  return nullptr;
}

// Made on first use, kept for the life of the process.
TPaletteHandle GHalftonePalette = nullptr;
TPaletteHandle GBlackWhitePalette = nullptr;

TPaletteHandle MakeHalftonePalette() {
  constexpr std::uint8_t R[] = {0, 51, 102, 153, 204, 255};
  constexpr std::uint8_t G[] = {0, 43, 85, 128, 171, 214, 255};
  constexpr std::uint8_t B[] = {0, 64, 128, 192, 255};
  platform::TPaletteEntry entries[215];
  int n = 0;
  for (const std::uint8_t r : R)
    for (const std::uint8_t g : G)
      for (const std::uint8_t b : B) entries[n++] = {r, g, b, 0};
  // The five system greys and dark colours that the cube leaves out.
  entries[n++] = {128, 0, 0, 0};
  entries[n++] = {128, 128, 0, 0};
  entries[n++] = {128, 0, 128, 0};
  entries[n++] = {192, 192, 192, 0};
  entries[n++] = {128, 128, 128, 0};
  return platform::CreatePalette(entries, n);
}

TPaletteHandle MakeBlackWhitePalette() {
  const platform::TPaletteEntry entries[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
  return platform::CreatePalette(entries, 2);
}

}  // namespace

TPaletteHandle SharedPalette(TVxHalftoneMode mode) {
  const bool bw = mode == hmHalftoneBW;
  TPaletteHandle& palette = bw ? GBlackWhitePalette : GHalftonePalette;
  if (!palette) palette = bw ? MakeBlackWhitePalette() : MakeHalftonePalette();
  if (!palette) throw EOutOfResources("TVxDIB.GetPalette: Cannot Make Palette(1)");
  return palette;
}

void ReleaseSharedPalettes() noexcept {
  for (TPaletteHandle* palette : {&GHalftonePalette, &GBlackWhitePalette}) {
    if (*palette) platform::DeletePalette(*palette);
    *palette = nullptr;
  }
}

void TVxDIB::StartProgress(std::int32_t total, const char* message) {
  FProgressTotal = total;
  FProgressMessage = message;
  FProgressCount = 0;
  Progress(this, psStarting, 0, false, TRect{0, 0, GetWidth(), GetHeight()}, FProgressMessage);
}

void TVxDIB::ProgressStep() {
  ++FProgressCount;
  if (FProgressCount == FProgressTotal || FProgressTotal <= 0) return;
  const auto percent = static_cast<std::uint8_t>(static_cast<std::int64_t>(FProgressCount) * 100 / FProgressTotal);
  Progress(this, psRunning, percent, false, TRect{0, 0, GetWidth(), GetHeight()}, FProgressMessage);
}

void TVxDIB::EndProgress() {
  Progress(this, psEnding, 100, true, TRect{0, 0, GetWidth(), GetHeight()}, FProgressMessage);
}

void TVxDIB::SetPixelFormat(TVxPixelFormat value) {
  CheckInternalDIB("TVxDIB.SetPixelFormat");
  if (value == FInternalDIB->GetPixelFormat()) return;
  UniqueDIB();
  const TProgressText* text = ProgressTextOf(FInternalDIB->GetPixelFormat(), value);
  if (text) StartProgress(text->Total, text->Message);
  const TVxStepEvent step = [this](TObject*) { ProgressStep(); };
  try {
    FInternalDIB->SetPixelsFormat(value, FConvertMethod, step, platform::ColorToRGB(FMonoColor));
  } catch (...) {
    UpdatePaletteModified();
    if (text) EndProgress();
    throw;
  }
  UpdatePaletteModified();
  if (text) EndProgress();
  SetModified(true);
}

void TVxDIB::CreateTrueColorPalette() {
  CheckInternalDIB("TVxDIB.CreateTrueColorPalette");
  UniqueDIB();
  StartProgress(256, "Create True Color Palette");
  const TVxStepEvent step = [this](TObject*) { ProgressStep(); };
  try {
    ::CreateTrueColorPalette(*FInternalDIB, FConvertMethod, step);
  } catch (...) {
    UpdatePaletteModified();
    EndProgress();
    throw;
  }
  UpdatePaletteModified();
  EndProgress();
  SetModified(true);
}
