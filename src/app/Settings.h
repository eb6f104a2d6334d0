#pragma once
// The main window's settings file: its position and the selected save method, kept in
// an INI file beside the executable. Toolkit-free: the window is reached through
// TSettingsWindow, the desktop's extent is passed in.
#include <filesystem>

// What the settings read and set of the window.
class TSettingsWindow {
public:
  virtual ~TSettingsWindow() = default;
  virtual int Top() const = 0;
  virtual void SetTop(int value) = 0;
  virtual int Left() const = 0;
  virtual void SetLeft(int value) = 0;
  // The window's outer size, frame included.
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // The save-method radio group's selected index (-1 for none).
  virtual int HowSave() const = 0;
  virtual void SetHowSave(int value) = 0;
};

// The virtual desktop's extent, measured from 0, 0.
struct TDesktopExtent {
  int Width = 0;
  int Height = 0;
};

// Number of save methods, hence of radio items and pages.
constexpr int HowSaveCount = 3;

// A radio group keeps its index within -1 .. count - 1.
int ClampRadioIndex(int index, int count) noexcept;

// The executable's path with its extension replaced by ".ini" (appended when it has none).
std::filesystem::path IniFileNameFor(const std::filesystem::path& exeFileName);

// Reads Window/Top, Window/Left and Config/HowSave. A position that would leave fewer
// than 10 pixels of the window on the desktop becomes 0; HowSave defaults to the
// current index and is clamped to the radio group's range. A missing file gives the
// defaults; one that exists but cannot be read raises the file layer's error before
// anything of the window has changed.
void LoadWindowSettings(const std::filesystem::path& iniFileName, TSettingsWindow& window,
                        TDesktopExtent desktop);

// Reads the file, sets the three values and writes the whole file back (also when
// setting a value failed). Raises the file layer's error when reading or writing fails.
void SaveWindowSettings(const std::filesystem::path& iniFileName, const TSettingsWindow& window);

// Where plug-ins run, from the section "Plugins" that older files lack: "OutOfProcess"
// (1: each plug-in in a host process, 0: in the program) and "Timeout" (the seconds a
// plug-in's call may go without an answer, 1 to 3600).
struct TPluginHostSettings {
  bool OutOfProcess = false;
  int TimeoutSeconds = 60;
};
// A missing key, or a file that cannot be read, keeps the default: the window reads this
// before it exists, and must still start.
TPluginHostSettings LoadPluginHostSettings(const std::filesystem::path& iniFileName, TPluginHostSettings defaults);

// How a batch treats folders, failures, dates and metadata, from the section "Batch" that
// older files lack; every default is what a batch did before the section existed.
struct TBatchSettings {
  // A dropped folder's subfolders are converted too ("Subfolders").
  bool IncludeSubfolders = false;
  // A failing file is reported and the batch goes on ("KeepGoing").
  bool KeepGoing = false;
  // Each output's modification time is its source's ("KeepFileDate").
  bool KeepFileDate = false;
  // Each output carries its source's EXIF, XMP and colour profile ("KeepMetadata").
  bool KeepMetadata = false;

  bool operator==(const TBatchSettings&) const = default;
};
// A missing key, a value other than 0 or 1, or a file that cannot be read keeps the
// default of that setting.
TBatchSettings LoadBatchSettings(const std::filesystem::path& iniFileName);
// Writes the four keys into the file, keeping everything else in it; raises the file
// layer's error when reading or writing fails.
void SaveBatchSettings(const std::filesystem::path& iniFileName, const TBatchSettings& settings);
