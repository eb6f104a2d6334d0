// libFuzzer target: Tavex's own plug-in decoding a JPEG from memory, as a host calls it
// (GetPictureInfo, then GetPicture, both blocks freed). The plug-in is loaded from beside the
// target. Every input ends in an SPI code; a success must hand back a 24-bit DIB whose
// size is the one GetPictureInfo announced.
//
// Memory: libjpeg's own blocks (row buffers, a progressive file's coefficients) go through
// malloc, under libFuzzer's limit; a header that declares more than that limit allows is a
// picture no host could take either, and is read for its header only. So is one that
// declares more than MaxFuzzedPicture: a larger picture runs the same code, only longer.
#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#include <dlfcn.h>
#include <setjmp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <jpeglib.h>

#include "LocalMem.h"

namespace {

[[noreturn]] void Fail() { std::abort(); }

SpiGetPictureInfoProc GInfo = nullptr;
SpiGetPictureProc GPicture = nullptr;
std::size_t GLimit = std::size_t{64} << 20;
constexpr std::size_t MaxFuzzedPicture = std::size_t{8} << 20;

struct THeaderError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void HeaderErrorExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<THeaderError*>(cinfo->err)->jump, 1); }
void HeaderMessage(j_common_ptr, int) {}

// What the decoded picture and its coefficients take at most, from the header alone; 0
// when there is no header to read (the plug-in must then fail by itself).
std::size_t DeclaredBytes(const std::uint8_t* data, std::size_t size) {
  jpeg_decompress_struct cinfo{};
  THeaderError error{};
  cinfo.err = jpeg_std_error(&error.pub);
  error.pub.error_exit = HeaderErrorExit;
  error.pub.emit_message = HeaderMessage;
  std::size_t bytes = 0;
  jpeg_create_decompress(&cinfo);
  if (setjmp(error.jump) == 0) {
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    bytes = static_cast<std::size_t>(cinfo.image_width) * cinfo.image_height * (4 + 2 * 4);
  }
  jpeg_destroy_decompress(&cinfo);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const std::string arg = (*argv)[i];
    if (arg.rfind("-malloc_limit_mb=", 0) == 0) GLimit = static_cast<std::size_t>(std::atol(arg.c_str() + 17)) << 20;
  }
  std::string self = (*argv)[0];
  const std::string plugin = self.substr(0, self.find_last_of('/') + 1) + "iftavex.spi";
  void* module = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) Fail();
  GInfo = reinterpret_cast<SpiGetPictureInfoProc>(dlsym(module, "GetPictureInfo"));
  GPicture = reinterpret_cast<SpiGetPictureProc>(dlsym(module, "GetPicture"));
  if (!GInfo || !GPicture) Fail();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The signature the plug-in detects JPEG by, so that every input reaches its decoder.
  std::string input("\xFF\xD8\xFF", 3);
  input.append(reinterpret_cast<const char*>(data), size);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(input.data());
  if (DeclaredBytes(bytes, input.size()) > std::min(GLimit / 2, MaxFuzzedPicture)) return 0;

  SpiPictureInfo info{};
  const int infoRc = GInfo(input.data(), static_cast<SpiLongPtr>(input.size()), SPI_INPUT_MEMORY, &info);
  HLOCAL header = nullptr, bits = nullptr;
  const int rc = GPicture(input.data(), static_cast<SpiLongPtr>(input.size()), SPI_INPUT_MEMORY, &header, &bits,
                          nullptr, 0);
  if (rc != SPI_SUCCESS) {
    if (header || bits) Fail();
    return 0;
  }
  if (infoRc != SPI_SUCCESS) Fail(); // a picture that decodes has a size
  const auto* h = static_cast<const SpiBitmapInfoHeader*>(LocalLock(header));
  if (!h || h->biBitCount != 24 || h->biWidth != info.width || h->biHeight != info.height) Fail();
  const std::size_t stride = (static_cast<std::size_t>(h->biWidth) * 3 + 3) & ~std::size_t{3};
  if (LocalSize(bits) < stride * static_cast<std::size_t>(h->biHeight)) Fail();
  LocalUnlock(header);
  LocalFree(header);
  LocalFree(bits);
  return 0;
}
