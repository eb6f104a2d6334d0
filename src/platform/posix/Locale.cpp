#include "platform/Locale.h"

#include <cwctype>
#include <locale.h>
#include <wctype.h>

#include "rtl/Text.h"

namespace platform {
namespace {

// The user's locale (from the environment), made once.
locale_t UserLocale() {
  static const locale_t loc = [] {
    locale_t l = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    return l ? l : ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  }();
  return loc;
}

std::u32string ToUtf32(std::string_view utf8) {
  const std::u16string u16 = Utf8ToUtf16(utf8);
  std::u32string out;
  out.reserve(u16.size());
  for (std::size_t i = 0; i < u16.size(); ++i) {
    char32_t c = u16[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < u16.size() && u16[i + 1] >= 0xDC00 && u16[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (u16[++i] - 0xDC00);
    out.push_back(c);
  }
  return out;
}

}  // namespace

bool SameTextLocale(std::string_view a, std::string_view b) {
  const std::u32string ua = ToUtf32(a), ub = ToUtf32(b);
  if (ua.size() != ub.size()) return false;
  const locale_t loc = UserLocale();
  for (std::size_t i = 0; i < ua.size(); ++i) {
    if (ua[i] == ub[i]) continue;
    if (!loc) return false;
    const auto la = ::towlower_l(static_cast<wint_t>(ua[i]), loc);
    const auto lb = ::towlower_l(static_cast<wint_t>(ub[i]), loc);
    if (la != lb) return false;
  }
  return true;
}

}  // namespace platform
