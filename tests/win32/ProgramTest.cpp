// The program file itself: its manifest and its version resource.
#include <gtest/gtest.h>
#include <string>

#include "platform/win32/WinHeaders.h"

namespace {

std::wstring ProgramPath() {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"Tavex.exe";  // built beside the tests
}

std::string Resource(HMODULE module, LPCWSTR type, LPCWSTR name) {
  HRSRC info = ::FindResourceW(module, name, type);
  if (!info) return {};
  HGLOBAL data = ::LoadResource(module, info);
  const auto* bytes = static_cast<const char*>(::LockResource(data));
  return bytes ? std::string(bytes, ::SizeofResource(module, info)) : std::string();
}

TEST(Program, ManifestAsksForNoElevationCommonControls6PerMonitorDpiAndLongPathsButNotTheUtf8CodePage) {
  HMODULE exe = ::LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr) << "Tavex.exe not found beside the tests";
  const std::string manifest = Resource(exe, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  ::FreeLibrary(exe);
  ASSERT_FALSE(manifest.empty());
  for (const char* wanted : {"level=\"asInvoker\"", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             "PerMonitorV2", "<longPathAware", ">true</longPathAware>"})
    EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
  EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
  EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

}  // namespace
