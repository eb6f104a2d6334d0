#include "app/win32/ShellHelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Win32TestSupport.h"
#include "app/win32/Forms.h"
#include "rtl/Exception.h"
#include "support/TempDir.h"

namespace {

TEST(ApplicationTitle, IsTheExeNameWithoutFolderCutBeforeTheFirstDotLowerCasedAfterTheFirstCharacter) {
  struct TCase {
    const wchar_t* Exe;
    const wchar_t* Title;
  };
  for (const TCase& c : {TCase{L"C:\\Program Files\\Tavex\\Tavex.exe", L"Tavex"}, TCase{L"C:\\x\\TAVEX.EXE", L"Tavex"},
                         TCase{L"c:\\x\\tavex.exe", L"tavex"}, TCase{L"C:\\x.y\\My.Tool.exe", L"My"},
                         TCase{L"C:\\x\\NoExt", L"Noext"}, TCase{L"C:\\x\\ÄÖÜ.exe", L"Äöü"},
                         TCase{L"\\\\srv\\share\\A", L"A"}, TCase{L"D:Run.exe", L"Run"}})
    EXPECT_EQ(Application::TitleFromExeName(c.Exe), c.Title) << c.Exe;
}

TEST(ApplicationTitle, OfTheTestProgramFollowsItsExeName) { EXPECT_EQ(Application::Title(), L"win32_tests"); }

TEST(ApplicationExceptionBox, AppendsAFullStopAfterCharactersAboveItAndShowsNothingForAnAbort) {
  TRecordedShell shell;
  struct TCase {
    std::string Message;
    std::wstring Text;
  };
  for (const TCase& c : {TCase{"Cannot open", L"Cannot open."}, TCase{"done.", L"done."}, TCase{"space ", L"space "},
                         TCase{"画像。", L"画像。."}, TCase{"x!", L"x!"}, TCase{"", L""}}) {
    shell.Boxes.clear();
    Application::ShowException(Exception(c.Message));
    ASSERT_EQ(shell.Boxes.size(), 1u) << c.Message;
    EXPECT_EQ(shell.Boxes[0].Text, c.Text) << c.Message;
    EXPECT_EQ(shell.Boxes[0].Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
  }
  shell.Boxes.clear();
  Application::ShowException(EAbort("quiet"));
  EXPECT_TRUE(shell.Boxes.empty());
}

TEST(BeepMessage, BeepsTheExclamationThenShowsTheTextWithOkUnderTheTitle) {
  TRecordedShell shell;
  BeepMessage(L"正しい保存先フォルダを指定してください");
  ASSERT_EQ(shell.Beeps.size(), 1u);
  EXPECT_EQ(shell.Beeps[0], 48u);
  ASSERT_EQ(shell.Boxes.size(), 1u);
  EXPECT_EQ(shell.Boxes[0].Text, L"正しい保存先フォルダを指定してください");
  EXPECT_EQ(shell.Boxes[0].Caption, L"win32_tests");
  EXPECT_EQ(shell.Boxes[0].Type, static_cast<UINT>(MB_OK));
}

// The real box, closed by a timer that runs inside its modal loop.
std::wstring seenCaption, seenText;
bool boxClosed;

void CALLBACK CloseTheBox(HWND, UINT, UINT_PTR, DWORD) {
  HWND box = ::FindWindowW(L"#32770", Application::Title().c_str());
  if (!box || boxClosed) return;
  wchar_t text[128] = {};
  ::GetWindowTextW(box, text, 128);
  seenCaption = text;
  // The text is the one static control that holds something.
  for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[32] = {}, t[128] = {};
    ::GetClassNameW(child, cls, 32);
    ::GetWindowTextW(child, t, 128);
    if (std::wstring(cls) == L"Static" && t[0]) seenText = t;
  }
  boxClosed = true;
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
}

TEST(BeepMessage, ShowsARealModalBoxThatReturnsWhenClosed) {
  seenCaption.clear();
  seenText.clear();
  boxClosed = false;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, CloseTheBox);
  ASSERT_NE(timer, 0u);
  BeepMessage(L"画像ファイルをドロップ");
  ::KillTimer(nullptr, timer);
  EXPECT_TRUE(boxClosed);
  EXPECT_EQ(seenCaption, L"win32_tests");
  EXPECT_EQ(seenText, L"画像ファイルをドロップ");
}

TEST(BrowseForFolder, PassesOwnerTitleCallbackAndInitialFolderAndReturnsEmptyOnCancel) {
  TRecordedShell shell;
  HWND owner = ::GetDesktopWindow();
  EXPECT_EQ(BrowseForFolder(L"C:\\start", L"保存先の選択", owner, true, false), L"");
  ASSERT_EQ(shell.Browses.size(), 1u);
  EXPECT_EQ(shell.Browses[0].Owner, owner);
  EXPECT_EQ(shell.Browses[0].Title, L"保存先の選択");
  EXPECT_EQ(shell.Browses[0].InitialFolder, L"C:\\start");
  EXPECT_TRUE(shell.Browses[0].HasCallback);
  EXPECT_TRUE(shell.Browses[0].HasDisplayName);
}

// The flags the shell gets for each pair of switches: file-system folders with status
// text always; the edit box and the new dialog style with the new style; including files
// brings both along.
TEST(BrowseForFolder, FlagsReachingTheShellFollowTheTwoSwitches) {
  struct TCase {
    bool NewStyle, IncludeFiles;
    UINT Flags;
  };
  for (const TCase c : {TCase{true, false, 0x55}, TCase{false, false, 0x05}, TCase{false, true, 0x4055},
                        TCase{true, true, 0x4055}}) {
    TRecordedShell shell;
    BrowseForFolder(L"", L"t", nullptr, c.NewStyle, c.IncludeFiles);
    ASSERT_EQ(shell.Browses.size(), 1u);
    EXPECT_EQ(shell.Browses[0].Flags, c.Flags) << c.NewStyle << c.IncludeFiles;
  }
}

TEST(BrowseForFolder, ReturnsTheFileSystemPathOfThePick) {
  TRecordedShell shell;
  TTempDir dir;
  std::filesystem::create_directory(dir / "出力");
  shell.Pick = dir / "出力";
  const std::wstring picked = BrowseForFolder(L"", L"t", nullptr, true, false);
  EXPECT_EQ(std::filesystem::path(picked), std::filesystem::path(dir / "出力").make_preferred());
}

// A stand-in for the browser dialog that keeps what the callback sends it.
struct TSent {
  UINT Msg;
  WPARAM WParam;
  std::wstring Text;
};
std::vector<TSent>& Sent() {
  static std::vector<TSent> sent;
  return sent;
}
LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == BFFM_SETSELECTIONW || msg == BFFM_SETSTATUSTEXTW) {
    Sent().push_back({msg, wParam, lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"(null)"});
    return 0;
  }
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST(BrowseForFolder, CallbackOpensOnTheInitialFolderAndShowsTheSelectionAsStatusText) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TavexBrowseStandIn";
  ::RegisterClassW(&wc);
  HWND dialog = ::CreateWindowW(L"TavexBrowseStandIn", L"", 0, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(dialog, nullptr);
  Sent().clear();
  TTempDir dir;
  const std::wstring initial = L"C:\\初期";
  EXPECT_EQ(BrowseForFolderCallback(dialog, BFFM_INITIALIZED, 0, reinterpret_cast<LPARAM>(initial.c_str())), 0);
  PIDLIST_ABSOLUTE item = ::ILCreateFromPathW(dir.Path().c_str());
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(BrowseForFolderCallback(dialog, BFFM_SELCHANGED, reinterpret_cast<LPARAM>(item), 0), 0);
  ::CoTaskMemFree(item);
  EXPECT_EQ(BrowseForFolderCallback(dialog, BFFM_VALIDATEFAILEDW, 0, 0), 0);
  ::DestroyWindow(dialog);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0].Msg, static_cast<UINT>(BFFM_SETSELECTIONW));
  EXPECT_EQ(Sent()[0].WParam, static_cast<WPARAM>(TRUE));
  EXPECT_EQ(Sent()[0].Text, initial);
  EXPECT_EQ(Sent()[1].Msg, static_cast<UINT>(BFFM_SETSTATUSTEXTW));
  EXPECT_EQ(Sent()[1].WParam, 0u);
  EXPECT_EQ(std::filesystem::path(Sent()[1].Text), std::filesystem::path(dir.Path()).make_preferred());
}

TEST(ForceForeground, AWindowOfTheForegroundThreadIsBroughtUpWithoutAttachingInput) {
  TRecordedShell shell;
  HWND window = ::CreateWindowW(L"STATIC", L"", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  ::SetForegroundWindow(window);
  if (::GetForegroundWindow() != window) {
    ::DestroyWindow(window);
    GTEST_SKIP() << "the display gives this thread no foreground window";
  }
  EXPECT_TRUE(ForceForeground(window));
  EXPECT_TRUE(shell.Attaches.empty());
  EXPECT_TRUE(shell.Detaches.empty());
  ::DestroyWindow(window);
}

// Another thread's window: its input joins the foreground thread's for the one call and
// is detached right after, with the same pair of threads. The window stays hidden, so it
// never becomes the foreground window itself.
TEST(ForceForeground, AWindowOfAnotherThreadJoinsTheForegroundInputForTheCallOnly) {
  TRecordedShell shell;
  std::atomic<HWND> window{nullptr};
  std::atomic<DWORD> ownerThread{0};
  std::thread owner([&] {
    HWND w = ::CreateWindowW(L"STATIC", L"", WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr,
                             ::GetModuleHandleW(nullptr), nullptr);
    window = w;
    ownerThread = ::GetCurrentThreadId();
    MSG msg;
    while (w && ::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    if (w) ::DestroyWindow(w);
  });
  // The owner's loop ends on WM_QUIT, on every path out of the test.
  struct TJoin {
    std::thread& Thread;
    std::atomic<DWORD>& Id;
    ~TJoin() {
      ::PostThreadMessageW(Id, WM_QUIT, 0, 0);
      Thread.join();
    }
  };
  while (!ownerThread) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const TJoin join{owner, ownerThread};
  ASSERT_NE(window.load(), nullptr);
  const DWORD windowThread = ::GetWindowThreadProcessId(window, nullptr);
  const DWORD foregroundThread = ::GetWindowThreadProcessId(::GetForegroundWindow(), nullptr);
  ASSERT_EQ(windowThread, ownerThread.load());
  ASSERT_NE(windowThread, foregroundThread);
  EXPECT_TRUE(ForceForeground(window));
  const std::vector<std::pair<DWORD, DWORD>> pair{{windowThread, foregroundThread}};
  EXPECT_EQ(shell.Attaches, pair);
  EXPECT_EQ(shell.Detaches, pair);
}

}  // namespace
