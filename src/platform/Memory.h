#pragma once
// Pixel memory and movable global blocks through the OS.
//
// A file mapping is an anonymous, paging-file backed object (Windows: CreateFileMappingW on
// INVALID_HANDLE_VALUE; POSIX: an anonymous shared mapping) with one writable view over all
// of it. New mappings come zero-filled from the OS.
#include <cstddef>
#include <cstdint>

#include "platform/Handles.h"

namespace platform {

// HANDLE of the mapping object on Windows; on POSIX a record of the mapping.
using TMappingHandle = void*;

// Null when the OS refuses (a size of 0 or one above 4 GiB - 1 is refused too: the
// object's size is given as a 32-bit low word).
TMappingHandle CreateMapping(std::size_t size) noexcept;
// The whole object, writable; null on failure.
void* MapViewOfFile(TMappingHandle mapping) noexcept;
// False when the OS reports a failure.
bool UnmapViewOfFile(TMappingHandle mapping, void* view) noexcept;
bool CloseMapping(TMappingHandle mapping) noexcept;
// The usable size of a view (the object's size, rounded up to whole pages on Windows);
// 0 when the OS cannot tell.
std::size_t ViewSize(TMappingHandle mapping, const void* view) noexcept;

// Movable global memory as the clipboard hands it around (GMEM_MOVEABLE | GMEM_ZEROINIT).
// Null when the block cannot be made.
TGlobalHandle GlobalAllocZeroed(std::size_t size) noexcept;
// Null on failure; every successful lock needs one unlock.
void* GlobalLock(TGlobalHandle handle) noexcept;
void GlobalUnlock(TGlobalHandle handle) noexcept;
// The block's size as the OS reports it (at least the requested size); 0 on failure.
std::size_t GlobalSize(TGlobalHandle handle) noexcept;
void GlobalFree(TGlobalHandle handle) noexcept;

// Keeps a global block locked for a scope.
class TGlobalLock {
public:
  explicit TGlobalLock(TGlobalHandle handle) noexcept : FHandle(handle), FData(GlobalLock(handle)) {}
  ~TGlobalLock() {
    if (FData) GlobalUnlock(FHandle);
  }
  TGlobalLock(const TGlobalLock&) = delete;
  TGlobalLock& operator=(const TGlobalLock&) = delete;
  void* Get() const noexcept { return FData; }

private:
  TGlobalHandle FHandle;
  void* FData;
};

}  // namespace platform
