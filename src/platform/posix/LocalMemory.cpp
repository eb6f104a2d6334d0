#include "platform/LocalMemory.h"

#include "platform/posix/localmem/LocalMem.h"

#include <cstring>
#include <mutex>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

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

// The host's views of sections the program lent it: mapped once, used again whenever the
// program lends the same one.
struct THostLent {
  std::uint32_t Id;
  void* Data;
  std::size_t Capacity;
  intptr_t Handle;
  bool InUse;  // a block lies in it
  std::uint64_t LastUse;
};
constexpr std::size_t MaxHostLent = 4;
THostLent GHostLent[MaxHostLent];
std::size_t GHostLentCount = 0;
THostLent* GLending = nullptr;  // lent for the call running now
std::uint64_t GLendings = 0;

void* SectionBlock(SIZE_T size, int zeroed, intptr_t* section) {
  {
    const std::lock_guard<std::mutex> lock(GKeptLock);
    // The program's section first: the picture is then where the program reads it.
    if (THostLent* lent = GLending;
        lent && !lent->InUse && size <= lent->Capacity && lent->Capacity / 2 <= size) {
      lent->InUse = true;
      if (zeroed) std::memset(lent->Data, 0, size);
      *section = lent->Handle;
      return lent->Data;
    }
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
  {
    const std::lock_guard<std::mutex> lock(GKeptLock);
    for (std::size_t i = 0; i < GHostLentCount; ++i) {
      if (GHostLent[i].Data != data) continue;
      GHostLent[i].InUse = false;
      return;
    }
  }
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

bool LendSection(std::uint32_t id, TOsHandle handle, std::size_t capacity) noexcept {
  const std::lock_guard<std::mutex> lock(GKeptLock);
  GLending = nullptr;
  THostLent* slot = nullptr;
  for (std::size_t i = 0; i < GHostLentCount && !slot; ++i)
    if (GHostLent[i].Id == id && GHostLent[i].Capacity == capacity) slot = &GHostLent[i];
  if (slot) {
    CloseOsHandle(handle);
  } else {
    // A new one takes the place of the one unused longest; one that a block a plug-in
    // never freed lies in stays.
    if (GHostLentCount < MaxHostLent) {
      slot = &GHostLent[GHostLentCount];
    } else {
      for (std::size_t i = 0; i < GHostLentCount; ++i)
        if (!GHostLent[i].InUse && (!slot || GHostLent[i].LastUse < slot->LastUse)) slot = &GHostLent[i];
      if (!slot) {
        CloseOsHandle(handle);
        return false;
      }
    }
    TSharedSection view = TSharedSection::Map(handle, capacity, true);
    if (!view) return false;
    if (slot != &GHostLent[GHostLentCount]) {
      UnmapSection(slot->Data, slot->Capacity);
      CloseOsHandle(slot->Handle);
    } else {
      ++GHostLentCount;
    }
    const intptr_t h = view.ReleaseHandle();
    *slot = THostLent{id, view.ReleaseMapping(), capacity, h, false, 0};
  }
  slot->LastUse = ++GLendings;
  GLending = slot;
  return true;
}

void EndLending() noexcept {
  const std::lock_guard<std::mutex> lock(GKeptLock);
  GLending = nullptr;
}

bool InLentSection(TLocalHandle handle) noexcept {
  const TLocalLock lock(handle);
  const std::lock_guard<std::mutex> guard(GKeptLock);
  return lock.Get() && GLending && GLending->InUse && lock.Get() == GLending->Data;
}

// ---- Sections lent to hosts, on the program's side

namespace {
struct TLent {
  void* Data;
  std::size_t Capacity;
  intptr_t Handle;
  std::uint32_t Id;
  bool Kept;  // free for the next picture
};
constexpr std::size_t MaxKeptLent = 4;
std::mutex GLentLock;
std::uint32_t GLentIds = 0;
// Every lent section alive, kept or holding a picture. Never destroyed: a picture may be
// freed by another static's destructor.
std::vector<TLent>& LentSections() {
  static auto* sections = new std::vector<TLent>;
  return *sections;
}

void DropLent(const TLent& section) noexcept {
  // Emptied first: the host's view of it must not keep its pages.
  (void)::ftruncate(static_cast<int>(section.Handle), 0);
  UnmapSection(section.Data, section.Capacity);
  CloseOsHandle(section.Handle);
}

void KeepLent(void* data) noexcept {
  TLent dropped{};
  {
    const std::lock_guard<std::mutex> lock(GLentLock);
    std::vector<TLent>& all = LentSections();
    std::size_t kept = 0;
    for (const TLent& s : all) kept += s.Kept ? 1 : 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].Data != data || all[i].Kept) continue;
      if (kept < MaxKeptLent) {
        all[i].Kept = true;
        return;
      }
      dropped = all[i];
      all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (dropped.Data) DropLent(dropped);
}
}  // namespace

TLentSection TakeLentSection(std::size_t size) noexcept {
  try {
    const std::lock_guard<std::mutex> lock(GLentLock);
    std::vector<TLent>& all = LentSections();
    // One no more than twice as large, as the host takes it.
    for (TLent& s : all) {
      if (!s.Kept || s.Capacity < size || s.Capacity / 2 > size) continue;
      s.Kept = false;
      return {s.Handle, s.Data, s.Capacity, s.Id};
    }
    all.reserve(all.size() + 1);
    TSharedSection made = TSharedSection::Create(size);
    if (!made) return {};
    const TLent fresh{made.Data(), size, made.Handle(), ++GLentIds, false};
    made.ReleaseHandle();
    made.ReleaseMapping();
    all.push_back(fresh);
    return {fresh.Handle, fresh.Data, fresh.Capacity, fresh.Id};
  } catch (...) {
    return {};
  }
}

void ReturnLentSection(const TLentSection& section) noexcept {
  if (section) KeepLent(section.Data);
}

TLocalHandle LocalAdoptLentSection(const TLentSection& section, std::size_t size) noexcept {
  if (!section) return nullptr;
  if (size > section.Capacity) {
    ReturnLentSection(section);
    return nullptr;
  }
  return ::LocalMemAdoptSection(section.Data, size, section.Handle,
                                [](void* data, SIZE_T, intptr_t) { KeepLent(data); });
}

void ReleaseLentSections() noexcept {
  std::vector<TLent> kept;
  {
    const std::lock_guard<std::mutex> lock(GLentLock);
    std::vector<TLent>& all = LentSections();
    for (std::size_t i = all.size(); i-- > 0;) {
      if (!all[i].Kept) continue;
      try {
        kept.push_back(all[i]);
      } catch (...) {
        continue;  // kept for now: the next release lets it go
      }
      all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  for (const TLent& s : kept) DropLent(s);
}

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
