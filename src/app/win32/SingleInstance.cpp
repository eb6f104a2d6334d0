#include "app/win32/SingleInstance.h"

#include <shellapi.h>

#include <memory>
#include <string_view>

#include "app/FileList.h"

namespace {

// How long a running copy may take to answer one hand-over.
constexpr UINT SendTimeoutMilliseconds = 30000;
constexpr DWORD PollMilliseconds = 50;

struct TLocalFree {
  void operator()(LPWSTR* block) const noexcept { ::LocalFree(block); }
};

std::vector<std::uint8_t> FileListBlock(const std::vector<std::filesystem::path>& files) {
  std::vector<std::u16string> names;
  names.reserve(files.size());
  for (const std::filesystem::path& f : files) {
    const std::wstring& name = f.native();
    names.emplace_back(name.begin(), name.end());
  }
  return EncodeFileList(names);
}

// A drive, a colon and a delimiter, or two delimiters (a network share, or a name of
// the long form that starts with a question mark). The library's is_absolute does not
// know network shares.
bool IsFullName(std::wstring_view name) {
  auto delimiter = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  auto letter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); };
  if (name.size() >= 3 && letter(name[0]) && name[1] == L':' && delimiter(name[2])) return true;
  return name.size() >= 2 && delimiter(name[0]) && delimiter(name[1]);
}

// The name against the current folder (and drive); a full name as it is.
std::filesystem::path FullName(const wchar_t* name) {
  if (IsFullName(name)) return name;
  const DWORD n = ::GetFullPathNameW(name, 0, nullptr, nullptr);
  if (n == 0) return name;
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(name, n, full.data(), nullptr);
  if (got == 0 || got >= n) return name;
  full.resize(got);
  return full;
}

BOOL CALLBACK FindMarkedWindow(HWND window, LPARAM search) {
  auto* s = reinterpret_cast<std::pair<const std::wstring*, HWND>*>(search);
  if (!::GetPropW(window, s->first->c_str())) return TRUE;
  s->second = window;
  return FALSE;
}

}  // namespace

std::vector<std::filesystem::path> CommandLineFiles(const wchar_t* commandLine) {
  int count = 0;
  const std::unique_ptr<LPWSTR, TLocalFree> args(::CommandLineToArgvW(commandLine, &count));
  std::vector<std::filesystem::path> files;
  if (!args) return files;
  for (int i = 1; i < count; ++i)
    if (*args.get()[i]) files.push_back(FullName(args.get()[i]));
  return files;
}

std::wstring InstanceName(const std::filesystem::path& exeFileName) {
  std::wstring path = exeFileName.wstring();
  // A short (8.3) spelling of the same path names the same program.
  if (const DWORD n = ::GetLongPathNameW(path.c_str(), nullptr, 0); n > 0) {
    std::wstring longPath(n, L'\0');
    const DWORD got = ::GetLongPathNameW(path.c_str(), longPath.data(), n);
    if (got > 0 && got < n) path = longPath.substr(0, got);
  }
  if (!path.empty()) ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  // FNV-1a over the code units.
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (const wchar_t c : path) {
    hash ^= static_cast<std::uint16_t>(c);
    hash *= 0x100000001B3u;
  }
  wchar_t hex[17] = {};
  for (int i = 15; i >= 0; --i, hash >>= 4) hex[i] = L"0123456789ABCDEF"[hash & 0xF];
  return std::wstring(L"Tavex.") + hex;
}

TInstanceLock::TInstanceLock(std::wstring name)
    : FName(std::move(name)), FMutex(::CreateMutexW(nullptr, FALSE, (L"Local\\" + FName).c_str())) {}

TInstanceLock::~TInstanceLock() {
  if (FHeld) ::ReleaseMutex(FMutex);
  if (FMutex) ::CloseHandle(FMutex);
}

bool TInstanceLock::Acquire() {
  if (!FMutex || FHeld) return true;
  const DWORD wait = ::WaitForSingleObject(FMutex, 0);
  FHeld = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  return FHeld;
}

HWND FindInstanceWindow(const std::wstring& name) {
  std::pair<const std::wstring*, HWND> search{&name, nullptr};
  ::EnumWindows(FindMarkedWindow, reinterpret_cast<LPARAM>(&search));
  return search.second;
}

bool SendFileList(HWND window, const std::vector<std::filesystem::path>& files) {
  std::vector<std::uint8_t> block = FileListBlock(files);
  if (block.empty()) return false;
  COPYDATASTRUCT data{FileListCopyDataId, static_cast<DWORD>(block.size()), block.data()};
  DWORD_PTR answer = FALSE;
  return ::SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL,
                               SendTimeoutMilliseconds, &answer) != 0 &&
         answer == TRUE;
}

std::optional<std::vector<std::filesystem::path>> ReceiveFileList(const COPYDATASTRUCT* data) {
  if (!data || data->dwData != FileListCopyDataId || !data->lpData) return std::nullopt;
  const auto names = DecodeFileList({static_cast<const std::uint8_t*>(data->lpData), data->cbData});
  if (!names) return std::nullopt;
  std::vector<std::filesystem::path> files;
  files.reserve(names->size());
  for (const std::u16string& name : *names) {
    std::wstring file(name.begin(), name.end());
    // A relative name would be taken against this process's folder, not the sender's.
    if (!IsFullName(file)) return std::nullopt;
    files.emplace_back(std::move(file));
  }
  return files;
}

bool BecomeRunningInstance(TInstanceLock& lock, const std::vector<std::filesystem::path>& files,
                           DWORD waitMilliseconds) {
  // Files that no running copy could take are converted here.
  if (!files.empty() && FileListBlock(files).empty()) {
    lock.Acquire();
    return true;
  }
  const ULONGLONG deadline = ::GetTickCount64() + waitMilliseconds;
  for (;;) {
    if (lock.Acquire()) return true;
    // The running copy marks its window once it is shown; until then it is starting.
    if (HWND window = FindInstanceWindow(lock.Name())) {
      DWORD process = 0;
      ::GetWindowThreadProcessId(window, &process);
      ::AllowSetForegroundWindow(process);
      if (files.empty() || SendFileList(window, files)) {
        ::SetForegroundWindow(window);
        return false;
      }
    }
    if (::GetTickCount64() >= deadline) return true;
    ::Sleep(PollMilliseconds);
  }
}
