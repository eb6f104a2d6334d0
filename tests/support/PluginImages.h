#pragma once
// The pictures tests/plugins/make-images.py draws, with the picture each stands for.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

// The picture beside name.<ext> in the folder: its ".dib" holds width, height and the
// bottom-up blue-green-red rows padded to 4 bytes; returned top-down red-green-blue (empty
// when the file is missing).
inline std::vector<std::uint8_t> PluginImageRGB(const std::filesystem::path& folder, const std::string& name,
                                                int& width, int& height) {
  const std::vector<unsigned char> b = ReadAllBytes(folder / (name + ".dib"));
  std::vector<std::uint8_t> rgb;
  if (b.size() < 8) return rgb;
  std::memcpy(&width, b.data(), 4);
  std::memcpy(&height, b.data() + 4, 4);
  const std::size_t row = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
  if (b.size() < 8 + row * static_cast<std::size_t>(height)) return {};
  for (int y = height - 1; y >= 0; --y)
    for (int x = 0; x < width; ++x) {
      const unsigned char* p = b.data() + 8 + static_cast<std::size_t>(y) * row + static_cast<std::size_t>(x) * 3;
      rgb.insert(rgb.end(), {p[2], p[1], p[0]});
    }
  return rgb;
}
