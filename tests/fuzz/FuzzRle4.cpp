// libFuzzer target: the BI_RLE4 decoder, and the encoder on whatever decodes.
#include "RleFuzz.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzinput::InstallLimits(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return rlefuzz::Run(data, size, 4);
}
