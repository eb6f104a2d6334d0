#include "app/Settings.h"

#include <algorithm>

#include "rtl/IniFile.h"

namespace {
constexpr const char* SectionWindow = "Window";
constexpr const char* SectionConfig = "Config";
constexpr const char* KeyTop = "Top";
constexpr const char* KeyLeft = "Left";
constexpr const char* KeyHowSave = "HowSave";
constexpr const char* SectionPlugins = "Plugins";
constexpr const char* KeyOutOfProcess = "OutOfProcess";
constexpr const char* KeyTimeout = "Timeout";
constexpr int MaxTimeoutSeconds = 3600;
constexpr const char* SectionBatch = "Batch";
// The batch settings' keys, each a 0/1 switch.
struct TBatchKey {
  const char* Name;
  bool TBatchSettings::*Member;
};
constexpr TBatchKey BatchKeys[] = {
    {"Subfolders", &TBatchSettings::IncludeSubfolders},
    {"KeepGoing", &TBatchSettings::KeepGoing},
    {"KeepFileDate", &TBatchSettings::KeepFileDate},
    {"KeepMetadata", &TBatchSettings::KeepMetadata},
};
// How much of the window must stay on the desktop for a stored position to count.
constexpr int MinVisible = 10;
}  // namespace

int ClampRadioIndex(int index, int count) noexcept { return std::clamp(index, -1, std::max(count - 1, -1)); }

std::filesystem::path IniFileNameFor(const std::filesystem::path& exeFileName) {
  // The extension is what follows the last "." of the file name; a name that starts
  // with its only "." is all extension.
  const std::filesystem::path::string_type name = exeFileName.filename().native();
  const auto dot = name.rfind(std::filesystem::path::value_type('.'));
  std::filesystem::path::string_type base = dot == name.npos ? name : name.substr(0, dot);
  for (const char c : std::string(".ini")) base.push_back(static_cast<std::filesystem::path::value_type>(c));
  return exeFileName.parent_path() / base;
}

void LoadWindowSettings(const std::filesystem::path& iniFileName, TSettingsWindow& window, TDesktopExtent desktop) {
  const TMemIniFile ini(iniFileName);
  window.SetTop(ini.ReadInteger(SectionWindow, KeyTop, 0));
  window.SetLeft(ini.ReadInteger(SectionWindow, KeyLeft, 0));
  // Only the desktop's width and height count, from 0: a monitor at negative
  // coordinates does not keep a window there.
  const int left = window.Left();
  if (left > desktop.Width - MinVisible || left < MinVisible - window.Width()) window.SetLeft(0);
  const int top = window.Top();
  if (top > desktop.Height - MinVisible || top < MinVisible - window.Height()) window.SetTop(0);
  window.SetHowSave(ClampRadioIndex(ini.ReadInteger(SectionConfig, KeyHowSave, window.HowSave()), HowSaveCount));
}

void SaveWindowSettings(const std::filesystem::path& iniFileName, const TSettingsWindow& window) {
  TMemIniFile ini(iniFileName);
  try {
    ini.WriteInteger(SectionWindow, KeyTop, window.Top());
    ini.WriteInteger(SectionWindow, KeyLeft, window.Left());
    ini.WriteInteger(SectionConfig, KeyHowSave, window.HowSave());
  } catch (...) {
    // A failure while taking the values must not keep the file from being written.
    ini.UpdateFile();
    throw;
  }
  ini.UpdateFile();
}

TPluginHostSettings LoadPluginHostSettings(const std::filesystem::path& iniFileName, TPluginHostSettings defaults) {
  try {
    const TMemIniFile ini(iniFileName);
    const int outOfProcess = ini.ReadInteger(SectionPlugins, KeyOutOfProcess, defaults.OutOfProcess ? 1 : 0);
    if (outOfProcess == 0 || outOfProcess == 1) defaults.OutOfProcess = outOfProcess == 1;
    const int timeout = ini.ReadInteger(SectionPlugins, KeyTimeout, defaults.TimeoutSeconds);
    if (timeout >= 1 && timeout <= MaxTimeoutSeconds) defaults.TimeoutSeconds = timeout;
  } catch (const std::exception&) {
  }
  return defaults;
}

TBatchSettings LoadBatchSettings(const std::filesystem::path& iniFileName) {
  TBatchSettings settings;
  try {
    const TMemIniFile ini(iniFileName);
    for (const TBatchKey& key : BatchKeys) {
      const int value = ini.ReadInteger(SectionBatch, key.Name, settings.*key.Member ? 1 : 0);
      if (value == 0 || value == 1) settings.*key.Member = value == 1;
    }
  } catch (const std::exception&) {
  }
  return settings;
}

void SaveBatchSettings(const std::filesystem::path& iniFileName, const TBatchSettings& settings) {
  TMemIniFile ini(iniFileName);
  for (const TBatchKey& key : BatchKeys) ini.WriteInteger(SectionBatch, key.Name, settings.*key.Member ? 1 : 0);
  ini.UpdateFile();
}
