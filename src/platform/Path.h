#pragma once
// How the OS spells path names: which characters end a folder part, which one is
// added to end a folder, and whether "X:" names a drive.
#include <string_view>

namespace platform {

struct TPathSyntax {
  std::string_view Delimiters;  // every character that ends a folder part
  char Delimiter;               // the one added after a folder name
  bool DriveColon;              // "X:" is a folder part of its own (Windows)
};

// "\" and "/" with drive letters.
inline constexpr TPathSyntax WindowsPathSyntax{"\\/", '\\', true};
// "/" only; ":" and "\" are ordinary characters of a name.
inline constexpr TPathSyntax PosixPathSyntax{"/", '/', false};

// The syntax of the OS this build runs on.
const TPathSyntax& NativePathSyntax() noexcept;

}  // namespace platform
