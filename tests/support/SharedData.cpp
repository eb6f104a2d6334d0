#include "support/SharedData.h"

#include <cstdlib>
#include <system_error>
#include <vector>

std::filesystem::path BmpSuiteDir() {
  namespace fs = std::filesystem;
  std::vector<fs::path> candidates;
  if (const char* env = std::getenv("TAVEX_SHARED_DIR")) candidates.emplace_back(env);
  candidates.emplace_back(TAVEX_SHARED_DIR);
  for (fs::path p = fs::path(TAVEX_SOURCE_DIR); p.has_relative_path(); p = p.parent_path())
    candidates.push_back(p / "shared");
  for (const fs::path& c : candidates) {
    std::error_code ec;
    if (fs::is_directory(c / "testdata" / "bmpsuite", ec)) return c / "testdata" / "bmpsuite";
  }
  return {};
}
