#include "app/win32/ShellHelpers.h"

#include <memory>

#include "app/win32/Forms.h"

namespace {

constexpr int PathBufferChars = MAX_PATH + 1;  // 261

struct TItemListFree {
  void operator()(ITEMIDLIST* list) const noexcept { ::CoTaskMemFree(list); }
};
using TItemList = std::unique_ptr<ITEMIDLIST, TItemListFree>;

std::wstring PathFromItemList(PCIDLIST_ABSOLUTE item) {
  wchar_t buffer[PathBufferChars] = {};
  if (!item || !::SHGetPathFromIDListW(item, buffer)) return {};
  return buffer;
}

}  // namespace

TShellHooks SystemShellHooks() {
  TShellHooks h;
  h.MessageBox = [](HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) {
    return ::MessageBoxW(owner, text.c_str(), caption.c_str(), type);
  };
  h.BrowseForFolder = [](BROWSEINFOW& info) { return ::SHBrowseForFolderW(&info); };
  h.MessageBeep = [](UINT type) { return ::MessageBeep(type); };
  h.AttachThreadInput = [](DWORD attach, DWORD attachTo, BOOL doAttach) {
    return ::AttachThreadInput(attach, attachTo, doAttach);
  };
  return h;
}

TShellHooks& ShellHooks() {
  static TShellHooks hooks = SystemShellHooks();
  return hooks;
}

void BeepMessage(const std::wstring& text) {
  ShellHooks().MessageBeep(MB_ICONEXCLAMATION);
  ShellHooks().MessageBox(::GetActiveWindow(), text, Application::Title(), MB_OK);
}

DWORD BrowseForFolderFlags(bool newStyle, bool includeFiles) noexcept {
  DWORD flags = includeFiles
                    ? BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_EDITBOX | BIF_NEWDIALOGSTYLE | BIF_BROWSEINCLUDEFILES
                    : BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;
  if (newStyle) flags |= BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  return flags;
}

int CALLBACK BrowseForFolderCallback(HWND dialog, UINT msg, LPARAM lParam, LPARAM data) {
  switch (msg) {
    case BFFM_INITIALIZED:
      // data is the initial folder's text; wParam TRUE says lParam is a path.
      ::SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, data);
      break;
    case BFFM_SELCHANGED: {
      const std::wstring path = PathFromItemList(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam));
      ::SendMessageW(dialog, BFFM_SETSTATUSTEXTW, 0, reinterpret_cast<LPARAM>(path.c_str()));
      break;
    }
    default: break;
  }
  return 0;
}

std::wstring BrowseForFolder(const std::wstring& initialFolder, const std::wstring& title, HWND owner, bool newStyle,
                             bool includeFiles) {
  wchar_t displayName[PathBufferChars] = {};
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;
  info.pszDisplayName = displayName;
  info.lpszTitle = title.c_str();
  info.ulFlags = BrowseForFolderFlags(newStyle, includeFiles);
  info.lpfn = BrowseForFolderCallback;
  info.lParam = reinterpret_cast<LPARAM>(initialFolder.c_str());
  const TItemList item(ShellHooks().BrowseForFolder(info));
  return PathFromItemList(item.get());
}

bool ForceForeground(HWND window) {
  const DWORD windowThread = ::GetWindowThreadProcessId(window, nullptr);
  const DWORD foregroundThread = ::GetWindowThreadProcessId(::GetForegroundWindow(), nullptr);
  if (windowThread == foregroundThread) return ::BringWindowToTop(window) != FALSE;
  // Another thread owns the foreground: share its input state for this one call only.
  ShellHooks().AttachThreadInput(windowThread, foregroundThread, TRUE);
  const bool brought = ::BringWindowToTop(window) != FALSE;
  ShellHooks().AttachThreadInput(windowThread, foregroundThread, FALSE);
  return brought;
}
