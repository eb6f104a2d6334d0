#include "rtl/Text.h"

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"

namespace platform {

std::wstring Utf8ToWide(std::string_view utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string WideToUtf8(std::wstring_view wide) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace platform

std::string Utf8ToAnsi(std::string_view utf8, bool* replaced) {
  const std::wstring wide = platform::Utf8ToWide(utf8);
  if (replaced) *replaced = false;
  if (wide.empty()) return {};
  BOOL usedDefault = FALSE;
  const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, &usedDefault);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, &usedDefault);
  if (replaced) *replaced = usedDefault != FALSE;
  return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
  if (ansi.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
  return platform::WideToUtf8(wide);
}
