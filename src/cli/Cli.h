#pragma once
// tavex-cli: the batch of the window, driven from the command line.
#include <string>
#include <string_view>
#include <vector>

#include "app/Batch.h"

// What the command line asks for.
struct TCliOptions {
  int Method = 0;             // as the window's radio items: 0, 1 or 2
  std::string Dest;           // the destination folder of method 2, as typed
  bool HasPluginDir = false;  // --plugin-dir given: search that one folder only
  std::string PluginDir;
  int Jobs = 0;               // -j N: images encoded at once (0: one per core)
  int PluginHost = -1;        // --plugin-host on|off: 1, 0; -1: the build's default
  int PluginTimeout = 60;     // --plugin-timeout S: seconds a plug-in may go unanswered
  bool ListPlugins = false;  // --list-plugins: list the plug-ins instead of converting
  // --subfolders, --keep-going, --keep-date, --keep-metadata.
  TBatchSettings Batch;
  bool Help = false;
  bool Version = false;
  std::vector<std::string> Files;
};

// The usage text (ends with a newline).
extern const char* const CliUsage;

// Reads the arguments after the program name. False with a one-line reason when they
// are not a valid command line.
bool ParseCliArguments(const std::vector<std::string>& args, TCliOptions& options, std::string& error);

// Where the converter's text goes; the real one is the process's console.
class TCliConsole {
public:
  virtual ~TCliConsole() = default;
  // Each call writes its text at once (nothing waits in a buffer).
  virtual void Out(std::string_view text) = 0;
  virtual void Err(std::string_view text) = 0;
  // True when standard error is a terminal: only then is progress shown.
  virtual bool ErrIsTerminal() = 0;
  // True once the user asked the program to stop (Ctrl+C, the console closing).
  virtual bool Interrupted() { return false; }
};

class TSystemConsole : public TCliConsole {
public:
  void Out(std::string_view text) override;
  void Err(std::string_view text) override;
  bool ErrIsTerminal() override;
  bool Interrupted() override;
};

// Runs the converter over the arguments after the program name; returns the exit code:
// 0 when every file was converted or skipped (or for --help, --version, --list-plugins),
// 1 when the batch stopped at a failure or, with --keep-going, any file failed, 2 for a
// usage error, InterruptedExitCode when the console's Interrupted stopped the batch.
inline constexpr int InterruptedExitCode = 130;
// An empty factory: the program's conversion, keeping metadata as the options say.
int RunCli(const std::vector<std::string>& args, TCliConsole& console, const TFileConversionFactory& factory);
