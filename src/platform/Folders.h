#pragma once
// Folders as the plug-in search needs them: the program's, the current, the system and
// the Windows folder, and the listing of one folder for a wildcard pattern.
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// The names (file-name parts, UTF-8) in a folder that match the pattern, in the order the
// OS lists them: plain, read-only, system and archive files; neither hidden files nor
// folders. Windows matches as FindFirstFileW does; POSIX matches with the shell's
// wildcards without regard to case, and hidden means a name starting with ".".
// Empty when the folder cannot be listed.
std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern);

// One entry of a folder as a user sees it listed.
struct TFolderEntry {
  std::string Name;  // the file-name part, UTF-8
  bool IsFolder = false;
};

// The files and folders in a folder, in the order the OS lists them, without what a user
// does not see or should not have walked into: hidden and system entries (on POSIX a name
// starting with "."), links to folders and other folders that lead elsewhere (junctions),
// which could lead back up the tree, and on POSIX anything that is no plain file (a pipe
// would block its reader). A link to a file is a file; a broken link is listed as a file,
// whose opening then fails. False, with the OS's reason, when the folder cannot be listed.
bool ListFolder(const std::filesystem::path& folder, std::vector<TFolderEntry>& entries, std::string& reason);

// The running program's path.
std::filesystem::path ExeFileName();
// The process's current folder; empty when the OS cannot tell.
std::filesystem::path CurrentDirectory();
// GetSystemDirectoryW and GetWindowsDirectoryW; empty where the platform has none.
std::filesystem::path SystemDirectory();
std::filesystem::path WindowsDirectory();
// The user's folder for data that may be lost and made again (%LOCALAPPDATA%\Tavex,
// $XDG_CACHE_HOME/tavex or ~/.cache/tavex); empty when the environment names none.
std::filesystem::path UserCacheFolder();

}  // namespace platform
