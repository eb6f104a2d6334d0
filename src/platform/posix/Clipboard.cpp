#include "platform/Clipboard.h"

#include <map>

#include "platform/Memory.h"

namespace platform {
namespace {

// The process's clipboard: one block per format, freed when replaced, emptied or at exit.
struct TClipboardStore {
  bool Open = false;
  std::map<std::uint16_t, TGlobalHandle> Blocks;

  void Clear() noexcept {
    for (auto& [format, block] : Blocks) GlobalFree(block);
    Blocks.clear();
  }
  ~TClipboardStore() { Clear(); }
};

TClipboardStore& Store() {
  static TClipboardStore store;
  return store;
}

}  // namespace

bool OpenClipboard() noexcept {
  if (Store().Open) return false;
  Store().Open = true;
  return true;
}

bool CloseClipboard() noexcept {
  if (!Store().Open) return false;
  Store().Open = false;
  return true;
}

bool EmptyClipboard() noexcept {
  if (!Store().Open) return false;
  Store().Clear();
  return true;
}

TGlobalHandle GetClipboardData(std::uint16_t format) noexcept {
  if (!Store().Open) return nullptr;
  const auto it = Store().Blocks.find(format);
  return it == Store().Blocks.end() ? nullptr : it->second;
}

bool SetClipboardData(std::uint16_t format, TGlobalHandle data) noexcept {
  if (!Store().Open || !data) {
    GlobalFree(data);
    return false;
  }
  try {
    TGlobalHandle& slot = Store().Blocks[format];
    if (slot && slot != data) GlobalFree(slot);
    slot = data;
    return true;
  } catch (...) {
    GlobalFree(data);
    return false;
  }
}

bool IsClipboardFormatAvailable(std::uint16_t format) noexcept { return Store().Blocks.count(format) != 0; }

}  // namespace platform
