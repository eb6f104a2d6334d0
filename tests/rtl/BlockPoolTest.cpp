#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "rtl/BlockPool.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"

namespace {

constexpr std::size_t Mi = 1024 * 1024;

// Blocks of the fake pool are bare addresses; freeing one records it.
std::vector<std::uint8_t*> Freed;
void RecordFree(const TPooledBlock& block) noexcept { Freed.push_back(block.Data); }

std::uint8_t* Fake(std::uintptr_t n) { return reinterpret_cast<std::uint8_t*>(n * 4096); }

class BlockPoolTest : public ::testing::Test {
protected:
  void SetUp() override { Freed.clear(); }
};

TEST_F(BlockPoolTest, TakeFindsTheSmallestKeptBlockThatFitsWithoutWastingHalf) {
  TBlockPool pool(RecordFree, 256 * 1024, 64 * Mi, 8);
  pool.Put({Fake(1), 8 * Mi, nullptr});
  pool.Put({Fake(2), 3 * Mi, nullptr});
  pool.Put({Fake(3), 4 * Mi, nullptr});
  struct Case {
    std::size_t Size;
    std::uint8_t* Expected;
  };
  // Each take removes what it found; the order matters.
  const Case cases[] = {
      {5 * Mi, Fake(1)},   // only the 8 MiB block is large enough
      {9 * Mi, nullptr},   // nothing that large
      {1 * Mi, nullptr},   // 3 MiB would waste more than half
      {2 * Mi, Fake(2)},   // the smaller of 3 and 4 MiB
      {100, nullptr},      // requests under the pool's least size never come from it
      {4 * Mi, Fake(3)},   // exact fit
      {4 * Mi, nullptr},   // empty now
  };
  for (const Case& c : cases) {
    const TPooledBlock b = pool.Take(c.Size);
    EXPECT_EQ(b.Data, c.Expected) << c.Size;
  }
  EXPECT_EQ(pool.KeptBlocks(), 0u);
  EXPECT_EQ(pool.KeptBytes(), 0u);
  EXPECT_TRUE(Freed.empty());
}

TEST_F(BlockPoolTest, SmallAndOversizedBlocksAreFreedAtOnce) {
  TBlockPool pool(RecordFree, 256 * 1024, 16 * Mi, 8);
  pool.Put({Fake(1), 256 * 1024 - 1, nullptr});
  pool.Put({Fake(2), 17 * Mi, nullptr});
  pool.Put({nullptr, 4 * Mi, nullptr});  // nothing to keep
  EXPECT_EQ(Freed, (std::vector<std::uint8_t*>{Fake(1), Fake(2)}));
  EXPECT_EQ(pool.KeptBlocks(), 0u);
}

TEST_F(BlockPoolTest, TheBlocksKeptLongestGoFirstBeyondEitherLimit) {
  TBlockPool pool(RecordFree, 256 * 1024, 10 * Mi, 3);
  pool.Put({Fake(1), 1 * Mi, nullptr});
  pool.Put({Fake(2), 1 * Mi, nullptr});
  pool.Put({Fake(3), 1 * Mi, nullptr});
  pool.Put({Fake(4), 1 * Mi, nullptr});  // a fourth block: the first goes
  EXPECT_EQ(Freed, (std::vector<std::uint8_t*>{Fake(1)}));
  pool.Put({Fake(5), 8 * Mi, nullptr});  // 11 MiB: the oldest goes, 10 fit
  EXPECT_EQ(Freed, (std::vector<std::uint8_t*>{Fake(1), Fake(2)}));
  EXPECT_EQ(pool.KeptBlocks(), 3u);
  EXPECT_EQ(pool.KeptBytes(), 10 * Mi);
  pool.Put({Fake(6), 9 * Mi, nullptr});  // 19 MiB: three go
  EXPECT_EQ(Freed, (std::vector<std::uint8_t*>{Fake(1), Fake(2), Fake(3), Fake(4), Fake(5)}));
  EXPECT_EQ(pool.KeptBytes(), 9 * Mi);
  pool.Clear();
  EXPECT_EQ(Freed.size(), 6u);
  EXPECT_EQ(pool.KeptBlocks(), 0u);
}

// Encoders on several threads take and give back blocks at once: no block is ever held
// by two threads, none is lost or freed, and the counts end where they started.
TEST_F(BlockPoolTest, ThreadsTakingAndGivingBackNeverShareABlock) {
  constexpr int Blocks = 12;
  TBlockPool pool(RecordFree, 256 * 1024, 1024 * Mi, 40);
  std::size_t total = 0;
  for (int i = 1; i <= Blocks; ++i) {
    pool.Put({Fake(static_cast<std::uintptr_t>(i)), static_cast<std::size_t>(1 + i % 3) * Mi, nullptr});
    total += static_cast<std::size_t>(1 + i % 3) * Mi;
  }
  std::atomic<int> holder[Blocks + 1]{};
  std::atomic<int> shared{0}, foreign{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t)
    threads.emplace_back([&, t] {
      for (int n = 0; n < 20000; ++n) {
        const TPooledBlock b = pool.Take(static_cast<std::size_t>(1 + (n + t) % 3) * Mi);
        if (!b.Data) continue;
        const auto id = reinterpret_cast<std::uintptr_t>(b.Data) / 4096;
        if (id < 1 || id > Blocks) {
          ++foreign;
          continue;
        }
        if (holder[id].exchange(t) != 0) ++shared;
        holder[id].store(0);
        pool.Put(b);
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(shared.load(), 0);
  EXPECT_EQ(foreign.load(), 0);
  EXPECT_TRUE(Freed.empty());
  EXPECT_EQ(pool.KeptBlocks(), static_cast<std::size_t>(Blocks));
  EXPECT_EQ(pool.KeptBytes(), total);
  pool.Clear();
  EXPECT_EQ(Freed.size(), static_cast<std::size_t>(Blocks));
}

// Trim gives back the blocks kept longest until at most the floor stays.
TEST_F(BlockPoolTest, TrimFreesTheOldestBlocksDownToTheFloor) {
  struct Case {
    std::size_t Floor;
    std::vector<std::uint8_t*> Freed;
    std::size_t Kept;
  };
  const Case cases[] = {
      {64 * Mi, {}, 7 * Mi},
      {7 * Mi, {}, 7 * Mi},
      {6 * Mi, {Fake(1)}, 6 * Mi},
      {4 * Mi, {Fake(1), Fake(2)}, 4 * Mi},
      {3 * Mi, {Fake(1), Fake(2), Fake(3)}, 0},
      {0, {Fake(1), Fake(2), Fake(3)}, 0},
  };
  for (const Case& c : cases) {
    TBlockPool pool(RecordFree, 256 * 1024, 64 * Mi, 8);
    pool.Put({Fake(1), 1 * Mi, nullptr});
    pool.Put({Fake(2), 2 * Mi, nullptr});
    pool.Put({Fake(3), 4 * Mi, nullptr});
    Freed.clear();
    pool.Trim(c.Floor);
    EXPECT_EQ(Freed, c.Freed) << c.Floor;
    EXPECT_EQ(pool.KeptBytes(), c.Kept) << c.Floor;
  }
}

TEST_F(BlockPoolTest, DestroyingThePoolFreesWhatItKept) {
  {
    TBlockPool pool(RecordFree, 256 * 1024, 10 * Mi, 3);
    pool.Put({Fake(7), 1 * Mi, nullptr});
  }
  EXPECT_EQ(Freed, (std::vector<std::uint8_t*>{Fake(7)}));
}

TEST(BlockPoolCapacity, LargeRequestsGetRoomForASlightlyLargerImage) {
  struct Case {
    std::size_t Size;
    std::size_t Capacity;
  };
  const Case cases[] = {
      {0, 0},
      {1000, 1000},
      {TBlockPool::LargeSize - 1, TBlockPool::LargeSize - 1},
      {TBlockPool::LargeSize, 320 * 1024},          // 256 KiB + 32 KiB, in 64 KiB steps
      {6 * Mi, 6 * Mi + 768 * 1024},                     // an eighth more
      {6 * Mi + 1, 6 * Mi + 832 * 1024},
  };
  for (const Case& c : cases) EXPECT_EQ(TBlockPool::CapacityFor(c.Size), c.Capacity) << c.Size;
}

TEST(HeapBlocks, ALargeBlockGivenBackIsHandedOutAgainClearedUnlessOverwriteIsAsked) {
  HeapBlockPool().Clear();
  const std::size_t size = 2 * Mi;
  std::uint8_t* a = GetBlock(size, true);
  EXPECT_GE(BlockCapacity(a), size);
  for (std::size_t i = 0; i < size; i += 4096) ASSERT_EQ(a[i], 0) << i;
  std::memset(a, 0xAB, size);
  FreeBlock(a);
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 1u);

  std::uint8_t* b = GetBlock(size - 100, true);
  EXPECT_EQ(b, a);
  for (std::size_t i = 0; i < size - 100; ++i) ASSERT_EQ(b[i], 0) << i;
  std::memset(b, 0xCD, size - 100);
  FreeBlock(b);

  std::uint8_t* c = GetBlock(size - 100, false);
  EXPECT_EQ(c, a);
  EXPECT_EQ(c[0], 0xCD);  // old contents: the caller writes every byte itself
  FreeBlock(c);
  HeapBlockPool().Clear();
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 0u);
}

TEST(HeapBlocks, BlocksFromSixtyFourKiBOnAreKept) {
  HeapBlockPool().Clear();
  FreeBlock(GetBlock(64 * 1024 - 1, false));
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 0u);
  std::uint8_t* a = GetBlock(64 * 1024, false);
  FreeBlock(a);
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 1u);
  std::uint8_t* b = GetBlock(100 * 1024, true);  // capacity 64 KiB: too small
  EXPECT_NE(b, a);
  FreeBlock(b);
  HeapBlockPool().Clear();
}

TEST(HeapBlocks, SmallAndEmptyBlocksHaveAddressesOfTheirOwn) {
  std::uint8_t* a = GetBlock(0, true);
  std::uint8_t* b = GetBlock(0, false);
  std::uint8_t* c = GetBlock(10, true);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(c[i], 0);
  FreeBlock(a);
  FreeBlock(b);
  FreeBlock(c);
  FreeBlock(nullptr);
}

TEST(HeapBlocks, AnImpossibleSizeRaisesOutOfMemory) {
  try {
    GetBlock(SIZE_MAX - 16, false);
    FAIL() << "no exception";
  } catch (const EOutOfMemory& e) {
    EXPECT_STREQ(e.what(), "Out of memory");
  }
}

TEST(MemoryStreamBlocks, GrowingKeepsTheContentsAcrossAPooledBlock) {
  HeapBlockPool().Clear();
  TMemoryStream stream;
  std::vector<std::uint8_t> data(3 * Mi);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  stream.WriteBuffer(data.data(), 1000);
  stream.WriteBuffer(data.data() + 1000, static_cast<std::int64_t>(data.size() - 1000));
  ASSERT_EQ(stream.Size(), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(std::memcmp(stream.Memory(), data.data(), data.size()), 0);
  stream.Clear();
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 1u);  // the large block is back for the next stream
  TMemoryStream next;
  next.SetSize(static_cast<std::int64_t>(2 * Mi));
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 0u);
  HeapBlockPool().Clear();
}

}  // namespace
