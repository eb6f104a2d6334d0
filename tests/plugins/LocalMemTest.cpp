// The native local memory must behave as Windows' does for everything the host relies on:
// handles of both kinds, lock counts, sizes, and refusal of handles that are not live blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "LocalMem.h"

namespace {

struct TAllocCase {
  const char* name;
  UINT flags;
  SIZE_T bytes;
  bool moveable;
  bool zeroed;
};

class LocalMemAlloc : public testing::TestWithParam<TAllocCase> {};

TEST_P(LocalMemAlloc, LocksSizesAndFrees) {
  const TAllocCase& c = GetParam();
  HLOCAL h = LocalAlloc(c.flags, c.bytes);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LocalSize(h), c.bytes);
  auto* p = static_cast<unsigned char*>(LocalLock(h));
  if (c.moveable && c.bytes == 0) {
    EXPECT_EQ(p, nullptr);  // an empty moveable block has no memory to lock
  } else {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p == h, !c.moveable);
    if (c.zeroed) {
      for (SIZE_T i = 0; i < c.bytes; ++i) ASSERT_EQ(p[i], 0u) << i;
    }
    std::memset(p, 0xAB, c.bytes);
    if (c.moveable) {
      EXPECT_EQ(LocalLock(h), p);  // second lock
      EXPECT_TRUE(LocalUnlock(h));
      EXPECT_FALSE(LocalUnlock(h));
    } else {
      EXPECT_FALSE(LocalUnlock(h));
    }
    EXPECT_FALSE(LocalUnlock(h));  // not locked any more
  }
  EXPECT_EQ(LocalFree(h), nullptr);
  EXPECT_EQ(LocalSize(h), 0u);
  EXPECT_EQ(LocalLock(h), nullptr);
  EXPECT_EQ(LocalFree(h), h);  // a second free is refused, not a double free
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LocalMemAlloc,
    testing::Values(TAllocCase{"Fixed", LMEM_FIXED, 100, false, false},
                    TAllocCase{"Lptr", LPTR, 4097, false, true},
                    TAllocCase{"Moveable", LMEM_MOVEABLE, 7, true, false},
                    TAllocCase{"Lhnd", LHND, 1000, true, true},
                    TAllocCase{"FixedEmpty", LMEM_FIXED, 0, false, false},
                    TAllocCase{"MoveableEmpty", LHND, 0, true, true}),
    [](const testing::TestParamInfo<TAllocCase>& i) { return i.param.name; });

TEST(LocalMem, RefusesHandlesThatAreNotLiveBlocks) {
  int onStack = 0;
  std::vector<char> heap(64);
  HLOCAL live = LocalAlloc(LHND, 16);
  auto* inside = static_cast<char*>(LocalLock(live));
  for (HLOCAL bad : {static_cast<HLOCAL>(&onStack), static_cast<HLOCAL>(heap.data()),
                     static_cast<HLOCAL>(inside), static_cast<HLOCAL>(inside + 1),
                     reinterpret_cast<HLOCAL>(std::uintptr_t{8})}) {
    EXPECT_EQ(LocalSize(bad), 0u);
    EXPECT_EQ(LocalLock(bad), nullptr);
    EXPECT_FALSE(LocalUnlock(bad));
    EXPECT_EQ(LocalFree(bad), bad);
  }
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(LocalSize(live), 16u);  // untouched by the refused calls
  EXPECT_EQ(LocalFree(live), nullptr);
}

TEST(LocalMem, ImpossibleSizeFailsWithoutABlock) {
  SIZE_T before = LocalMemLiveBlocks();
  EXPECT_EQ(LocalAlloc(LMEM_FIXED, ~SIZE_T{0}), nullptr);
  EXPECT_EQ(LocalMemLiveBlocks(), before);
}

TEST(LocalMem, ThreadsAllocateAndFreeConcurrently) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      std::vector<HLOCAL> held;
      for (int i = 0; i < 2000; ++i) held.push_back(LocalAlloc(i % 2 ? LHND : LPTR, 1 + i % 50));
      for (std::size_t i = 0; i < held.size(); ++i) {
        ASSERT_EQ(LocalSize(held[i]), 1 + i % 50);
        ASSERT_EQ(LocalFree(held[i]), nullptr);
      }
    });
  for (auto& th : threads) th.join();
}

}  // namespace
