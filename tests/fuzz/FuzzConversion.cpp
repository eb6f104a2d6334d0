// libFuzzer target: one file's road through the program, in memory: the BMP read into a
// DIB object, the DIB assigned to a bitmap (lent or drawn), the bitmap to a JPEG object,
// which compresses. Every step either works or fails with one of its own errors; the
// lent pixels stay valid after the DIB is gone.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "FuzzInput.h"
#include "dib/VxDIB.h"
#include "graphics/Bitmap.h"
#include "jpeg/JPEG.h"

namespace {

[[noreturn]] void Fail() { std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzinput::InstallLimits(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bitmap = std::make_unique<TBitmap>();
  try {
    auto dib = std::make_unique<TVxDIB>();
    TCustomMemoryStream stream(data, static_cast<std::int64_t>(size));
    dib->LoadFromStream(stream);
    bitmap->Assign(dib.get());
    if (bitmap->Width() != dib->Width() || bitmap->Height() != dib->Height()) Fail();
  } catch (const EAssertionFailed&) {
    Fail();
  } catch (const EVxDIBError&) {
    return 0;
  } catch (const EStreamError&) {
    return 0;
  } catch (const EOutOfMemory&) {
    return 0;
  }
  // The DIB is gone: the bitmap's pixels (perhaps the DIB's own block) must still be there.
  TJPEGImage jpeg;
  jpeg.Assign(bitmap.get());
  bitmap.reset();
  TMemoryStream out;
  try {
    jpeg.SaveToStream(out);
  } catch (const EJPEG&) {
    return 0;  // a size the library refuses
  } catch (const EOutOfMemory&) {
    return 0;  // the encoder's 24-bit copy beyond the fuzzer's memory limit
  }
  const auto* bytes = static_cast<const std::uint8_t*>(out.Memory());
  if (out.Size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) Fail();
  return 0;
}
