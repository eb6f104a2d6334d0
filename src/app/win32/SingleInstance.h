#pragma once
// One running copy of the program per executable: files given on the command line
// (Send To, or files dropped on the program's icon) go to the window of the copy that
// runs already, which converts them as one drop. Copies of Tavex.exe in different
// folders keep their own settings files, so each is a program of its own here.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/WinHeaders.h"

// The WM_COPYDATA tag of a file list ("TVXF").
constexpr ULONG_PTR FileListCopyDataId = 0x46585654;

// The files named on a command line, after the program's own name, each made absolute
// against the current folder (the running copy has a folder of its own); empty
// arguments are left out.
std::vector<std::filesystem::path> CommandLineFiles(const wchar_t* commandLine);

// The name that the copies of one executable share: "Tavex." and a hash of its full path
// without regard to letter case.
std::wstring InstanceName(const std::filesystem::path& exeFileName);

// The lock that the running copy holds for its lifetime: a mutex owned by the thread
// that acquired it.
class TInstanceLock {
public:
  explicit TInstanceLock(std::wstring name);
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  const std::wstring& Name() const noexcept { return FName; }
  // True when this copy is the one running: it holds the lock now (also when the copy
  // that held it ended without letting go), or no lock could be made at all.
  bool Acquire();
  bool Held() const noexcept { return FHeld; }

private:
  std::wstring FName;
  HANDLE FMutex;
  bool FHeld = false;
};

// The running copy's main window, marked with the instance name once it is ready for
// files; null when there is none.
HWND FindInstanceWindow(const std::wstring& name);

// Sends the files to the window as one WM_COPYDATA list; true when it took them.
bool SendFileList(HWND window, const std::vector<std::filesystem::path>& files);

// The files of a WM_COPYDATA message, if it is a file list of full names that passes
// every check of DecodeFileList.
std::optional<std::vector<std::filesystem::path>> ReceiveFileList(const COPYDATASTRUCT* data);

// Decides what this copy does: true when it is to open its window (it holds the lock,
// or the running copy did not take the files within waitMilliseconds, or they cannot be
// sent); false when the running copy has the files (or, without files, was only brought
// to the front) and this copy is to end.
bool BecomeRunningInstance(TInstanceLock& lock, const std::vector<std::filesystem::path>& files,
                           DWORD waitMilliseconds = 30000);
