// The program file itself: its manifest and its version resource; the program started
// with files, alone and while a copy of it runs.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "Win32TestSupport.h"
#include "app/win32/SingleInstance.h"
#include "jpeg/JPEGTestSupport.h"
#include "platform/win32/WinHeaders.h"
#include "support/TempDir.h"

namespace {

std::wstring ProgramPath() {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"Tavex.exe";  // built beside the tests
}

std::string Resource(HMODULE module, LPCWSTR type, LPCWSTR name) {
  HRSRC info = ::FindResourceW(module, name, type);
  if (!info) return {};
  HGLOBAL data = ::LoadResource(module, info);
  const auto* bytes = static_cast<const char*>(::LockResource(data));
  return bytes ? std::string(bytes, ::SizeofResource(module, info)) : std::string();
}

TEST(Program, ManifestAsksForNoElevationCommonControls6PerMonitorDpiAndLongPathsButNotTheUtf8CodePage) {
  HMODULE exe = ::LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr) << "Tavex.exe not found beside the tests";
  const std::string manifest = Resource(exe, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  ::FreeLibrary(exe);
  ASSERT_FALSE(manifest.empty());
  for (const char* wanted : {"level=\"asInvoker\"", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             "PerMonitorV2", "<longPathAware", ">true</longPathAware>"})
    EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
  EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
  EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

// ---- The program run as the shell runs it

// Tavex.exe copied into a folder of its own, so that its settings file and the copies it
// hands files to are the test's alone.
class ProgramRun : public testing::Test {
protected:
  ProgramRun() : Exe(Dir / "Tavex.exe") { std::filesystem::copy_file(ProgramPath(), Exe); }
  ~ProgramRun() override {
    for (const PROCESS_INFORMATION& p : FStarted) {
      if (::WaitForSingleObject(p.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(p.hProcess, 99);
      ::WaitForSingleObject(p.hProcess, 10000);
      ::CloseHandle(p.hProcess);
      ::CloseHandle(p.hThread);
    }
  }

  // Starts the program with the files as its arguments, as Send To does, in its folder.
  const PROCESS_INFORMATION& Start(const std::vector<std::filesystem::path>& files) {
    std::wstring commandLine = L"\"" + Exe.wstring() + L"\"";
    for (const std::filesystem::path& f : files) commandLine += L" \"" + f.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(::CreateProcessW(Exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 Dir.Path().c_str(), &startup, &process));
    FStarted.push_back(process);
    return FStarted.back();
  }

  // The window a process marked as ready for files, or null after the time is up.
  HWND WaitForWindow(DWORD processId, DWORD milliseconds = 60000) const {
    const std::wstring name = InstanceName(Exe);
    for (const ULONGLONG end = ::GetTickCount64() + milliseconds; ::GetTickCount64() < end; ::Sleep(50)) {
      HWND window = FindInstanceWindow(name);
      DWORD owner = 0;
      if (window) ::GetWindowThreadProcessId(window, &owner);
      if (window && owner == processId && ::IsWindowVisible(window)) return window;
    }
    return nullptr;
  }

  // The exit code, or STILL_ACTIVE when the process runs on after the time is up.
  static DWORD WaitForExit(const PROCESS_INFORMATION& process, DWORD milliseconds = 60000) {
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0) ::GetExitCodeProcess(process.hProcess, &code);
    return code;
  }

  // Outputs appear whole (each is moved into place in one step).
  static bool WaitForFiles(const std::vector<std::filesystem::path>& files, DWORD milliseconds = 60000) {
    for (const ULONGLONG end = ::GetTickCount64() + milliseconds; ::GetTickCount64() < end; ::Sleep(50)) {
      bool all = true;
      for (const std::filesystem::path& f : files) all = all && std::filesystem::exists(f);
      if (all) return true;
    }
    return false;
  }

  // Three sources, with Japanese names and blanks; their outputs under save method 0.
  std::vector<std::filesystem::path> MakeSources() {
    std::filesystem::create_directory(Dir / L"写真 フォルダ");
    const std::vector<std::filesystem::path> sources = {Dir / L"写真 フォルダ" / L"猫 1.bmp", Dir / L"b c.bmp",
                                                        Dir / L"d.bmp"};
    for (const std::filesystem::path& s : sources) WriteAllBytes(s, TinyBmp());
    return sources;
  }
  static std::vector<std::filesystem::path> Outputs(const std::vector<std::filesystem::path>& sources) {
    std::vector<std::filesystem::path> outputs;
    for (const std::filesystem::path& s : sources)
      outputs.push_back(s.parent_path() / (L"_" + s.stem().wstring() + L".jpg"));
    return outputs;
  }
  size_t JpegCount() const {
    size_t n = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(Dir.Path())) n += e.path().extension() == ".jpg";
    return n;
  }
  static void ExpectTinyJpegs(const std::vector<std::filesystem::path>& outputs) {
    for (const std::filesystem::path& o : outputs) {
      const TDecodedJPEG jpeg = DecodeJPEG(ReadAllBytes(o));
      EXPECT_EQ(jpeg.Error, "") << o;
      EXPECT_EQ(jpeg.Width, 2) << o;
      EXPECT_EQ(jpeg.Height, 2) << o;
    }
  }
  // Closes the window as its close box does; the program writes its settings and ends.
  void Close(const PROCESS_INFORMATION& process, HWND window) const {
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(process), 0u);
    const std::vector<unsigned char> ini = ReadAllBytes(Dir / "Tavex.ini");
    EXPECT_NE(std::string(ini.begin(), ini.end()).find("[Config]\r\nHowSave=0\r\n"), std::string::npos);
  }

  TTempDir Dir;
  std::filesystem::path Exe;

private:
  std::deque<PROCESS_INFORMATION> FStarted;  // Start hands out references
};

TEST_F(ProgramRun, FilesOnTheCommandLineAreConvertedOnceTheWindowIsUpAndNoneMeansNothing) {
  const std::vector<std::filesystem::path> sources = MakeSources();
  for (const bool withFiles : {false, true}) {
    SCOPED_TRACE(withFiles ? "three files" : "no files");
    const PROCESS_INFORMATION& program = Start(withFiles ? sources : std::vector<std::filesystem::path>{});
    HWND window = WaitForWindow(program.dwProcessId);
    ASSERT_NE(window, nullptr);
    if (withFiles) {
      ASSERT_TRUE(WaitForFiles(Outputs(sources)));
      ExpectTinyJpegs(Outputs(sources));
    }
    Close(program, window);
    EXPECT_EQ(JpegCount(), withFiles ? 3u : 0u);
  }
}

TEST_F(ProgramRun, ASecondCopyHandsItsFilesToTheRunningWindowAndEndsWithoutAWindow) {
  const std::vector<std::filesystem::path> sources = MakeSources();
  const PROCESS_INFORMATION& first = Start({});
  HWND window = WaitForWindow(first.dwProcessId);
  ASSERT_NE(window, nullptr);
  for (const bool withFiles : {false, true}) {
    SCOPED_TRACE(withFiles ? "three files" : "no files");
    const PROCESS_INFORMATION& second = Start(withFiles ? sources : std::vector<std::filesystem::path>{});
    // A copy that opened a window of its own would run until someone closed it.
    EXPECT_EQ(WaitForExit(second), 0u);
    if (withFiles) {
      ASSERT_TRUE(WaitForFiles(Outputs(sources)));
      ExpectTinyJpegs(Outputs(sources));
    }
    EXPECT_EQ(JpegCount(), withFiles ? 3u : 0u);
    EXPECT_EQ(WaitForExit(first, 0), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(FindInstanceWindow(InstanceName(Exe)), window);
  }
  Close(first, window);
}

}  // namespace
