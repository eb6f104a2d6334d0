#pragma once
// Local memory: the blocks that plug-ins allocate with LocalAlloc and hand to the host.
// Windows has the kernel's functions; natively a small shared library (tavex_localmem)
// that the host and every plug-in link, so a block made by a plug-in can be sized, locked
// and freed here. Both refuse a handle that is not a live block without touching it.
#include <cstddef>

#include "platform/HostProcess.h"

namespace platform {

// HLOCAL.
using TLocalHandle = void*;

// The block's size; 0 for a handle that is not a live block (the way to check a handle
// a plug-in gave before using it).
std::size_t LocalSize(TLocalHandle handle) noexcept;
// Null on failure; every successful lock needs one unlock.
void* LocalLock(TLocalHandle handle) noexcept;
void LocalUnlock(TLocalHandle handle) noexcept;
// False when the block was not freed (not a live block).
bool LocalFree(TLocalHandle handle) noexcept;
// A moveable block, zero-filled unless told otherwise, as plug-ins make them; null when it
// cannot be made.
TLocalHandle LocalAllocMoveable(std::size_t size, bool zeroed = true) noexcept;
// A moveable block holding a mapped section's bytes: the section itself where the platform
// lets a block be made over it, else a copy. Null (the section gone) when it cannot be made.
TLocalHandle LocalAdoptSection(TSharedSection section) noexcept;

// In a plug-in host: large blocks that plug-ins allocate are made shared sections where the
// platform lets the host decide how local memory is made, so that a picture can be sent
// as it lies. Elsewhere nothing changes.
void ShareLargeLocalBlocks() noexcept;
// A second handle of the section that holds the block (to send it), or invalid when the
// block is no such section.
TOsHandle LocalBlockSection(TLocalHandle handle) noexcept;

// The one owner of a local block: frees it in its destructor. Movable, not copyable.
class TLocalMemory {
public:
  TLocalMemory() noexcept = default;
  explicit TLocalMemory(TLocalHandle handle) noexcept : FHandle(handle) {}
  TLocalMemory(TLocalMemory&& other) noexcept : FHandle(other.Release()) {}
  TLocalMemory& operator=(TLocalMemory&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TLocalMemory(const TLocalMemory&) = delete;
  TLocalMemory& operator=(const TLocalMemory&) = delete;
  ~TLocalMemory() { Reset(); }

  TLocalHandle Get() const noexcept { return FHandle; }
  explicit operator bool() const noexcept { return FHandle != nullptr; }
  std::size_t Size() const noexcept { return FHandle ? LocalSize(FHandle) : 0; }
  TLocalHandle Release() noexcept {
    TLocalHandle h = FHandle;
    FHandle = nullptr;
    return h;
  }
  void Reset(TLocalHandle handle = nullptr) noexcept {
    if (FHandle) LocalFree(FHandle);
    FHandle = handle;
  }

private:
  TLocalHandle FHandle = nullptr;
};

// Keeps a local block locked for a scope.
class TLocalLock {
public:
  explicit TLocalLock(TLocalHandle handle) noexcept : FHandle(handle), FData(handle ? LocalLock(handle) : nullptr) {}
  ~TLocalLock() {
    if (FData) LocalUnlock(FHandle);
  }
  TLocalLock(const TLocalLock&) = delete;
  TLocalLock& operator=(const TLocalLock&) = delete;
  void* Get() const noexcept { return FData; }

private:
  TLocalHandle FHandle;
  void* FData;
};

}  // namespace platform
