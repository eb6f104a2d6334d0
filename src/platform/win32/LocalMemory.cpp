#include "platform/LocalMemory.h"

#include <cstring>

#include "platform/win32/WinHeaders.h"

namespace platform {

std::size_t LocalSize(TLocalHandle handle) noexcept { return handle ? ::LocalSize(handle) : 0; }
void* LocalLock(TLocalHandle handle) noexcept { return ::LocalLock(handle); }
void LocalUnlock(TLocalHandle handle) noexcept { ::LocalUnlock(handle); }
bool LocalFree(TLocalHandle handle) noexcept { return ::LocalFree(handle) == nullptr; }
TLocalHandle LocalAllocMoveable(std::size_t size, bool zeroed) noexcept {
  return ::LocalAlloc(zeroed ? LHND : LMEM_MOVEABLE, size);
}

TLocalHandle LocalAdoptSection(TSharedSection section) noexcept {
  if (!section) return nullptr;
  TLocalHandle block = ::LocalAlloc(LMEM_MOVEABLE, section.Size());
  if (void* data = block ? ::LocalLock(block) : nullptr) {
    std::memcpy(data, section.Data(), section.Size());
    ::LocalUnlock(block);
  }
  return block;
}

// The kernel makes local memory: a picture leaves the host as a copy.
void ShareLargeLocalBlocks() noexcept {}
TOsHandle LocalBlockSection(TLocalHandle) noexcept { return InvalidOsHandle; }

// Nothing is lent: the host copies each picture into a section of its own.
TLentSection TakeLentSection(std::size_t) noexcept { return {}; }
void ReturnLentSection(const TLentSection&) noexcept {}
TLocalHandle LocalAdoptLentSection(const TLentSection&, std::size_t) noexcept { return nullptr; }
void ReleaseLentSections() noexcept {}
bool LendSection(std::uint32_t, TOsHandle handle, std::size_t) noexcept {
  CloseOsHandle(handle);
  return false;
}
void EndLending() noexcept {}
bool InLentSection(TLocalHandle) noexcept { return false; }

}  // namespace platform
