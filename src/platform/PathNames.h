#pragma once
// The other names the OS knows a file by, for plug-ins that take only ANSI names.
#include <filesystem>

namespace platform {

// The UNC form of a path on a mapped network drive; the path itself where it has none
// (a local drive, or a platform without mapped drives).
std::filesystem::path UniversalName(const std::filesystem::path& path);

// GetShortPathNameW into a buffer of 260 characters: its result (the length of the short
// form, 0 on failure, or the size it would need when longer), with the short form in
// shortPath when that fits. 0 where the platform has no short names.
unsigned ShortPathName(const std::filesystem::path& path, std::filesystem::path& shortPath);

}  // namespace platform
