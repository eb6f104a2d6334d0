// libFuzzer target: untrusted files through the metadata reader, made fit for the JPEG as
// after either decoder, then written into a JPEG and read back from it.
//   - a cleaned EXIF block is clean: cleaning it again changes nothing;
//   - every block that fits its JPEG segments comes back from the JPEG byte for byte, and
//     one that does not fit is not there.
// Seeds: the files of the metadata tests,
//   TAVEX_FUZZ_CORPUS=$PWD/build/fuzz/corpus build/native/bin/meta_tests
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "jpeg/JPEGCompress.h"
#include "meta/Exif.h"
#include "meta/Metadata.h"

namespace {

[[noreturn]] void Fail() { std::abort(); }

void ExpectBack(const std::vector<std::uint8_t>& written, std::size_t limit, const std::vector<std::uint8_t>& read) {
  if (written.size() <= limit ? read != written : !read.empty()) Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TSourceMetadata source = ReadSourceMetadata(data, size);
  for (const TMetadataDecoder decoder : {mdTavexPlugin, mdOtherDecoder}) {
    const TImageMetadata out = MetadataForOutput(source, decoder);
    if (!out.Exif.empty()) {
      std::vector<std::uint8_t> again = out.Exif;
      if (!CleanExif(again, decoder == mdTavexPlugin && source.OrientationApplied) || again != out.Exif) Fail();
    }
    if (out.Empty()) continue;
    const std::uint8_t pixel[4] = {10, 20, 30, 0};
    TJPEGCompressParams params;
    params.Width = 1;
    params.Height = 1;
    params.TopRow = pixel;
    params.RowStride = 4;
    params.Exif = out.Exif;
    params.Xmp = out.Xmp;
    params.Icc = out.Icc;
    TMemoryStream jpeg;
    JPEGCompressBGR(params, jpeg);
    const TImageMetadata back =
        ReadSourceMetadata(static_cast<const std::uint8_t*>(jpeg.Memory()), static_cast<std::size_t>(jpeg.Size())).Blocks;
    ExpectBack(out.Exif, JPEGMaxExifBytes, back.Exif);
    ExpectBack(out.Xmp, JPEGMaxXmpBytes, back.Xmp);
    ExpectBack(out.Icc, JPEGMaxIccBytes, back.Icc);
  }
  return 0;
}
