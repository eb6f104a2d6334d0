#include "app/win32/TavexMainFormUnit.h"

#include <cwctype>

#include "app/PluginPolicy.h"
#include "app/Settings.h"
#include "app/win32/SettingsDialog.h"
#include "app/win32/ShellHelpers.h"
#include "app/win32/SingleInstance.h"
#include "platform/win32/WinText.h"

namespace {

// Asks the window to go once no batch runs and no modal box is up.
constexpr UINT WM_TAVEX_RELEASE = WM_APP + 1;
// Asks the window to convert the next list of files handed over to it.
constexpr UINT WM_TAVEX_CONVERT = WM_APP + 2;

constexpr DWORD FormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_DLGFRAME | WS_CLIPCHILDREN;
constexpr DWORD FormExStyle = WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;

}  // namespace

// What the settings and the batch driver see of the window.
class TTavexMainForm::TWindowAccess final : public TSettingsWindow, public TBatchUI {
public:
  explicit TWindowAccess(TTavexMainForm& form) : FForm(form) {}

  int Top() const override { return Rect().top; }
  void SetTop(int value) override { Move(Left(), value); }
  int Left() const override { return Rect().left; }
  void SetLeft(int value) override { Move(value, Top()); }
  int Width() const override { return Rect().right - Rect().left; }
  int Height() const override { return Rect().bottom - Rect().top; }
  int HowSave() const override { return FForm.HowSaveRadioGroup->ItemIndex(); }
  void SetHowSave(int value) override { FForm.HowSaveRadioGroup->SetItemIndex(value); }

  int SaveMethod() override { return FForm.HowSaveRadioGroup->ItemIndex(); }
  std::string SaveFolder() override { return platform::WideToUtf8(FForm.SaveFolderEdit->Text()); }
  void SetProgressMax(int max) override { FForm.ProgressBar->SetMax(max); }
  void SetProgressPosition(int position) override { FForm.ProgressBar->SetPosition(position); }
  void ProcessMessages() override { Application::ProcessMessages(); }
  void BeepMessage(const std::string& text) override { ::BeepMessage(platform::Utf8ToWide(text)); }
  void ForceForeground() override { ::ForceForeground(FForm.Handle()); }

private:
  RECT Rect() const {
    RECT r{};
    ::GetWindowRect(FForm.Handle(), &r);
    return r;
  }
  void Move(int left, int top) const {
    ::SetWindowPos(FForm.Handle(), nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  TTavexMainForm& FForm;
};

TVX_DEFINE_ABSTRACT_CLASS(TTavexMainForm, TCustomForm)

TTavexMainForm::TTavexMainForm(TComponent* owner, std::filesystem::path exeFileName)
    : TCustomForm(owner), FExeFileName(std::move(exeFileName)) {
  auto own = [this](auto* component) {
    FOwned.emplace_back(component);
    return component;
  };
  HowSaveRadioGroup = own(new TRadioGroup(this, this, {0, 0, MainFormClientWidth, 105}, L"保存方法",
                                          {L"同じフォルダ", L"同じフォルダ（同名でも上書きしちゃう）", L"指定フォルダ"}));
  PageControl = own(new TPageControl(this, this, {0, 105, MainFormClientWidth, 113}));
  TabSheet1 = own(new TTabSheet(this, PageControl, L"TabSheet1"));
  TabSheet2 = own(new TTabSheet(this, PageControl, L"TabSheet2"));
  TabSheet3 = own(new TTabSheet(this, PageControl, L"TabSheet3"));
  Label1 = own(new TLabel(this, TabSheet1, {11, 19, 154, 13}, L"ファイル名の先頭に「_」をつけます"));
  Label2 = own(new TLabel(this, TabSheet2, {24, 24, 241, 13}, L"有無を言わさず上書きします  その際尋ねてきません"));
  SaveFolderEdit = own(new TEdit(this, TabSheet3, {80, 3, 369, 21}, L"保存先フォルダ.."));
  SpeedButton1 = own(new TSpeedButton(this, TabSheet3, {463, 5, 23, 22}, L"&.."));
  ProgressBar = own(new TProgressBar(this, this, {0, 218, MainFormClientWidth, 17}));

  // The windows come into being in creation order, which is also the tab order.
  Handle();
  for (const auto& c : FOwned) static_cast<TWinControl*>(c.get())->Handle();
  HowSaveRadioGroup->SetItemIndex(0);
  PageControl->SetActivePageIndex(0);
  Layout(static_cast<int>(::GetDpiForWindow(Handle())));
  // The settings dialog hangs off the system menu, so the window's own controls stay as
  // they are.
  HMENU systemMenu = ::GetSystemMenu(Handle(), FALSE);
  ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(systemMenu, MF_STRING, MainFormSettingsCommand, MainFormSettingsCaption);

  HowSaveRadioGroup->OnClick = [this](TObject* sender) { HowSaveRadioGroupClick(sender); };
  SpeedButton1->OnClick = [this](TObject* sender) { SpeedButton1Click(sender); };
  OnPaint = [this](TObject* sender) { FormPaint(sender); };

  FileDrop1 = own(new TFileDrop(this));
  FileDrop1->OnFileDrop = [this](TObject* sender, int num, const std::vector<std::filesystem::path>& files, int x,
                                 int y) { FileDrop1FileDrop(sender, num, files, x, y); };
  // The registry as the form describes it: every search place, no previews, the
  // window's three handlers.
  FSPIs = std::make_unique<TSPIs>(this);
  SPIs = FSPIs.get();
  SPIs->SetName("SPIs");
  ApplyMainFormPluginSettings(*SPIs);
  // Read before the search: it decides where the plug-ins are loaded.
  const TPluginHostSettings hosts = LoadPluginHostSettings(IniFileNameFor(FExeFileName),
                                                           {platform::PluginHostsByDefault(), SPIs->HostTimeoutSeconds});
  SPIs->OutOfProcess = hosts.OutOfProcess;
  SPIs->HostTimeoutSeconds = hosts.TimeoutSeconds;
  SPIs->OnSearching = [this](TObject* sender, const std::string& fileName, bool& accept) {
    SPIsSearching(sender, fileName, accept);
  };
  SPIs->OnSearch = [this](TObject* sender, TSPI* aspi, bool& accept) { SPIsSearch(sender, aspi, accept); };
  SPIs->OnPictureRegister = [this](TObject* sender, TInSPI* aspi, const std::string& extension,
                                   const std::string& description, const TClass*& graphicClass) {
    SPIsPictureRegister(sender, aspi, extension, description, graphicClass);
  };

  // Loading is over: the drop receiver hooks the window and the registry searches for
  // plug-ins.
  FileDrop1->Loaded();
  SPIs->Loaded();

  // A failure in the creation handler is shown, and the window is made all the same.
  try {
    FormCreate(this);
  } catch (...) {
    Application::HandleException();
  }
}

TTavexMainForm::~TTavexMainForm() {
  // The window goes first, while the drop receiver that hooked it is still there.
  DestroyHandle();
  while (!FOwned.empty()) FOwned.pop_back();
  if (FFont) ::DeleteObject(FFont);
}

void TTavexMainForm::CreateParams(DWORD& style, DWORD& exStyle, RECT& bounds) {
  style = FormStyle;
  exStyle = FormExStyle;
  // The size is set by Layout once the window's DPI is known.
  bounds = {MainFormDesignLeft, MainFormDesignTop, MainFormDesignLeft + MainFormClientWidth,
            MainFormDesignTop + MainFormClientHeight};
}

void TTavexMainForm::Layout(int dpi) {
  HWND hwnd = Handle();
  FDpi = dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
  HFONT font = ::CreateFontW(-ScaleForDpi(11, FDpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                             L"Tahoma");
  // The frame is whatever the system gives this window now; only the client area is ours.
  RECT outer{}, client{};
  ::GetWindowRect(hwnd, &outer);
  ::GetClientRect(hwnd, &client);
  const int frameWidth = (outer.right - outer.left) - client.right;
  const int frameHeight = (outer.bottom - outer.top) - client.bottom;
  ::SetWindowPos(hwnd, nullptr, 0, 0, ScaleForDpi(MainFormClientWidth, FDpi) + frameWidth,
                 ScaleForDpi(MainFormClientHeight, FDpi) + frameHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const auto& c : FOwned)
    if (auto* control = dynamic_cast<TControl*>(c.get())) control->ApplyLayout(FDpi, font);
  if (FFont) ::DeleteObject(FFont);
  FFont = font;
}

void TTavexMainForm::FormCreate(TObject*) {
  ::SetWindowTextW(Handle(), L"画像ファイルをドロップ");
  IniFileName = IniFileNameFor(FExeFileName);
  LoadSettings();
  for (int i = 0; i < PageControl->PageCount(); ++i) PageControl->Pages(i)->SetTabVisible(false);
}

void TTavexMainForm::FormPaint(TObject*) {
  // Once only: the page of the restored save method.
  OnPaint = nullptr;
  HowSaveRadioGroupClick(HowSaveRadioGroup);
}

void TTavexMainForm::HowSaveRadioGroupClick(TObject*) {
  PageControl->SetActivePageIndex(HowSaveRadioGroup->ItemIndex());
}

void TTavexMainForm::SpeedButton1Click(TObject*) {
  const std::wstring folder = BrowseForFolder(SaveFolderEdit->Text(), L"保存先の選択", Handle(), true, false);
  if (!folder.empty()) SaveFolderEdit->SetText(folder);
}

void TTavexMainForm::FormCloseQuery(TObject*, bool&) {
  // A settings file that cannot be written is reported once; the close goes on, since
  // refusing it would keep the window open for as long as the file stays unwritable.
  try {
    SaveSettings();
  } catch (...) {
    Application::HandleException();
  }
}

void TTavexMainForm::LoadSettings() {
  TWindowAccess access(*this);
  LoadWindowSettings(IniFileName, access,
                     {::GetSystemMetrics(SM_CXVIRTUALSCREEN), ::GetSystemMetrics(SM_CYVIRTUALSCREEN)});
}

void TTavexMainForm::SaveSettings() {
  TWindowAccess access(*this);
  SaveWindowSettings(IniFileName, access);
}

void TTavexMainForm::FileDrop1FileDrop(TObject*, int, const std::vector<std::filesystem::path>& files, int, int) {
  // The batch pumps messages: a drop there nests a batch, a close waits for the
  // outermost batch to end, so no control it drives is destroyed under it.
  struct TDepth {
    TTavexMainForm& Form;
    HWND Window;
    explicit TDepth(TTavexMainForm& form) : Form(form), Window(form.Handle()) { ++Form.FBatchDepth; }
    ~TDepth() {
      if (--Form.FBatchDepth > 0) return;
      // The window goes, or takes the next list of files handed over meanwhile.
      if (Form.FClosePending)
        ::PostMessageW(Window, WM_TAVEX_RELEASE, 0, 0);
      else if (!Form.FQueuedFiles.empty())
        ::PostMessageW(Window, WM_TAVEX_CONVERT, 0, 0);
    }
    TDepth(const TDepth&) = delete;
    TDepth& operator=(const TDepth&) = delete;
  } depth(*this);
  TWindowAccess access(*this);
  if (ConversionFactory)
    RunBatch(access, files, ConversionFactory);
  else
    RunBatch(access, files);
}

void TTavexMainForm::SPIsSearching(TObject* sender, const std::string& fileName, bool& accept) {
  ::SPIsSearching(sender, fileName, accept);
}

void TTavexMainForm::SPIsSearch(TObject* sender, TSPI* aspi, bool& accept) { ::SPIsSearch(sender, aspi, accept); }

void TTavexMainForm::SPIsPictureRegister(TObject* sender, TInSPI* aspi, const std::string& aExtension,
                                         const std::string& aDescription, const TClass*& aGraphicClass) {
  ::SPIsPictureRegister(sender, aspi, aExtension, aDescription, aGraphicClass);
}

void TTavexMainForm::CloseRequested() {
  bool canClose = true;
  FormCloseQuery(this, canClose);
  if (!canClose) return;
  if (FBatchDepth > 0) {
    FClosePending = true;
    return;
  }
  DestroyHandle();
}

void TTavexMainForm::ReleaseWhenIdle() {
  if (!FClosePending || FBatchDepth > 0) return;
  // A modal box (the batch's error box) disables its owner; go once it is closed.
  if (!::IsWindowEnabled(Handle())) {
    FReleasePending = true;
    return;
  }
  FReleasePending = false;
  DestroyHandle();
}

void TTavexMainForm::QueueFiles(std::vector<std::filesystem::path> files) {
  if (files.empty()) return;
  FQueuedFiles.push_back(std::move(files));
  ::PostMessageW(Handle(), WM_TAVEX_CONVERT, 0, 0);
}

void TTavexMainForm::ConvertQueuedFiles() {
  // Never inside a batch (its end asks again), nor under a modal box or the settings
  // dialog, which disable the window (enabling it asks again).
  if (FQueuedFiles.empty() || FBatchDepth > 0 || FClosePending) return;
  if (!::IsWindowEnabled(Handle())) {
    FConvertPending = true;
    return;
  }
  const std::vector<std::filesystem::path> files = std::move(FQueuedFiles.front());
  FQueuedFiles.pop_front();
  FileDrop1FileDrop(FileDrop1, static_cast<int>(files.size()), files, 0, 0);
}

void TTavexMainForm::SetInstanceName(std::wstring name) {
  if (!FInstanceName.empty()) ::RemovePropW(Handle(), FInstanceName.c_str());
  FInstanceName = std::move(name);
  if (!FInstanceName.empty()) ::SetPropW(Handle(), FInstanceName.c_str(), Handle());
}

void TTavexMainForm::ShowSettingsDialog() {
  // The batch reads the settings at its start; one running now keeps the ones it read.
  if (FBatchDepth > 0) return;
  EditBatchSettings(Handle(), IniFileName);
}

bool TTavexMainForm::PreTranslateMessage(MSG& msg) {
  // Alt plus the speed button's accelerator clicks it while its page shows.
  if (msg.message == WM_SYSCHAR && SpeedButton1->HandleAllocated() && ::IsWindowVisible(SpeedButton1->Handle()) &&
      static_cast<wchar_t>(std::towlower(static_cast<wint_t>(msg.wParam))) == SpeedButton1->Accelerator()) {
    SpeedButton1->Click();
    return true;
  }
  return TCustomForm::PreTranslateMessage(msg);
}

void TTavexMainForm::WndProc(TMessage& message) {
  switch (message.Msg) {
    case WM_COMMAND:
    case WM_NOTIFY: {
      HWND control;
      UINT code;
      if (message.Msg == WM_COMMAND) {
        control = reinterpret_cast<HWND>(message.LParam);
        code = HIWORD(message.WParam);
      } else {
        const auto* header = reinterpret_cast<const NMHDR*>(message.LParam);
        control = header->hwndFrom;
        code = header->code;
      }
      for (const auto& c : FOwned)
        if (auto* ctl = dynamic_cast<TControl*>(c.get()); ctl && ctl->HandleCommand(control, code)) return;
      DefaultHandler(message);
      return;
    }
    case WM_CLOSE: CloseRequested(); return;
    case WM_TAVEX_RELEASE: ReleaseWhenIdle(); return;
    case WM_TAVEX_CONVERT: ConvertQueuedFiles(); return;
    case WM_ENABLE:
      DefaultHandler(message);
      if (message.WParam && FReleasePending) ::PostMessageW(Handle(), WM_TAVEX_RELEASE, 0, 0);
      if (message.WParam && FConvertPending) {
        FConvertPending = false;
        ::PostMessageW(Handle(), WM_TAVEX_CONVERT, 0, 0);
      }
      return;
    case WM_SYSCOMMAND:
      if ((message.WParam & 0xFFF0) == MainFormSettingsCommand) {
        ShowSettingsDialog();
        return;
      }
      DefaultHandler(message);
      return;
    case WM_INITMENUPOPUP:
      if (HIWORD(message.LParam))
        ::EnableMenuItem(reinterpret_cast<HMENU>(message.WParam), MainFormSettingsCommand,
                         MF_BYCOMMAND | (FBatchDepth > 0 ? MF_GRAYED : MF_ENABLED));
      DefaultHandler(message);
      return;
    case WM_COPYDATA: {
      // Another process's data: only a marked window takes lists, and only once
      // ReceiveFileList has checked them; a window about to go takes none.
      std::optional<std::vector<std::filesystem::path>> files;
      if (!FInstanceName.empty() && !FClosePending)
        files = ReceiveFileList(reinterpret_cast<const COPYDATASTRUCT*>(message.LParam));
      message.Result = files ? TRUE : FALSE;
      if (files) QueueFiles(std::move(*files));
      return;
    }
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(message.LParam);
      ::SetWindowPos(Handle(), nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      Layout(HIWORD(message.WParam));
      return;
    }
    case WM_DESTROY:
      if (!FInstanceName.empty()) ::RemovePropW(Handle(), FInstanceName.c_str());
      DefaultHandler(message);
      if (IsMainForm) ::PostQuitMessage(0);
      return;
    default: TCustomForm::WndProc(message); return;
  }
}
