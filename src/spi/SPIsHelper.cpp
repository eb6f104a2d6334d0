#include "spi/SPIsHelper.h"

#include "platform/PathNames.h"
#include "rtl/Stream.h"
#include "rtl/Text.h"

namespace {
// MAX_PATH: the longest name, terminator included, that a plug-in's buffers are made for.
constexpr std::size_t PluginMaxPath = 260;
}  // namespace

const TPluginNameOS& SystemPluginNameOS() {
  static const TPluginNameOS os{
      [](const std::string& utf8, bool& replaced) { return Utf8ToAnsi(utf8, &replaced); },
      [](const std::string& path) { return PathToUtf8(platform::UniversalName(Utf8ToPath(path))); },
      [](const std::string& path, std::string& shortPath) {
        std::filesystem::path s;
        const unsigned n = platform::ShortPathName(Utf8ToPath(path), s);
        shortPath = PathToUtf8(s);
        return n;
      }};
  return os;
}

std::string ToPluginFileName(const std::string& path, const TPluginNameOS& os) {
  if (path.empty()) return {};
  bool replaced = false;
  std::string ansi = os.ToAnsi(path, replaced);
  if (!replaced) {
    bool uncReplaced = false;
    os.ToAnsi(os.UniversalName(path), uncReplaced);
    if (!uncReplaced && ansi.size() < PluginMaxPath) return ansi;
  }
  std::string shortPath;
  const unsigned n = os.ShortPathName(path, shortPath);
  if (n < 1 || n > PluginMaxPath || shortPath.empty()) return {};
  bool shortReplaced = false;
  std::string shortAnsi = os.ToAnsi(shortPath, shortReplaced);
  return shortAnsi.size() > PluginMaxPath ? std::string() : shortAnsi;
}

std::string ToPluginFileName(const std::filesystem::path& path) {
  return ToPluginFileName(PathToUtf8(path), SystemPluginNameOS());
}
