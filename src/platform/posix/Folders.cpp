#include "platform/Folders.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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
