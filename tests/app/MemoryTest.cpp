// What a conversion holds and what it does when memory runs out.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "app/Batch.h"
#include "app/BmpBuilder.h"
#include "app/SaveFileName.h"
#include "dib/VxDIB.h"
#include "rtl/BlockPool.h"
#include "support/AllocationFaults.h"
#include "support/TempDir.h"

namespace {

constexpr std::size_t Mi = 1024 * 1024;

// Saves into one folder and allocates nothing of its own.
class TQuietUI : public TBatchUI {
public:
  std::string Folder;
  int SaveMethod() override { return smFolder; }
  std::string SaveFolder() override { return Folder; }
  void SetProgressMax(int) override {}
  void SetProgressPosition(int) override {}
  void ProcessMessages() override {}
  void BeepMessage(const std::string&) override {}
  void ForceForeground() override {}
};

// An 8-bit run-length BMP, bottom-up (or top-down), whose row y is runs of index y % 256.
std::vector<unsigned char> Rle8Bmp(int width, int height) {
  std::vector<unsigned char> stream;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += 255) {
      stream.push_back(static_cast<unsigned char>(std::min(255, width - x)));
      stream.push_back(static_cast<unsigned char>(y));
    }
    stream.insert(stream.end(), {0, 0});
  }
  stream.insert(stream.end(), {0, 1});
  auto put32 = [](std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  std::vector<unsigned char> out{'B', 'M'};
  const std::uint32_t offBits = 14 + 40 + 1024;
  put32(out, offBits + static_cast<std::uint32_t>(stream.size()));
  put32(out, 0);
  put32(out, offBits);
  put32(out, 40);
  put32(out, static_cast<std::uint32_t>(width));
  put32(out, static_cast<std::uint32_t>(height));
  out.insert(out.end(), {1, 0, 8, 0});
  put32(out, 1);  // BI_RLE8
  put32(out, static_cast<std::uint32_t>(stream.size()));
  put32(out, 0);
  put32(out, 0);
  put32(out, 256);
  put32(out, 0);
  for (int i = 0; i < 256; ++i) out.insert(out.end(), {static_cast<unsigned char>(i), 0, static_cast<unsigned char>(255 - i), 0});
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

// A picture of smooth gradients: its JPEG stays small.
std::vector<unsigned char> SmoothBmp(int width, int height, int bits, bool topDown) {
  TBmpPicture p;
  p.Width = width;
  p.Height = height;
  p.Bits = bits;
  p.TopDown = topDown;
  p.Colour = [](int x, int y) { return TRGB{static_cast<std::uint8_t>(x / 8), static_cast<std::uint8_t>(y / 8), 128}; };
  for (int i = 0; i < 256; ++i) p.Palette.push_back({static_cast<std::uint8_t>(i), 64, static_cast<std::uint8_t>(255 - i)});
  p.Index = [](int, int y) { return y / 8 % 256; };
  return BuildBmp(p);
}

std::size_t Rounded(std::size_t size) {
  return (TBlockPool::CapacityFor(size) + TBlockPool::Granule - 1) / TBlockPool::Granule * TBlockPool::Granule;
}

std::atomic<std::size_t> GLargeBytes{0};
bool CountLarge(std::size_t size) noexcept {
  if (size >= Mi) GLargeBytes += size;
  return true;
}

// A conversion holds the decoded pixels, the encoder's 24-bit copy and the compressed
// stream, nothing more: every large block asked for while converting (with no kept
// block to reuse) adds up to no more than those. A run-length picture decodes once,
// straight into the bitmap.
TEST(ConversionMemory, LargeBlocksAreOnlyTheDesignsBuffers) {
  const int w = 1024, h = 1024;
  const std::size_t rgb = Rounded(std::size_t{w} * 3 * h), pal = Rounded(std::size_t{w} * h);
  struct Case {
    const char* Name;
    std::vector<unsigned char> File;
    std::size_t Bound;
  };
  const Case cases[] = {
      {"24-bit", SmoothBmp(w, h, 24, false), rgb},                // lent: one block
      {"24-bit top-down", SmoothBmp(w, h, 24, true), 2 * rgb},  // drawn upright
      {"8-bit", SmoothBmp(w, h, 8, false), pal + rgb},
      {"8-bit run-length", Rle8Bmp(w, h), pal + rgb},
      {"8-bit run-length top-down", [&] {
         auto f = Rle8Bmp(w, h);
         for (int i = 22; i < 26; ++i) f[static_cast<std::size_t>(i)] = static_cast<unsigned char>((-h) >> (8 * (i - 22)));
         return f;
       }(), pal + rgb},
  };
  for (const Case& c : cases) {
    TTempDir dir;
    WriteAllBytes(dir / "in.bmp", c.File);
    TQuietUI ui;
    ui.Folder = PathToUtf8(dir.Path());
    ReleasePooledMemory();
    GLargeBytes = 0;
    const TAllocationHook previous = SetAllocationHook(CountLarge);
    EXPECT_NO_THROW(RunBatch(ui, {dir / "in.bmp"})) << c.Name;
    SetAllocationHook(previous);
    // The compressed stream is the third of the design's buffers; growing by doubling,
    // it has asked for at most twice its final size.
    const std::size_t jpeg = ReadAllBytes(dir / "in.jpg").size();
    EXPECT_GT(jpeg, 1000u) << c.Name;
    EXPECT_LE(GLargeBytes.load(), c.Bound + 2 * Rounded(jpeg)) << c.Name;
  }
}

// Every allocation of a conversion, made to fail in turn: the file ends with an
// out-of-memory error and leaves nothing behind, or (where the program can do without
// the block) converts as usual; either way the next batch gives the usual JPEG.
TEST(ConversionMemory, AnAllocationThatFailsEndsTheFileCleanlyAndTheNextBatchWorks) {
  struct Case {
    const char* Name;
    std::vector<unsigned char> File;
  };
  const Case cases[] = {
      {"24-bit", BuildBmp(PatternPicture(9, 7, 24, false))},
      {"8-bit", BuildBmp(PatternPicture(9, 7, 8, false))},
      {"8-bit run-length", Rle8Bmp(9, 7)},
  };
  const std::vector<std::string> errors{"Out of memory", "GetPaletteFromDIBInfos: Cannot Make Palette",
                                        "CopyPalette: Cannot Make Palette", "Out of memory while expanding memory stream",
                                        "GetMemory: Cannot Make File Mapping Object",
                                        "GetMemory: Cannot Make View of File Map"};
  for (const Case& c : cases) {
    TTempDir dir;
    WriteAllBytes(dir / "in.bmp", c.File);
    std::filesystem::create_directory(dir / "out");
    TQuietUI ui;
    ui.Folder = PathToUtf8(dir / "out");
    const std::vector<std::filesystem::path> files{dir / "in.bmp"};
    const std::filesystem::path output = dir / "out" / "in.jpg";
    RunBatch(ui, files);
    const std::vector<unsigned char> reference = ReadAllBytes(output);
    long count = 0;
    {
      const allocfault::TArmed counting(-1);
      RunBatch(ui, files);
      count = allocfault::Seen();
    }
    ASSERT_GT(count, 10) << c.Name;
    int failures = 0;
    for (long fail = 0; fail < count; ++fail) {
      std::filesystem::remove(output);
      std::string error;
      {
        const allocfault::TArmed armed(fail);
        try {
          RunBatch(ui, files);
        } catch (const std::exception& e) {
          error = e.what();
        }
      }
      if (!error.empty()) {
        ++failures;
        EXPECT_NE(std::find(errors.begin(), errors.end(), error), errors.end()) << c.Name << " #" << fail << ": " << error;
        std::string left;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "out")) left += PathToUtf8(entry.path().filename()) + " ";
        EXPECT_EQ(left, "") << c.Name << " #" << fail << ": " << error;
      } else {
        EXPECT_EQ(ReadAllBytes(output), reference) << c.Name << " #" << fail;
      }
      for (const auto& entry : std::filesystem::directory_iterator(dir / "out")) std::filesystem::remove(entry.path());
      RunBatch(ui, files);
      ASSERT_EQ(ReadAllBytes(output), reference) << c.Name << " after #" << fail;
    }
    EXPECT_GT(failures, count / 2) << c.Name;
  }
}

// The pools give back what they keep above 64 MiB when a batch ends, on every path.
TEST(ConversionMemory, ABatchEndsWithNoMoreThanTheFloorKept) {
  TTempDir dir;
  WriteAllBytes(dir / "in.bmp", BuildBmp(PatternPicture(8, 8, 24, false)));
  struct Case {
    const char* Name;
    std::vector<std::filesystem::path> Files;
  };
  const Case cases[] = {
      {"converted", {dir / "in.bmp"}},
      {"failed", {dir / "missing.bmp"}},
  };
  for (const Case& c : cases) {
    // 3 x 36 MiB kept of each kind (with the pools' eighth of extra room, inside the
    // 32-bit build's limits); fresh pages that are never touched cost nothing.
    ReleasePooledMemory();
    std::uint8_t* heap[3]{};
    platform::TMappingHandle mappings[3]{};
    std::uint8_t* views[3]{};
    for (int i = 0; i < 3; ++i) {
      heap[i] = GetBlock(36 * Mi, false);
      GetMemory(36 * Mi, true, mappings[i], views[i]);
    }
    for (int i = 0; i < 3; ++i) {
      FreeBlock(heap[i]);
      ReleaseMemory(mappings[i], views[i], true);
    }
    ASSERT_GE(HeapBlockPool().KeptBytes() + MappingBlockPool().KeptBytes(), 6 * 36 * Mi) << c.Name;
    TQuietUI ui;
    ui.Folder = PathToUtf8(dir.Path());
    try {
      RunBatch(ui, c.Files);
    } catch (const std::exception&) {
    }
    EXPECT_LE(HeapBlockPool().KeptBytes() + MappingBlockPool().KeptBytes(), 64 * Mi) << c.Name;
  }
  ReleasePooledMemory();
}

}  // namespace
