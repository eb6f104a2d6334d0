#pragma once
// UTF-16 at the Win32 W calls: wchar_t is 16 bits with mingw.
#include <string>
#include <string_view>

namespace platform {
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
}  // namespace platform
