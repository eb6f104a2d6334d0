#pragma once
// The entry points of Tavex's own plug-in, loaded once for the whole test program from the
// build (TAVEX_IFTAVEX_PATH), as a host loads it.
#ifndef SPI_NO_PROTOTYPES
#define SPI_NO_PROTOTYPES
#endif
#include "SusiePlugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>

struct TIftavexEntries {
  SpiGetPluginInfoProc GetPluginInfo = nullptr;
  SpiIsSupportedProc IsSupported = nullptr;
  SpiGetPictureInfoProc GetPictureInfo = nullptr;
  SpiGetPictureProc GetPicture = nullptr;
  SpiGetPreviewProc GetPreview = nullptr;

  static const TIftavexEntries& Get() {
    static const TIftavexEntries entries;
    return entries;
  }

private:
  TIftavexEntries() {
#ifdef _WIN32
    HMODULE module = ::LoadLibraryW(std::filesystem::path(TAVEX_IFTAVEX_PATH).wstring().c_str());
    auto resolve = [module](const char* name) {
      return module ? reinterpret_cast<void*>(::GetProcAddress(module, name)) : nullptr;
    };
#else
    void* module = ::dlopen(TAVEX_IFTAVEX_PATH, RTLD_NOW | RTLD_LOCAL);
    auto resolve = [module](const char* name) { return module ? ::dlsym(module, name) : nullptr; };
#endif
    GetPluginInfo = reinterpret_cast<SpiGetPluginInfoProc>(resolve("GetPluginInfo"));
    IsSupported = reinterpret_cast<SpiIsSupportedProc>(resolve("IsSupported"));
    GetPictureInfo = reinterpret_cast<SpiGetPictureInfoProc>(resolve("GetPictureInfo"));
    GetPicture = reinterpret_cast<SpiGetPictureProc>(resolve("GetPicture"));
    GetPreview = reinterpret_cast<SpiGetPreviewProc>(resolve("GetPreview"));
  }
};
