#include "app/win32/SingleInstance.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "Win32TestSupport.h"
#include "app/FileList.h"
#include "app/win32/TavexMainFormUnit.h"
#include "platform/win32/WinText.h"
#include "support/TempDir.h"

namespace {

TEST(CommandLineFiles, AreTheArgumentsAfterTheProgramMadeAbsoluteWithoutEmptyOnes) {
  const std::filesystem::path here = std::filesystem::current_path();
  struct TCase {
    const wchar_t* CommandLine;
    std::vector<std::filesystem::path> Files;
  };
  const TCase cases[] = {
      {L"Tavex.exe", {}},
      {L"\"C:\\Program Files\\Tavex\\Tavex.exe\"", {}},
      {L"\"C:\\Program Files\\Tavex\\Tavex.exe\"   ", {}},
      {L"Tavex.exe \"C:\\写真 フォルダ\\猫 1.bmp\" C:\\a.bmp", {L"C:\\写真 フォルダ\\猫 1.bmp", L"C:\\a.bmp"}},
      {L"Tavex.exe \"\" C:\\a.bmp \"\"", {L"C:\\a.bmp"}},
      {L"Tavex.exe b.bmp \"sub dir\\c d.png\"", {here / L"b.bmp", here / L"sub dir" / L"c d.png"}},
      {L"Tavex.exe \\\\server\\share\\e.bmp //server/share/f.bmp",
       {L"\\\\server\\share\\e.bmp", L"//server/share/f.bmp"}},
      {L"Tavex.exe ..\\up.bmp", {here.parent_path() / L"up.bmp"}},
  };
  for (const TCase& c : cases) EXPECT_EQ(CommandLineFiles(c.CommandLine), c.Files) << platform::WideToUtf8(c.CommandLine);
}

TEST(InstanceName, NamesOneExecutableWithoutRegardToCaseAndNoOther) {
  const std::wstring name = InstanceName(L"C:\\Tools\\Tavex.exe");
  ASSERT_EQ(name.size(), 6u + 16u);
  EXPECT_EQ(name.substr(0, 6), L"Tavex.");
  EXPECT_EQ(name.find_first_not_of(L"0123456789ABCDEF", 6), std::wstring::npos);
  EXPECT_EQ(InstanceName(L"c:\\TOOLS\\tavex.EXE"), name);
  EXPECT_NE(InstanceName(L"C:\\Tools2\\Tavex.exe"), name);
  EXPECT_NE(InstanceName(L"C:\\Tools\\Tavex2.exe"), name);
}

// A lock held on a thread of its own, as another copy of the program holds it.
class THeldElsewhere {
public:
  explicit THeldElsewhere(std::wstring name, bool letGo = true)
      : FReady(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), FDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    FThread = std::thread([this, name, letGo] {
      if (letGo) {
        TInstanceLock lock(name);
        FHeld = lock.Acquire();
        ::SetEvent(FReady);
        ::WaitForSingleObject(FDone, INFINITE);
      } else {
        // A copy that ends without letting go: its thread leaves the mutex abandoned.
        FMutex = ::CreateMutexW(nullptr, FALSE, (L"Local\\" + name).c_str());
        FHeld = ::WaitForSingleObject(FMutex, 0) == WAIT_OBJECT_0;
        ::SetEvent(FReady);
      }
    });
    ::WaitForSingleObject(FReady, INFINITE);
    if (!letGo) FThread.join();
  }
  ~THeldElsewhere() {
    ::SetEvent(FDone);
    if (FThread.joinable()) FThread.join();
    if (FMutex) ::CloseHandle(FMutex);
    ::CloseHandle(FReady);
    ::CloseHandle(FDone);
  }
  THeldElsewhere(const THeldElsewhere&) = delete;
  THeldElsewhere& operator=(const THeldElsewhere&) = delete;
  bool Held() const noexcept { return FHeld; }

private:
  HANDLE FReady, FDone;
  HANDLE FMutex = nullptr;
  bool FHeld = false;
  std::thread FThread;
};

TEST(InstanceLock, GoesToTheFirstThreadAndToTheNextOnceTheFirstLetsGoOrEnds) {
  TTempDir dir;
  const std::wstring name = InstanceName(dir / "Tavex.exe");
  {
    THeldElsewhere other(name);
    ASSERT_TRUE(other.Held());
    TInstanceLock lock(name);
    EXPECT_FALSE(lock.Acquire());
    EXPECT_FALSE(lock.Held());
  }
  {
    TInstanceLock lock(name);
    EXPECT_TRUE(lock.Acquire());
    EXPECT_TRUE(lock.Held());
    EXPECT_TRUE(lock.Acquire());  // asking again changes nothing
  }
  THeldElsewhere ended(name, false);
  ASSERT_TRUE(ended.Held());
  TInstanceLock lock(name);
  EXPECT_TRUE(lock.Acquire());
}

class HandOver : public testing::Test {
protected:
  std::wstring Name() const { return InstanceName(Dir / "Tavex.exe"); }
  // The running copy's window, marked once it is up.
  std::unique_ptr<TTavexMainForm> OpenRunningWindow() {
    auto form = std::make_unique<TTavexMainForm>(nullptr, Dir / "Tavex.exe");
    form->SetInstanceName(Name());
    return form;
  }
  static ULONGLONG Elapsed(ULONGLONG start) { return ::GetTickCount64() - start; }
  TTempDir Dir;
  TRecordedShell Shell;
};

TEST_F(HandOver, TheFirstCopyRunsAtOnceAndHoldsTheLock) {
  TInstanceLock lock(Name());
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_TRUE(BecomeRunningInstance(lock, {L"C:\\a.bmp"}, 5000));
  EXPECT_LT(Elapsed(start), 1000u);
  EXPECT_TRUE(lock.Held());
}

TEST_F(HandOver, ALaterCopyHandsItsFilesToTheMarkedWindowOrOnlyBringsItForward) {
  THeldElsewhere running(Name());
  auto form = OpenRunningWindow();
  struct TCase {
    std::vector<std::filesystem::path> Files;
    size_t Lists;
  };
  for (const TCase& c : {TCase{{L"C:\\a.bmp", L"C:\\写真\\b c.bmp"}, 1}, TCase{{}, 1}, TCase{{L"D:\\d.bmp"}, 2}}) {
    TInstanceLock lock(Name());
    EXPECT_FALSE(BecomeRunningInstance(lock, c.Files, 5000));
    EXPECT_FALSE(lock.Held());
    EXPECT_EQ(form->QueuedFileLists(), c.Lists);
  }
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(HandOver, ALaterCopyRunsItselfWhenNoWindowAnswersInTimeOrTheFilesCannotBeSent) {
  THeldElsewhere running(Name());
  {
    // Held, but its window is not up (or not marked).
    auto unmarked = std::make_unique<TTavexMainForm>(nullptr, Dir / "Tavex.exe");
    TInstanceLock lock(Name());
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(BecomeRunningInstance(lock, {L"C:\\a.bmp"}, 300));
    EXPECT_GE(Elapsed(start), 300u);
    EXPECT_EQ(unmarked->QueuedFileLists(), 0u);
  }
  auto form = OpenRunningWindow();
  // More than one list can carry: 33 names of the longest length.
  const std::vector<std::filesystem::path> tooMany(33, std::filesystem::path(L"C:\\" + std::wstring(32000, L'x')));
  TInstanceLock lock(Name());
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_TRUE(BecomeRunningInstance(lock, tooMany, 5000));
  EXPECT_LT(Elapsed(start), 1000u);
  EXPECT_EQ(form->QueuedFileLists(), 0u);
}

}  // namespace
