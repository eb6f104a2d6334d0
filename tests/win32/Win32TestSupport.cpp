#include "Win32TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>
#include <shellapi.h>
#include <commctrl.h>

TRecordedShell::TRecordedShell() : FSaved(ShellHooks()) {
  ShellHooks().MessageBox = [this](HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) {
    Boxes.push_back({owner, text, caption, type});
    return IDOK;
  };
  ShellHooks().MessageBeep = [this](UINT type) {
    Beeps.push_back(type);
    return TRUE;
  };
  ShellHooks().BrowseForFolder = [this](BROWSEINFOW& info) -> PIDLIST_ABSOLUTE {
    Browses.push_back({info.hwndOwner, info.lpszTitle ? info.lpszTitle : L"", info.ulFlags,
                       info.lParam ? reinterpret_cast<const wchar_t*>(info.lParam) : L"", info.lpfn != nullptr,
                       info.pszDisplayName != nullptr});
    if (Pick.empty()) return nullptr;
    return ::ILCreateFromPathW(Pick.c_str());
  };
  ShellHooks().AttachThreadInput = [this](DWORD attach, DWORD attachTo, BOOL doAttach) {
    (doAttach ? Attaches : Detaches).emplace_back(attach, attachTo);
    return TRUE;
  };
}

TRecordedShell::~TRecordedShell() { ShellHooks() = FSaved; }

HDROP MakeDrop(const std::vector<std::wstring>& names, POINT point) {
  size_t chars = 1;  // the list ends with an empty name
  for (const std::wstring& n : names) chars += n.size() + 1;
  HGLOBAL block = ::GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
  auto* bytes = static_cast<unsigned char*>(::GlobalLock(block));
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.pt = point;
  header.fNC = FALSE;
  header.fWide = TRUE;
  std::memcpy(bytes, &header, sizeof header);
  size_t offset = sizeof(DROPFILES);
  for (const std::wstring& n : names) {
    std::memcpy(bytes + offset, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
    offset += (n.size() + 1) * sizeof(wchar_t);
  }
  ::GlobalUnlock(block);
  return static_cast<HDROP>(block);
}

void SendDrop(HWND window, const std::vector<std::wstring>& names, POINT point) {
  ::SendMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(names, point)), 0);
}

namespace {
// Windows, controls and COM as the program has them.
class TWin32Environment : public testing::Environment {
public:
  void SetUp() override {
    FCom = SUCCEEDED(::CoInitialize(nullptr));
    const INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES |
                                                                     ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
  }
  void TearDown() override {
    if (FCom) ::CoUninitialize();
  }

private:
  bool FCom = false;
};
[[maybe_unused]] testing::Environment* const Win32Environment =
    testing::AddGlobalTestEnvironment(new TWin32Environment);
}  // namespace
