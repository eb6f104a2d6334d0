#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

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

}  // namespace
