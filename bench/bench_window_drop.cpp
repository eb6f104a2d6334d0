// The window's batch, timed: opens the main window, picks the folder method with the
// given destination and drops the files on it, as the shell would.
//
//   bench_window_drop DEST FILE...
//
// Prints the seconds from the drop to the end of the batch; exits 1 when the batch
// did not write one file per source into DEST.
#include "platform/win32/WinHeaders.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "app/win32/TavexMainFormUnit.h"

namespace {

// A drop block as the shell hands it over: the header, then the names, each ending in a
// 0, and one more 0.
HDROP MakeDrop(const std::vector<std::wstring>& names) {
  std::size_t chars = 1;
  for (const std::wstring& n : names) chars += n.size() + 1;
  HGLOBAL block = ::GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
  if (!block) return nullptr;
  auto* bytes = static_cast<unsigned char*>(::GlobalLock(block));
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.fWide = TRUE;
  std::memcpy(bytes, &header, sizeof header);
  std::size_t offset = sizeof(DROPFILES);
  for (const std::wstring& n : names) {
    std::memcpy(bytes + offset, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
    offset += (n.size() + 1) * sizeof(wchar_t);
  }
  ::GlobalUnlock(block);
  return static_cast<HDROP>(block);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_window_drop DEST FILE...\n");
    return 2;
  }
  const std::filesystem::path dest = std::filesystem::absolute(argv[1]);
  std::vector<std::wstring> files;
  for (int i = 2; i < argc; ++i) files.push_back(std::filesystem::absolute(argv[i]).wstring());
  TavexStartup();
  const bool com = SUCCEEDED(::CoInitialize(nullptr));
  const INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES |
                                                                   ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&icc);
  double seconds = 0;
  {
    // Settings beside a program that is not there: the window opens with its defaults.
    TTavexMainForm form(nullptr, dest / "none" / "Tavex.exe");
    form.HowSaveRadioGroup->SetItemIndex(2);
    form.SaveFolderEdit->SetText(dest.wstring());
    ::ShowWindow(form.Handle(), SW_SHOWNOACTIVATE);
    ::UpdateWindow(form.Handle());
    const auto start = std::chrono::steady_clock::now();
    ::SendMessageW(form.Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(files)), 0);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (com) ::CoUninitialize();
  TavexShutdown();
  std::size_t written = 0;
  for (const auto& e : std::filesystem::directory_iterator(dest)) written += e.path().extension() == ".jpg";
  std::printf("%.3f\n", seconds);
  return written == files.size() ? 0 : 1;
}
