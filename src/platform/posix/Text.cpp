#include "rtl/Text.h"

#include <cerrno>
#include <clocale>
#include <iconv.h>
#include <langinfo.h>

namespace {

std::string Codeset() {
  // The process may never have called setlocale; ask the environment's locale then.
  const char* cs = nl_langinfo(CODESET);
  std::string name = cs ? cs : "";
  if (name.empty() || name == "ANSI_X3.4-1968") {
    if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
      const char* c = nl_langinfo_l(CODESET, loc);
      if (c && *c) name = c;
      freelocale(loc);
    }
  }
  return name.empty() ? "ANSI_X3.4-1968" : name;
}

bool IsUtf8(const std::string& cs) { return cs == "UTF-8" || cs == "utf8" || cs == "UTF8"; }

class TIconv {
public:
  TIconv(const char* to, const char* from) : FCd(iconv_open(to, from)) {}
  ~TIconv() {
    if (Ok()) iconv_close(FCd);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Ok() const { return FCd != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return FCd; }

private:
  iconv_t FCd;
};

// Converts one character at a time where the whole does not go, so an unconvertible
// character costs only itself.
std::string Convert(std::string_view in, const char* to, const char* from, const char* defaultChar, bool* replaced) {
  TIconv cd(to, from);
  if (!cd.Ok()) {
    if (replaced) *replaced = false;
    return std::string(in);
  }
  std::string out;
  out.reserve(in.size() * 2);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buf[256];
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    const size_t r = iconv(cd.Get(), &src, &srcLeft, &dst, &dstLeft);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: skip one source character and put the default one in.
      size_t skip = 1;
      if (std::string_view(from) == "UTF-8") {
        auto b = static_cast<unsigned char>(*src);
        skip = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (skip > srcLeft) skip = srcLeft;
      }
      src += skip;
      srcLeft -= skip;
      out += defaultChar;
      if (replaced) *replaced = true;
      iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

}  // namespace

std::string Utf8ToAnsi(std::string_view utf8, bool* replaced) {
  if (replaced) *replaced = false;
  const std::string cs = Codeset();
  if (IsUtf8(cs)) {
    if (replaced) *replaced = !IsValidUtf8(utf8);
    return std::string(utf8);
  }
  return Convert(utf8, cs.c_str(), "UTF-8", "?", replaced);
}

std::string AnsiToUtf8(std::string_view ansi) {
  const std::string cs = Codeset();
  if (IsUtf8(cs)) return std::string(ansi);
  return Convert(ansi, "UTF-8", cs.c_str(), "\xEF\xBF\xBD", nullptr);
}
