#include "app/win32/StdCtrls.h"

#include <algorithm>
#include <commctrl.h>
#include <cwctype>

namespace {

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

void SetFont(HWND hwnd, HFONT font) {
  if (hwnd) ::SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

// Keyboard navigation (Tab, arrows) looks into windows with this style.
constexpr DWORD ContainerStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;

HWND CreateContainer(HWND parent, DWORD style) {
  return ::CreateWindowExW(WS_EX_CONTROLPARENT, ContainerClassName(), L"", style, 0, 0, 0, 0, parent, nullptr,
                           Instance(), nullptr);
}

const wchar_t SpeedButtonClass[] = L"TTavexSpeedButton";

}  // namespace

int ScaleForDpi(int value, int dpi) noexcept { return ::MulDiv(value, dpi, USER_DEFAULT_SCREEN_DPI); }

// ---- TControl

TVX_DEFINE_ABSTRACT_CLASS(TControl, TWinControl)

TControl::TControl(TComponent* owner, TWinControl* parent, TBounds bounds) : TWinControl(owner, parent), FBounds(bounds) {}

void TControl::ApplyLayout(int dpi, HFONT font) {
  ::SetWindowPos(Handle(), nullptr, ScaleForDpi(FBounds.Left, dpi), ScaleForDpi(FBounds.Top, dpi),
                 ScaleForDpi(FBounds.Width, dpi), ScaleForDpi(FBounds.Height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
  SetFont(Handle(), font);
}

bool TControl::HandleCommand(HWND, UINT) { return false; }

// ---- TSystemControl

TVX_DEFINE_ABSTRACT_CLASS(TSystemControl, TControl)

TSystemControl::TSystemControl(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring className,
                               DWORD style, DWORD exStyle, std::wstring text)
    : TControl(owner, parent, bounds), FClassName(std::move(className)), FText(std::move(text)), FStyle(style),
      FExStyle(exStyle) {}

HWND TSystemControl::CreateWnd(HWND parent) {
  return ::CreateWindowExW(FExStyle, FClassName.c_str(), FText.c_str(), FStyle | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                           parent, nullptr, Instance(), nullptr);
}

std::wstring TSystemControl::Text() {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(Handle())) + 1, L'\0');
  text.resize(static_cast<size_t>(::GetWindowTextW(Handle(), text.data(), static_cast<int>(text.size()))));
  return text;
}

void TSystemControl::SetText(const std::wstring& text) { ::SetWindowTextW(Handle(), text.c_str()); }

TLabel::TLabel(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring caption)
    : TSystemControl(owner, parent, bounds, L"STATIC", SS_LEFT | SS_NOPREFIX, 0, std::move(caption)) {}

void TLabel::ApplyLayout(int dpi, HFONT font) {
  TSystemControl::ApplyLayout(dpi, font);
  const std::wstring text = Text();
  HDC dc = ::GetDC(Handle());
  HGDIOBJ old = ::SelectObject(dc, font);
  SIZE extent{};
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  ::SelectObject(dc, old);
  ::ReleaseDC(Handle(), dc);
  ::SetWindowPos(Handle(), nullptr, 0, 0, std::max(static_cast<int>(extent.cx), ScaleForDpi(Bounds().Width, dpi)),
                 std::max(static_cast<int>(extent.cy), ScaleForDpi(Bounds().Height, dpi)),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

TEdit::TEdit(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring textHint)
    : TSystemControl(owner, parent, bounds, L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, L""),
      FTextHint(std::move(textHint)) {}

HWND TEdit::CreateWnd(HWND parent) {
  HWND hwnd = TSystemControl::CreateWnd(parent);
  // Shown also while the edit has the focus, as long as it is empty.
  if (hwnd) ::SendMessageW(hwnd, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(FTextHint.c_str()));
  return hwnd;
}

// ---- TSpeedButton

TVX_DEFINE_ABSTRACT_CLASS(TSpeedButton, TControl)

TSpeedButton::TSpeedButton(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring caption)
    : TControl(owner, parent, bounds), FCaption(std::move(caption)) {}

wchar_t TSpeedButton::Accelerator() const noexcept {
  for (size_t i = 0; i + 1 < FCaption.size(); ++i) {
    if (FCaption[i] != L'&') continue;
    if (FCaption[i + 1] != L'&') return static_cast<wchar_t>(std::towlower(FCaption[i + 1]));
    ++i;  // "&&" is a plain "&"
  }
  return 0;
}

void TSpeedButton::Click() {
  const TNotifyEvent handler = OnClick;
  if (handler) handler(this);
}

bool TSpeedButton::HandleCommand(HWND control, UINT code) {
  if (!HandleAllocated() || control != Handle() || code != BN_CLICKED) return false;
  Click();
  return true;
}

HWND TSpeedButton::CreateWnd(HWND parent) {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ButtonProc;
    wc.hInstance = Instance();
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = SpeedButtonClass;
    return ::RegisterClassExW(&wc) != 0;
  }();
  if (!registered) return nullptr;
  return ::CreateWindowExW(0, SpeedButtonClass, FCaption.c_str(), WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent, nullptr,
                           Instance(), this);
}

void TSpeedButton::Paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(hwnd, &ps);
  RECT r;
  ::GetClientRect(hwnd, &r);
  ::DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (FPressed ? DFCS_PUSHED : 0));
  if (FPressed) ::OffsetRect(&r, 1, 1);
  HGDIOBJ old = FFont ? ::SelectObject(dc, FFont) : nullptr;
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
  ::DrawTextW(dc, FCaption.c_str(), static_cast<int>(FCaption.size()), &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  if (old) ::SelectObject(dc, old);
  ::EndPaint(hwnd, &ps);
}

LRESULT CALLBACK TSpeedButton::ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE)
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  auto* self = reinterpret_cast<TSpeedButton*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  auto inside = [&] {
    RECT r;
    ::GetClientRect(hwnd, &r);
    const POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    return ::PtInRect(&r, p) != FALSE;
  };
  auto setPressed = [&](bool pressed) {
    if (pressed == self->FPressed) return;
    self->FPressed = pressed;
    ::InvalidateRect(hwnd, nullptr, FALSE);
  };
  switch (msg) {
    case WM_PAINT: self->Paint(hwnd); return 0;
    case WM_SETFONT:
      self->FFont = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam)) ::InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // No SetFocus: the focus stays in the control the user was typing in.
      self->FDown = true;
      ::SetCapture(hwnd);
      setPressed(true);
      return 0;
    case WM_MOUSEMOVE:
      if (self->FDown) setPressed(inside());
      return 0;
    case WM_LBUTTONUP:
      if (self->FDown) {
        const bool clicked = inside();
        self->FDown = false;
        setPressed(false);
        ::ReleaseCapture();
        if (clicked)
          ::SendMessageW(::GetParent(hwnd), WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
      }
      return 0;
    case WM_CAPTURECHANGED:
      self->FDown = false;
      setPressed(false);
      return 0;
    case BM_CLICK:
      ::SendMessageW(::GetParent(hwnd), WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
      return 0;
    case WM_NCDESTROY: ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0); break;
    default: break;
  }
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

// ---- TRadioGroup

TVX_DEFINE_ABSTRACT_CLASS(TRadioGroup, TControl)

TRadioGroup::TRadioGroup(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring caption,
                         std::vector<std::wstring> items)
    : TControl(owner, parent, bounds), FCaption(std::move(caption)), FItems(std::move(items)) {}

HWND TRadioGroup::CreateWnd(HWND parent) {
  HWND box = CreateContainer(parent, ContainerStyle);
  if (!box) return nullptr;
  FGroupBox = ::CreateWindowExW(0, L"BUTTON", FCaption.c_str(), WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0, 0, 0, 0, box,
                                nullptr, Instance(), nullptr);
  FButtons.clear();
  for (size_t i = 0; i < FItems.size(); ++i) {
    // The first item starts the group and is the one Tab stops at.
    const DWORD style = WS_CHILD | WS_VISIBLE | BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0);
    FButtons.push_back(::CreateWindowExW(0, L"BUTTON", FItems[i].c_str(), style, 0, 0, 0, 0, box,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + i)), Instance(), nullptr));
  }
  for (size_t i = 0; i < FButtons.size(); ++i)
    ::SendMessageW(FButtons[i], BM_SETCHECK, static_cast<int>(i) == FItemIndex ? BST_CHECKED : BST_UNCHECKED, 0);
  return box;
}

void TRadioGroup::SetItemIndex(int value) {
  FItemIndex = std::clamp(value, -1, Count() - 1);
  if (!HandleAllocated()) return;
  for (size_t i = 0; i < FButtons.size(); ++i)
    ::SendMessageW(FButtons[i], BM_SETCHECK, static_cast<int>(i) == FItemIndex ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TRadioGroup::ApplyLayout(int dpi, HFONT font) {
  TControl::ApplyLayout(dpi, font);
  const int width = ScaleForDpi(Bounds().Width, dpi), height = ScaleForDpi(Bounds().Height, dpi);
  ::SetWindowPos(FGroupBox, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  SetFont(FGroupBox, font);
  // One column under the caption line; the rows share the height evenly.
  TEXTMETRICW tm{};
  HDC dc = ::GetDC(FGroupBox);
  HGDIOBJ old = ::SelectObject(dc, font);
  ::GetTextMetricsW(dc, &tm);
  ::SelectObject(dc, old);
  ::ReleaseDC(FGroupBox, dc);
  if (FButtons.empty()) return;
  const int rows = static_cast<int>(FButtons.size());
  const int space = std::max(height - static_cast<int>(tm.tmHeight) - ScaleForDpi(5, dpi), rows);
  const int rowHeight = space / rows;
  const int top = static_cast<int>(tm.tmHeight) + 1 + (space % rows) / 2;
  for (int i = 0; i < rows; ++i) {
    HWND b = FButtons[static_cast<size_t>(i)];
    ::SetWindowPos(b, nullptr, ScaleForDpi(8, dpi), top + i * rowHeight, width - ScaleForDpi(16, dpi), rowHeight,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    SetFont(b, font);
  }
}

bool TRadioGroup::HandleCommand(HWND control, UINT code) {
  const auto it = std::find(FButtons.begin(), FButtons.end(), control);
  if (it == FButtons.end() || code != BN_CLICKED) return it != FButtons.end();
  const int index = static_cast<int>(it - FButtons.begin());
  // A click on the checked item, or a notification of an unchecked one, changes nothing.
  if (index == FItemIndex || ::SendMessageW(control, BM_GETCHECK, 0, 0) != BST_CHECKED) return true;
  FItemIndex = index;
  const TNotifyEvent handler = OnClick;
  if (handler) handler(this);
  return true;
}

// ---- TTabSheet

TVX_DEFINE_ABSTRACT_CLASS(TTabSheet, TControl)

TTabSheet::TTabSheet(TComponent* owner, TPageControl* pageControl, std::wstring caption)
    : TControl(owner, pageControl, {}), FPageControl(pageControl), FCaption(std::move(caption)) {
  pageControl->AddPage(this);
}

HWND TTabSheet::CreateWnd(HWND parent) { return CreateContainer(parent, WS_CHILD | WS_CLIPSIBLINGS); }

void TTabSheet::SetTabVisible(bool value) {
  if (value == FTabVisible) return;
  FTabVisible = value;
  FPageControl->UpdateTabs();
}

void TTabSheet::ApplyLayout(int, HFONT) {}

// ---- TPageControl

TVX_DEFINE_ABSTRACT_CLASS(TPageControl, TControl)

TPageControl::TPageControl(TComponent* owner, TWinControl* parent, TBounds bounds) : TControl(owner, parent, bounds) {}

HWND TPageControl::CreateWnd(HWND parent) {
  return ::CreateWindowExW(WS_EX_CONTROLPARENT, WC_TABCONTROLW, L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP, 0, 0, 0, 0, parent,
                           nullptr, Instance(), nullptr);
}

int TPageControl::ActivePageIndex() const noexcept {
  const auto it = std::find(FPages.begin(), FPages.end(), FActivePage);
  return it == FPages.end() ? -1 : static_cast<int>(it - FPages.begin());
}

void TPageControl::SetActivePageIndex(int index) {
  FActivePage = index >= 0 && index < PageCount() ? FPages[static_cast<size_t>(index)] : nullptr;
  if (!HandleAllocated()) return;
  UpdateTabs();
}

int TPageControl::VisibleTabCount() { return static_cast<int>(::SendMessageW(Handle(), TCM_GETITEMCOUNT, 0, 0)); }

void TPageControl::UpdateTabs() {
  HWND tab = Handle();
  ::SendMessageW(tab, TCM_DELETEALLITEMS, 0, 0);
  int selected = -1, n = 0;
  for (TTabSheet* page : FPages) {
    if (!page->TabVisible()) continue;
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    std::wstring caption = page->Caption();
    item.pszText = caption.data();
    ::SendMessageW(tab, TCM_INSERTITEMW, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(&item));
    if (page == FActivePage) selected = n;
    ++n;
  }
  ::SendMessageW(tab, TCM_SETCURSEL, static_cast<WPARAM>(selected), 0);
  PlacePages();
}

void TPageControl::PlacePages() {
  HWND tab = Handle();
  RECT r;
  ::GetClientRect(tab, &r);
  if (VisibleTabCount() > 0) {
    ::SendMessageW(tab, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&r));
  } else {
    const int border = ScaleForDpi(4, FDpi);
    ::InflateRect(&r, -border, -border);
  }
  for (TTabSheet* page : FPages) {
    HWND p = page->Handle();
    ::SetWindowPos(p, HWND_TOP, r.left, r.top, std::max<LONG>(0, r.right - r.left), std::max<LONG>(0, r.bottom - r.top),
                   SWP_NOACTIVATE | (page == FActivePage ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
  }
  ::InvalidateRect(tab, nullptr, TRUE);
}

void TPageControl::ApplyLayout(int dpi, HFONT font) {
  FDpi = dpi;
  TControl::ApplyLayout(dpi, font);
  UpdateTabs();
}

bool TPageControl::HandleCommand(HWND control, UINT code) {
  if (!HandleAllocated() || control != Handle()) return false;
  if (code == static_cast<UINT>(TCN_SELCHANGE)) {
    // The n-th visible tab names the page.
    int n = static_cast<int>(::SendMessageW(Handle(), TCM_GETCURSEL, 0, 0));
    for (TTabSheet* page : FPages) {
      if (!page->TabVisible()) continue;
      if (n-- == 0) {
        FActivePage = page;
        PlacePages();
        break;
      }
    }
  }
  return true;
}

// ---- TProgressBar

TVX_DEFINE_ABSTRACT_CLASS(TProgressBar, TControl)

TProgressBar::TProgressBar(TComponent* owner, TWinControl* parent, TBounds bounds) : TControl(owner, parent, bounds) {}

HWND TProgressBar::CreateWnd(HWND parent) {
  HWND hwnd = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent, nullptr,
                                Instance(), nullptr);
  if (hwnd) ::SendMessageW(hwnd, PBM_SETRANGE32, static_cast<WPARAM>(FMin), FMax);
  return hwnd;
}

int TProgressBar::Min() { return static_cast<int>(::SendMessageW(Handle(), PBM_GETRANGE, TRUE, 0)); }
int TProgressBar::Max() { return static_cast<int>(::SendMessageW(Handle(), PBM_GETRANGE, FALSE, 0)); }

void TProgressBar::SetMax(int value) {
  FMax = value;
  ::SendMessageW(Handle(), PBM_SETRANGE32, static_cast<WPARAM>(FMin), FMax);
}

int TProgressBar::Position() { return static_cast<int>(::SendMessageW(Handle(), PBM_GETPOS, 0, 0)); }

void TProgressBar::SetPosition(int value) { ::SendMessageW(Handle(), PBM_SETPOS, static_cast<WPARAM>(value), 0); }
