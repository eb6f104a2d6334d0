#include "platform/Folders.h"

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"
#include "rtl/File.h"

namespace platform {

std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data{};
  HANDLE find = ::FindFirstFileW(Utf8ToWide(folder + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY)) continue;
    names.push_back(WideToUtf8(data.cFileName));
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

bool ListFolder(const std::filesystem::path& folder, std::vector<TFolderEntry>& entries, std::string& reason) {
  entries.clear();
  WIN32_FIND_DATAW data{};
  HANDLE find = ::FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty root folder has not even "." and "..".
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    reason = LastErrorText();
    return false;
  }
  try {
    do {
      const DWORD attributes = data.dwFileAttributes;
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
      const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      // A folder link or junction may point anywhere, the folder itself included.
      if (isFolder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      entries.push_back({WideToUtf8(name), isFolder});
    } while (::FindNextFileW(find, &data));
  } catch (...) {
    ::FindClose(find);
    throw;
  }
  const DWORD error = ::GetLastError();
  bool listed = error == ERROR_NO_MORE_FILES;
  if (!listed) reason = LastErrorText();
  ::FindClose(find);
  return listed;
}

namespace {
template <class Query>
std::filesystem::path AskPath(Query query) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const UINT n = query(buffer.data(), static_cast<UINT>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n + 1);
  }
}
}  // namespace

std::filesystem::path ExeFileName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::filesystem::path CurrentDirectory() {
  return AskPath([](wchar_t* b, UINT n) { return static_cast<UINT>(::GetCurrentDirectoryW(n, b)); });
}

std::filesystem::path UserCacheFolder() {
  const std::filesystem::path local =
      AskPath([](wchar_t* b, UINT n) { return static_cast<UINT>(::GetEnvironmentVariableW(L"LOCALAPPDATA", b, n)); });
  return local.empty() ? local : local / L"Tavex";
}

std::filesystem::path SystemDirectory() {
  return AskPath([](wchar_t* b, UINT n) { return ::GetSystemDirectoryW(b, n); });
}

std::filesystem::path WindowsDirectory() {
  return AskPath([](wchar_t* b, UINT n) { return ::GetWindowsDirectoryW(b, n); });
}

}  // namespace platform
