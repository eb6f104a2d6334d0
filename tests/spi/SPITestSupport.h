#pragma once
// The test plug-ins (built into test-plugins/ beside bin/) and a folder to put copies of
// them in under the names a case needs.
#include <filesystem>
#include <string>

#include "platform/Folders.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

inline std::filesystem::path TestPlugin(const std::string& variant) {
  return platform::ExeFileName().parent_path().parent_path() / "test-plugins" / (variant + ".spi");
}

class TPluginFolder {
public:
  // Copies the variant's library in as name; returns the full path as the search forms it.
  std::string Put(const std::string& variant, const std::string& name) {
    std::filesystem::copy_file(TestPlugin(variant), FDir / Utf8ToPath(name),
                               std::filesystem::copy_options::overwrite_existing);
    return Folder() + name;
  }
  // The folder with its trailing delimiter, as ScanFolder takes it.
  std::string Folder() const;
  const std::filesystem::path& Path() const noexcept { return FDir.Path(); }

private:
  TTempDir FDir;
};

// The message of the exception that f raises; empty when it raises none.
template <class E, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return {};
}
