#include "platform/Library.h"

#include <dlfcn.h>
#include <link.h>

namespace platform {

TLibraryHandle OpenLibrary(const std::filesystem::path& path) noexcept {
  if (path.empty()) return nullptr;
  // Symbols stay private to each plug-in, as a DLL's do: two plug-ins exporting the same
  // entry points must not resolve to one another's.
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* LibrarySymbol(TLibraryHandle library, const std::string& name) noexcept {
  // dlsym also searches the library's dependencies, GetProcAddress does not: an entry
  // point counts only when the library itself defines it.
  void* address = ::dlsym(library, name.c_str());
  if (!address) return nullptr;
  link_map* own = nullptr;
  link_map* holder = nullptr;
  Dl_info info{};
  if (::dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 ||
      ::dladdr1(address, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) == 0)
    return nullptr;
  return holder == own ? address : nullptr;
}

std::filesystem::path LibraryFileName(TLibraryHandle library) {
  link_map* map = nullptr;
  if (::dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
  return std::filesystem::path(map->l_name);
}

bool CloseLibrary(TLibraryHandle library) noexcept { return ::dlclose(library) == 0; }

}  // namespace platform

namespace platform {

const std::vector<std::string>& PluginFilePatterns() {
  static const std::vector<std::string> patterns{"*.spi"};
  return patterns;
}

}  // namespace platform

namespace platform {

bool PluginHostsByDefault() noexcept { return true; }

std::filesystem::path PluginHostProgram(const std::filesystem::path&) { return "tavex-plugin-host"; }

}  // namespace platform
