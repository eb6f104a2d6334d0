#include "app/FileList.h"

std::vector<std::uint8_t> EncodeFileList(const std::vector<std::u16string>& names) {
  if (names.empty()) return {};
  std::size_t chars = 1;  // the list's final 0
  for (const std::u16string& name : names) {
    if (name.empty() || name.size() > MaxFileListNameChars || name.find(u'\0') != std::u16string::npos) return {};
    chars += name.size() + 1;
    if (chars > MaxFileListChars) return {};
  }
  std::vector<std::uint8_t> block;
  block.reserve(chars * 2);
  auto put = [&block](char16_t c) {
    block.push_back(static_cast<std::uint8_t>(c & 0xFF));
    block.push_back(static_cast<std::uint8_t>(c >> 8));
  };
  for (const std::u16string& name : names) {
    for (const char16_t c : name) put(c);
    put(u'\0');
  }
  put(u'\0');
  return block;
}

std::optional<std::vector<std::u16string>> DecodeFileList(std::span<const std::uint8_t> block) {
  // Two terminators at least, after one name of one unit: 3 units.
  if (block.size() % 2 != 0 || block.size() < 6 || block.size() / 2 > MaxFileListChars) return std::nullopt;
  const std::size_t chars = block.size() / 2;
  auto at = [block](std::size_t i) {
    return static_cast<char16_t>(block[2 * i] | (static_cast<unsigned>(block[2 * i + 1]) << 8));
  };
  std::vector<std::u16string> names;
  std::u16string name;
  for (std::size_t i = 0; i < chars; ++i) {
    const char16_t c = at(i);
    if (c != u'\0') {
      if (name.size() == MaxFileListNameChars) return std::nullopt;
      name.push_back(c);
      continue;
    }
    if (name.empty()) {
      // The list's end: only as the last unit, and only after a name.
      if (i + 1 != chars || names.empty()) return std::nullopt;
      return names;
    }
    names.push_back(std::move(name));
    name.clear();
  }
  return std::nullopt;  // no final 0 (or the last name unterminated)
}
