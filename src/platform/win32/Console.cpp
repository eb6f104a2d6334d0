#include "platform/Console.h"

#include <algorithm>

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
