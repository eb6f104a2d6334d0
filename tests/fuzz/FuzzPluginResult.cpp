// libFuzzer target: a plug-in's result on its way to the DIB. The echo test plug-in hands
// back the blocks the input describes; the host must check them against the real block
// sizes before reading, free them on every path, and give a DIB that the conversion can
// draw into a bitmap. The input's fields are XORed onto a valid result (a 4 x 4 24-bit
// picture), so that most inputs stay close to something a plug-in could deliver:
//   0  result code     4  information block size    8  pixel block size    12 flags (the
//   echo plug-in's: preview, and the aliased handles)
//   16 40 header bytes, then the colour table and masks (up to 1036 bytes), then pixels.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "FuzzInput.h"
#include "LocalMem.h"
#include "graphics/Bitmap.h"
#include "platform/Folders.h"
#include "rtl/Stream.h"
#include "spi/SPIVxDIB.h"
#include "spi/SPIs.h"

namespace {

[[noreturn]] void Fail() { std::abort(); }

std::uint32_t Field(const std::uint8_t* data, std::size_t size, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4 && at + i < size; ++i) v |= std::uint32_t{data[at + i]} << (8 * i);
  return v;
}

void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

TSPIs* GRegistry = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzinput::InstallLimits(*argc, *argv);
  GRegistry = new TSPIs;
  const std::filesystem::path plugins = platform::ExeFileName().parent_path().parent_path() / "test-plugins";
  GRegistry->ScanFolder(PathToUtf8(plugins) + "/", "echo.spi");
  if (GRegistry->Count() != 1) Fail();
  // The bytes at 128 are the fuzzer's too: a second echo source there would ask for blocks of
  // any size, past libFuzzer's malloc limit. The second try is the same road at an offset.
  GRegistry->MacBinary = false;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t header[40] = {40, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 1, 0, 24};
  std::vector<std::uint8_t> info(header, header + 40);
  for (std::size_t i = 0; i < 40 && 16 + i < size; ++i) info[i] ^= data[16 + i];
  const std::size_t tableEnd = std::min<std::size_t>(size, 16 + 40 + 1036);
  if (tableEnd > 56) info.insert(info.end(), data + 56, data + tableEnd);
  // Blocks stay well under libFuzzer's malloc limit.
  const std::uint32_t infoBlock = (static_cast<std::uint32_t>(info.size()) ^ Field(data, size, 4)) & 0xFFFFu;
  const std::uint32_t pixelBlock = (48u ^ Field(data, size, 8)) & 0xFFFFFFu;
  std::vector<std::uint8_t> source{'T', 'V', 'X', 'E'};
  Put32(source, Field(data, size, 0));
  Put32(source, infoBlock);
  Put32(source, pixelBlock);
  // GetPreview or not, and handles aliased (one block as both, or the picture-information
  // text block handed back again); no progress handler here.
  Put32(source, Field(data, size, 12) & (2u | 8u | 16u | 32u | 64u));
  Put32(source, static_cast<std::uint32_t>(info.size()));
  source.insert(source.end(), info.begin(), info.end());
  if (size > tableEnd) source.insert(source.end(), data + tableEnd, data + size);

  const SIZE_T before = LocalMemLiveBlocks(), refusedBefore = LocalMemRefusedFrees();
  {
    TSPIVxDIB dib;
    TCustomMemoryStream stream(source.data(), static_cast<std::int64_t>(source.size()));
    try {
      dib.LoadFromStream(stream);
      TBitmap bitmap;
      bitmap.Assign(&dib);
      if (bitmap.Width() != dib.Width() || bitmap.Height() != dib.Height()) Fail();
    } catch (const EAssertionFailed&) {
      Fail();
    } catch (const EInvalidGraphic&) {
    } catch (const EVxDIBError&) {
    } catch (const EStreamError&) {
    } catch (const EOutOfMemory&) {
    }
  }
  // Whatever the plug-in handed back is gone with the load, each block freed once.
  if (LocalMemLiveBlocks() != before || LocalMemRefusedFrees() != refusedBefore) Fail();
  return 0;
}
