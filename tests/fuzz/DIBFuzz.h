#pragma once
// Shared by the BMP stream and CF_DIB targets: what a loaded storage must survive.
//
// A load either fails with one of the library's errors, leaving the storage as it was
// (a fresh 1 x 1, 8-bit image), or gives a storage whose consumers stay inside its pixel
// block: the RLE decoders on run-length data, the encoders on plain 4/8-bit data, and a
// save and reload in both forms, which must give back the same header, colour entries
// and pixel bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzInput.h"
#include "dib/Rle.h"
#include "dib/VxDIB.h"
#include "platform/Memory.h"

namespace dibfuzz {

[[noreturn]] inline void Fail() { std::abort(); }

// Encoders read every pixel: kept to images small enough for speed.
inline constexpr std::int64_t MaxEncodePixels = 256 * 1024;

// Releases a codec's result block.
struct TOwnedRecord {
  TVxDIBRecord Record{};
  TOwnedRecord() = default;
  TOwnedRecord(const TOwnedRecord&) = delete;
  TOwnedRecord& operator=(const TOwnedRecord&) = delete;
  ~TOwnedRecord() {
    if (Record.Bits) ReleaseMemory(Record.MappingHandle, Record.Bits, false);
  }
};

// Frees a global block at the end of a scope.
struct TOwnedGlobal {
  TGlobalHandle Handle;
  explicit TOwnedGlobal(TGlobalHandle handle) noexcept : Handle(handle) {}
  TOwnedGlobal(const TOwnedGlobal&) = delete;
  TOwnedGlobal& operator=(const TOwnedGlobal&) = delete;
  ~TOwnedGlobal() {
    if (Handle) platform::GlobalFree(Handle);
  }
};

// An error a load may raise on hostile data; anything else (an assertion above all) is a
// finding and ends the run.
template <class F>
bool Loads(F&& load) {
  try {
    load();
    return true;
  } catch (const EAssertionFailed&) {
    Fail();
  } catch (const EVxDIBError&) {
  } catch (const EStreamError&) {
  } catch (const EOutOfMemory&) {  // EOutOfResources too: a block the OS refuses
  }
  return false;
}

inline void CheckUntouched(const TVxInternalDIB& dib) {
  if (dib.DIB.Header.biWidth != 1 || dib.DIB.Header.biHeight != 1 || dib.DIB.Header.biBitCount != 8 ||
      dib.DIB.BitsSize != 4 || dib.Width != 1 || dib.Height != 1)
    Fail();
}

inline void CheckSame(const TVxInternalDIB& a, const TVxInternalDIB& b) {
  if (std::memcmp(&a.DIB.Header, &b.DIB.Header, sizeof a.DIB.Header) != 0) Fail();
  const std::uint32_t entries = a.DIB.Header.biClrUsed;
  if (entries > 256) Fail();
  if (std::memcmp(a.DIB.ColorTable, b.DIB.ColorTable, entries * sizeof(TVxRGBQuad)) != 0) Fail();
  if (a.DIB.BitsSize != b.DIB.BitsSize || a.Width != b.Width || a.Height != b.Height) Fail();
  if (a.DIB.BitsSize && std::memcmp(a.DIB.Bits, b.DIB.Bits, a.DIB.BitsSize) != 0) Fail();
}

inline void RunCodecs(const TVxInternalDIB& dib) {
  TVxPixelFormat format{};
  try {
    format = dib.GetPixelFormat();
  } catch (const EVxDIBInvalidDIB&) {
    return;
  }
  const std::int64_t pixels = std::int64_t{dib.Width} * dib.Height;
  TOwnedRecord result;
  try {
    switch (format) {
    case vxpf8BitRLE: Convert8BitRLETo8BitRGB(dib.DIB, result.Record, false); break;
    case vxpf4BitRLE: Convert4BitRLETo4BitRGB(dib.DIB, result.Record, false); break;
    case vxpf8Bit:
      if (pixels <= MaxEncodePixels) Convert8BitRGBTo8BitRLE(dib.DIB, result.Record, false);
      break;
    case vxpf4Bit:
      if (pixels <= MaxEncodePixels) Convert4BitRGBTo4BitRLE(dib.DIB, result.Record, false);
      break;
    default: break;
    }
  } catch (const EVxDIBError&) {
    if (result.Record.Bits) Fail();
  } catch (const EOutOfMemory&) {
    if (result.Record.Bits) Fail();
  }
}

inline void Exercise(const TVxInternalDIB& dib) {
  if (dib.Width != dib.DIB.Header.biWidth || dib.Width <= 0 || dib.Height <= 0) Fail();
  if (dib.DIB.Header.biClrUsed > 256) Fail();
  const int bits = dib.DIB.Header.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24) Fail();
  RunCodecs(dib);

  // Plain rows must all be there; run-length data is checked by its decoder.
  if (dib.DIB.Header.biCompression == 0 &&
      std::int64_t{dib.DIB.BitsSize} < DIBImageSize(dib.Width, dib.Height, bits))
    Fail();
  // Headers that name no pixel format (an 8-bit image with bit-field compression keeps
  // its masks as colour entries) do not come back through the writers.
  try {
    (void)dib.GetPixelFormat();
  } catch (const EVxDIBInvalidDIB&) {
    return;
  }

  // Save and reload as a BMP stream.
  TMemoryStream saved;
  dib.SaveToStream(saved);
  saved.SetPosition(0);
  TVxInternalDIB reloaded(false);
  if (!Loads([&] { reloaded.LoadFromStream(saved); })) Fail();
  CheckSame(dib, reloaded);

  // And through a packed DIB.
  TOwnedGlobal packed(dib.SaveToClipboardFormat());
  TVxInternalDIB pasted(false);
  if (!Loads([&] { pasted.LoadFromClipboardFormat(packed.Handle); })) Fail();
  CheckSame(dib, pasted);
}

}  // namespace dibfuzz
