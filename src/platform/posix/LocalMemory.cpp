#include "platform/LocalMemory.h"

#include "platform/posix/localmem/LocalMem.h"

namespace platform {

std::size_t LocalSize(TLocalHandle handle) noexcept { return handle ? ::LocalSize(handle) : 0; }
void* LocalLock(TLocalHandle handle) noexcept { return ::LocalLock(handle); }
void LocalUnlock(TLocalHandle handle) noexcept { ::LocalUnlock(handle); }
bool LocalFree(TLocalHandle handle) noexcept { return ::LocalFree(handle) == nullptr; }
TLocalHandle LocalAllocMoveable(std::size_t size) noexcept { return ::LocalAlloc(LHND, size); }

TLocalHandle LocalAdoptSection(TSharedSection section) noexcept {
  if (!section) return nullptr;
  const std::size_t size = section.Size();
  return ::LocalMemAdopt(section.ReleaseMapping(), size, [](void* data, SIZE_T bytes) { UnmapSection(data, bytes); });
}

}  // namespace platform
