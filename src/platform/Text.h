#pragma once
// The ANSI code page: what plug-ins and INI files without a byte-order mark speak.
// On Windows it is the system's code page; on POSIX the locale's codeset.
#include <string>
#include <string_view>

namespace platform {

// UTF-8 to ANSI bytes. Characters the code page lacks become its default character,
// and replaced (when given) tells whether that happened.
std::string Utf8ToAnsi(std::string_view utf8, bool* replaced = nullptr);
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace platform
