#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dib/VxDIB.h"
#include "platform/Memory.h"
#include "platform/Palette.h"
#include "rtl/BlockPool.h"

namespace {

TEST(PlatformMapping, ViewIsWritableZeroedAndSharedByTheMapping) {
  platform::TMappingHandle h = platform::CreateMapping(8192);
  ASSERT_NE(h, nullptr);
  auto* view = static_cast<std::uint8_t*>(platform::MapViewOfFile(h));
  ASSERT_NE(view, nullptr);
  for (int i = 0; i < 8192; ++i) ASSERT_EQ(view[i], 0) << i;
  view[0] = 1;
  view[8191] = 2;
  EXPECT_EQ(view[8191], 2);
  EXPECT_TRUE(platform::UnmapViewOfFile(h, view));
  EXPECT_TRUE(platform::CloseMapping(h));
}

TEST(PlatformMapping, ZeroAndOversizedMappingsAreRefused) {
  EXPECT_EQ(platform::CreateMapping(0), nullptr);
  if constexpr (sizeof(std::size_t) > 4) {
    EXPECT_EQ(platform::CreateMapping(std::size_t{1} << 32), nullptr);
  }
}

TEST(PlatformMapping, UnmappingSomethingThatIsNoViewFails) {
  platform::TMappingHandle h = platform::CreateMapping(4096);
  ASSERT_NE(h, nullptr);
  void* view = platform::MapViewOfFile(h);
  ASSERT_NE(view, nullptr);
  std::vector<std::uint8_t> notAView(16);
  EXPECT_FALSE(platform::UnmapViewOfFile(h, notAView.data()));
  EXPECT_TRUE(platform::UnmapViewOfFile(h, view));
  EXPECT_TRUE(platform::CloseMapping(h));
}

TEST(ReleaseMemory, AFailingUnmapIsAnAssertionFailure) {
  platform::TMappingHandle h = nullptr;
  std::uint8_t* p = nullptr;
  GetMemory(4096, true, h, p);
  std::vector<std::uint8_t> notAView(16);
  std::string message;
  try {
    ReleaseMemory(h, notAView.data(), true);
  } catch (const EAssertionFailed& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "ReleaseMemory: Failed To Unmap View of File map");
  ReleaseMemory(h, p, true);
}

TEST(PlatformGlobal, BlockIsZeroedSizedAndLockable) {
  TGlobalHandle g = platform::GlobalAllocZeroed(100);
  ASSERT_NE(g, nullptr);
  EXPECT_GE(platform::GlobalSize(g), 100u);
  {
    platform::TGlobalLock lock(g);
    auto* p = static_cast<std::uint8_t*>(lock.Get());
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    std::memset(p, 0x3C, 100);
  }
  {
    platform::TGlobalLock lock(g);
    EXPECT_EQ(static_cast<std::uint8_t*>(lock.Get())[99], 0x3C);  // the data outlives the lock
  }
  platform::GlobalFree(g);
  EXPECT_EQ(platform::GlobalSize(nullptr), 0u);
  EXPECT_EQ(platform::GlobalLock(nullptr), nullptr);
}

TEST(PlatformPalette, EntriesReadBackFromAnyStart) {
  platform::TPaletteEntry in[5];
  for (int i = 0; i < 5; ++i)
    in[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(10 * i), static_cast<std::uint8_t>(200 + i), 0};
  platform::TPaletteOwner pal(platform::CreatePalette(in, 5));
  ASSERT_TRUE(pal);
  EXPECT_EQ(platform::GetPaletteEntries(pal.get(), 0, 0, nullptr), 5);
  platform::TPaletteEntry out[8]{};
  ASSERT_EQ(platform::GetPaletteEntries(pal.get(), 2, 8, out), 3);
  EXPECT_EQ(out[0], in[2]);
  EXPECT_EQ(out[2], in[4]);
  EXPECT_EQ(platform::GetPaletteEntries(pal.get(), 5, 1, out), 0);
  EXPECT_EQ(platform::GetPaletteEntries(nullptr, 0, 1, out), 0);
}

TEST(PlatformPalette, EmptyPalettesAreRefused) {
  platform::TPaletteEntry e{};
  EXPECT_EQ(platform::CreatePalette(&e, 0), nullptr);
  EXPECT_EQ(platform::CreatePalette(nullptr, 1), nullptr);
  EXPECT_FALSE(platform::DeletePalette(nullptr));
}

}  // namespace

namespace {

TEST(PooledMappings, ALargeMappingGivenBackComesBackClearedForGetMemoryAndAsItWasForOverwrite) {
  ReleasePooledMemory();
  const std::uint32_t size = 3 * 1024 * 1024;
  platform::TMappingHandle h = nullptr;
  std::uint8_t* bits = nullptr;
  GetMemory(size, true, h, bits);
  ASSERT_NE(bits, nullptr);
  EXPECT_GE(platform::ViewSize(h, bits), size);
  std::memset(bits, 0x5A, size);
  ReleaseMemory(h, bits, true);
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 1u);

  platform::TMappingHandle h2 = nullptr;
  std::uint8_t* again = nullptr;
  GetMemory(size - 4096, true, h2, again);
  EXPECT_EQ(again, bits);
  EXPECT_EQ(h2, h);
  for (std::uint32_t i = 0; i < size - 4096; ++i) ASSERT_EQ(again[i], 0) << i;
  std::memset(again, 0x77, size - 4096);
  ReleaseMemory(h2, again, true);

  GetMemoryForOverwrite(size - 4096, true, h2, again);
  EXPECT_EQ(again, bits);
  EXPECT_EQ(again[100], 0x77);
  ReleaseMemory(h2, again, true);

  ReleasePooledMemory();
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 0u);
}

TEST(PooledMappings, EvenAOnePixelMappingTakesAWholeGranuleAndIsKept) {
  ReleasePooledMemory();
  platform::TMappingHandle h = nullptr;
  std::uint8_t* bits = nullptr;
  GetMemory(4, true, h, bits);
  EXPECT_EQ(platform::ViewSize(h, bits), TBlockPool::Granule);
  bits[3] = 9;
  ReleaseMemory(h, bits, true);
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 1u);
  std::uint8_t* again = nullptr;
  GetMemory(1000, true, h, again);
  EXPECT_EQ(again, bits);
  EXPECT_EQ(again[3], 0);
  ReleaseMemory(h, again, true);
  ReleasePooledMemory();
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 0u);
}

}  // namespace
