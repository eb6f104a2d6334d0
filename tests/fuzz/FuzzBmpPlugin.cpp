// libFuzzer target: Tavex's own plug-in decoding a BMP of a version the program's DIB library
// leaves to it (52-, 56-, 108- and 124-byte headers), as a host calls it. The input is the file
// after its "BM"; the low two bits of the header size's first byte pick one of the four sizes,
// so that every input reaches the decoder. A success must hand back a 24-bit DIB of the size
// GetPictureInfo announced.
//
// Memory: rows are checked against the file before anything is made, but a BMP holding a PNG or
// JPEG takes its size from that file; pictures whose DIB would pass libFuzzer's malloc limit
// are asked for their size only.
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "LocalMem.h"

namespace {

[[noreturn]] void Fail() { std::abort(); }

SpiGetPictureInfoProc GInfo = nullptr;
SpiGetPictureProc GPicture = nullptr;
SpiIsSupportedProc GIsSupported = nullptr;
std::size_t GLimit = std::size_t{64} << 20;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const std::string arg = (*argv)[i];
    if (arg.rfind("-malloc_limit_mb=", 0) == 0) GLimit = static_cast<std::size_t>(std::atol(arg.c_str() + 17)) << 20;
  }
  const std::string self = (*argv)[0];
  const std::string plugin = self.substr(0, self.find_last_of('/') + 1) + "iftavex.spi";
  void* module = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) Fail();
  GInfo = reinterpret_cast<SpiGetPictureInfoProc>(dlsym(module, "GetPictureInfo"));
  GPicture = reinterpret_cast<SpiGetPictureProc>(dlsym(module, "GetPicture"));
  GIsSupported = reinterpret_cast<SpiIsSupportedProc>(dlsym(module, "IsSupported"));
  if (!GInfo || !GPicture || !GIsSupported) Fail();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input("BM", 2);
  input.append(reinterpret_cast<const char*>(data), size);
  if (input.size() < 18) input.resize(18, '\0');
  static const unsigned char sizes[4] = {52, 56, 108, 124};
  input[14] = static_cast<char>(sizes[static_cast<unsigned char>(input[14]) & 3u]);
  input[15] = input[16] = input[17] = '\0';
  std::string header(input);
  header.resize(2048, '\0');
  if (!GIsSupported("x.bmp", header.data())) Fail();

  SpiPictureInfo info{};
  const int infoRc = GInfo(input.data(), static_cast<SpiLongPtr>(input.size()), SPI_INPUT_MEMORY, &info);
  if (infoRc == SPI_SUCCESS &&
      static_cast<unsigned long long>(info.width) * static_cast<unsigned long long>(info.height) * 4 > GLimit / 2)
    return 0;
  HLOCAL bitmapInfo = nullptr, bits = nullptr;
  const int rc = GPicture(input.data(), static_cast<SpiLongPtr>(input.size()), SPI_INPUT_MEMORY, &bitmapInfo, &bits,
                          nullptr, 0);
  if (rc != SPI_SUCCESS) {
    if (bitmapInfo || bits) Fail();
    return 0;
  }
  if (infoRc != SPI_SUCCESS) Fail();
  const auto* h = static_cast<const SpiBitmapInfoHeader*>(LocalLock(bitmapInfo));
  if (!h || h->biBitCount != 24 || h->biWidth != info.width || h->biHeight != info.height) Fail();
  const std::size_t stride = (static_cast<std::size_t>(h->biWidth) * 3 + 3) & ~std::size_t{3};
  if (LocalSize(bits) < stride * static_cast<std::size_t>(h->biHeight)) Fail();
  LocalUnlock(bitmapInfo);
  LocalFree(bitmapInfo);
  LocalFree(bits);
  return 0;
}
