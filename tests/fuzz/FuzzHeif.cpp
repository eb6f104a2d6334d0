// libFuzzer target: HEIF and AVIF files through Tavex's own plug-in, called at its entry points
// as a host calls them (the plug-in opens libheif, which decodes with libde265, dav1d or aom).
// Every input ends in an error code or a picture whose blocks are freed; nothing may crash,
// leak, or read outside the input. Seeds: the plug-in tests' pictures,
//   cp build/native/tests/plugins/images/*.heic build/native/tests/plugins/images/*.avif \
//      build/fuzz/corpus/fuzz_heif/
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>

#include "FuzzInput.h"
#include "LocalMem.h"

namespace {

SpiGetPictureInfoProc GGetPictureInfo = nullptr;
SpiGetPictureProc GGetPicture = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzinput::InstallLimits(*argc, *argv);
  void* plugin = ::dlopen(TAVEX_IFTAVEX_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!plugin) std::abort();
  GGetPictureInfo = reinterpret_cast<SpiGetPictureInfoProc>(::dlsym(plugin, "GetPictureInfo"));
  GGetPicture = reinterpret_cast<SpiGetPictureProc>(::dlsym(plugin, "GetPicture"));
  if (!GGetPictureInfo || !GGetPicture) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char* source = reinterpret_cast<const char*>(data);
  const auto len = static_cast<SpiLongPtr>(size);
  SpiPictureInfo info{};
  if (GGetPictureInfo(source, len, SPI_INPUT_MEMORY, &info) != SPI_SUCCESS) return 0;
  // libheif makes its planes with new[], outside the allocation seam; a picture is decoded
  // only when its largest plane (8 bytes a pixel: 16-bit RGBA) stays within libFuzzer's
  // malloc limit. Larger ones meet the plug-in's own size check, which the unit tests hold.
  // Beyond MaxPixels a decode only takes longer (the codecs' time grows with the picture, the
  // plug-in's paths do not), and a million runs would take hours.
  constexpr std::uint64_t MaxPixels = 512 * 512;
  const std::uint64_t pixels = static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height);
  if (info.width <= 0 || info.height <= 0 || pixels * 8 > fuzzinput::GBlockLimit / 2 || pixels > MaxPixels) return 0;
  HLOCAL header = nullptr, bits = nullptr;
  if (GGetPicture(source, len, SPI_INPUT_MEMORY, &header, &bits, nullptr, 0) == SPI_SUCCESS) {
    if (!header || !bits) std::abort();
    // The picture must be as large as its header says: a host reads that many bytes.
    const auto* h = static_cast<const SpiBitmapInfoHeader*>(LocalLock(header));
    if (!h || h->biWidth <= 0 || h->biHeight <= 0 || LocalSize(bits) < h->biSizeImage) std::abort();
    LocalUnlock(header);
    LocalFree(header);
    LocalFree(bits);
  } else if (header || bits) {
    std::abort();  // a failed call hands back nothing
  }
  return 0;
}
