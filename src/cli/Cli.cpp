#include "cli/Cli.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include "app/PluginPolicy.h"
#include "platform/Console.h"
#include "rtl/Text.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"

const char* const CliUsage =
    "Usage: tavex-cli [--method 0|1|2] [--dest DIR] [--plugin-dir DIR] [-j N]\n"
    "                 [--plugin-host on|off] [--plugin-timeout S] [--subfolders]\n"
    "                 [--keep-going] [--keep-date] [--keep-metadata] FILE...\n"
    "       tavex-cli --list-plugins [--plugin-dir DIR] [--plugin-host on|off]\n"
    "Converts each image FILE, in the order given, to a baseline JPEG of quality 90\n"
    "named after it with the extension \".jpg\". A FILE that is a folder stands for\n"
    "the files in it, in name order; hidden files, and files that no decoder knows,\n"
    "are passed over.\n"
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
    "  --subfolders      a folder's subfolders too, files before subfolders; method 2\n"
    "                    writes them into the same folders under DIR, the given\n"
    "                    folder's own name first\n"
    "  --keep-going      go on after a file that fails: its message goes to standard\n"
    "                    error at once, and at the end the line \"N converted, M\n"
    "                    failed, K skipped\" does too; the exit status is 1 if any\n"
    "                    file failed\n"
    "  --keep-date       give each output its source's modification time\n"
    "  --keep-metadata   carry the source's EXIF, XMP and colour profile over\n"
    "  --list-plugins    list the plug-ins that were loaded (path, API version,\n"
    "                    description, filters), one a line; each plug-in file\n"
    "                    that was left out, and why, goes to standard error\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Each output path is written to standard output as soon as the file is saved.\n"
    "The first file that fails ends the run: its message goes to standard error and\n"
    "the exit status is 1 (2 for a wrong command line). Ctrl+C, or the console\n"
    "closing, stops the run once the files under way are saved, with no temporary\n"
    "file left behind and exit status 130.\n";

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

// The switches of the batch settings.
bool TBatchSettings::*BatchFlag(std::string_view arg) {
  static constexpr std::pair<std::string_view, bool TBatchSettings::*> Flags[] = {
      {"--subfolders", &TBatchSettings::IncludeSubfolders},
      {"--keep-going", &TBatchSettings::KeepGoing},
      {"--keep-date", &TBatchSettings::KeepFileDate},
      {"--keep-metadata", &TBatchSettings::KeepMetadata},
  };
  for (const auto& [name, member] : Flags)
    if (arg == name) return member;
  return nullptr;
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
  bool Cancelled() override { return FConsole.Interrupted(); }
  void FileFailed(const std::filesystem::path& source, const std::string& message) override {
    EndProgress();
    FConsole.Err(std::string("tavex-cli: ") + PathToUtf8(source) + ": " + ErrorBoxText(message) + "\n");
  }
  // Each failure was told as it happened; the summary line follows the batch.
  void ShowFailures(const TBatchResult&) override {}
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
    if (bool TBatchSettings::*flag = BatchFlag(arg)) {
      options.Batch.*flag = true;
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
bool TSystemConsole::Interrupted() { return platform::Interrupted(); }

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
  TBatchResult result;
  try {
    result = RunBatch(ui, files, factory ? factory : ProgramConversionFactory(options.Batch.KeepMetadata), options.Jobs,
                      options.Batch);
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
  if (result.Cancelled) console.Err("tavex-cli: interrupted\n");
  if (options.Batch.KeepGoing && !ui.Refused())
    console.Err(std::to_string(result.Converted) + " converted, " + std::to_string(result.Failures.size()) +
                " failed, " + std::to_string(result.Skipped) + " skipped\n");
  if (result.Cancelled) return InterruptedExitCode;
  return ui.Refused() || !result.Failures.empty() ? 1 : 0;
}
