#pragma once
// The system clipboard: the Windows clipboard on Windows; elsewhere a clipboard private to
// the process with the same open / get / set / empty / close protocol.
#include <cstdint>

#include "platform/Handles.h"

namespace platform {

// False when the clipboard cannot be opened (another owner holds it).
bool OpenClipboard() noexcept;
bool CloseClipboard() noexcept;
// Frees every block on the clipboard; the clipboard must be open.
bool EmptyClipboard() noexcept;
// The block stored under a format, still owned by the clipboard; null when none.
TGlobalHandle GetClipboardData(std::uint16_t format) noexcept;
// Hands a movable global block to the clipboard, which owns it from then on (also when the
// call fails); the clipboard must be open.
bool SetClipboardData(std::uint16_t format, TGlobalHandle data) noexcept;
bool IsClipboardFormatAvailable(std::uint16_t format) noexcept;

}  // namespace platform
