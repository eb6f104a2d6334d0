#include "platform/Console.h"

#include <algorithm>
#include <atomic>

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"

#include <shellapi.h>

namespace platform {
namespace {
HANDLE Handle(TStdStream stream) {
  return ::GetStdHandle(stream == TStdStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}
bool IsConsole(HANDLE h) {
  DWORD mode = 0;
  return h && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode);
}
}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
    ::LocalFree(wide);
    return args;
  }
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  return args;
}

namespace {
std::atomic<bool> GInterrupted{false};
// Set once the program has cleaned up; made before the handler is installed.
HANDLE GHandled = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  GInterrupted.store(true);
  // The process ends when the handler of these returns.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    if (GHandled) ::WaitForSingleObject(GHandled, INFINITE);
  return TRUE;
}
}  // namespace

void CatchInterrupts() noexcept {
  if (!GHandled) GHandled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ReleaseInterrupts() noexcept { ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

bool Interrupted() noexcept { return GInterrupted.load(); }

void ClearInterrupt() noexcept {
  GInterrupted.store(false);
  if (GHandled) ::ResetEvent(GHandled);
}

void InterruptHandled() noexcept {
  if (GHandled) ::SetEvent(GHandled);
}

void RaiseInterrupt(TInterrupt kind) noexcept {
  OnConsoleEvent(kind == TInterrupt::CtrlC ? CTRL_C_EVENT : CTRL_CLOSE_EVENT);
}

bool IsTerminal(TStdStream stream) noexcept { return IsConsole(Handle(stream)); }

bool WriteText(TStdStream stream, std::string_view utf8) noexcept {
  const HANDLE h = Handle(stream);
  if (!h || h == INVALID_HANDLE_VALUE) return false;
  try {
    if (IsConsole(h)) {
      // The console shows UTF-16 as it is, whatever its code page.
      const std::wstring wide = Utf8ToWide(utf8);
      const wchar_t* p = wide.data();
      std::size_t left = wide.size();
      while (left > 0) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 8192));
        if (!::WriteConsoleW(h, p, chunk, &put, nullptr) || put == 0) return false;
        p += put;
        left -= put;
      }
      return true;
    }
  } catch (...) {
    return false;
  }
  const char* p = utf8.data();
  std::size_t left = utf8.size();
  while (left > 0) {
    DWORD put = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1 << 20));
    if (!::WriteFile(h, p, chunk, &put, nullptr) || put == 0) return false;
    p += put;
    left -= put;
  }
  return true;
}

}  // namespace platform
