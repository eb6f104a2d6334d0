#pragma once
// Dynamic libraries through the OS: LoadLibraryW / GetProcAddress / GetModuleFileNameW /
// FreeLibrary on Windows, dlopen / dlsym / dlinfo / dlclose on POSIX. Both count
// references: a library loaded twice stays loaded until it is freed twice.
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// HMODULE on Windows, the dlopen handle on POSIX.
using TLibraryHandle = void*;

// Null when the library cannot be loaded (missing, not a library, a dependency missing,
// its initialisation refused).
TLibraryHandle OpenLibrary(const std::filesystem::path& path) noexcept;
// The address exported under the name (ANSI bytes, undecorated); null when none.
void* LibrarySymbol(TLibraryHandle library, const std::string& name) noexcept;
// The path under which the OS has the library loaded; empty when it cannot tell.
std::filesystem::path LibraryFileName(TLibraryHandle library);
// Drops one reference; false when the OS reports a failure.
bool CloseLibrary(TLibraryHandle library) noexcept;

// The one owner of a library reference; movable, not copyable.
class TLibrary {
public:
  TLibrary() noexcept = default;
  explicit TLibrary(TLibraryHandle handle) noexcept : FHandle(handle) {}
  TLibrary(TLibrary&& other) noexcept : FHandle(other.Release()) {}
  TLibrary& operator=(TLibrary&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;
  ~TLibrary() { Reset(); }

  // An empty owner when the library cannot be loaded.
  static TLibrary Open(const std::filesystem::path& path) noexcept { return TLibrary(OpenLibrary(path)); }

  TLibraryHandle Get() const noexcept { return FHandle; }
  explicit operator bool() const noexcept { return FHandle != nullptr; }
  void* Symbol(const std::string& name) const noexcept { return FHandle ? LibrarySymbol(FHandle, name) : nullptr; }
  TLibraryHandle Release() noexcept {
    TLibraryHandle h = FHandle;
    FHandle = nullptr;
    return h;
  }
  void Reset(TLibraryHandle handle = nullptr) noexcept {
    if (FHandle) CloseLibrary(FHandle);
    FHandle = handle;
  }

private:
  TLibraryHandle FHandle = nullptr;
};

}  // namespace platform

namespace platform {

// The file patterns of the plug-in libraries this build loads, searched in this order in
// every folder: "*.spi" in 32-bit Windows; "*.spi" then "*.sph" in 64-bit Windows;
// natively shared objects named "*.spi", without regard to case.
const std::vector<std::string>& PluginFilePatterns();

// Whether this build runs plug-ins in host processes unless told otherwise: natively and
// in the 64-bit Windows build yes; the 32-bit one loads them into the program.
bool PluginHostsByDefault() noexcept;
// The file name of the host program that runs the plug-in: in the Windows builds the host
// of the plug-in's bitness (read off the DLL; where it cannot be read, "*.spi" are 32-bit
// and "*.sph" 64-bit); natively the one host. Without a plug-in, the host of this build's
// own bitness.
std::filesystem::path PluginHostProgram(const std::filesystem::path& plugin);

}  // namespace platform
