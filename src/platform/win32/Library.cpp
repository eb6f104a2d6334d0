#include "platform/Library.h"

#include "platform/win32/WinHeaders.h"

namespace platform {

TLibraryHandle OpenLibrary(const std::filesystem::path& path) noexcept {
  // No "cannot find" box from the system for a missing dependency: the caller reports it.
  DWORD previous = 0;
  const BOOL quiet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE module = ::LoadLibraryW(path.c_str());
  if (quiet) ::SetThreadErrorMode(previous, nullptr);
  return module;
}

void* LibrarySymbol(TLibraryHandle library, const std::string& name) noexcept {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name.c_str()));
}

std::filesystem::path LibraryFileName(TLibraryHandle library) {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(static_cast<HMODULE>(library), name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      return name;
    }
    name.resize(name.size() * 2);
  }
}

bool CloseLibrary(TLibraryHandle library) noexcept { return ::FreeLibrary(static_cast<HMODULE>(library)) != FALSE; }

}  // namespace platform

namespace platform {

const std::vector<std::string>& PluginFilePatterns() {
  static const std::vector<std::string> patterns =
      sizeof(void*) == 8 ? std::vector<std::string>{"*.spi", "*.sph"} : std::vector<std::string>{"*.spi"};
  return patterns;
}

}  // namespace platform
