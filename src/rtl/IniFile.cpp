#include "rtl/IniFile.h"

#include <climits>
#include <system_error>

#include "rtl/Exception.h"
#include "rtl/File.h"
#include "rtl/Stream.h"
#include "rtl/Text.h"

namespace {

constexpr unsigned char Utf8Bom[] = {0xEF, 0xBB, 0xBF};

// Blanks are every control character and the space, as the INI format has always trimmed.
std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

bool StartsWith(const std::string& bytes, const unsigned char* mark, size_t n) {
  if (bytes.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(bytes[i]) != mark[i]) return false;
  return true;
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(static_cast<char16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0));
  }
  return Utf16ToUtf8(units);
}

std::string EncodeUtf16(std::string_view utf8, bool bigEndian) {
  const std::u16string units = Utf8ToUtf16(utf8);
  std::string bytes;
  bytes.reserve(2 + units.size() * 2);
  bytes += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t u : units) {
    const auto hi = static_cast<char>(u >> 8);
    const auto lo = static_cast<char>(u & 0xFF);
    bytes += bigEndian ? hi : lo;
    bytes += bigEndian ? lo : hi;
  }
  return bytes;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryIniStrToInt(std::string_view text, int& value) noexcept {
  std::string_view s = text;
  // "0x1F" is the C spelling of "$1F"; a bare "0x" stays decimal and so fails.
  bool hex = false;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    hex = true;
    s.remove_prefix(2);
  }
  bool negative = false;
  if (!hex && !s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (!hex && !s.empty() && s[0] == '$') {
    hex = true;
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  unsigned long long magnitude = 0;
  for (const char c : s) {
    const int d = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return false;
    magnitude = magnitude * (hex ? 16 : 10) + static_cast<unsigned>(d);
    if (magnitude > 0xFFFFFFFFull) return false;
  }
  if (hex) {
    // Hexadecimal spells the 32 bits: $FFFFFFFF is -1.
    const auto bits = static_cast<std::uint32_t>(magnitude);
    const auto v = static_cast<std::int32_t>(bits);
    if (negative && v == INT_MIN) return false;
    value = negative ? -v : v;
    return true;
  }
  if (negative ? magnitude > 0x80000000ull : magnitude > 0x7FFFFFFFull) return false;
  value = negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
  return true;
}

TMemIniFile::TMemIniFile(std::filesystem::path fileName) : FFileName(std::move(fileName)) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(FFileName, ec)) return;
  std::string bytes;
  {
    TFileStream stream(FFileName, fmOpenRead | fmShareDenyWrite);
    const std::int64_t size = stream.Size();
    bytes.resize(static_cast<size_t>(size));
    stream.ReadBuffer(bytes.data(), size);
  }
  static constexpr unsigned char Le[] = {0xFF, 0xFE};
  static constexpr unsigned char Be[] = {0xFE, 0xFF};
  if (StartsWith(bytes, Utf8Bom, 3)) {
    FEncoding = TIniEncoding::ieUtf8;
    SetText(std::string_view(bytes).substr(3));
  } else if (StartsWith(bytes, Le, 2)) {
    FEncoding = TIniEncoding::ieUtf16LE;
    SetText(DecodeUtf16(std::string_view(bytes).substr(2), false));
  } else if (StartsWith(bytes, Be, 2)) {
    FEncoding = TIniEncoding::ieUtf16BE;
    SetText(DecodeUtf16(std::string_view(bytes).substr(2), true));
  } else {
    FEncoding = TIniEncoding::ieAnsi;
    SetText(AnsiToUtf8(bytes));
  }
}

void TMemIniFile::SetText(std::string_view utf8) {
  FSections.clear();
  TSection* current = nullptr;
  size_t pos = 0;
  while (pos <= utf8.size()) {
    // Lines end in CR LF, LF or a lone CR.
    size_t end = utf8.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = utf8.size();
    const std::string_view line = Trim(utf8.substr(pos, end - pos));
    pos = end + 1;
    if (end < utf8.size() && utf8[end] == '\r' && end + 1 < utf8.size() && utf8[end + 1] == '\n') ++pos;

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      FSections.push_back(TSection{std::string(Trim(line.substr(1, line.size() - 2))), {}});
      current = &FSections.back();
      continue;
    }
    if (!current) continue;  // entries before the first section belong to none
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      current->Lines.push_back(TLine{{}, std::string(line), false});
    else
      current->Lines.push_back(
          TLine{std::string(Trim(line.substr(0, eq))), std::string(Trim(line.substr(eq + 1))), true});
  }
}

const TMemIniFile::TSection* TMemIniFile::FindSection(std::string_view name) const {
  for (const TSection& s : FSections)
    if (SameTextAscii(s.Name, name)) return &s;
  return nullptr;
}

TMemIniFile::TSection* TMemIniFile::FindSection(std::string_view name) {
  return const_cast<TSection*>(static_cast<const TMemIniFile*>(this)->FindSection(name));
}

bool TMemIniFile::SectionExists(std::string_view section) const { return FindSection(section) != nullptr; }

bool TMemIniFile::ValueExists(std::string_view section, std::string_view key) const {
  if (const TSection* s = FindSection(section))
    for (const TLine& l : s->Lines)
      if (l.HasValue && SameTextAscii(l.Name, key)) return true;
  return false;
}

std::string TMemIniFile::ReadString(std::string_view section, std::string_view key,
                                    const std::string& defaultValue) const {
  if (const TSection* s = FindSection(section))
    for (const TLine& l : s->Lines)
      if (l.HasValue && SameTextAscii(l.Name, key)) return l.Value;
  return defaultValue;
}

int TMemIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
  int value = 0;
  return TryIniStrToInt(ReadString(section, key, {}), value) ? value : defaultValue;
}

void TMemIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  TSection* s = FindSection(section);
  if (!s) {
    FSections.push_back(TSection{std::string(section), {}});
    s = &FSections.back();
  }
  for (TLine& l : s->Lines)
    if (l.HasValue && SameTextAscii(l.Name, key)) {
      l.Name = key;
      l.Value = value;
      return;
    }
  s->Lines.push_back(TLine{std::string(key), std::string(value), true});
}

void TMemIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

std::vector<std::string> TMemIniFile::ReadSections() const {
  std::vector<std::string> names;
  for (const TSection& s : FSections) names.push_back(s.Name);
  return names;
}

std::string TMemIniFile::Text() const {
  std::string text;
  for (const TSection& s : FSections) {
    text += "[" + s.Name + "]\r\n";
    for (const TLine& l : s.Lines) text += (l.HasValue ? l.Name + "=" + l.Value : l.Value) + "\r\n";
    text += "\r\n";
  }
  return text;
}

void TMemIniFile::UpdateFile() const {
  const std::string text = Text();
  std::string bytes;
  switch (FEncoding) {
    case TIniEncoding::ieAnsi: bytes = Utf8ToAnsi(text); break;
    case TIniEncoding::ieUtf8: bytes = std::string(reinterpret_cast<const char*>(Utf8Bom), 3) + text; break;
    case TIniEncoding::ieUtf16LE: bytes = EncodeUtf16(text, false); break;
    case TIniEncoding::ieUtf16BE: bytes = EncodeUtf16(text, true); break;
  }
  // Written beside and moved over the old file: a failed or interrupted write keeps
  // every setting of the old one.
  SaveBytesReplacing(FFileName, bytes.data(), bytes.size());
}
