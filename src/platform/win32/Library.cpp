#include "platform/Library.h"

#include <cstring>
#include <cwctype>

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

namespace platform {

bool PluginHostsByDefault() noexcept { return sizeof(void*) == 8; }

namespace {
// The machine a DLL is built for, read off its PE header; 0 when it cannot be read.
WORD ImageMachine(const std::filesystem::path& file) {
  HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  unsigned char head[4096] = {};
  DWORD read = 0;
  const BOOL ok = ::ReadFile(h, head, sizeof head, &read, nullptr);
  ::CloseHandle(h);
  if (!ok || read < 64 || head[0] != 'M' || head[1] != 'Z') return 0;
  DWORD pe = 0;
  std::memcpy(&pe, head + 60, 4);
  if (pe > read - 6 || std::memcmp(head + pe, "PE\0\0", 4) != 0) return 0;
  WORD machine = 0;
  std::memcpy(&machine, head + pe + 4, 2);
  return machine;
}
}  // namespace

std::filesystem::path PluginHostProgram(const std::filesystem::path& plugin) {
  if (sizeof(void*) == 4) return "tavex-plugin-host32.exe";
  // The plug-in's own bitness decides; where it cannot be read, its extension.
  const WORD machine = plugin.empty() ? 0 : ImageMachine(plugin);
  if (machine == IMAGE_FILE_MACHINE_I386) return "tavex-plugin-host32.exe";
  if (machine != 0) return "tavex-plugin-host64.exe";
  std::wstring extension = plugin.extension().wstring();
  for (wchar_t& c : extension) c = static_cast<wchar_t>(std::towlower(c));
  return extension == L".spi" ? "tavex-plugin-host32.exe" : "tavex-plugin-host64.exe";
}

}  // namespace platform
