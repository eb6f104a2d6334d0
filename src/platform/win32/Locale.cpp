#include "platform/Locale.h"

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"

namespace platform {

bool SameTextLocale(std::string_view a, std::string_view b) {
  const std::wstring wa = Utf8ToWide(a), wb = Utf8ToWide(b);
  return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wa.data(), static_cast<int>(wa.size()), wb.data(),
                          static_cast<int>(wb.size())) == CSTR_EQUAL;
}

namespace {
std::wstring UpperCase(std::string_view text) {
  std::wstring wide = Utf8ToWide(text);
  if (!wide.empty())
    ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, wide.data(), static_cast<int>(wide.size()), wide.data(),
                   static_cast<int>(wide.size()));
  return wide;
}
}  // namespace

int CompareFileNames(std::string_view a, std::string_view b) {
  if (const int byCase = UpperCase(a).compare(UpperCase(b)); byCase != 0) return byCase;
  return a.compare(b);
}

}  // namespace platform
