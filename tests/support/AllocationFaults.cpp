#include "support/AllocationFaults.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "rtl/BlockPool.h"

namespace allocfault {
namespace {

std::atomic<long> GSeen{0};
std::atomic<long> GFail{-1};
std::atomic<bool> GFailed{false};

bool Hook(std::size_t) noexcept {
  const long n = GSeen.fetch_add(1);
  if (n != GFail.load()) return true;
  GFailed = true;
  return false;
}

}  // namespace

void Arm(long fail) noexcept {
  GSeen = 0;
  GFail = fail;
  GFailed = false;
  SetAllocationHook(Hook);
}

void Disarm() noexcept {
  SetAllocationHook(nullptr);
  GFail = -1;
}

long Seen() noexcept { return GSeen.load(); }
bool Failed() noexcept { return GFailed.load(); }

}  // namespace allocfault

// operator new asks the seam too, so that a failure can be injected into any allocation
// the code under test makes; delete frees what new got from malloc.
void* operator new(std::size_t size) {
  void* p = AllocationAllowed(size) ? std::malloc(size ? size : 1) : nullptr;
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocationAllowed(size) ? std::malloc(size ? size : 1) : nullptr;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
