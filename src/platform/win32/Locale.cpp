#include "platform/Locale.h"

#include "platform/win32/WinHeaders.h"
#include "platform/win32/WinText.h"

namespace platform {

bool SameTextLocale(std::string_view a, std::string_view b) {
  const std::wstring wa = Utf8ToWide(a), wb = Utf8ToWide(b);
  return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wa.data(), static_cast<int>(wa.size()), wb.data(),
                          static_cast<int>(wb.size())) == CSTR_EQUAL;
}

}  // namespace platform
