#pragma once
// Comparison of texts by the user's locale rules.
#include <string_view>

namespace platform {

// True when the two UTF-8 texts are equal with case ignored by the user's locale rules
// (CompareStringW with NORM_IGNORECASE on Windows; the locale's case mapping on POSIX).
bool SameTextLocale(std::string_view a, std::string_view b);

// Orders two UTF-8 file names the way NTFS lists a folder: each UTF-16 unit upper-cased by
// the user's locale rules, then compared by value; names equal but for case by their bytes,
// so that no two names tie. Negative, 0 or positive.
int CompareFileNames(std::string_view a, std::string_view b);

}  // namespace platform
