#include "platform/PathNames.h"

#include <string>
#include <vector>

#include "platform/win32/WinHeaders.h"

#include <winnetwk.h>

namespace platform {

std::filesystem::path UniversalName(const std::filesystem::path& path) {
  // The structure and the name it points at share one buffer; ask for its size first.
  DWORD size = 0;
  wchar_t probe[1];
  const std::wstring local = path.wstring();
  DWORD rc = ::WNetGetUniversalNameW(local.c_str(), UNIVERSAL_NAME_INFO_LEVEL, probe, &size);
  if (rc != ERROR_MORE_DATA || size == 0) return path;
  std::vector<unsigned char> buffer(size);
  rc = ::WNetGetUniversalNameW(local.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
  if (rc != NO_ERROR) return path;
  const auto* info = reinterpret_cast<const UNIVERSAL_NAME_INFOW*>(buffer.data());
  return info->lpUniversalName ? std::filesystem::path(info->lpUniversalName) : path;
}

unsigned ShortPathName(const std::filesystem::path& path, std::filesystem::path& shortPath) {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetShortPathNameW(path.wstring().c_str(), buffer, MAX_PATH);
  if (n >= 1 && n < MAX_PATH) shortPath = std::wstring(buffer, n);
  return n;
}

}  // namespace platform
