#include "platform/Folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace platform {

std::vector<std::string> FindFiles(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    // A link counts as what it points to, as a Windows link to a file is a file.
    struct stat st {};
    if (::stat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

bool ListFolder(const std::filesystem::path& folder, std::vector<TFolderEntry>& entries, std::string& reason) {
  entries.clear();
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    reason = std::strerror(errno);
    return false;
  }
  const int fd = ::dirfd(dir);
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    bool isFolder = S_ISDIR(st.st_mode);
    if (S_ISLNK(st.st_mode)) {
      // Only a link to a file is followed; one to nothing is a file that will not open.
      struct stat target {};
      if (::fstatat(fd, name.c_str(), &target, 0) == 0 && !S_ISREG(target.st_mode)) continue;
    } else if (!isFolder && !S_ISREG(st.st_mode)) {
      continue;
    }
    entries.push_back({std::move(name), isFolder});
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) {
    reason = std::strerror(error);
    return false;
  }
  return true;
}

std::filesystem::path ExeFileName() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

std::filesystem::path CurrentDirectory() {
  std::error_code ec;
  return std::filesystem::current_path(ec);
}

std::filesystem::path UserCacheFolder() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/')
    return std::filesystem::path(cache) / "tavex";
  if (const char* home = std::getenv("HOME"); home && home[0] == '/')
    return std::filesystem::path(home) / ".cache" / "tavex";
  return {};
}

std::filesystem::path SystemDirectory() { return {}; }
std::filesystem::path WindowsDirectory() { return {}; }

}  // namespace platform
