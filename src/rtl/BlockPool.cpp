#include "rtl/BlockPool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "rtl/Exception.h"

std::size_t TBlockPool::CapacityFor(std::size_t size) noexcept {
  if (size < LargeSize) return size;
  const std::size_t extra = size / 8;
  if (size > std::numeric_limits<std::size_t>::max() - extra - Granule) return size;
  return (size + extra + Granule - 1) / Granule * Granule;
}

template <typename TPick>
TPooledBlock TBlockPool::Claim(TPick pick) noexcept {
  for (;;) {
    TSlot* best = nullptr;
    std::size_t bestCapacity = 0;
    std::uint64_t bestAge = 0;
    for (TSlot& slot : FSlots) {
      if (slot.State.load(std::memory_order_acquire) != SlotFull) continue;
      const std::size_t capacity = slot.Capacity.load(std::memory_order_relaxed);
      const std::uint64_t age = slot.Age.load(std::memory_order_relaxed);
      if (!pick(capacity, age, best != nullptr, bestCapacity, bestAge)) continue;
      best = &slot;
      bestCapacity = capacity;
      bestAge = age;
    }
    if (!best) return {};
    std::uint32_t full = SlotFull;
    // Another thread was quicker: look again.
    if (!best->State.compare_exchange_strong(full, SlotBusy, std::memory_order_acquire)) continue;
    // The slot may have been emptied and filled again since it was looked at.
    const std::size_t capacity = best->Capacity.load(std::memory_order_relaxed);
    const std::uint64_t age = best->Age.load(std::memory_order_relaxed);
    if (capacity != bestCapacity || age != bestAge) {
      best->State.store(SlotFull, std::memory_order_release);
      continue;
    }
    const TPooledBlock block{best->Data, capacity, best->Handle};
    FKeptBlocks.fetch_sub(1, std::memory_order_relaxed);
    FKeptBytes.fetch_sub(capacity, std::memory_order_relaxed);
    best->State.store(SlotEmpty, std::memory_order_release);
    return block;
  }
}

TPooledBlock TBlockPool::Take(std::size_t size) noexcept {
  if (size < FMinSize) return {};
  // The smallest block that fits without wasting more than half of it.
  return Claim([size](std::size_t cap, std::uint64_t, bool haveBest, std::size_t bestCap, std::uint64_t) {
    return cap >= size && cap / 2 <= size + Granule && (!haveBest || cap < bestCap);
  });
}

TPooledBlock TBlockPool::ClaimOldest() noexcept {
  return Claim([](std::size_t, std::uint64_t age, bool haveBest, std::size_t, std::uint64_t bestAge) {
    return !haveBest || age < bestAge;
  });
}

void TBlockPool::FreeBeyond(std::size_t keepBytes, std::size_t maxBlocks) noexcept {
  while (FKeptBlocks.load(std::memory_order_relaxed) > maxBlocks ||
         FKeptBytes.load(std::memory_order_relaxed) > keepBytes) {
    const TPooledBlock oldest = ClaimOldest();
    // The counts ran ahead of the slots: the block is still being listed by its thread,
    // which looks at the limits itself once it is listed.
    if (!oldest.Data) return;
    FFreeBlock(oldest);
  }
}

void TBlockPool::Put(const TPooledBlock& block) noexcept {
  if (!block.Data) return;
  if (block.Capacity < FMinSize || block.Capacity > FKeepBytes || FMaxBlocks == 0) {
    FFreeBlock(block);
    return;
  }
  TSlot* slot = nullptr;
  for (TSlot& s : FSlots) {
    std::uint32_t empty = SlotEmpty;
    if (s.State.compare_exchange_strong(empty, SlotBusy, std::memory_order_acquire)) {
      slot = &s;
      break;
    }
  }
  if (!slot) {
    // Every slot is taken by threads giving blocks back at the same moment.
    FFreeBlock(block);
    return;
  }
  slot->Data = block.Data;
  slot->Handle = block.Handle;
  slot->Capacity.store(block.Capacity, std::memory_order_relaxed);
  slot->Age.store(FNextAge.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
  FKeptBlocks.fetch_add(1, std::memory_order_relaxed);
  FKeptBytes.fetch_add(block.Capacity, std::memory_order_relaxed);
  slot->State.store(SlotFull, std::memory_order_release);
  FreeBeyond(FKeepBytes, FMaxBlocks);
}

void TBlockPool::Clear() noexcept {
  for (TPooledBlock b = ClaimOldest(); b.Data; b = ClaimOldest()) FFreeBlock(b);
}

void TBlockPool::Trim(std::size_t keepBytes) noexcept { FreeBeyond(keepBytes, MaxKeptBlocks); }

std::size_t TBlockPool::KeptBlocks() const noexcept { return FKeptBlocks.load(std::memory_order_relaxed); }

std::size_t TBlockPool::KeptBytes() const noexcept { return FKeptBytes.load(std::memory_order_relaxed); }

std::size_t PooledBlocksPerKind() noexcept {
  // Two blocks of each kind per image: its own and the one it leaves for the next.
  const std::size_t images = std::size_t{std::max(1u, std::thread::hardware_concurrency())} + 1;
  return std::clamp<std::size_t>(2 * images, 8, TBlockPool::MaxKeptBlocks);
}

// ---- the allocation seam ------------------------------------------------------------------

namespace {
std::atomic<TAllocationHook> GAllocationHook{nullptr};
}  // namespace

TAllocationHook SetAllocationHook(TAllocationHook hook) noexcept { return GAllocationHook.exchange(hook); }

bool AllocationAllowed(std::size_t size) noexcept {
  const TAllocationHook hook = GAllocationHook.load(std::memory_order_relaxed);
  return !hook || hook(size);
}

// ---- heap blocks --------------------------------------------------------------------------

namespace {

// In front of every heap block: its capacity, sized so the data keeps the heap's alignment.
struct alignas(std::max_align_t) THeapHeader {
  std::size_t Capacity;
};

THeapHeader* HeaderOf(const void* data) {
  return reinterpret_cast<THeapHeader*>(const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(data))) - 1;
}

void FreeHeapBlock(const TPooledBlock& block) noexcept { std::free(HeaderOf(block.Data)); }

// 64-bit builds keep a few 24-megapixel images' worth; a 32-bit process has less room.
constexpr std::size_t HeapKeepBytes = sizeof(void*) >= 8 ? std::size_t{512} << 20 : std::size_t{128} << 20;

}  // namespace

TBlockPool& HeapBlockPool() noexcept {
  // Never destroyed: blocks may come back from other objects' static destructors, in any
  // order. Shutdown empties it.
  static TBlockPool* pool = new TBlockPool(FreeHeapBlock, TBlockPool::Granule, HeapKeepBytes, PooledBlocksPerKind());
  return *pool;
}

std::uint8_t* GetBlock(std::size_t size, bool zeroFill) {
  TPooledBlock kept = HeapBlockPool().Take(size);
  if (kept.Data) {
    if (zeroFill) std::memset(kept.Data, 0, size);
    return kept.Data;
  }
  const std::size_t capacity = TBlockPool::CapacityFor(size);
  if (capacity > std::numeric_limits<std::size_t>::max() - sizeof(THeapHeader) || !AllocationAllowed(capacity))
    throw EOutOfMemory("Out of memory");
  // calloc hands out fresh pages without touching them; only reused heap memory is cleared.
  void* p = zeroFill ? std::calloc(1, sizeof(THeapHeader) + capacity) : std::malloc(sizeof(THeapHeader) + capacity);
  if (!p) throw EOutOfMemory("Out of memory");
  auto* header = static_cast<THeapHeader*>(p);
  header->Capacity = capacity;
  return reinterpret_cast<std::uint8_t*>(header + 1);
}

void FreeBlock(void* data) noexcept {
  if (!data) return;
  HeapBlockPool().Put(TPooledBlock{static_cast<std::uint8_t*>(data), HeaderOf(data)->Capacity, nullptr});
}

std::size_t BlockCapacity(const void* data) noexcept { return data ? HeaderOf(data)->Capacity : 0; }
