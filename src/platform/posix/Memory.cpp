#include "platform/Memory.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

#include "rtl/BlockPool.h"

namespace platform {
namespace {

// The mapping object: zero pages from creation on, as with a paging-file backed
// mapping; views hand out that same memory. No other process ever sees it, so the
// pages are private ones: they fault in at half the cost of shared ones.
struct TMapping {
  void* Base;
  std::size_t Size;
  int Views;
};

// A global block: its size and lock count, followed by the data.
struct alignas(std::max_align_t) TGlobalBlock {
  std::size_t Size;
  int Locks;
};

TGlobalBlock* AsBlock(TGlobalHandle h) { return static_cast<TGlobalBlock*>(h); }
std::uint8_t* DataOf(TGlobalBlock* b) { return reinterpret_cast<std::uint8_t*>(b + 1); }

}  // namespace

TMappingHandle CreateMapping(std::size_t size) noexcept {
  if (size == 0 || size > std::numeric_limits<std::uint32_t>::max() || !AllocationAllowed(size)) return nullptr;
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  auto* m = new (std::nothrow) TMapping{base, size, 0};
  if (!m) ::munmap(base, size);
  return m;
}

void* MapViewOfFile(TMappingHandle mapping) noexcept {
  auto* m = static_cast<TMapping*>(mapping);
  if (!m) return nullptr;
  ++m->Views;
  return m->Base;
}

bool UnmapViewOfFile(TMappingHandle mapping, void* view) noexcept {
  auto* m = static_cast<TMapping*>(mapping);
  if (!m || view != m->Base || m->Views == 0) return false;
  --m->Views;
  return true;
}

bool CloseMapping(TMappingHandle mapping) noexcept {
  auto* m = static_cast<TMapping*>(mapping);
  if (!m) return false;
  const bool ok = ::munmap(m->Base, m->Size) == 0;
  delete m;
  return ok;
}

std::size_t ViewSize(TMappingHandle mapping, const void* view) noexcept {
  auto* m = static_cast<TMapping*>(mapping);
  return m && view == m->Base && m->Views > 0 ? m->Size : 0;
}

TGlobalHandle GlobalAllocZeroed(std::size_t size) noexcept {
  if (size > std::numeric_limits<std::size_t>::max() - sizeof(TGlobalBlock) || !AllocationAllowed(size)) return nullptr;
  void* p = std::calloc(1, sizeof(TGlobalBlock) + size);
  if (!p) return nullptr;
  auto* b = static_cast<TGlobalBlock*>(p);
  b->Size = size;
  b->Locks = 0;
  return b;
}

void* GlobalLock(TGlobalHandle handle) noexcept {
  auto* b = AsBlock(handle);
  if (!b) return nullptr;
  ++b->Locks;
  return DataOf(b);
}

void GlobalUnlock(TGlobalHandle handle) noexcept {
  auto* b = AsBlock(handle);
  if (b && b->Locks > 0) --b->Locks;
}

std::size_t GlobalSize(TGlobalHandle handle) noexcept {
  auto* b = AsBlock(handle);
  return b ? b->Size : 0;
}

void GlobalFree(TGlobalHandle handle) noexcept { std::free(handle); }

}  // namespace platform
