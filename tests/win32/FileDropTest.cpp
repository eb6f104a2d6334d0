#include "app/win32/NewCtrls.h"

#include <gtest/gtest.h>
#include <memory>

#include "Win32TestSupport.h"
#include "rtl/Exception.h"

namespace {

class TTestForm : public TCustomForm {
public:
  TTestForm() : TCustomForm(nullptr) {}

protected:
  void CreateParams(DWORD& style, DWORD& exStyle, RECT& bounds) override {
    style = WS_OVERLAPPEDWINDOW;
    exStyle = 0;
    bounds = {0, 0, 200, 100};
  }
};

struct TDropRecord {
  TObject* Sender;
  int Num;
  std::vector<std::filesystem::path> Files;
  int X, Y;
};

class FileDrop : public testing::Test {
protected:
  void Hook(TFileDrop& drop) {
    drop.OnFileDrop = [this](TObject* sender, int num, const std::vector<std::filesystem::path>& files, int x, int y) {
      Drops.push_back({sender, num, files, x, y});
    };
    drop.Loaded();
  }
  TRecordedShell Shell;
  TTestForm Form;
  std::vector<TDropRecord> Drops;
};

TEST_F(FileDrop, FiveFilesGiveOneEventWithThePathsInTheShellsOrderAndThePoint) {
  TFileDrop drop(&Form);
  Hook(drop);
  const std::vector<std::wstring> names = {L"C:\\a\\1.bmp", L"C:\\a\\b.png", L"D:\\画像\\c.bmp", L"C:\\folder",
                                           L"\\\\server\\share\\e.bmp"};
  SendDrop(Form.Handle(), names, {12, 34});
  ASSERT_EQ(Drops.size(), 1u);
  EXPECT_EQ(Drops[0].Sender, &drop);
  EXPECT_EQ(Drops[0].Num, 5);
  ASSERT_EQ(Drops[0].Files.size(), 5u);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(Drops[0].Files[i].wstring(), names[i]);
  EXPECT_EQ(Drops[0].X, 12);
  EXPECT_EQ(Drops[0].Y, 34);
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(FileDrop, NamesLongerThan255CharactersArriveWhole) {
  TFileDrop drop(&Form);
  Hook(drop);
  const std::wstring longName = L"C:\\" + std::wstring(290, L'x') + L".bmp";  // 297 characters
  const std::wstring exact = L"C:\\" + std::wstring(252, L'y');              // 255: the old limit
  SendDrop(Form.Handle(), {longName, exact, L"C:\\short.bmp"});
  ASSERT_EQ(Drops.size(), 1u);
  ASSERT_EQ(Drops[0].Files.size(), 3u);
  EXPECT_EQ(Drops[0].Files[0].wstring(), longName);
  EXPECT_EQ(Drops[0].Files[1].wstring(), exact);
  EXPECT_EQ(Drops[0].Files[2].wstring(), L"C:\\short.bmp");
}

TEST_F(FileDrop, AnExceptionFromTheEventShowsOneErrorBoxAndTheNextDropWorks) {
  TFileDrop drop(&Form);
  Hook(drop);
  int calls = 0;
  drop.OnFileDrop = [&](TObject*, int, const std::vector<std::filesystem::path>&, int, int) {
    if (++calls == 1) throw EInvalidGraphic("Susie Plugins could not decode");
  };
  SendDrop(Form.Handle(), {L"C:\\a.bmp"});
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(Shell.Boxes[0].Text, L"Susie Plugins could not decode.");
  EXPECT_EQ(Shell.Boxes[0].Caption, Application::Title());
  EXPECT_EQ(Shell.Boxes[0].Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
  SendDrop(Form.Handle(), {L"C:\\b.bmp"});
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Shell.Boxes.size(), 1u);
}

TEST_F(FileDrop, ASilentAbortFromTheEventShowsNothing) {
  TFileDrop drop(&Form);
  Hook(drop);
  drop.OnFileDrop = [](TObject*, int, const std::vector<std::filesystem::path>&, int, int) { throw EAbort("stop"); };
  SendDrop(Form.Handle(), {L"C:\\a.bmp"});
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(FileDrop, TheDropHandleIsFinishedWithAndWithoutAnEventAndWhenTheEventFails) {
  TFileDrop drop(&Form);
  drop.Loaded();
  for (int round = 0; round < 2; ++round) {
    HDROP handle = MakeDrop({L"C:\\a.bmp"});
    ::SendMessageW(Form.Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(handle), 0);
    // DragFinish freed the block.
    EXPECT_EQ(::GlobalFlags(handle), static_cast<UINT>(GMEM_INVALID_HANDLE)) << round;
    drop.OnFileDrop = [](TObject*, int, const std::vector<std::filesystem::path>&, int, int) {
      throw Exception("x");
    };
  }
}

TEST_F(FileDrop, AcceptTellsTheShellOnlyWhileHooked) {
  auto accepts = [this] { return (::GetWindowLongW(Form.Handle(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0; };
  TFileDrop drop(&Form);
  EXPECT_TRUE(drop.Accept());
  EXPECT_FALSE(accepts());
  drop.Loaded();
  EXPECT_TRUE(accepts());
  drop.SetAccept(false);
  EXPECT_FALSE(accepts());
  drop.SetAccept(true);
  EXPECT_TRUE(accepts());
}

TEST_F(FileDrop, HookingAndDestructionPutTheWindowProcedureBackAndPassOtherMessagesOn) {
  const LONG_PTR original = ::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC);
  {
    TFileDrop drop(&Form);
    drop.Loaded();
    EXPECT_EQ(drop.HookedWindow(), Form.Handle());
    EXPECT_NE(::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC), original);
    ::SetWindowTextW(Form.Handle(), L"through the hook");
    wchar_t text[32] = {};
    ::GetWindowTextW(Form.Handle(), text, 32);
    EXPECT_STREQ(text, L"through the hook");
  }
  EXPECT_EQ(::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC), original);
}

TEST_F(FileDrop, AControlIsHookedInsteadOfTheFormAndANewControlUnhooksTheOld) {
  TSimpleControl a(&Form, &Form, L"STATIC", WS_VISIBLE, 0), b(&Form, &Form, L"STATIC", WS_VISIBLE, 0);
  const LONG_PTR formProc = ::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC);
  const LONG_PTR aProc = ::GetWindowLongPtrW(a.Handle(), GWLP_WNDPROC);
  TFileDrop drop(&Form);
  Hook(drop);
  drop.SetControl(&a);
  EXPECT_EQ(drop.HookedWindow(), a.Handle());
  EXPECT_EQ(::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC), formProc);
  SendDrop(a.Handle(), {L"C:\\a.bmp"});
  EXPECT_EQ(Drops.size(), 1u);
  drop.SetControl(&b);
  EXPECT_EQ(::GetWindowLongPtrW(a.Handle(), GWLP_WNDPROC), aProc);
  EXPECT_EQ(drop.HookedWindow(), b.Handle());
}

TEST_F(FileDrop, RemovingTheControlClearsControlAndAccept) {
  TFileDrop drop(&Form);
  auto control = std::make_unique<TSimpleControl>(nullptr, &Form, L"STATIC", WS_VISIBLE, 0);
  drop.SetControl(control.get());
  control.reset();
  EXPECT_EQ(drop.Control(), nullptr);
  EXPECT_FALSE(drop.Accept());
}

TEST_F(FileDrop, WithoutAControlAnOwnerThatIsNoFormIsAnError) {
  TComponent owner(nullptr);
  TFileDrop drop(&owner);
  try {
    drop.Loaded();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Invalidate Window Handle in FileDrop");
    EXPECT_EQ(&typeid(e), &typeid(Exception));  // the plain class
  }
  EXPECT_EQ(drop.HookedWindow(), nullptr);
}

TEST_F(FileDrop, DesignModeNeitherHooksNorUnhooks) {
  const LONG_PTR original = ::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC);
  TFileDrop drop(&Form);
  drop.SetDesigning(true);
  drop.Loaded();
  EXPECT_EQ(drop.HookedWindow(), nullptr);
  EXPECT_EQ(::GetWindowLongPtrW(Form.Handle(), GWLP_WNDPROC), original);
}

}  // namespace
