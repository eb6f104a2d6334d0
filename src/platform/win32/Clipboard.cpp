#include "platform/Clipboard.h"

#include "platform/Memory.h"
#include "platform/win32/WinHeaders.h"

namespace platform {

bool OpenClipboard() noexcept { return ::OpenClipboard(nullptr) != FALSE; }

bool CloseClipboard() noexcept { return ::CloseClipboard() != FALSE; }

bool EmptyClipboard() noexcept { return ::EmptyClipboard() != FALSE; }

TGlobalHandle GetClipboardData(std::uint16_t format) noexcept { return ::GetClipboardData(format); }

bool SetClipboardData(std::uint16_t format, TGlobalHandle data) noexcept {
  if (::SetClipboardData(format, data)) return true;
  // Not taken: the block is still ours to free.
  GlobalFree(data);
  return false;
}

bool IsClipboardFormatAvailable(std::uint16_t format) noexcept { return ::IsClipboardFormatAvailable(format) != FALSE; }

}  // namespace platform
