// libFuzzer target: the packed-DIB (CF_DIB) reader, then what the loaded storage must
// survive. The block is exactly as large as the input.
#include <cstring>

#include "DIBFuzz.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzinput::InstallLimits(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  dibfuzz::TOwnedGlobal block(platform::GlobalAllocZeroed(size));
  if (!block.Handle) return 0;
  {
    platform::TGlobalLock lock(block.Handle);
    if (!lock.Get()) dibfuzz::Fail();
    std::memcpy(lock.Get(), data, size);
  }
  TVxInternalDIB dib(false);
  if (!dibfuzz::Loads([&] { dib.LoadFromClipboardFormat(block.Handle); })) {
    dibfuzz::CheckUntouched(dib);
    return 0;
  }
  dibfuzz::Exercise(dib);
  return 0;
}
