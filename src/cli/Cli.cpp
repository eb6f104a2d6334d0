#include "cli/Cli.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>

#include "app/PluginPolicy.h"
#include "platform/Console.h"
#include "rtl/Text.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"

const char* const CliUsage =
    "Usage: tavex-cli [--method 0|1|2] [--dest DIR] [--plugin-dir DIR] [-j N]\n"
    "                 [--plugin-host on|off] [--plugin-timeout S] FILE...\n"
    "       tavex-cli --list-plugins [--plugin-dir DIR] [--plugin-host on|off]\n"
    "Converts each image FILE, in the order given, to a baseline JPEG of quality 90\n"
    "named after it with the extension \".jpg\".\n"
    "\n"
    "  --method 0        beside the source; \"_\" is put in front of the name until\n"
    "                    no file of that name exists (the default)\n"
    "  --method 1        beside the source, replacing a file of that name\n"
    "  --method 2        into the folder given by --dest, replacing a file of that name\n"
    "  --dest DIR        the destination folder of method 2\n"
    "  --plugin-dir DIR  search this folder only for Susie plug-ins\n"
    "  --plugin-host on  run each plug-in in a host process of its own, so that one\n"
    "                    that crashes or hangs costs a failed try (the default\n"
    "                    natively); off: load plug-ins into this program\n"
    "  --plugin-timeout S\n"
    "                    end a plug-in in a host that neither answers nor reports\n"
    "                    progress for S seconds (1 to 3600; 60 by default)\n"
    "  -j N              encode up to N images at once (1 to 64; the default is one\n"
    "                    per core); the outputs are the same for every N\n"
    "  --list-plugins    list the plug-ins that were loaded (path, API version,\n"
    "                    description, filters), one a line; each plug-in file\n"
    "                    that was left out, and why, goes to standard error\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Each output path is written to standard output as soon as the file is saved.\n"
    "The first file that fails ends the run: its message goes to standard error and\n"
    "the exit status is 1 (2 for a wrong command line).\n";

namespace {

// More encoders than this only add threads that wait for memory.
constexpr int MaxJobs = 64;

// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool OptionValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name, std::string& value,
                 bool& matched, std::string& error) {
  const std::string& arg = args[i];
  matched = false;
  if (arg == name) {
    matched = true;
    if (i + 1 >= args.size()) {
      error = "option " + std::string(name) + " needs a value";
      return false;
    }
    value = args[++i];
    return true;
  }
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
    matched = true;
    value = arg.substr(name.size() + 1);
  }
  return true;
}

// What the window's controls are to the batch, from the command line: progress goes to
// a terminal as one rewritten line, each saved name to standard output.
class TCliUI : public TBatchUI {
public:
  TCliUI(const TCliOptions& options, TCliConsole& console)
      : FOptions(options), FConsole(console), FShowProgress(console.ErrIsTerminal()) {}

  int SaveMethod() override { return FOptions.Method; }
  std::string SaveFolder() override { return FOptions.Dest; }
  void SetProgressMax(int max) override { FMax = max; }
  void SetProgressPosition(int position) override {
    if (!FShowProgress) return;
    if (position == 0) {
      EndProgress();
      return;
    }
    FProgressShown = true;
    std::string line = "\r";
    line += std::to_string(position);
    line += '/';
    line += std::to_string(FMax);
    line += ' ';
    FConsole.Err(line);
  }
  void ProcessMessages() override {}
  void BeepMessage(const std::string& text) override {
    EndProgress();
    FConsole.Err(text + "\n");
    FRefused = true;
  }
  void ForceForeground() override {}
  void FileSaved(const std::filesystem::path&, const std::filesystem::path& output) override {
    // Names and progress may share one terminal: the name gets a clean line.
    EndProgress();
    FConsole.Out(PathToUtf8(output) + "\n");
  }

  // Clears the progress line so that what follows starts on a clean line.
  void EndProgress() {
    if (!FProgressShown) return;
    FProgressShown = false;
    std::string blank(2 * std::to_string(FMax).size() + 4, ' ');
    blank.front() = '\r';
    blank.back() = '\r';
    FConsole.Err(blank);
  }
  bool Refused() const noexcept { return FRefused; }

private:
  const TCliOptions& FOptions;
  TCliConsole& FConsole;
  const bool FShowProgress;
  bool FProgressShown = false;
  bool FRefused = false;
  int FMax = 0;
};

// The window's registry and policy; --plugin-dir searches that one folder instead of
// the window's five places.
void SearchPlugins(TSPIs& spis, const TCliOptions& options) {
  ApplyMainFormPluginSettings(spis);
  spis.OutOfProcess = options.PluginHost < 0 ? platform::PluginHostsByDefault() : options.PluginHost == 1;
  spis.HostTimeoutSeconds = options.PluginTimeout;
  if (!options.HasPluginDir) {
    spis.Loaded();
    return;
  }
  // As a full path, the form in which the OS reports a loaded plug-in's name, so that a
  // plug-in found once is known by its path.
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(Utf8ToPath(options.PluginDir), ec);
  if (ec) dir = Utf8ToPath(options.PluginDir);
  for (const std::string& pattern : platform::PluginFilePatterns())
    spis.ScanFolder(AppendBackslash(PathToUtf8(dir)), pattern);
  spis.SaveHostCaches();
}

std::string PluginLine(const TSPI& module) {
  std::string line = PathToUtf8(module.FileName());
  line += '\t';
  line += AnsiToUtf8(module.APIVersion());
  line += '\t';
  line += AnsiToUtf8(module.Description());
  line += '\t';
  for (std::size_t i = 0; i < module.Filters().size(); ++i) {
    if (i > 0) line += " | ";
    line += module.Filters()[i] + " (" + module.FilterDescriptions()[i] + ")";
  }
  line += '\n';
  return line;
}

}  // namespace

bool ParseCliArguments(const std::vector<std::string>& args, TCliOptions& options, std::string& error) {
  options = TCliOptions{};
  bool onlyFiles = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      options.Files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      continue;
    }
    if (arg == "--version") {
      options.Version = true;
      continue;
    }
    if (arg == "--list-plugins") {
      options.ListPlugins = true;
      continue;
    }
    bool matched = false;
    std::string value;
    if (!OptionValue(args, i, "--method", value, matched, error)) return false;
    if (matched) {
      if (value != "0" && value != "1" && value != "2") {
        error = "--method takes 0, 1 or 2, not \"" + value + "\"";
        return false;
      }
      options.Method = value[0] - '0';
      continue;
    }
    if (arg.rfind("-j", 0) == 0) {
      // "-j N" or "-jN".
      if (arg.size() > 2) {
        value = arg.substr(2);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = "option -j needs a value";
        return false;
      }
      const bool digits = !value.empty() && value.size() <= 2 && value[0] != '0' &&
                          std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (!digits || std::stoi(value) > MaxJobs) {
        error = "-j takes a number from 1 to " + std::to_string(MaxJobs) + ", not \"" + value + "\"";
        return false;
      }
      options.Jobs = std::stoi(value);
      continue;
    }
    if (!OptionValue(args, i, "--dest", value, matched, error)) return false;
    if (matched) {
      options.Dest = value;
      continue;
    }
    if (!OptionValue(args, i, "--plugin-host", value, matched, error)) return false;
    if (matched) {
      if (value != "on" && value != "off") {
        error = "--plugin-host takes on or off, not \"" + value + "\"";
        return false;
      }
      options.PluginHost = value == "on" ? 1 : 0;
      continue;
    }
    if (!OptionValue(args, i, "--plugin-timeout", value, matched, error)) return false;
    if (matched) {
      const bool digits = !value.empty() && value.size() <= 4 && value[0] != '0' &&
                          std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (!digits || std::stoi(value) > 3600) {
        error = "--plugin-timeout takes a number of seconds from 1 to 3600, not \"" + value + "\"";
        return false;
      }
      options.PluginTimeout = std::stoi(value);
      continue;
    }
    if (!OptionValue(args, i, "--plugin-dir", value, matched, error)) return false;
    if (matched) {
      options.HasPluginDir = true;
      options.PluginDir = value;
      continue;
    }
    error = "unknown option \"" + arg + "\"";
    return false;
  }
  if (!options.Help && !options.Version && !options.ListPlugins && options.Files.empty()) {
    error = "no files to convert";
    return false;
  }
  return true;
}

void TSystemConsole::Out(std::string_view text) { platform::WriteText(platform::TStdStream::Output, text); }
void TSystemConsole::Err(std::string_view text) { platform::WriteText(platform::TStdStream::Error, text); }
bool TSystemConsole::ErrIsTerminal() { return platform::IsTerminal(platform::TStdStream::Error); }

int RunCli(const std::vector<std::string>& args, TCliConsole& console, const TFileConversionFactory& factory) {
  TCliOptions options;
  std::string error;
  if (!ParseCliArguments(args, options, error)) {
    console.Err("tavex-cli: " + error + "\n" + CliUsage);
    return 2;
  }
  if (options.Help) {
    console.Out(CliUsage);
    return 0;
  }
  if (options.Version) {
    console.Out("tavex-cli " TAVEX_VERSION "\n");
    return 0;
  }

  std::unique_ptr<TSPIs> spis;
  try {
    spis = std::make_unique<TSPIs>();
    if (options.ListPlugins)
      spis->OnSkip = [&console](TObject*, const std::string& fileName, const std::string& reason) {
        console.Err("tavex-cli: skipped " + fileName + ": " + reason + "\n");
      };
    // A plug-in that failed in its host: the file goes on to the next one. Workers decoding
    // side by side may report at once.
    spis->OnPluginFailure = [&console, lock = std::make_shared<std::mutex>()](
                                TObject*, const std::string& fileName, const std::string& reason) {
      const std::lock_guard<std::mutex> guard(*lock);
      console.Err("tavex-cli: warning: " + fileName + ": " + reason + "\n");
    };
    SearchPlugins(*spis, options);
  } catch (const std::exception& e) {
    console.Err(ErrorBoxText(e.what()) + "\n");
    return 1;
  }
  if (options.ListPlugins) {
    for (int i = 0; i < spis->Count(); ++i) console.Out(PluginLine(*spis->Items(i)));
    return 0;
  }

  std::vector<std::filesystem::path> files;
  files.reserve(options.Files.size());
  for (const auto& name : options.Files) files.push_back(Utf8ToPath(name));

  TCliUI ui(options, console);
  try {
    RunBatch(ui, files, factory, options.Jobs);
  } catch (const std::bad_alloc&) {
    ui.EndProgress();
    console.Err(ErrorBoxText("Out of memory") + "\n");
    return 1;
  } catch (const std::exception& e) {
    // The text the window's error box would show.
    ui.EndProgress();
    console.Err(ErrorBoxText(e.what()) + "\n");
    return 1;
  }
  return ui.Refused() ? 1 : 0;
}
