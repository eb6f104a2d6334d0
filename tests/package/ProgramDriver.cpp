// Drives a Tavex.exe that runs in a process of its own, as a user would: starts it,
// waits for its window, drops files on it, waits for the JPEG, closes the window.
//
//   tavex_program_driver EXE [--expect OUTPUT FILE...]
//
// Prints "window LEFT TOP" (the window's screen position once shown), then drops the
// FILEs on the window and waits up to 120 s for OUTPUT to appear; then closes the
// window and waits for the program to end. Exits 0 when the program ended with status
// 0 after a drop that wrote OUTPUT; 1 with a line saying what went wrong otherwise (an
// error box of the program is read out and named).
//
// The drop block is written into the program's own memory: a drop handle is only good in
// the process that made it. The program's DragFinish then frees a block that no heap of
// its own holds, which Wine refuses quietly; this driver is for Wine only.
#include "platform/win32/WinHeaders.h"

#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct THandleCloser {
  void operator()(HANDLE h) const noexcept { ::CloseHandle(h); }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, THandleCloser>;

// Standard error carries UTF-8, whatever the console's code page: the test reads it.
int Fail(const std::wstring& what) {
  const std::wstring line = L"tavex_program_driver: " + what + L"\n";
  std::string bytes(static_cast<std::size_t>(line.size()) * 3, '\0');
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(),
                                      static_cast<int>(bytes.size()), nullptr, nullptr);
  std::fwrite(bytes.data(), 1, static_cast<std::size_t>(n > 0 ? n : 0), stderr);
  return 1;
}

struct TFind {
  DWORD Process;
  std::wstring Class;  // empty: the visible top-level window without an owner
  HWND Found;
};

BOOL CALLBACK FindWindowOf(HWND window, LPARAM param) {
  auto& find = *reinterpret_cast<TFind*>(param);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process != find.Process || !::IsWindowVisible(window)) return TRUE;
  if (find.Class.empty()) {
    if (::GetWindow(window, GW_OWNER)) return TRUE;
  } else {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    if (find.Class != name) return TRUE;
  }
  find.Found = window;
  return FALSE;
}

HWND WindowOf(DWORD process, const std::wstring& className = {}) {
  TFind find{process, className, nullptr};
  ::EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&find));
  return find.Found;
}

std::wstring TextOf(HWND window) {
  wchar_t text[1024] = {};
  ::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
  return text;
}

// The texts of a message box: its caption and its static controls.
BOOL CALLBACK CollectText(HWND child, LPARAM param) {
  wchar_t name[32] = {};
  ::GetClassNameW(child, name, 32);
  if (std::wstring(name) == L"Static") {
    const std::wstring text = TextOf(child);
    if (!text.empty()) *reinterpret_cast<std::wstring*>(param) += L" | " + text;
  }
  return TRUE;
}

std::wstring BoxText(HWND box) {
  std::wstring text = TextOf(box);
  ::EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
  return text;
}

// A DROPFILES block of wide names, as the shell builds it: the header, then the names,
// each ending in a 0, and one more 0.
std::vector<unsigned char> DropBlock(const std::vector<std::wstring>& names) {
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.pt = {10, 10};
  header.fWide = TRUE;
  const auto* start = reinterpret_cast<const unsigned char*>(&header);
  std::vector<unsigned char> block(start, start + sizeof header);
  for (const std::wstring& n : names) {
    const auto* name = reinterpret_cast<const unsigned char*>(n.c_str());
    block.insert(block.end(), name, name + (n.size() + 1) * sizeof(wchar_t));
  }
  block.insert(block.end(), sizeof(wchar_t), 0);
  return block;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || (argc > 2 && (std::wstring(argv[2]) != L"--expect" || argc < 5))) {
    std::fprintf(stderr, "usage: tavex_program_driver EXE [--expect OUTPUT FILE...]\n");
    return 2;
  }
  const std::wstring exe = argv[1];
  const bool drop = argc > 2;
  const std::filesystem::path output = drop ? argv[3] : L"";
  std::vector<std::wstring> files;
  for (int i = 4; i < argc; ++i) files.emplace_back(argv[i]);

  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
    return Fail(L"cannot start " + exe + L" (error " + std::to_wstring(::GetLastError()) + L")");
  const THandle process(info.hProcess);
  const THandle thread(info.hThread);
  ::WaitForInputIdle(process.get(), 60000);

  HWND window = nullptr;
  for (auto start = std::chrono::steady_clock::now(); !window;) {
    window = WindowOf(info.dwProcessId);
    if (window) break;
    if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return Fail(L"the program ended without a window");
    if (std::chrono::steady_clock::now() - start > 60s) return Fail(L"no window of the program after 60 s");
    std::this_thread::sleep_for(100ms);
  }
  RECT bounds{};
  ::GetWindowRect(window, &bounds);
  std::printf("window %ld %ld\n", static_cast<long>(bounds.left), static_cast<long>(bounds.top));
  std::fflush(stdout);

  int status = 0;
  if (drop) {
    const std::vector<unsigned char> block = DropBlock(files);
    void* remote = ::VirtualAllocEx(process.get(), nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!remote || !::WriteProcessMemory(process.get(), remote, block.data(), block.size(), nullptr))
      return Fail(L"cannot write the drop into the program");
    if (!::PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(remote), 0))
      return Fail(L"cannot post the drop (error " + std::to_wstring(::GetLastError()) + L")");
    std::error_code error;
    for (auto start = std::chrono::steady_clock::now(); !std::filesystem::exists(output, error);) {
      if (HWND box = WindowOf(info.dwProcessId, L"#32770")) {
        status = Fail(L"the program shows a box: " + BoxText(box));
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        break;
      }
      if (std::chrono::steady_clock::now() - start > 120s) {
        status = Fail(L"no " + output.wstring() + L" after 120 s");
        break;
      }
      std::this_thread::sleep_for(100ms);
    }
  }
  // The batch ends before the window closes: the settings are written on the way out.
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 3);
    return Fail(L"the program did not end within 60 s of closing its window");
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  if (code != 0) return Fail(L"the program ended with status " + std::to_wstring(code));
  return status;
}
