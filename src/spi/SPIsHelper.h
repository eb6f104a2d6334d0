#pragma once
// File names for plug-ins, which take only ANSI names.
#include <filesystem>
#include <functional>
#include <string>

// What the conversion asks of the OS, replaceable in tests.
struct TPluginNameOS {
  // UTF-8 to the ANSI code page; replaced tells whether a character had no equivalent.
  std::function<std::string(const std::string& utf8, bool& replaced)> ToAnsi;
  // The UNC form of the path (UTF-8), or the path itself.
  std::function<std::string(const std::string& path)> UniversalName;
  // The short (8.3) form as GetShortPathNameW gives it with a 260-character buffer: its
  // result, and the form when that fits.
  std::function<unsigned(const std::string& path, std::string& shortPath)> ShortPathName;
};
// The OS's own answers.
const TPluginNameOS& SystemPluginNameOS();

// The ANSI path to hand to a plug-in, or empty when there is none: the path itself when it
// and its UNC form convert without a replaced character and it is shorter than 260 bytes;
// else the short form's ANSI bytes when the OS has a short form that fits (260 at most).
std::string ToPluginFileName(const std::string& path, const TPluginNameOS& os);
std::string ToPluginFileName(const std::filesystem::path& path);
