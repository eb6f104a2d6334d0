#pragma once
// Local memory: the blocks that plug-ins allocate with LocalAlloc and hand to the host.
// Windows has the kernel's functions; natively a small shared library (tavex_localmem)
// that the host and every plug-in link, so a block made by a plug-in can be sized, locked
// and freed here. Both refuse a handle that is not a live block without touching it.
#include <cstddef>
#include <cstdint>

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

// Sections this program lends a plug-in host to make pictures in. Both processes keep them
// mapped from one picture to the next, so that a picture comes over with neither a copy nor
// a page fault. Where the platform cannot (Windows) there are none: the host copies.
struct TLentSection {
  TOsHandle Handle = InvalidOsHandle;  // this program's: send a duplicate
  void* Data = nullptr;
  std::size_t Capacity = 0;
  std::uint32_t Id = 0;  // the same for every lending of one section
  explicit operator bool() const noexcept { return Data != nullptr; }
};
// A kept section for a picture of about size bytes, or a new one; empty when none can be made.
TLentSection TakeLentSection(std::size_t size) noexcept;
// The host made the picture elsewhere: the section is kept for the next.
void ReturnLentSection(const TLentSection& section) noexcept;
// A moveable block of the first size bytes of the section, which is kept for the next
// picture when the block is freed; null (the section returned) when it cannot be made.
TLocalHandle LocalAdoptLentSection(const TLentSection& section, std::size_t size) noexcept;
// Lets the kept sections go (a batch has ended). Their pages go with them although a host
// still maps them.
void ReleaseLentSections() noexcept;

// In a plug-in host: the program's section numbered id (capacity bytes; the handle is taken
// over) is where the next large block that fits it is made, until EndLending; a host maps each
// section once. False when it cannot be mapped.
bool LendSection(std::uint32_t id, TOsHandle handle, std::size_t capacity) noexcept;
void EndLending() noexcept;
// Whether the block lies in the section lent for this call.
bool InLentSection(TLocalHandle handle) noexcept;

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
