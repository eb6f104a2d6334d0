// The version resource of every file a user gets: the build's version, as numbers and as
// text, and the names the shell shows in a file's properties; the program's manifest names
// the same version.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32/WinHeaders.h"

namespace {

std::wstring BesideTheTests(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;  // the shipped files are built there
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

struct TShippedFile {
  const wchar_t* Name;
  const wchar_t* Description;
  DWORD Type;
};

const TShippedFile ShippedFiles[] = {
    {L"Tavex.exe", L"画像ファイルをドロップ", VFT_APP},
    {L"tavex-cli.exe", L"Tavex command-line converter", VFT_APP},
    {L"tavex-plugin-host32.exe", L"Tavex plug-in host (32-bit)", VFT_APP},
#ifdef _WIN64
    {L"tavex-plugin-host64.exe", L"Tavex plug-in host (64-bit)", VFT_APP},
    {L"iftavex.sph", L"Tavex image filter", VFT_DLL},
#else
    {L"iftavex.spi", L"Tavex image filter", VFT_DLL},
#endif
};

std::wstring StringValue(std::vector<unsigned char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\041104B0\\") + name;
  if (!::VerQueryValueW(info.data(), key.c_str(), &value, &length) || !value) return L"(missing)";
  return std::wstring(static_cast<const wchar_t*>(value), length ? length - 1 : 0);
}

TEST(VersionResource, EveryShippedFileCarriesTheBuildsVersionCompanyAndNames) {
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(TAVEX_VERSION, "%u.%u.%u", &major, &minor, &patch), 3) << TAVEX_VERSION;
  for (const TShippedFile& file : ShippedFiles) {
    SCOPED_TRACE(file.Name);
    const std::wstring path = BesideTheTests(file.Name);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwProductVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwFileType, file.Type);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);  // neither a debug nor a pre-release build

    // One table of texts, Japanese in UTF-16, which is where the shell looks for them.
    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                 &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 1200);

    EXPECT_EQ(StringValue(info, L"FileVersion"), Widen(TAVEX_VERSION));
    EXPECT_EQ(StringValue(info, L"ProductVersion"), Widen(TAVEX_VERSION));
    EXPECT_EQ(StringValue(info, L"ProductName"), L"Tavex");
    EXPECT_EQ(StringValue(info, L"CompanyName"), L"The Tavex developers");
    EXPECT_EQ(StringValue(info, L"LegalCopyright"), L"© 2026 The Tavex developers");
    EXPECT_EQ(StringValue(info, L"OriginalFilename"), file.Name);
    EXPECT_EQ(StringValue(info, L"FileDescription"), file.Description);
  }
}

TEST(VersionResource, TheProgramsManifestNamesTheSameVersion) {
  HMODULE exe = ::LoadLibraryExW(BesideTheTests(L"Tavex.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr);
  std::string manifest;
  if (HRSRC found = ::FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(exe, found)));
    if (bytes) manifest.assign(bytes, ::SizeofResource(exe, found));
  }
  ::FreeLibrary(exe);
  const std::string identity = std::string("name=\"Tavex\" version=\"") + TAVEX_VERSION + ".0\"";
  EXPECT_NE(manifest.find(identity), std::string::npos) << manifest;
}

}  // namespace
