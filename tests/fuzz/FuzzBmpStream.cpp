// libFuzzer target: the BMP stream reader, then what the loaded storage must survive.
#include "DIBFuzz.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzinput::InstallLimits(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TCustomMemoryStream stream(data, static_cast<std::int64_t>(size));
  TVxInternalDIB dib(false);
  if (!dibfuzz::Loads([&] { dib.LoadFromStream(stream); })) {
    dibfuzz::CheckUntouched(dib);
    return 0;
  }
  dibfuzz::Exercise(dib);
  return 0;
}
