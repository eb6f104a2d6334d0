#include "app/win32/TavexMainFormUnit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "Win32TestSupport.h"
#include "app/FileList.h"
#include "app/win32/SettingsDialog.h"
#include "app/win32/SingleInstance.h"
#include "jpeg/JPEGTestSupport.h"
#include "platform/win32/WinText.h"
#include "rtl/Exception.h"
#include "platform/Folders.h"
#include "rtl/IniFile.h"
#include "support/PluginImages.h"
#include "support/TempDir.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string Str(const std::vector<unsigned char>& b) { return {b.begin(), b.end()}; }

RECT WindowRect(HWND hwnd) {
  RECT r{};
  ::GetWindowRect(hwnd, &r);
  return r;
}

// A window's text and the font it is drawn with (none set: the system font).
struct TControlText {
  std::wstring Control, Text;
  HFONT Font;
};

BOOL CALLBACK AddChildText(HWND child, LPARAM list) {
  wchar_t text[128] = {}, cls[64] = {};
  ::GetWindowTextW(child, text, 128);
  ::GetClassNameW(child, cls, 64);
  auto font = reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0));
  if (!font) font = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
  if (*text) reinterpret_cast<std::vector<TControlText>*>(list)->push_back({cls, text, font});
  return TRUE;
}

// The texts whose non-ASCII characters are drawn as the missing glyph, one line each;
// checked counts the characters looked at.
std::string MissingGlyphs(const std::vector<TControlText>& texts, int& checked) {
  std::string missing;
  for (const TControlText& t : texts) {
    const std::vector<COLORREF> box = DrawCharacter(t.Font, MissingGlyphCharacter);
    if (box.empty()) return "no drawing for the missing glyph\n";
    // The comparison tells a drawn glyph from the box.
    if (DrawCharacter(t.Font, L'A') == box) return platform::WideToUtf8(t.Control) + ": A is drawn as a box\n";
    std::wstring boxes;
    for (wchar_t c : t.Text) {
      if (c < 0x80) continue;
      ++checked;
      if (DrawCharacter(t.Font, c) == box) boxes += c;
    }
    if (!boxes.empty()) missing += platform::WideToUtf8(t.Control + L" \"" + t.Text + L"\": " + boxes) + "\n";
  }
  return missing;
}

// What a conversion saw: the source, the bar at that moment, the output.
struct TConversionLog {
  struct TLoad {
    std::filesystem::path Source;
    int Position, Max;
  };
  std::vector<TLoad> Loads;
  std::vector<std::filesystem::path> Saves;
  std::function<void(const std::filesystem::path&)> OnLoad;
};

class TLoggedConversion : public TFileConversion {
public:
  TLoggedConversion(TConversionLog& log, TTavexMainForm& form) : FLog(log), FForm(form) {}
  void Load(const std::filesystem::path& source) override {
    FLog.Loads.push_back({source, FForm.ProgressBar->Position(), FForm.ProgressBar->Max()});
    if (FLog.OnLoad) FLog.OnLoad(source);
  }
  void Save(const std::filesystem::path& output) override { FLog.Saves.push_back(output); }

private:
  TConversionLog& FLog;
  TTavexMainForm& FForm;
};

class MainForm : public testing::Test {
protected:
  std::filesystem::path Exe() const { return Dir / "Tavex.exe"; }
  std::filesystem::path Ini() const { return Dir / "Tavex.ini"; }
  void WriteIni(const std::string& text) const { WriteAllBytes(Ini(), Bytes(text)); }

  std::unique_ptr<TTavexMainForm> Open() {
    auto form = std::make_unique<TTavexMainForm>(nullptr, Exe());
    TTavexMainForm* f = form.get();
    form->ConversionFactory = [this, f] { return std::make_unique<TLoggedConversion>(Log, *f); };
    return form;
  }
  // Shown without taking the activation, then painted once.
  static void Show(TTavexMainForm& form) {
    ::ShowWindow(form.Handle(), SW_SHOWNOACTIVATE);
    ::UpdateWindow(form.Handle());
  }
  static bool Visible(TWinControl* control) { return ::IsWindowVisible(control->Handle()) != FALSE; }

  TTempDir Dir;
  TRecordedShell Shell;
  TConversionLog Log;
};

TEST_F(MainForm, CarriesTheRegistryWithTheProgramsPolicyAndFindsTavexsOwnPlugin) {
  auto form = Open();
  ASSERT_NE(form->SPIs, nullptr);
  EXPECT_EQ(TSPIs::Instance(), form->SPIs);
  EXPECT_EQ(form->SPIs->SearchOptions.Bits(), 0b11111);
  EXPECT_FALSE(form->SPIs->GraphicPreview);
  bool accept = true;
  form->SPIs->OnSearching(form->SPIs, "C:\\spi\\IfBmp.spi", accept);
  EXPECT_FALSE(accept);
  // The start-up search of the program's folder: iftavex.spi in 32 bits, iftavex.sph in 64.
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const auto own = std::filesystem::path(self).parent_path() / (sizeof(void*) == 8 ? L"iftavex.sph" : L"iftavex.spi");
  EXPECT_GE(form->SPIs->IndexOfFile(platform::WideToUtf8(own.wstring())), 0) << platform::WideToUtf8(own.wstring());
  form.reset();
  EXPECT_EQ(TSPIs::Instance(), nullptr);
}

TEST_F(MainForm, WithoutSettingsOpensAtTheOriginWithMethod0AndItsPageAndNoTabs) {
  auto form = Open();
  Show(*form);
  EXPECT_EQ(form->IniFileName, Ini());
  const RECT r = WindowRect(form->Handle());
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), 0);
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet1);
  EXPECT_TRUE(Visible(form->Label1));
  EXPECT_FALSE(Visible(form->SaveFolderEdit));
  EXPECT_EQ(form->PageControl->VisibleTabCount(), 0);
  wchar_t caption[64] = {};
  ::GetWindowTextW(form->Handle(), caption, 64);
  EXPECT_STREQ(caption, L"画像ファイルをドロップ");
  EXPECT_TRUE(Shell.Boxes.empty());
  EXPECT_FALSE(std::filesystem::exists(Ini()));  // reading never creates the file
}

TEST_F(MainForm, HasTheDesignedClientAreaControlsAndTexts) {
  auto form = Open();
  RECT client{};
  ::GetClientRect(form->Handle(), &client);
  EXPECT_EQ(client.right, 503);
  EXPECT_EQ(client.bottom, 235);
  const LONG style = ::GetWindowLongW(form->Handle(), GWL_STYLE);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_EQ(form->HowSaveRadioGroup->Count(), 3);
  const wchar_t* items[] = {L"同じフォルダ", L"同じフォルダ（同名でも上書きしちゃう）", L"指定フォルダ"};
  for (int i = 0; i < 3; ++i) {
    wchar_t text[64] = {};
    ::GetWindowTextW(form->HowSaveRadioGroup->ItemHandle(i), text, 64);
    EXPECT_STREQ(text, items[i]);
  }
  EXPECT_EQ(form->Label1->Text(), L"ファイル名の先頭に「_」をつけます");
  EXPECT_EQ(form->Label2->Text(), L"有無を言わさず上書きします  その際尋ねてきません");
  EXPECT_EQ(form->SaveFolderEdit->Text(), L"");
  EXPECT_EQ(form->SaveFolderEdit->TextHint(), L"保存先フォルダ..");
  EXPECT_EQ(form->SpeedButton1->Caption(), L"&..");
  EXPECT_EQ(form->SpeedButton1->Accelerator(), L'.');
  EXPECT_EQ(form->ProgressBar->Min(), 0);
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  // Aligned to the bottom, full width, 17 high.
  RECT bar = WindowRect(form->ProgressBar->Handle());
  ::MapWindowPoints(nullptr, form->Handle(), reinterpret_cast<POINT*>(&bar), 2);
  EXPECT_EQ(bar.top, 218);
  EXPECT_EQ(bar.bottom, 235);
  EXPECT_EQ(bar.right - bar.left, 503);
  // Tahoma, 11 pixels high at 96 dots per inch.
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(form->Label1->Handle(), WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_STREQ(font.lfFaceName, L"Tahoma");
  EXPECT_EQ(font.lfHeight, -11);
}

// A prefix whose font links miss the Japanese font draws these texts as rows of boxes.
TEST_F(MainForm, EveryCharacterOfTheWindowsTextsHasAGlyphInTheFontItIsDrawnWith) {
  auto form = Open();
  std::vector<TControlText> texts;
  // The caption is drawn with the system's caption font.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
  HFONT captionFont = ::CreateFontIndirectW(&metrics.lfCaptionFont);
  ASSERT_NE(captionFont, nullptr);
  wchar_t caption[64] = {};
  ::GetWindowTextW(form->Handle(), caption, 64);
  texts.push_back({L"caption", caption, captionFont});
  // Every window inside with a text: the group box, the radio items, the labels, the button.
  ::EnumChildWindows(form->Handle(), AddChildText, reinterpret_cast<LPARAM>(&texts));
  // The folder edit's grey hint (this test program has no manifest for EM_GETCUEBANNER).
  texts.push_back({L"folder hint", form->SaveFolderEdit->TextHint(),
                   reinterpret_cast<HFONT>(::SendMessageW(form->SaveFolderEdit->Handle(), WM_GETFONT, 0, 0))});

  int checked = 0;
  const std::string missing = MissingGlyphs(texts, checked);
  ::DeleteObject(captionFont);
  // The caption, the group box, three items, two labels and the hint hold 92 of them.
  EXPECT_EQ(checked, 92);
  EXPECT_TRUE(missing.empty()) << "characters drawn as the missing glyph:\n" << missing;
}

TEST_F(MainForm, AMonitorOfAnotherDpiScalesTheClientAreaAndTheFont) {
  auto form = Open();
  RECT suggested{100, 50, 900, 600};
  ::SendMessageW(form->Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  RECT client{};
  ::GetClientRect(form->Handle(), &client);
  EXPECT_EQ(client.right, 755);  // 503 * 1.5, rounded
  EXPECT_EQ(client.bottom, 353);
  EXPECT_EQ(WindowRect(form->Handle()).left, 100);
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(form->Label1->Handle(), WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -17);
  EXPECT_EQ(form->Dpi(), 144);
}

TEST_F(MainForm, AStoredMethod2ShowsTheFolderPageOnTheFirstPaintOnly) {
  WriteIni("[Config]\r\nHowSave=2\r\n");
  auto form = Open();
  EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), 2);
  Show(*form);
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet3);
  EXPECT_TRUE(Visible(form->SaveFolderEdit));
  EXPECT_TRUE(Visible(form->SpeedButton1));
  EXPECT_EQ(form->PageControl->VisibleTabCount(), 0);
  // Later paints leave the page alone.
  form->PageControl->SetActivePageIndex(0);
  ::RedrawWindow(form->Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet1);
}

TEST_F(MainForm, ClickingAnItemSwitchesThePageAndTheHiddenEditKeepsItsText) {
  auto form = Open();
  Show(*form);
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(2), BM_CLICK, 0, 0);
  EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), 2);
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet3);
  form->SaveFolderEdit->SetText(L"C:\\out");
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), 1);
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet2);
  EXPECT_TRUE(Visible(form->Label2));
  EXPECT_FALSE(Visible(form->SaveFolderEdit));
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(0), BM_CLICK, 0, 0);
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet1);
  EXPECT_EQ(form->SaveFolderEdit->Text(), L"C:\\out");
}

TEST_F(MainForm, AStoredMethodOfMinus1SelectsNoItemAndShowsNoPage) {
  WriteIni("[Config]\r\nHowSave=-1\r\n");
  auto form = Open();
  Show(*form);
  EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), -1);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(::SendMessageW(form->HowSaveRadioGroup->ItemHandle(i), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(form->PageControl->ActivePage(), nullptr);
  EXPECT_FALSE(Visible(form->TabSheet1));
  EXPECT_FALSE(Visible(form->TabSheet2));
  EXPECT_FALSE(Visible(form->TabSheet3));
}

TEST_F(MainForm, StoredMethodsAreClampedOrIgnoredAsTheRadioGroupAllows) {
  struct TCase {
    const char* Value;
    int Index;
  };
  for (const TCase& c : {TCase{"7", 2}, TCase{"-3", -1}, TCase{"abc", 0}, TCase{"0x2", 2}, TCase{"1", 1},
                         TCase{"$1", 1}, TCase{"", 0}}) {
    WriteIni(std::string("[config]\r\nhowsave = ") + c.Value + "\r\n");
    auto form = Open();
    EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), c.Index) << c.Value;
  }
}

TEST_F(MainForm, AStoredPositionStaysOnlyWhileTenPixelsOfTheWindowAreOnTheDesktop) {
  int width = 0, height = 0;
  {
    auto probe = Open();
    const RECT r = WindowRect(probe->Handle());
    width = r.right - r.left;
    height = r.bottom - r.top;
  }
  const int w = ::GetSystemMetrics(SM_CXVIRTUALSCREEN), h = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
  struct TCase {
    int Left, Top, WantLeft, WantTop;
  };
  for (const TCase& c : {TCase{w - 10, 5, w - 10, 5}, TCase{w - 9, 5, 0, 5}, TCase{10 - width, 7, 10 - width, 7},
                         TCase{9 - width, 7, 0, 7}, TCase{3, h - 10, 3, h - 10}, TCase{3, h - 9, 3, 0},
                         TCase{3, 10 - height, 3, 10 - height}, TCase{3, 9 - height, 3, 0},
                         TCase{20, 100000, 20, 0}}) {
    WriteIni("[Window]\r\nTop=" + std::to_string(c.Top) + "\r\nLeft=" + std::to_string(c.Left) + "\r\n");
    auto form = Open();
    const RECT r = WindowRect(form->Handle());
    EXPECT_EQ(r.left, c.WantLeft) << c.Left << "," << c.Top;
    EXPECT_EQ(r.top, c.WantTop) << c.Left << "," << c.Top;
  }
}

TEST_F(MainForm, ClosingWritesBothSectionsAndTheWindowGoes) {
  auto form = Open();
  ::SetWindowPos(form->Handle(), nullptr, 30, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  ::SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
  EXPECT_FALSE(form->HandleAllocated());
  EXPECT_EQ(Str(ReadAllBytes(Ini())), "[Window]\r\nTop=40\r\nLeft=30\r\n\r\n[Config]\r\nHowSave=1\r\n\r\n");
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(MainForm, ClosingKeepsOtherSectionsDropsCommentsAndKeepsTheByteOrderMark) {
  WriteIni("\xEF\xBB\xBF; written by hand\r\n[Other]\r\nName=画像\r\n[Window]\r\nLeft=5\r\nTop=6\r\n");
  auto form = Open();
  ::SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(Str(ReadAllBytes(Ini())),
            "\xEF\xBB\xBF[Other]\r\nName=画像\r\n\r\n[Window]\r\nLeft=5\r\nTop=6\r\n\r\n[Config]\r\nHowSave=0\r\n\r\n");
}

TEST_F(MainForm, ASettingsFileThatCannotBeWrittenIsReportedOnceAndTheWindowStillCloses) {
  std::filesystem::create_directory(Ini());  // a folder where the file should be
  std::string expected;
  try {
    TMemIniFile probe(Ini());
    probe.UpdateFile();
  } catch (const Exception& e) {
    expected = ErrorBoxText(e.what());
  }
  ASSERT_FALSE(expected.empty());
  auto form = Open();
  ::SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(platform::WideToUtf8(Shell.Boxes[0].Text), expected);
  EXPECT_EQ(Shell.Boxes[0].Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_FALSE(form->HandleAllocated());
}

TEST_F(MainForm, ASettingsFileHeldOpenForWritingIsReportedAndTheWindowKeepsItsDesign) {
  WriteIni("[Window]\r\nTop=40\r\nLeft=30\r\n[Config]\r\nHowSave=2\r\n");
  HANDLE holder = ::CreateFileW(Ini().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  auto form = Open();
  ::CloseHandle(holder);
  Show(*form);
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(Shell.Boxes[0].Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_NE(Shell.Boxes[0].Text.find(L"Tavex.ini"), std::wstring::npos);
  const RECT r = WindowRect(form->Handle());
  EXPECT_EQ(r.left, MainFormDesignLeft);
  EXPECT_EQ(r.top, MainFormDesignTop);
  EXPECT_EQ(form->HowSaveRadioGroup->ItemIndex(), 0);
  EXPECT_EQ(form->PageControl->VisibleTabCount(), 3);
}

TEST_F(MainForm, TheFolderButtonBrowsesFromTheEditAndOnlyAPickReplacesItsText) {
  auto form = Open();
  form->SaveFolderEdit->SetText(L"C:\\前");
  ::SendMessageW(form->SpeedButton1->Handle(), BM_CLICK, 0, 0);
  ASSERT_EQ(Shell.Browses.size(), 1u);
  EXPECT_EQ(Shell.Browses[0].InitialFolder, L"C:\\前");
  EXPECT_EQ(Shell.Browses[0].Title, L"保存先の選択");
  EXPECT_EQ(Shell.Browses[0].Owner, form->Handle());
  EXPECT_EQ(Shell.Browses[0].Flags, 0x55u);
  EXPECT_EQ(form->SaveFolderEdit->Text(), L"C:\\前");  // cancelled
  Shell.Pick = Dir.Path();
  ::SendMessageW(form->SpeedButton1->Handle(), BM_CLICK, 0, 0);
  EXPECT_EQ(std::filesystem::path(form->SaveFolderEdit->Text()), std::filesystem::path(Dir.Path()).make_preferred());
}

TEST_F(MainForm, TheSpeedButtonClicksWithoutTakingTheFocus) {
  WriteIni("[Config]\r\nHowSave=2\r\n");
  auto form = Open();
  ::ShowWindow(form->Handle(), SW_SHOW);
  ::UpdateWindow(form->Handle());
  ::SetFocus(form->SaveFolderEdit->Handle());
  HWND before = ::GetFocus();
  HWND button = form->SpeedButton1->Handle();
  ::SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  ::SendMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(Shell.Browses.size(), 1u);
  EXPECT_EQ(::GetFocus(), before);
  // Released outside the button: no click.
  ::SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  ::SendMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(500, 5));
  EXPECT_EQ(Shell.Browses.size(), 1u);
  EXPECT_FALSE(::GetWindowLongW(button, GWL_STYLE) & WS_TABSTOP);
}

TEST_F(MainForm, ADropConvertsTheFilesInOrderWithTheBarMovingAndBackAtZero) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\b.BMP", L"C:\\q\\c.x.png"});
  ASSERT_EQ(Log.Loads.size(), 3u);
  const wchar_t* sources[] = {L"C:\\p\\a.bmp", L"C:\\p\\b.BMP", L"C:\\q\\c.x.png"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Log.Loads[static_cast<size_t>(i)].Source.wstring(), sources[i]);
    EXPECT_EQ(Log.Loads[static_cast<size_t>(i)].Position, i + 1);
    EXPECT_EQ(Log.Loads[static_cast<size_t>(i)].Max, 3);
  }
  ASSERT_EQ(Log.Saves.size(), 3u);
  EXPECT_EQ(Log.Saves[0].wstring(), L"C:\\p\\a.jpg");
  EXPECT_EQ(Log.Saves[1].wstring(), L"C:\\p\\b.jpg");
  EXPECT_EQ(Log.Saves[2].wstring(), L"C:\\q\\c.x.jpg");
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  EXPECT_EQ(form->ProgressBar->Max(), 3);
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(MainForm, AFolderDropWithABadFolderBeepsShowsTheMessageAndConvertsNothing) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(2), BM_CLICK, 0, 0);
  WriteAllBytes(Dir / "file", Bytes("x"));
  for (const std::wstring& folder : {std::wstring(), (Dir / "missing").wstring(), (Dir / "file").wstring()}) {
    Shell.Boxes.clear();
    Shell.Beeps.clear();
    form->SaveFolderEdit->SetText(folder);
    form->ProgressBar->SetMax(9);
    form->ProgressBar->SetPosition(4);
    SendDrop(form->Handle(), {L"C:\\p\\a.bmp"});
    EXPECT_TRUE(Log.Loads.empty());
    ASSERT_EQ(Shell.Beeps.size(), 1u);
    EXPECT_EQ(Shell.Beeps[0], static_cast<UINT>(MB_ICONEXCLAMATION));
    ASSERT_EQ(Shell.Boxes.size(), 1u);
    EXPECT_EQ(Shell.Boxes[0].Text, L"正しい保存先フォルダを指定してください");
    EXPECT_EQ(Shell.Boxes[0].Type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(form->ProgressBar->Position(), 4);
    EXPECT_EQ(form->ProgressBar->Max(), 9);
  }
  form->SaveFolderEdit->SetText(Dir.Path().wstring());
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp"});
  ASSERT_EQ(Log.Saves.size(), 1u);
  EXPECT_EQ(Log.Saves[0], Dir / "a.jpg");
}

TEST_F(MainForm, AFailingFileShowsOneErrorBoxKeepsTheBarAndTheNextDropWorks) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  Log.OnLoad = [](const std::filesystem::path& source) {
    if (source.filename() == "bad.bmp") throw EInvalidGraphic("Susie Plugins could not decode");
  };
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\bad.bmp", L"C:\\p\\c.bmp"});
  EXPECT_EQ(Log.Loads.size(), 2u);  // the third file is never read
  EXPECT_EQ(Log.Saves.size(), 1u);
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(Shell.Boxes[0].Text, L"Susie Plugins could not decode.");
  EXPECT_EQ(Shell.Boxes[0].Caption, L"win32_tests");
  EXPECT_EQ(form->ProgressBar->Position(), 2);
  EXPECT_EQ(form->BatchDepth(), 0);
  SendDrop(form->Handle(), {L"C:\\p\\d.bmp"});
  EXPECT_EQ(Log.Saves.size(), 2u);
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  EXPECT_EQ(Shell.Boxes.size(), 1u);
}

TEST_F(MainForm, ADropDuringTheMessagePumpRunsANestedBatchOnTheSameBar) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  std::vector<int> depths;
  Log.OnLoad = [&](const std::filesystem::path& source) {
    depths.push_back(form->BatchDepth());
    if (source.filename() == "a.bmp")
      ::PostMessageW(form->Handle(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({L"C:\\n\\x.bmp", L"C:\\n\\y.bmp"})),
                     0);
  };
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\b.bmp", L"C:\\p\\c.bmp"});
  ASSERT_EQ(Log.Loads.size(), 5u);
  const wchar_t* order[] = {L"a.bmp", L"x.bmp", L"y.bmp", L"b.bmp", L"c.bmp"};
  // The outer batch set its position before the pump in which the nested batch ran,
  // set the bar's maximum to 2 and reset it to 0 at its end; the outer batch goes on
  // with that bar (its third position is held at the maximum).
  const int positions[] = {1, 1, 2, 0, 2};
  const int maxima[] = {3, 2, 2, 2, 2};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Log.Loads[i].Source.filename().wstring(), order[i]) << i;
    EXPECT_EQ(Log.Loads[i].Position, positions[i]) << i;
    EXPECT_EQ(Log.Loads[i].Max, maxima[i]) << i;
  }
  EXPECT_EQ(depths, (std::vector<int>{1, 2, 2, 1, 1}));
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  EXPECT_EQ(form->BatchDepth(), 0);
}

// Writes a two-byte file as its output; encodes wherever the batch asks it to.
class TWritingConversion : public TFileConversion {
public:
  TWritingConversion(TConversionLog& log, std::vector<DWORD>& encoders) : FLog(log), FEncoders(encoders) {}
  void Load(const std::filesystem::path& source) override {
    FLog.Loads.push_back({source, 0, 0});
    if (FLog.OnLoad) FLog.OnLoad(source);
  }
  void Encode() override { FThread = ::GetCurrentThreadId(); }
  void Save(const std::filesystem::path& output) override {
    WriteAllBytes(output, {0xFF, 0xD8});
    FLog.Saves.push_back(output);
    FEncoders.push_back(FThread);
  }

private:
  TConversionLog& FLog;
  std::vector<DWORD>& FEncoders;
  DWORD FThread = 0;
};

// The window's batch encodes on worker threads; a drop during its pump still runs a
// whole nested batch there, and that batch finds the outer batch's earlier files
// written, so method 0 names every file as when files were converted one at a time.
TEST_F(MainForm, ANestedDropDuringAnEncodingBatchGetsTheNamesOfOneFileAtATime) {
  auto form = Open();
  std::vector<DWORD> encoders;
  form->ConversionFactory = [&] { return std::make_unique<TWritingConversion>(Log, encoders); };
  for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) WriteAllBytes(Dir / name, Bytes("x"));
  bool dropped = false;
  Log.OnLoad = [&](const std::filesystem::path&) {
    if (dropped) return;
    dropped = true;
    ::PostMessageW(form->Handle(), WM_DROPFILES,
                   reinterpret_cast<WPARAM>(MakeDrop({(Dir / "a.bmp").wstring(), (Dir / "b.bmp").wstring()})), 0);
  };
  SendDrop(form->Handle(), {(Dir / "a.bmp").wstring(), (Dir / "b.bmp").wstring(), (Dir / "c.bmp").wstring()});
  EXPECT_EQ(Log.Saves, (std::vector<std::filesystem::path>{Dir / "_a.jpg", Dir / "__a.jpg", Dir / "_b.jpg",
                                                           Dir / "__b.jpg", Dir / "_c.jpg"}));
  ASSERT_EQ(encoders.size(), 5u);
  if (DefaultBatchJobs() > 1) {
    for (const DWORD thread : encoders) EXPECT_NE(thread, ::GetCurrentThreadId());
  }
  EXPECT_TRUE(Shell.Boxes.empty());
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  EXPECT_EQ(form->BatchDepth(), 0);
}

TEST_F(MainForm, ARadioClickDuringTheMessagePumpAppliesFromTheNextFile) {
  auto form = Open();
  Log.OnLoad = [&](const std::filesystem::path& source) {
    if (source.filename() == "a.bmp") ::PostMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  };
  SendDrop(form->Handle(), {(Dir / "a.bmp").wstring(), (Dir / "b.bmp").wstring()});
  ASSERT_EQ(Log.Saves.size(), 2u);
  EXPECT_EQ(Log.Saves[0], Dir / "_a.jpg");
  EXPECT_EQ(Log.Saves[1], Dir / "b.jpg");
  EXPECT_EQ(form->PageControl->ActivePage(), form->TabSheet2);
}

TEST_F(MainForm, ACloseDuringABatchSavesTheSettingsAndTheWindowGoesWhenTheBatchEnds) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  std::vector<bool> alive, saved;
  Log.OnLoad = [&](const std::filesystem::path& source) {
    alive.push_back(::IsWindow(form->ProgressBar->Handle()) != FALSE);
    saved.push_back(std::filesystem::exists(Ini()));
    if (source.filename() == "a.bmp") ::PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
  };
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\b.bmp", L"C:\\p\\c.bmp"});
  EXPECT_EQ(Log.Saves.size(), 3u);
  EXPECT_EQ(alive, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(saved, (std::vector<bool>{false, true, true}));
  EXPECT_TRUE(form->ClosePending());
  EXPECT_TRUE(form->HandleAllocated());
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  Application::ProcessMessages();
  EXPECT_FALSE(form->HandleAllocated());
  EXPECT_NE(Str(ReadAllBytes(Ini())).find("HowSave=1"), std::string::npos);
}

TEST_F(MainForm, ACloseDuringAFailingBatchWaitsForTheErrorBox) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  bool enabledDuringBox = false;
  ShellHooks().MessageBox = [&](HWND, const std::wstring& text, const std::wstring&, UINT) {
    // A modal box disables its owner and runs a loop of its own.
    ::EnableWindow(form->Handle(), FALSE);
    Application::ProcessMessages();
    enabledDuringBox = form->HandleAllocated();
    ::EnableWindow(form->Handle(), TRUE);
    Shell.Boxes.push_back({nullptr, text, L"", 0});
    return IDOK;
  };
  Log.OnLoad = [&](const std::filesystem::path& source) {
    if (source.filename() == "a.bmp") ::PostMessageW(form->Handle(), WM_CLOSE, 0, 0);
    if (source.filename() == "b.bmp") throw EInvalidGraphic("Susie Plugins could not decode");
  };
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\b.bmp"});
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_TRUE(enabledDuringBox);  // still there while the box was up
  Application::ProcessMessages();
  EXPECT_FALSE(form->HandleAllocated());
}

TEST_F(MainForm, TheProgramsOwnConversionWritesAJpegBesideTheSourceAndReportsAnUndecodableFile) {
  auto form = std::make_unique<TTavexMainForm>(nullptr, Exe());  // no factory of the test's
  WriteAllBytes(Dir / "a.bmp", TinyBmp());
  WriteAllBytes(Dir / "b.bmp", Bytes("not an image"));
  SendDrop(form->Handle(), {(Dir / "a.bmp").wstring()});
  EXPECT_TRUE(Shell.Boxes.empty());
  const std::vector<unsigned char> jpeg = ReadAllBytes(Dir / "_a.jpg");
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
  SendDrop(form->Handle(), {(Dir / "b.bmp").wstring(), (Dir / "a.bmp").wstring()});
  EXPECT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(Dir / "_b.jpg"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "__a.jpg"));  // the batch ended at b.bmp
  EXPECT_EQ(form->ProgressBar->Position(), 1);
}

// A PNG reaches the JPEG through Tavex's own plug-in, found beside the program.
TEST_F(MainForm, ADroppedPngIsDecodedByThePluginAndWrittenAsTheReferenceJpeg) {
  auto form = std::make_unique<TTavexMainForm>(nullptr, Exe());
  const std::filesystem::path images = TAVEX_PLUGIN_IMAGES;
  // Not one of the images that the converter's tests open for themselves alone meanwhile.
  std::filesystem::copy_file(images / "png-interlaced-rgb.png", Dir / "c.png");
  SendDrop(form->Handle(), {(Dir / "c.png").wstring()});
  EXPECT_TRUE(Shell.Boxes.empty());
  int w = 0, h = 0;
  const std::vector<std::uint8_t> rgb = PluginImageRGB(images, "png-interlaced-rgb", w, h);
  ASSERT_GT(w, 0);
  const TDecodedJPEG ours = DecodeJPEG(ReadAllBytes(Dir / "_c.jpg"));
  ASSERT_EQ(ours.Error, "");
  EXPECT_EQ(ours.Width, w);
  EXPECT_EQ(ours.Height, h);
  EXPECT_TRUE(ours.Pixels == DecodeJPEG(ReferenceJPEG(w, h, rgb)).Pixels);
}

// A plug-in that crashes runs in its host: the file only it claims ends with the reason in
// the one error box, the window stays, and the next drop converts through Tavex's own
// plug-in in a fresh host.
TEST_F(MainForm, APluginCrashingInItsHostCostsOneFileAndTheWindowTakesTheNextDrop) {
  WriteIni("[Plugins]\r\nOutOfProcess=1\r\n");
  // Found in the current folder, one of the window's search places.
  std::filesystem::copy_file(platform::ExeFileName().parent_path().parent_path() / "test-plugins" / "bad-null.spi",
                             Dir / "crash.spi");
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  auto form = std::make_unique<TTavexMainForm>(nullptr, Exe());
  std::filesystem::current_path(previous);
  ASSERT_GE(form->SPIs->Count(), 2);
  ASSERT_NE(form->SPIs->Items(0)->Host(), nullptr);

  WriteAllBytes(Dir / "x.bad", Bytes("BAD!0123456789abcdef"));
  SendDrop(form->Handle(), {(Dir / "x.bad").wstring()});
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(Shell.Boxes[0].Text, L"Susie Plugins could not decode\ncrash.spi: the plug-in stopped: page fault at 0x0.");
  EXPECT_FALSE(std::filesystem::exists(Dir / "_x.jpg"));

  std::filesystem::copy_file(std::filesystem::path(TAVEX_PLUGIN_IMAGES) / "png-interlaced-rgb.png", Dir / "c.png");
  SendDrop(form->Handle(), {(Dir / "c.png").wstring()});
  EXPECT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(DecodeJPEG(ReadAllBytes(Dir / "_c.jpg")).Error, "");
  EXPECT_EQ(form->ProgressBar->Position(), 0);
}

// ---- The settings dialog of the system menu

// Works the settings dialog from inside its modal loop: each tick of a thread timer runs
// the next step on the dialog once it is up. A dialog still open after the last step is
// a fault; it is cancelled so that the test ends.
class TDialogDriver {
public:
  using TStep = std::function<void(HWND dialog)>;
  TDialogDriver(HWND owner, std::vector<TStep> steps) : FOwner(owner), FSteps(std::move(steps)) {
    Current = this;
    FTimer = ::SetTimer(nullptr, 0, 20, Tick);
  }
  ~TDialogDriver() {
    ::KillTimer(nullptr, FTimer);
    Current = nullptr;
  }
  TDialogDriver(const TDialogDriver&) = delete;
  TDialogDriver& operator=(const TDialogDriver&) = delete;
  size_t StepsRun() const noexcept { return FNext; }
  bool LeftOpen() const noexcept { return FLeftOpen; }

private:
  static BOOL CALLBACK FindDialog(HWND window, LPARAM search) {
    auto* s = reinterpret_cast<std::pair<HWND, HWND>*>(search);
    wchar_t cls[16] = {};
    ::GetClassNameW(window, cls, 16);
    if (std::wstring(cls) != L"#32770" || ::GetWindow(window, GW_OWNER) != s->first || !::IsWindowVisible(window))
      return TRUE;
    s->second = window;
    return FALSE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    TDialogDriver* d = Current;
    if (!d || d->FBusy) return;
    std::pair<HWND, HWND> search{d->FOwner, nullptr};
    ::EnumThreadWindows(::GetCurrentThreadId(), FindDialog, reinterpret_cast<LPARAM>(&search));
    if (!search.second) return;
    d->FBusy = true;
    if (d->FNext < d->FSteps.size()) {
      d->FSteps[d->FNext++](search.second);
    } else {
      d->FLeftOpen = true;
      ::EndDialog(search.second, IDCANCEL);
    }
    d->FBusy = false;
  }
  static inline TDialogDriver* Current = nullptr;
  HWND FOwner;
  std::vector<TStep> FSteps;
  size_t FNext = 0;
  UINT_PTR FTimer = 0;
  bool FBusy = false;
  bool FLeftOpen = false;
};

bool Checked(HWND dialog, size_t box) {
  return ::IsDlgButtonChecked(dialog, BatchSettingsCheckBoxIds[box]) == BST_CHECKED;
}
void Click(HWND dialog, int id) { ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
void OpenSettings(TTavexMainForm& form) { ::SendMessageW(form.Handle(), WM_SYSCOMMAND, MainFormSettingsCommand, 0); }

TEST_F(MainForm, TheSystemMenuEndsWithTheSettingsItemWhichIsGreyWhileABatchRuns) {
  auto form = Open();
  HMENU menu = ::GetSystemMenu(form->Handle(), FALSE);
  const int n = ::GetMenuItemCount(menu);
  ASSERT_GE(n, 2);
  EXPECT_EQ(::GetMenuItemID(menu, n - 1), MainFormSettingsCommand);
  wchar_t text[32] = {};
  ::GetMenuStringW(menu, static_cast<UINT>(n - 1), text, 32, MF_BYPOSITION);
  EXPECT_STREQ(text, L"設定...");
  EXPECT_TRUE(::GetMenuState(menu, static_cast<UINT>(n - 2), MF_BYPOSITION) & MF_SEPARATOR);

  auto popUp = [&] {
    ::SendMessageW(form->Handle(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu), MAKELPARAM(0, TRUE));
    return ::GetMenuState(menu, MainFormSettingsCommand, MF_BYCOMMAND) & MF_GRAYED;
  };
  // A batch reads the settings when it starts: during one, the command opens nothing.
  std::vector<UINT> greyDuring;
  Log.OnLoad = [&](const std::filesystem::path&) {
    greyDuring.push_back(popUp());
    OpenSettings(*form);
  };
  {
    TDialogDriver driver(form->Handle(), {});
    SendDrop(form->Handle(), {L"C:\\p\\a.bmp"});
    EXPECT_FALSE(driver.LeftOpen());
  }
  EXPECT_EQ(greyDuring, (std::vector<UINT>{MF_GRAYED}));
  EXPECT_EQ(popUp(), 0u);
  std::vector<bool> opened;
  TDialogDriver driver(form->Handle(), {[&](HWND dialog) {
                         opened.push_back(!::IsWindowEnabled(form->Handle()));
                         Click(dialog, IDCANCEL);
                       }});
  OpenSettings(*form);
  EXPECT_EQ(opened, std::vector<bool>{true});  // modal over the window
  EXPECT_TRUE(::IsWindowEnabled(form->Handle()));
}

TEST_F(MainForm, TheSettingsDialogShowsTheBatchSwitchesAndOnlyOKWritesThem) {
  const char* const Kept = "[Window]\r\nTop=5\r\nLeft=6\r\n\r\n[Batch]\r\nKeepGoing=1\r\nKeepFileDate=1\r\n";
  constexpr int CloseBox = 0;
  struct TCase {
    const char* Ini;  // null: no file
    std::vector<bool> Shown;
    std::vector<size_t> Toggle;
    int Button;
    const char* After;  // null: no file
  };
  const TCase cases[] = {
      {nullptr, {false, false, false, false}, {0, 3}, IDOK,
       "[Batch]\r\nSubfolders=1\r\nKeepGoing=0\r\nKeepFileDate=0\r\nKeepMetadata=1\r\n\r\n"},
      {nullptr, {false, false, false, false}, {}, IDOK,
       "[Batch]\r\nSubfolders=0\r\nKeepGoing=0\r\nKeepFileDate=0\r\nKeepMetadata=0\r\n\r\n"},
      {nullptr, {false, false, false, false}, {0, 1, 2, 3}, IDCANCEL, nullptr},
      {Kept, {false, true, true, false}, {1, 3}, IDOK,
       "[Window]\r\nTop=5\r\nLeft=6\r\n\r\n[Batch]\r\nKeepGoing=0\r\nKeepFileDate=1\r\nSubfolders=0\r\n"
       "KeepMetadata=1\r\n\r\n"},
      {Kept, {false, true, true, false}, {0, 1, 2, 3}, IDCANCEL, Kept},
      {Kept, {false, true, true, false}, {2}, CloseBox, Kept},
      // A value other than 0 or 1 shows the default, and OK writes what was shown.
      {"[batch]\r\nSubfolders=1\r\nKeepGoing=2\r\n", {true, false, false, false}, {}, IDOK,
       "[batch]\r\nSubfolders=1\r\nKeepGoing=0\r\nKeepFileDate=0\r\nKeepMetadata=0\r\n\r\n"},
  };
  auto form = Open();
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Ini ? c.Ini : "no file") + " / button " + std::to_string(c.Button));
    std::filesystem::remove(Ini());
    if (c.Ini) WriteIni(c.Ini);
    std::vector<bool> shown;
    TDialogDriver driver(form->Handle(), {[&](HWND dialog) {
                           for (size_t i = 0; i < 4; ++i) shown.push_back(Checked(dialog, i));
                           for (const size_t i : c.Toggle) Click(dialog, BatchSettingsCheckBoxIds[i]);
                           if (c.Button == CloseBox)
                             ::SendMessageW(dialog, WM_CLOSE, 0, 0);
                           else
                             Click(dialog, c.Button);
                         }});
    OpenSettings(*form);
    EXPECT_EQ(driver.StepsRun(), 1u);
    EXPECT_FALSE(driver.LeftOpen());
    EXPECT_EQ(shown, c.Shown);
    if (c.After)
      EXPECT_EQ(Str(ReadAllBytes(Ini())), c.After);
    else
      EXPECT_FALSE(std::filesystem::exists(Ini()));
  }
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(MainForm, ASettingsFileThatCannotBeWrittenKeepsTheDialogOpenAndItsValuesUnapplied) {
  std::filesystem::create_directory(Ini());  // a folder where the file should be
  std::string expected;
  try {
    SaveBatchSettings(Ini(), {});
  } catch (const Exception& e) {
    expected = ErrorBoxText(e.what());
  }
  ASSERT_FALSE(expected.empty());
  auto form = Open();
  std::vector<bool> stillChecked;
  size_t boxesWhileOpen = 0;
  TDialogDriver driver(form->Handle(), {[&](HWND dialog) {
                                          Click(dialog, BatchSettingsCheckBoxIds[0]);
                                          Click(dialog, IDOK);
                                        },
                                        [&](HWND dialog) {
                                          boxesWhileOpen = Shell.Boxes.size();
                                          stillChecked.push_back(Checked(dialog, 0));
                                          Click(dialog, IDCANCEL);
                                        }});
  OpenSettings(*form);
  EXPECT_EQ(driver.StepsRun(), 2u);
  EXPECT_EQ(boxesWhileOpen, 1u);
  EXPECT_EQ(stillChecked, std::vector<bool>{true});
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(platform::WideToUtf8(Shell.Boxes[0].Text), expected);
  EXPECT_EQ(Shell.Boxes[0].Type, static_cast<UINT>(MB_OK | MB_ICONERROR));
  EXPECT_TRUE(std::filesystem::is_directory(Ini()));
  EXPECT_TRUE(std::filesystem::is_empty(Ini()));
  EXPECT_EQ(LoadBatchSettings(Ini()), TBatchSettings{});
}

// Under Wine a dialog font without links to a Japanese font draws these texts as boxes.
TEST_F(MainForm, EveryCharacterOfTheSettingsDialogHasAGlyphAndEveryCaptionFitsItsBox) {
  auto form = Open();
  std::vector<TControlText> texts;
  std::string cut;
  HFONT captionFont = nullptr;
  TDialogDriver driver(form->Handle(), {[&](HWND dialog) {
                         NONCLIENTMETRICSW metrics{};
                         metrics.cbSize = sizeof metrics;
                         ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
                         captionFont = ::CreateFontIndirectW(&metrics.lfCaptionFont);
                         wchar_t caption[32] = {};
                         ::GetWindowTextW(dialog, caption, 32);
                         texts.push_back({L"caption", caption, captionFont});
                         ::EnumChildWindows(dialog, AddChildText, reinterpret_cast<LPARAM>(&texts));
                         // A check box's text starts after its box and a gap.
                         for (const int id : BatchSettingsCheckBoxIds) {
                           HWND box = ::GetDlgItem(dialog, id);
                           wchar_t text[64] = {};
                           const int length = ::GetWindowTextW(box, text, 64);
                           HDC dc = ::GetDC(box);
                           HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(box, WM_GETFONT, 0, 0)));
                           SIZE extent{};
                           ::GetTextExtentPoint32W(dc, text, length, &extent);
                           ::SelectObject(dc, old);
                           ::ReleaseDC(box, dc);
                           RECT r{};
                           ::GetClientRect(box, &r);
                           if (extent.cx + ::GetSystemMetrics(SM_CXMENUCHECK) + 4 > r.right)
                             cut += platform::WideToUtf8(text) + "\n";
                         }
                         Click(dialog, IDCANCEL);
                       }});
  OpenSettings(*form);
  ASSERT_EQ(driver.StepsRun(), 1u);
  ASSERT_NE(captionFont, nullptr);
  int checked = 0;
  const std::string missing = MissingGlyphs(texts, checked);
  ::DeleteObject(captionFont);
  // The caption, four check boxes and the cancel button hold 63 of them.
  EXPECT_EQ(checked, 63);
  EXPECT_TRUE(missing.empty()) << "characters drawn as the missing glyph:\n" << missing;
  EXPECT_TRUE(cut.empty()) << "texts wider than their check box:\n" << cut;
}

// ---- Files handed over by a later copy of the program

LRESULT SendCopyData(HWND window, ULONG_PTR tag, const void* data, size_t size) {
  COPYDATASTRUCT copy{tag, static_cast<DWORD>(size), const_cast<void*>(data)};
  return ::SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
}
LRESULT SendFiles(HWND window, const std::vector<std::u16string>& names) {
  const std::vector<std::uint8_t> block = EncodeFileList(names);
  return SendCopyData(window, FileListCopyDataId, block.data(), block.size());
}

TEST_F(MainForm, AHandedOverListIsConvertedAsOneDropAfterTheSenderHasItsAnswer) {
  auto form = Open();
  form->SetInstanceName(InstanceName(Exe()));
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  EXPECT_EQ(SendFiles(form->Handle(), {u"C:\\写真 フォルダ\\猫 1.bmp", u"C:\\q\\b.bmp"}), TRUE);
  EXPECT_TRUE(Log.Loads.empty());  // the sender does not wait for the batch
  EXPECT_EQ(form->QueuedFileLists(), 1u);
  Application::ProcessMessages();
  ASSERT_EQ(Log.Loads.size(), 2u);
  EXPECT_EQ(Log.Loads[0].Source.wstring(), L"C:\\写真 フォルダ\\猫 1.bmp");
  EXPECT_EQ(Log.Loads[1].Position, 2);
  EXPECT_EQ(Log.Loads[1].Max, 2);
  EXPECT_EQ(Log.Saves, (std::vector<std::filesystem::path>{L"C:\\写真 フォルダ\\猫 1.jpg", L"C:\\q\\b.jpg"}));
  EXPECT_EQ(form->QueuedFileLists(), 0u);
  EXPECT_EQ(form->ProgressBar->Position(), 0);
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(MainForm, OnlyTheMarkedWindowTakesAListAndOnlyOfFullNamesWellFormed) {
  const std::vector<std::uint8_t> good = EncodeFileList({u"C:\\p\\a.bmp"});
  auto units = [](const std::u16string& text) {
    std::vector<std::uint8_t> block;
    for (const char16_t c : text) {
      block.push_back(static_cast<std::uint8_t>(c & 0xFF));
      block.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return block;
  };
  const std::vector<std::uint8_t> odd(good.begin(), good.end() - 1);
  const std::vector<std::uint8_t> unended(good.begin(), good.end() - 2);
  const std::vector<std::uint8_t> emptyName = units(std::u16string(u"C:\\a.bmp\0\0C:\\b.bmp\0\0", 20));
  const std::vector<std::uint8_t> relative = EncodeFileList({u"C:\\p\\a.bmp", u"b.bmp"});
  const std::vector<std::uint8_t> driveRelative = EncodeFileList({u"C:b.bmp"});
  const std::vector<std::uint8_t> unc = EncodeFileList({u"\\\\server\\share\\c.bmp", u"\\\\?\\C:\\d.bmp"});
  struct TCase {
    const char* What;
    bool Marked;
    ULONG_PTR Tag;
    const void* Data;
    size_t Size;
    size_t Files;  // 0: refused
  };
  const TCase cases[] = {
      {"a full name", true, FileListCopyDataId, good.data(), good.size(), 1},
      {"a network name and a long one", true, FileListCopyDataId, unc.data(), unc.size(), 2},
      {"an unmarked window", false, FileListCopyDataId, good.data(), good.size(), 0},
      {"another tag", true, FileListCopyDataId + 1, good.data(), good.size(), 0},
      {"no data", true, FileListCopyDataId, nullptr, good.size(), 0},
      {"half a code unit", true, FileListCopyDataId, odd.data(), odd.size(), 0},
      {"no end of the list", true, FileListCopyDataId, unended.data(), unended.size(), 0},
      {"an empty name", true, FileListCopyDataId, emptyName.data(), emptyName.size(), 0},
      {"a relative name", true, FileListCopyDataId, relative.data(), relative.size(), 0},
      {"a name relative to a drive", true, FileListCopyDataId, driveRelative.data(), driveRelative.size(), 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    Log.Loads.clear();
    auto form = Open();
    if (c.Marked) form->SetInstanceName(InstanceName(Exe()));
    EXPECT_EQ(SendCopyData(form->Handle(), c.Tag, c.Data, c.Size), c.Files > 0 ? TRUE : FALSE);
    EXPECT_EQ(form->QueuedFileLists(), c.Files > 0 ? 1u : 0u);
    Application::ProcessMessages();
    EXPECT_EQ(Log.Loads.size(), c.Files);
  }
  EXPECT_TRUE(Shell.Boxes.empty());
}

TEST_F(MainForm, ListsHandedOverDuringABatchWaitTheirTurnAndNeverNest) {
  auto form = Open();
  form->SetInstanceName(InstanceName(Exe()));
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  std::vector<int> depths;
  std::vector<LRESULT> answers;
  Log.OnLoad = [&](const std::filesystem::path& source) {
    depths.push_back(form->BatchDepth());
    if (source.filename() != "a.bmp") return;
    answers.push_back(SendFiles(form->Handle(), {u"C:\\n\\x.bmp"}));
    answers.push_back(SendFiles(form->Handle(), {u"C:\\n\\y.bmp", u"C:\\n\\z.bmp"}));
  };
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\b.bmp"});
  EXPECT_EQ(answers, (std::vector<LRESULT>{TRUE, TRUE}));
  ASSERT_EQ(Log.Loads.size(), 2u);  // the drop's batch alone
  EXPECT_EQ(form->QueuedFileLists(), 2u);
  Application::ProcessMessages();
  ASSERT_EQ(Log.Loads.size(), 5u);
  const wchar_t* order[] = {L"a.bmp", L"b.bmp", L"x.bmp", L"y.bmp", L"z.bmp"};
  const int positions[] = {1, 2, 1, 1, 2};
  const int maxima[] = {2, 2, 1, 2, 2};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Log.Loads[i].Source.filename().wstring(), order[i]) << i;
    EXPECT_EQ(Log.Loads[i].Position, positions[i]) << i;
    EXPECT_EQ(Log.Loads[i].Max, maxima[i]) << i;
  }
  EXPECT_EQ(depths, (std::vector<int>{1, 1, 1, 1, 1}));
  EXPECT_EQ(form->QueuedFileLists(), 0u);
  EXPECT_EQ(form->ProgressBar->Position(), 0);
}

TEST_F(MainForm, AQueuedListWaitsForTheErrorBoxAndAFailedListDoesNotCostTheNext) {
  auto form = Open();
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  std::vector<size_t> loadsDuringBox;
  ShellHooks().MessageBox = [&](HWND, const std::wstring& text, const std::wstring&, UINT) {
    // A modal box disables its owner and runs a loop of its own.
    ::EnableWindow(form->Handle(), FALSE);
    Application::ProcessMessages();
    loadsDuringBox.push_back(Log.Loads.size());
    ::EnableWindow(form->Handle(), TRUE);
    Shell.Boxes.push_back({nullptr, text, L"", 0});
    return IDOK;
  };
  Log.OnLoad = [](const std::filesystem::path& source) {
    if (source.filename() == "bad.bmp") throw EInvalidGraphic("Susie Plugins could not decode");
  };
  // As the program's own command line does it.
  form->QueueFiles({L"C:\\p\\bad.bmp", L"C:\\p\\c.bmp"});
  form->QueueFiles({L"C:\\p\\d.bmp"});
  form->QueueFiles({});
  EXPECT_EQ(form->QueuedFileLists(), 2u);
  Application::ProcessMessages();
  ASSERT_EQ(Shell.Boxes.size(), 1u);
  EXPECT_EQ(Shell.Boxes[0].Text, L"Susie Plugins could not decode.");
  EXPECT_EQ(loadsDuringBox, std::vector<size_t>{1});
  ASSERT_EQ(Log.Loads.size(), 2u);
  EXPECT_EQ(Log.Loads[1].Source.wstring(), L"C:\\p\\d.bmp");
  EXPECT_EQ(Log.Saves, std::vector<std::filesystem::path>{L"C:\\p\\d.jpg"});
  EXPECT_EQ(form->QueuedFileLists(), 0u);
}

TEST_F(MainForm, AWindowThatIsClosingTakesNoListAndLeavesTheQueueUnrun) {
  auto form = Open();
  form->SetInstanceName(InstanceName(Exe()));
  ::SendMessageW(form->HowSaveRadioGroup->ItemHandle(1), BM_CLICK, 0, 0);
  std::vector<LRESULT> answers;
  Log.OnLoad = [&](const std::filesystem::path& source) {
    if (source.filename() != "a.bmp") return;
    answers.push_back(SendFiles(form->Handle(), {u"C:\\n\\x.bmp"}));
    ::SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
    answers.push_back(SendFiles(form->Handle(), {u"C:\\n\\y.bmp"}));
  };
  SendDrop(form->Handle(), {L"C:\\p\\a.bmp", L"C:\\p\\b.bmp"});
  EXPECT_EQ(answers, (std::vector<LRESULT>{TRUE, FALSE}));
  Application::ProcessMessages();
  EXPECT_FALSE(form->HandleAllocated());
  EXPECT_EQ(Log.Loads.size(), 2u);
  // The window is gone, and with it its mark.
  EXPECT_EQ(FindInstanceWindow(InstanceName(Exe())), nullptr);
}

}  // namespace
