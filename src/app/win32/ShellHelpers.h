#pragma once
// Small shell helpers of the main window and the batch: a warning beep with a message,
// the folder browser, bringing a window to the front. The calls that show something
// modal, or that leave no trace, go through ShellHooks() so tests can record them.
#include <functional>
#include <string>

#include "platform/win32/WinHeaders.h"
#include <shlobj.h>

struct TShellHooks {
  std::function<int(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type)> MessageBox;
  std::function<PIDLIST_ABSOLUTE(BROWSEINFOW& info)> BrowseForFolder;
  std::function<BOOL(UINT type)> MessageBeep;
  std::function<BOOL(DWORD attach, DWORD attachTo, BOOL doAttach)> AttachThreadInput;
};

// The process's hooks; each starts as the system call of its name.
TShellHooks& ShellHooks();
// The system's own calls, for restoring the hooks.
TShellHooks SystemShellHooks();

// Plays the exclamation sound, then shows text in a modal box with OK, captioned with
// the application's title; returns when the box is closed.
void BeepMessage(const std::wstring& text);

// Flags the folder browser is called with.
DWORD BrowseForFolderFlags(bool newStyle, bool includeFiles) noexcept;

// Lets the user pick a folder, starting on initialFolder; the file-system path of the
// pick, or empty on cancel or a pick that has no file-system path.
std::wstring BrowseForFolder(const std::wstring& initialFolder, const std::wstring& title, HWND owner, bool newStyle,
                             bool includeFiles);

// The folder browser's callback: opens on the folder in data, shows the selected path
// as status text. Exposed for tests.
int CALLBACK BrowseForFolderCallback(HWND dialog, UINT msg, LPARAM lParam, LPARAM data);

// Brings window to the top, joining the foreground thread's input for the call when
// it belongs to another thread; true when BringWindowToTop succeeded.
bool ForceForeground(HWND window);
