#include "rtl/BlockPool.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "rtl/Exception.h"

std::size_t TBlockPool::CapacityFor(std::size_t size) noexcept {
  if (size < LargeSize) return size;
  const std::size_t extra = size / 8;
  if (size > std::numeric_limits<std::size_t>::max() - extra - Granule) return size;
  return (size + extra + Granule - 1) / Granule * Granule;
}

TPooledBlock TBlockPool::Take(std::size_t size) noexcept {
  if (size < FMinSize) return {};
  std::lock_guard<std::mutex> lock(FLock);
  std::size_t best = FKept.size();
  for (std::size_t i = 0; i < FKept.size(); ++i) {
    const std::size_t cap = FKept[i].Capacity;
    if (cap < size || cap / 2 > size + Granule) continue;
    if (best == FKept.size() || cap < FKept[best].Capacity) best = i;
  }
  if (best == FKept.size()) return {};
  const TPooledBlock block = FKept[best];
  FKept.erase(FKept.begin() + static_cast<std::ptrdiff_t>(best));
  FKeptBytes -= block.Capacity;
  return block;
}

void TBlockPool::TrimLocked(std::vector<TPooledBlock>& freed) noexcept {
  while (!FKept.empty() && (FKept.size() > FMaxBlocks || FKeptBytes > FKeepBytes)) {
    freed.push_back(FKept.front());
    FKeptBytes -= FKept.front().Capacity;
    FKept.erase(FKept.begin());
  }
}

void TBlockPool::Put(const TPooledBlock& block) noexcept {
  if (!block.Data) return;
  if (block.Capacity < FMinSize || block.Capacity > FKeepBytes) {
    FFreeBlock(block);
    return;
  }
  std::vector<TPooledBlock> freed;
  try {
    std::lock_guard<std::mutex> lock(FLock);
    // Room in both lists first: once the block is listed, nothing may fail.
    freed.reserve(FKept.size() + 1);
    FKept.reserve(FKept.size() + 1);
    FKept.push_back(block);
    FKeptBytes += block.Capacity;
    TrimLocked(freed);
  } catch (...) {
    // No room to remember it: give it back instead.
    FFreeBlock(block);
    return;
  }
  // Freed outside the lock: giving memory back to the OS may take a while.
  for (const TPooledBlock& b : freed) FFreeBlock(b);
}

void TBlockPool::Clear() noexcept {
  std::vector<TPooledBlock> freed;
  {
    std::lock_guard<std::mutex> lock(FLock);
    freed.swap(FKept);
    FKeptBytes = 0;
  }
  for (const TPooledBlock& b : freed) FFreeBlock(b);
}

void TBlockPool::Trim(std::size_t keepBytes) noexcept {
  // One block at a time, each freed outside the lock.
  for (;;) {
    TPooledBlock oldest;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FKept.empty() || FKeptBytes <= keepBytes) return;
      oldest = FKept.front();
      FKept.erase(FKept.begin());
      FKeptBytes -= oldest.Capacity;
    }
    FFreeBlock(oldest);
  }
}

std::size_t TBlockPool::KeptBlocks() const noexcept {
  std::lock_guard<std::mutex> lock(FLock);
  return FKept.size();
}

std::size_t TBlockPool::KeptBytes() const noexcept {
  std::lock_guard<std::mutex> lock(FLock);
  return FKeptBytes;
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
  static TBlockPool* pool = new TBlockPool(FreeHeapBlock, TBlockPool::Granule, HeapKeepBytes, 8);
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
