#include "platform/PathNames.h"

namespace platform {

// No mapped drives and no short names here.
std::filesystem::path UniversalName(const std::filesystem::path& path) { return path; }

unsigned ShortPathName(const std::filesystem::path&, std::filesystem::path&) { return 0; }

}  // namespace platform
