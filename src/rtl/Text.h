#pragma once
// Text is UTF-8 in std::string. UTF-16 exists only at the Windows W calls and in files
// that say so with a byte-order mark.
#include <string>
#include <string_view>

// Invalid UTF-8 input becomes U+FFFD; unpaired surrogates in UTF-16 likewise.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
bool IsValidUtf8(std::string_view text) noexcept;

// ASCII-only case folding, as file extensions and INI names need.
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b) noexcept;

// The ANSI code page: what plug-ins and INI files without a byte-order mark speak. On
// Windows it is the system's code page; on POSIX the locale's codeset. Only the OS knows
// which one it is, so the bodies of these two live in the OS seam (platform/*/Text.cpp).
// Characters the code page lacks become its default character, and replaced (when
// given) tells whether that happened.
std::string Utf8ToAnsi(std::string_view utf8, bool* replaced = nullptr);
std::string AnsiToUtf8(std::string_view ansi);
