#include "platform/LocalMemory.h"

#include "platform/posix/localmem/LocalMem.h"

#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace platform {

std::size_t LocalSize(TLocalHandle handle) noexcept { return handle ? ::LocalSize(handle) : 0; }
void* LocalLock(TLocalHandle handle) noexcept { return ::LocalLock(handle); }
void LocalUnlock(TLocalHandle handle) noexcept { ::LocalUnlock(handle); }
bool LocalFree(TLocalHandle handle) noexcept { return ::LocalFree(handle) == nullptr; }
TLocalHandle LocalAllocMoveable(std::size_t size, bool zeroed) noexcept {
  return ::LocalAlloc(zeroed ? LHND : LMEM_MOVEABLE, size);
}

namespace {
// Sections given back, kept mapped for the next picture: a fresh section's pages cost a
// fault each when the plug-in first writes them.
struct TKeptSection {
  void* Data;
  std::size_t Size;
  intptr_t Handle;
};
constexpr std::size_t MaxKeptSections = 2;
constexpr std::size_t MaxKeptSection = std::size_t{32} << 20;
TKeptSection GKept[MaxKeptSections];
std::size_t GKeptCount = 0;
std::mutex GKeptLock;

void* SectionBlock(SIZE_T size, int zeroed, intptr_t* section) {
  {
    const std::lock_guard<std::mutex> lock(GKeptLock);
    // One no more than twice as large: a small picture does not hold a large section.
    for (std::size_t i = 0; i < GKeptCount; ++i) {
      if (GKept[i].Size < size || GKept[i].Size / 2 > size) continue;
      const TKeptSection kept = GKept[i];
      GKept[i] = GKept[--GKeptCount];
      if (zeroed) std::memset(kept.Data, 0, size);
      *section = kept.Handle;
      return kept.Data;
    }
  }
  TSharedSection s = TSharedSection::Create(size);
  if (!s) return nullptr;
  *section = s.ReleaseHandle();
  return s.ReleaseMapping();
}

void ReleaseSectionBlock(void* data, SIZE_T size, intptr_t section) {
  struct stat st {};
  const std::size_t real = ::fstat(static_cast<int>(section), &st) == 0 ? static_cast<std::size_t>(st.st_size) : size;
  // A huge picture's section goes to the program, which holds it as it is.
  if (real <= MaxKeptSection) {
    const std::lock_guard<std::mutex> lock(GKeptLock);
    if (GKeptCount < MaxKeptSections) {
      GKept[GKeptCount++] = {data, real, section};
      return;
    }
  }
  UnmapSection(data, real);
  CloseOsHandle(section);
}
}  // namespace

TLocalHandle LocalAdoptSection(TSharedSection section) noexcept {
  if (!section) return nullptr;
  const std::size_t size = section.Size();
  const intptr_t handle = section.ReleaseHandle();
  return ::LocalMemAdoptSection(section.ReleaseMapping(), size, handle, [](void* data, SIZE_T bytes, intptr_t fd) {
    UnmapSection(data, bytes);
    CloseOsHandle(fd);
  });
}

void ShareLargeLocalBlocks() noexcept { ::LocalMemSetLargeBlocks(SIZE_T{1} << 20, SectionBlock, ReleaseSectionBlock); }

TOsHandle LocalBlockSection(TLocalHandle handle) noexcept {
  const intptr_t section = ::LocalMemBlockSection(handle);
  return section < 0 ? InvalidOsHandle : DuplicateOsHandle(section);
}

}  // namespace platform
