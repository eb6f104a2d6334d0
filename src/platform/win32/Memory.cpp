#include "platform/Memory.h"

#include <limits>

#include "platform/win32/WinHeaders.h"
#include "rtl/BlockPool.h"

namespace platform {

TMappingHandle CreateMapping(std::size_t size) noexcept {
  if (size == 0 || size > std::numeric_limits<DWORD>::max() || !AllocationAllowed(size)) return nullptr;
  // Null on failure (unlike file handles): nothing to translate.
  return ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr);
}

void* MapViewOfFile(TMappingHandle mapping) noexcept {
  if (!mapping) return nullptr;
  return ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
}

bool UnmapViewOfFile(TMappingHandle, void* view) noexcept { return ::UnmapViewOfFile(view) != FALSE; }

bool CloseMapping(TMappingHandle mapping) noexcept { return ::CloseHandle(mapping) != FALSE; }

std::size_t ViewSize(TMappingHandle mapping, const void* view) noexcept {
  MEMORY_BASIC_INFORMATION info{};
  if (!mapping || !view || ::VirtualQuery(view, &info, sizeof info) != sizeof info) return 0;
  // A view of one committed object is one region.
  return info.BaseAddress == view && info.State == MEM_COMMIT && info.Type == MEM_MAPPED ? info.RegionSize : 0;
}

TGlobalHandle GlobalAllocZeroed(std::size_t size) noexcept {
  return AllocationAllowed(size) ? ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size) : nullptr;
}

void* GlobalLock(TGlobalHandle handle) noexcept { return handle ? ::GlobalLock(handle) : nullptr; }

void GlobalUnlock(TGlobalHandle handle) noexcept { ::GlobalUnlock(handle); }

std::size_t GlobalSize(TGlobalHandle handle) noexcept { return handle ? ::GlobalSize(handle) : 0; }

void GlobalFree(TGlobalHandle handle) noexcept {
  if (handle) ::GlobalFree(handle);
}

}  // namespace platform
