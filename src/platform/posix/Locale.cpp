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

// UTF-16 units, as Windows compares names, of the text upper-cased by the user's locale.
std::u16string UpperCaseUnits(std::string_view utf8) {
  const locale_t loc = UserLocale();
  std::u16string out;
  for (char32_t c : ToUtf32(utf8)) {
    if (loc) c = static_cast<char32_t>(::towupper_l(static_cast<wint_t>(c), loc));
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

}  // namespace

int CompareFileNames(std::string_view a, std::string_view b) {
  if (const int byCase = UpperCaseUnits(a).compare(UpperCaseUnits(b)); byCase != 0) return byCase;
  return a.compare(b);
}

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
