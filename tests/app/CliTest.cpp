#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "cli/Cli.h"
#include "platform/Console.h"
#include "platform/Folders.h"
#include "spi/SPIBmp.h"
#include "spi/SPIs.h"
#include "rtl/Exception.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

namespace {

// A console that keeps both streams, and the order of everything written.
class TRecordingConsole : public TCliConsole {
public:
  bool Terminal = false;
  std::string OutText, ErrText;
  std::vector<std::string> Events;
  int InterruptAfterOutputs = -1;  // Ctrl+C once that many lines went to standard output
  int Outputs = 0;
  void Out(std::string_view text) override {
    OutText += text;
    ++Outputs;
    Events.push_back("out " + std::string(text));
  }
  bool Interrupted() override { return InterruptAfterOutputs >= 0 && Outputs >= InterruptAfterOutputs; }
  void Err(std::string_view text) override {
    ErrText += text;
    Events.push_back("err " + std::string(text));
  }
  bool ErrIsTerminal() override { return Terminal; }
};

// Writes two bytes under the output name; fails to load any source named "bad*"; no
// decoder knows a ".txt".
class TTinyConversion : public TFileConversion {
public:
  explicit TTinyConversion(std::vector<std::string>& loaded) : FLoaded(loaded) {}
  void Load(const std::filesystem::path& source) override {
    const std::string name = PathToUtf8(source.filename());
    FLoaded.push_back(name);
    if (name.rfind("bad", 0) == 0) throw EInvalidGraphic("Susie Plugins could not decode");
    if (source.extension() == ".txt") throw EUnclaimedGraphic("Susie Plugins could not decode");
  }
  void Save(const std::filesystem::path& output) override { WriteAllBytes(output, {0xFF, 0xD8}); }

private:
  std::vector<std::string>& FLoaded;
};

class CliRun : public ::testing::Test {
protected:
  TTempDir Dir;
  TRecordingConsole Console;
  std::vector<std::string> Loaded;
  std::string File(const char* name) {
    WriteAllBytes(Dir / name, {1});
    return PathToUtf8(Dir / name);
  }
  int Run(const std::vector<std::string>& args) {
    return RunCli(args, Console, [this] { return std::make_unique<TTinyConversion>(Loaded); });
  }
};

TEST_F(CliRun, WritesEachOutputPathOnItsOwnLine) {
  const auto a = File("a.bmp"), b = File("b.bmp");
  EXPECT_EQ(Run({a, b}), 0);
  EXPECT_EQ(Console.OutText, PathToUtf8(Dir / "_a.jpg") + "\n" + PathToUtf8(Dir / "_b.jpg") + "\n");
  EXPECT_EQ(Console.ErrText, "");
  // One write per name, so each line leaves as soon as its file is saved.
  EXPECT_EQ(Console.Events.size(), 2u);
}

TEST_F(CliRun, MethodsPlaceTheOutputs) {
  std::filesystem::create_directory(Dir / "out");
  const auto a = File("a.bmp");
  EXPECT_EQ(Run({"--method", "1", a}), 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "a.jpg"));
  EXPECT_EQ(Run({"--method=2", "--dest", PathToUtf8(Dir / "out"), a}), 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "out" / "a.jpg"));
  EXPECT_EQ(Run({a, "--method", "0"}), 0);
  EXPECT_TRUE(std::filesystem::exists(Dir / "_a.jpg"));
}

TEST_F(CliRun, StopsAtTheFirstFailureWithTheErrorBoxText) {
  const auto a = File("a.bmp"), bad = File("bad.bmp"), c = File("c.bmp");
  EXPECT_EQ(Run({a, bad, c}), 1);
  EXPECT_EQ(Console.OutText, PathToUtf8(Dir / "_a.jpg") + "\n");
  EXPECT_EQ(Console.ErrText, "Susie Plugins could not decode.\n");
  EXPECT_EQ(Loaded, (std::vector<std::string>{"a.bmp", "bad.bmp"}));
  EXPECT_FALSE(std::filesystem::exists(Dir / "_c.jpg"));
}

// Keep-going's lines on standard error and its exit status; a folder's unknown files
// skipped with it or without it; a destination refused before anything.
TEST_F(CliRun, KeepGoingReportsEachFailureAndEndsWithTheSummary) {
  const auto a = File("a.bmp"), bad1 = File("bad1.bmp"), c = File("c.bmp"), bad2 = File("bad2.bmp"),
             given = File("given.txt");
  std::filesystem::create_directory(Dir / "pics");
  const std::string pics = PathToUtf8(Dir / "pics");
  WriteAllBytes(Dir / "pics" / "p.bmp", {1});
  WriteAllBytes(Dir / "pics" / "x.txt", {1});
  const std::string outA = PathToUtf8(Dir / "_a.jpg") + "\n", outC = PathToUtf8(Dir / "_c.jpg") + "\n",
                    outP = PathToUtf8(Dir / "pics" / "_p.jpg") + "\n";
  struct TCase {
    std::vector<std::string> Args;
    int Code;
    std::string Out, Err;
  } cases[] = {
      {{"--keep-going", a, bad1, c, bad2},
       1,
       outA + outC,
       "tavex-cli: " + bad1 + ": Susie Plugins could not decode.\ntavex-cli: " + bad2 +
           ": Susie Plugins could not decode.\n2 converted, 2 failed, 0 skipped\n"},
      {{"--keep-going", "-j", "3", pics, a}, 0, outP + outA, "2 converted, 0 failed, 1 skipped\n"},
      {{pics}, 0, outP, ""},
      {{"--keep-going", given}, 1, "", "tavex-cli: " + given + ": Susie Plugins could not decode.\n0 converted, 1 failed, 0 skipped\n"},
      {{given, a}, 1, "", "Susie Plugins could not decode.\n"},
      {{"--keep-going", "--method", "2", "--dest", PathToUtf8(Dir / "none"), a},
       1,
       "",
       "正しい保存先フォルダを指定してください\n"},
  };
  for (const TCase& c2 : cases) {
    SCOPED_TRACE(c2.Args.front());
    Console = TRecordingConsole{};
    for (const auto& e : std::filesystem::recursive_directory_iterator(Dir.Path()))
      if (e.path().extension() == ".jpg") std::filesystem::remove(e.path());
    EXPECT_EQ(Run(c2.Args), c2.Code);
    EXPECT_EQ(Console.OutText, c2.Out);
    EXPECT_EQ(Console.ErrText, c2.Err);
  }
}

// Ctrl+C after the first output: the next file is never read, the run says so and exits
// with 130; keep-going's summary counts what was done.
TEST_F(CliRun, AnInterruptStopsAfterTheFileInProgress) {
  const auto a = File("a.bmp"), b = File("b.bmp"), c = File("c.bmp");
  for (const bool keepGoing : {false, true}) {
    Console = TRecordingConsole{};
    Console.InterruptAfterOutputs = 1;
    Loaded.clear();
    std::vector<std::string> args{"-j", "1", a, b, c};
    if (keepGoing) args.insert(args.begin(), "--keep-going");
    EXPECT_EQ(Run(args), InterruptedExitCode);
    EXPECT_EQ(Loaded, std::vector<std::string>{"a.bmp"});
    EXPECT_EQ(Console.OutText, PathToUtf8(Dir / "_a.jpg") + "\n");
    EXPECT_EQ(Console.ErrText,
              std::string("tavex-cli: interrupted\n") + (keepGoing ? "1 converted, 0 failed, 0 skipped\n" : ""));
    std::filesystem::remove(Dir / "_a.jpg");
  }
}

// The OS's interrupts only raise the flag; the close of the console waits for the program
// to be done where the OS would end it on return (Windows).
TEST(ConsoleInterrupts, RaiseTheFlagAndTheCloseWaitsUntilHandled) {
  platform::CatchInterrupts();
  platform::ClearInterrupt();
  TSystemConsole console;
  EXPECT_FALSE(console.Interrupted());
  platform::RaiseInterrupt(platform::TInterrupt::CtrlC);
  EXPECT_TRUE(console.Interrupted());
  platform::ClearInterrupt();
  EXPECT_FALSE(console.Interrupted());
  std::atomic<bool> returned{false};
  std::thread closing([&] {
    platform::RaiseInterrupt(platform::TInterrupt::ConsoleClosed);
    returned = true;
  });
  while (!console.Interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
#ifdef _WIN32
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned) << "the process would end before the program is done";
#endif
  platform::InterruptHandled();
  closing.join();
  EXPECT_TRUE(returned);
  platform::ReleaseInterrupts();
  platform::ClearInterrupt();
}

TEST_F(CliRun, FolderMethodWithoutAValidDestination) {
  const auto a = File("a.bmp");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--method", "2", a}, {"--method", "2", "--dest", "", a},
        {"--method", "2", "--dest", a, a}, {"--method", "2", "--dest", PathToUtf8(Dir / "none"), a}}) {
    Console = TRecordingConsole{};
    EXPECT_EQ(Run(args), 1);
    EXPECT_EQ(Console.ErrText, "正しい保存先フォルダを指定してください\n");
    EXPECT_EQ(Console.OutText, "");
  }
  EXPECT_TRUE(Loaded.empty());
}

TEST_F(CliRun, ProgressOnlyOnATerminal) {
  const auto a = File("a.bmp"), b = File("b.bmp");
  Console.Terminal = true;
  EXPECT_EQ(Run({a, b}), 0);
  EXPECT_NE(Console.ErrText.find("1/2"), std::string::npos);
  EXPECT_NE(Console.ErrText.find("2/2"), std::string::npos);
  // The standard output holds nothing but the names.
  EXPECT_EQ(Console.OutText, PathToUtf8(Dir / "_a.jpg") + "\n" + PathToUtf8(Dir / "_b.jpg") + "\n");
  // The progress line is wiped before each name and at the end.
  EXPECT_EQ(Console.ErrText.back(), '\r');
}

TEST_F(CliRun, UsageErrorsExitWithTwo) {
  const auto a = File("a.bmp");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "tavex-cli: no files to convert\n"},
      {{"--method", "3", a}, "tavex-cli: --method takes 0, 1 or 2, not \"3\"\n"},
      {{"--method", "01", a}, "tavex-cli: --method takes 0, 1 or 2, not \"01\"\n"},
      {{a, "--method"}, "tavex-cli: option --method needs a value\n"},
      {{a, "--dest"}, "tavex-cli: option --dest needs a value\n"},
      {{"--plugin-dir"}, "tavex-cli: option --plugin-dir needs a value\n"},
      {{"--frobnicate", a}, "tavex-cli: unknown option \"--frobnicate\"\n"},
      {{"--keep-going=1", a}, "tavex-cli: unknown option \"--keep-going=1\"\n"},
      {{"--method", "1"}, "tavex-cli: no files to convert\n"},
      {{a, "-j"}, "tavex-cli: option -j needs a value\n"},
      {{"-j", "0", a}, "tavex-cli: -j takes a number from 1 to 64, not \"0\"\n"},
      {{"-j65", a}, "tavex-cli: -j takes a number from 1 to 64, not \"65\"\n"},
      {{"-j", "02", a}, "tavex-cli: -j takes a number from 1 to 64, not \"02\"\n"},
      {{"-jx", a}, "tavex-cli: -j takes a number from 1 to 64, not \"x\"\n"},
      {{"--plugin-host", "yes", a}, "tavex-cli: --plugin-host takes on or off, not \"yes\"\n"},
      {{"--plugin-timeout", "0", a}, "tavex-cli: --plugin-timeout takes a number of seconds from 1 to 3600, not \"0\"\n"},
      {{"--plugin-timeout", "3601", a}, "tavex-cli: --plugin-timeout takes a number of seconds from 1 to 3600, not \"3601\"\n"},
  };
  for (const auto& [args, first] : cases) {
    Console = TRecordingConsole{};
    EXPECT_EQ(Run(args), 2);
    EXPECT_EQ(Console.ErrText, first + CliUsage);
    EXPECT_EQ(Console.OutText, "");
  }
  EXPECT_TRUE(Loaded.empty());
}

TEST_F(CliRun, HelpAndVersion) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_EQ(Console.OutText, CliUsage);
  Console = TRecordingConsole{};
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(Console.OutText, "tavex-cli " TAVEX_VERSION "\n");
  EXPECT_EQ(Console.ErrText, "");
}

// The test plug-ins lie in test-plugins/ beside bin/.
std::filesystem::path TestPlugin(const std::string& variant) {
  return platform::ExeFileName().parent_path().parent_path() / "test-plugins" / (variant + ".spi");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(CliRun, ListPluginsShowsWhatTheProgramsPolicyKeepsAndWhyTheRestWasLeftOut) {
  TTempDir plugins;
  const std::string folder = AppendBackslash(PathToUtf8(plugins.Path()));
  const std::pair<const char*, const char*> copies[] = {
      {"pngtif", "ifpng.spi"}, {"bmp", "ifbmp.spi"}, {"nopicture", "broken.spi"}, {"archiver", "axarc.spi"}};
  for (const auto& [variant, name] : copies) std::filesystem::copy_file(TestPlugin(variant), plugins / name);
  EXPECT_EQ(Run({"--list-plugins", "--plugin-dir", PathToUtf8(plugins.Path())}), 0);
  EXPECT_EQ(Console.OutText, folder + "ifpng.spi\t00IN\tTavex test PNG/TIFF\t*.png;*.tif (PNG and TIFF images)\n");
  EXPECT_EQ(Lines(Console.ErrText),
            (std::vector<std::string>{
                "tavex-cli: skipped " + folder + "axarc.spi: not kept: API version \"00AM\"",
                "tavex-cli: skipped " + folder + "broken.spi: GetPictureは[" + folder +
                    "broken.spi]では使えないSusie Plugin APIです",
                "tavex-cli: skipped " + folder + "ifbmp.spi: refused by name",
            }));
  EXPECT_TRUE(Loaded.empty());
}

// A plug-in that crashes in its host is a warning on standard error; each file goes on to
// the next plug-in and is converted. In the program itself the crash would end the run.
TEST_F(CliRun, APluginCrashingInItsHostIsAWarningAndEachFileGoesOn) {
  TTempDir plugins;
  std::filesystem::copy_file(TestPlugin("bad-null"), plugins / "a-crash.spi");
  std::filesystem::copy_file(TestPlugin("bad-marked"), plugins / "b-good.spi");
  std::vector<std::string> args{"--plugin-host", "on", "--plugin-timeout", "5", "--plugin-dir",
                                PathToUtf8(plugins.Path())};
  for (const char* name : {"f1.bad", "f2.bad"}) {
    WriteAllBytes(Dir / name, {'B', 'A', 'D', '!', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    args.push_back(PathToUtf8(Dir / name));
  }
  EXPECT_EQ(RunCli(args, Console, NewProgramConversion), 0) << Console.ErrText;
  EXPECT_EQ(Console.OutText, PathToUtf8(Dir / "_f1.jpg") + "\n" + PathToUtf8(Dir / "_f2.jpg") + "\n");
  const std::string warning = "tavex-cli: warning: " + AppendBackslash(PathToUtf8(plugins.Path())) +
                              "a-crash.spi: the plug-in stopped: page fault at 0x0";
  EXPECT_EQ(Lines(Console.ErrText), (std::vector<std::string>{warning, warning}));
}

TEST_F(CliRun, ListPluginsFindsTavexsOwnPluginBesideTheProgram) {
  EXPECT_EQ(Run({"--list-plugins"}), 0);
  const std::string own = PathToUtf8(platform::ExeFileName().parent_path() / "iftavex");
  std::string line;
  for (const std::string& l : Lines(Console.OutText))
    if (l.rfind(own, 0) == 0) line = l;
  ASSERT_FALSE(line.empty()) << Console.OutText << Console.ErrText;
  EXPECT_NE(line.find("\t00IN\t"), std::string::npos) << line;
  for (const char* pattern : {"*.png", "*.gif", "*.tif", "*.webp"})
    EXPECT_NE(line.find(pattern), std::string::npos) << pattern << " in " << line;
}

TEST(CliArguments, OptionsAndFiles) {
  TCliOptions options;
  std::string error;
  ASSERT_TRUE(ParseCliArguments({"x.bmp", "--method", "2", "--dest=D:\\out", "--plugin-dir", "spi", "--", "--y.bmp",
                                 "-"},
                                options, error))
      << error;
  EXPECT_EQ(options.Method, 2);
  EXPECT_EQ(options.Dest, "D:\\out");
  EXPECT_TRUE(options.HasPluginDir);
  EXPECT_EQ(options.PluginDir, "spi");
  EXPECT_EQ(options.Files, (std::vector<std::string>{"x.bmp", "--y.bmp", "-"}));
  // A destination is taken as typed, spaces and all.
  ASSERT_TRUE(ParseCliArguments({"--dest", " a b ", "f"}, options, error));
  EXPECT_EQ(options.Dest, " a b ");
  EXPECT_EQ(options.Method, 0);
  EXPECT_FALSE(options.HasPluginDir);
  EXPECT_EQ(options.Jobs, 0);
  EXPECT_EQ(options.Batch, TBatchSettings{});
  ASSERT_TRUE(ParseCliArguments({"--keep-date", "f", "--subfolders"}, options, error));
  EXPECT_EQ(options.Batch, (TBatchSettings{.IncludeSubfolders = true, .KeepFileDate = true}));
  ASSERT_TRUE(ParseCliArguments({"--keep-going", "--keep-metadata", "f"}, options, error));
  EXPECT_EQ(options.Batch, (TBatchSettings{.KeepGoing = true, .KeepMetadata = true}));
  for (const auto& [args, jobs] : {std::pair{std::vector<std::string>{"-j", "1", "f"}, 1},
                                   std::pair{std::vector<std::string>{"f", "-j64"}, 64}}) {
    ASSERT_TRUE(ParseCliArguments(args, options, error)) << error;
    EXPECT_EQ(options.Jobs, jobs);
    EXPECT_EQ(options.Files, std::vector<std::string>{"f"});
  }
}

}  // namespace
