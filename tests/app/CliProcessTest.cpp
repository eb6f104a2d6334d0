#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "app/BmpBuilder.h"
#include "jpeg/JPEGTestSupport.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

// The built program itself, run as a user runs it: arguments in, names out, exit status.
namespace {

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

std::string Quote(const std::string& s) {
  std::string q(1, '\'');
  for (char c : s) {
    if (c == '\'')
      q.append("'\\''");
    else
      q.push_back(c);
  }
  q.push_back('\'');
  return q;
}

TRun RunProgram(const std::vector<std::string>& args, const TTempDir& dir) {
  std::string command = Quote(TAVEX_CLI);
  for (const auto& a : args) {
    command.push_back(' ');
    command.append(Quote(a));
  }
  command.append(" 2>");
  command.append(Quote(PathToUtf8(dir / "stderr.txt")));
  TRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.Out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto err = ReadAllBytes(dir / "stderr.txt");
  run.Err.assign(err.begin(), err.end());
  std::filesystem::remove(dir / "stderr.txt");
  return run;
}

TEST(CliProgram, ConvertsAndPrintsTheOutputPaths) {
  TTempDir dir;
  const TBmpPicture picture = PatternPicture(12, 7, 8, false);
  WriteAllBytes(dir / "a.bmp", BuildBmp(picture));
  WriteAllBytes(dir / "b.bmp", BuildBmp(PatternPicture(5, 5, 24, true)));
  const TRun run = RunProgram({PathToUtf8(dir / "a.bmp"), PathToUtf8(dir / "b.bmp")}, dir);
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, PathToUtf8(dir / "_a.jpg") + "\n" + PathToUtf8(dir / "_b.jpg") + "\n");
  EXPECT_EQ(run.Err, "");  // not a terminal: no progress
  const auto ours = DecodeJPEG(ReadAllBytes(dir / "_a.jpg"));
  const auto reference = DecodeJPEG(ReferenceJPEG(12, 7, PictureRGB(picture)));
  ASSERT_EQ(ours.Error, "");
  EXPECT_TRUE(ours.Pixels == reference.Pixels);
}

TEST(CliProgram, ListsTavexsOwnPluginWithItsFormats) {
  TTempDir dir;
  const TRun run = RunProgram({"--list-plugins"}, dir);
  EXPECT_EQ(run.Status, 0) << run.Err;
  const std::string own = PathToUtf8(std::filesystem::path(TAVEX_CLI).parent_path() / "iftavex.spi") + "\t00IN\t";
  const auto at = run.Out.find(own);
  ASSERT_NE(at, std::string::npos) << run.Out;
  const std::string line = run.Out.substr(at, run.Out.find('\n', at) - at);
  for (const char* pattern : {"*.png", "*.gif", "*.tif", "*.webp"})
    EXPECT_NE(line.find(pattern), std::string::npos) << pattern << " in " << line;
}

TEST(CliProgram, FailuresAndUsage) {
  TTempDir dir;
  const std::string missing = PathToUtf8(dir / "missing.bmp");
  TRun run = RunProgram({missing}, dir);
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err.rfind("ファイル " + missing + " は開けません。 ", 0), 0u) << run.Err;

  run = RunProgram({"--method", "2", missing}, dir);
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "正しい保存先フォルダを指定してください\n");

  run = RunProgram({"--method", "5", missing}, dir);
  EXPECT_EQ(run.Status, 2);
  EXPECT_EQ(run.Err.rfind("tavex-cli: --method takes 0, 1 or 2", 0), 0u) << run.Err;

  run = RunProgram({"--list-plugins", "--plugin-dir", PathToUtf8(dir / "none")}, dir);
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out, "");

  run = RunProgram({"--version"}, dir);
  EXPECT_EQ(run.Status, 0);
  EXPECT_EQ(run.Out.rfind("tavex-cli ", 0), 0u);
}

// A folder with an image, a broken BMP and a text file, converted going on: the failure
// at once, the summary at the end, exit status 1.
TEST(CliProgram, KeepGoingOverAFolder) {
  TTempDir dir;
  std::filesystem::create_directory(dir / "pics");
  const auto bmp = BuildBmp(PatternPicture(6, 4, 24, false));
  WriteAllBytes(dir / "pics" / "a.bmp", bmp);
  WriteAllBytes(dir / "pics" / "broken.bmp", std::vector<unsigned char>(bmp.begin(), bmp.begin() + 40));
  WriteAllBytes(dir / "pics" / "notes.txt", {'n', 'o', 't', 'e', 's', '\n'});
  const TRun run = RunProgram({"--keep-going", "--keep-date", PathToUtf8(dir / "pics")}, dir);
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out, PathToUtf8(dir / "pics" / "_a.jpg") + "\n");
  EXPECT_EQ(run.Err, std::string("tavex-cli: ") + PathToUtf8(dir / "pics" / "broken.bmp") +
                         ": Susie Plugins could not decode.\n1 converted, 1 failed, 1 skipped\n")
      << run.Err;
  EXPECT_EQ(std::filesystem::last_write_time(dir / "pics" / "_a.jpg"),
            std::filesystem::last_write_time(dir / "pics" / "a.bmp"));
}

// Ctrl+C half-way through a long batch, sent as a terminal sends it, to the whole process
// group (the plug-in hosts included): the run ends with 130, every output it named is a
// complete JPEG, nothing else was written, no temporary is left and no file failed.
TEST(CliProgram, AnInterruptHalfWayLeavesOnlyCompleteJPEGs) {
  TTempDir dir;
  constexpr int Count = 150;
  const auto bmp = BuildBmp(PatternPicture(320, 200, 24, false));
  std::vector<std::string> args{TAVEX_CLI, "-j", "2", "--keep-going"};
  for (int i = 0; i < Count; ++i) {
    const auto name = dir / (std::string("p") + std::to_string(1000 + i) + ".bmp");
    WriteAllBytes(name, bmp);
    args.push_back(PathToUtf8(name));
  }
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string errFile = PathToUtf8(dir / "stderr.txt");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(out[1], STDOUT_FILENO);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, STDERR_FILENO);
    ::close(out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  bool interrupted = false;
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
    if (!interrupted && text.find('\n') != std::string::npos) {
      ::kill(-pid, SIGINT);
      interrupted = true;
    }
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  std::set<std::string> named;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    named.insert(text.substr(start, end - start));
  EXPECT_GE(named.size(), 1u);
  EXPECT_LT(named.size(), static_cast<std::size_t>(Count)) << "the batch ended before the interrupt";
  std::set<std::string> written;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = PathToUtf8(e.path().filename());
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    if (e.path().extension() != ".jpg") continue;
    written.insert(PathToUtf8(e.path()));
    const auto jpeg = DecodeJPEG(ReadAllBytes(e.path()));
    EXPECT_EQ(jpeg.Error, "") << name;
    EXPECT_EQ(jpeg.Width, 320) << name;
  }
  EXPECT_EQ(written, named);
  const auto err = ReadAllBytes(dir / "stderr.txt");
  EXPECT_EQ(std::string(err.begin(), err.end()),
            std::string("tavex-cli: interrupted\n") + std::to_string(named.size()) + " converted, 0 failed, 0 skipped\n");
}

}  // namespace
