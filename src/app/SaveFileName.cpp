#include "app/SaveFileName.h"

#include <filesystem>
#include <system_error>

#include "rtl/Stream.h"

bool SaveNameTaken(const std::string& name) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(Utf8ToPath(name), ec);
  return !ec && status.type() != std::filesystem::file_type::not_found &&
         status.type() != std::filesystem::file_type::none;
}

bool IsExistingFolder(const std::string& folder) {
  if (folder.empty()) return false;
  std::error_code ec;
  return std::filesystem::is_directory(Utf8ToPath(folder), ec);
}

std::string MakeSaveFileName(const std::string& sourceName, int saveMethod, const std::string& saveFolder,
                             const std::string& previous, const platform::TPathSyntax& syntax,
                             const TSaveNameTaken& taken) {
  // The name is taken apart as a string, character by character, the same way on every
  // OS: a library's own path splitting treats names such as ".profile" or "a." its own
  // way, and would not know the other OS's delimiters.
  auto isDelimiter = [&](char c) {
    return syntax.Delimiters.find(c) != std::string_view::npos || (syntax.DriveColon && c == ':');
  };
  std::size_t nameStart = sourceName.size();
  while (nameStart > 0 && !isDelimiter(sourceName[nameStart - 1])) --nameStart;
  const std::string dir = sourceName.substr(0, nameStart);
  std::string base = sourceName.substr(nameStart);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  base += ".jpg";

  switch (saveMethod) {
    case smNewName: {
      std::string output;
      do {
        base = "_" + base;
        output = dir + base;
      } while (taken(output));
      return output;
    }
    case smOverwrite:
      return dir + base;
    case smFolder: {
      std::string folder = saveFolder;
      if (folder.empty() || syntax.Delimiters.find(folder.back()) == std::string_view::npos)
        folder += syntax.Delimiter;
      return folder + base;
    }
    default:
      return previous;
  }
}
