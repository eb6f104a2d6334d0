#include "rtl/File.h"

#include <algorithm>

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"

namespace {
HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

TFile::TFile(TFile&& other) noexcept : FHandle(other.FHandle) { other.FHandle = Invalid; }

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = other.FHandle;
    other.FHandle = Invalid;
  }
  return *this;
}

TFile::~TFile() { Close(); }

TFile TFile::Open(const std::filesystem::path& name, TFileAccess access, TFileShare share, TFileCreate create,
                  std::string& errorText) {
  DWORD desired = 0;
  switch (access) {
    case TFileAccess::Read: desired = GENERIC_READ; break;
    case TFileAccess::Write: desired = GENERIC_WRITE; break;
    case TFileAccess::ReadWrite: desired = GENERIC_READ | GENERIC_WRITE; break;
  }
  DWORD shareMode = 0;
  switch (share) {
    case TFileShare::DenyNone: shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    case TFileShare::DenyWrite: shareMode = FILE_SHARE_READ; break;
    case TFileShare::DenyRead: shareMode = FILE_SHARE_WRITE; break;
    case TFileShare::Exclusive: shareMode = 0; break;
  }
  const DWORD disposition = create == TFileCreate::CreateAlways ? CREATE_ALWAYS
                            : create == TFileCreate::CreateNew  ? CREATE_NEW
                                                                : OPEN_EXISTING;
  TFile file;
  HANDLE h = ::CreateFileW(name.c_str(), desired, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errorText = LastErrorText();
    return file;
  }
  file.FHandle = reinterpret_cast<std::intptr_t>(h);
  return file;
}

std::int64_t TFile::Read(void* buffer, std::int64_t count) noexcept {
  auto* p = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::int64_t>(count - done, 1 << 30));
    DWORD got = 0;
    if (!::ReadFile(AsHandle(FHandle), p + done, chunk, &got, nullptr)) return -1;
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::int64_t TFile::Write(const void* buffer, std::int64_t count) noexcept {
  const auto* p = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::int64_t>(count - done, 1 << 30));
    DWORD put = 0;
    if (!::WriteFile(AsHandle(FHandle), p + done, chunk, &put, nullptr)) return -1;
    if (put == 0) return done;
    done += put;
  }
  return done;
}

std::int64_t TFile::Seek(std::int64_t offset, int origin) noexcept {
  LARGE_INTEGER move;
  move.QuadPart = offset;
  LARGE_INTEGER result;
  const DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
  if (!::SetFilePointerEx(AsHandle(FHandle), move, &result, method)) return -1;
  return result.QuadPart;
}

bool TFile::Truncate() noexcept { return ::SetEndOfFile(AsHandle(FHandle)) != 0; }

bool TFile::Flush() noexcept {
  if (!::FlushFileBuffers(AsHandle(FHandle))) return false;
  ObserveFileCall(TFileCall::Flush);
  return true;
}

void TFile::Close() noexcept {
  if (FHandle != Invalid) {
    ::CloseHandle(AsHandle(FHandle));
    FHandle = Invalid;
  }
}

bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& errorText) {
  // Written through: the move is on the disk, folder entry included, when this returns.
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ObserveFileCall(TFileCall::Move, from, to);
    return true;
  }
  errorText = LastErrorText();
  return false;
}

// The move is written through already.
void SyncFolder(const std::filesystem::path&) noexcept {}

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = n && text ? std::wstring(text, n) : std::wstring();
  if (text) ::LocalFree(text);
  while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ' || w.back() == L'.'))
    w.pop_back();
  if (w.empty()) return "System Error. Code: " + std::to_string(code);
  return platform::WideToUtf8(w);
}
