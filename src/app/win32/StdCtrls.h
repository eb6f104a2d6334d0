#pragma once
// The standard controls of the main window over the system's window classes: labels,
// an edit with a placeholder, a flat-less speed button that never takes the focus, a
// radio group, a page control with hideable tabs, a progress bar. Positions are given
// for 96 dots per inch and scaled to the window's DPI by SetBounds.
#include <string>
#include <vector>

#include "app/win32/Forms.h"

// Pixels at 96 DPI to pixels at dpi.
int ScaleForDpi(int value, int dpi) noexcept;

// Design-time bounds within the parent, at 96 DPI.
struct TBounds {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

// A windowed control with design bounds that a form places and gives its font.
class TControl : public TWinControl {
  TVX_DECLARE_CLASS
public:
  TControl(TComponent* owner, TWinControl* parent, TBounds bounds);
  const TBounds& Bounds() const noexcept { return FBounds; }
  // Places the window at its bounds scaled to dpi and sets its font (and its children's).
  virtual void ApplyLayout(int dpi, HFONT font);
  // A WM_COMMAND or WM_NOTIFY from one of this control's windows; true when handled.
  virtual bool HandleCommand(HWND control, UINT code);

private:
  TBounds FBounds;
};

// A control over a system window class with fixed styles and text.
class TSystemControl : public TControl {
  TVX_DECLARE_CLASS
public:
  TSystemControl(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring className, DWORD style,
                 DWORD exStyle, std::wstring text);
  std::wstring Text();
  void SetText(const std::wstring& text);

protected:
  HWND CreateWnd(HWND parent) override;

private:
  std::wstring FClassName, FText;
  DWORD FStyle, FExStyle;
};

// A label sizes itself to its text: the design width is a minimum, so glyphs wider than
// the designer's font (a fallback font for Japanese) are not cut.
class TLabel : public TSystemControl {
public:
  TLabel(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring caption);
  void ApplyLayout(int dpi, HFONT font) override;
};

// A single-line edit whose placeholder shows in grey while it is empty.
class TEdit : public TSystemControl {
public:
  TEdit(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring textHint);
  const std::wstring& TextHint() const noexcept { return FTextHint; }

protected:
  HWND CreateWnd(HWND parent) override;

private:
  std::wstring FTextHint;
};

// A push button drawn by itself that never takes the keyboard focus: clicking it leaves
// the focus where it was. Its caption's "&" marks the accelerator, which the form passes
// on as Alt+key.
class TSpeedButton : public TControl {
  TVX_DECLARE_CLASS
public:
  TSpeedButton(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring caption);
  TNotifyEvent OnClick;
  const std::wstring& Caption() const noexcept { return FCaption; }
  // The accelerator character (after "&"), lower case; 0 when there is none.
  wchar_t Accelerator() const noexcept;
  void Click();
  bool HandleCommand(HWND control, UINT code) override;

protected:
  HWND CreateWnd(HWND parent) override;

private:
  static LRESULT CALLBACK ButtonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Paint(HWND hwnd);
  std::wstring FCaption;
  HFONT FFont = nullptr;
  bool FDown = false;      // pressed with the mouse captured
  bool FPressed = false;   // drawn pushed: down and the pointer inside
};

// A group box with one column of radio buttons. ItemIndex is -1 when none is checked;
// OnClick runs when the user checks another item.
class TRadioGroup : public TControl {
  TVX_DECLARE_CLASS
public:
  TRadioGroup(TComponent* owner, TWinControl* parent, TBounds bounds, std::wstring caption,
              std::vector<std::wstring> items);
  TNotifyEvent OnClick;
  int ItemIndex() const noexcept { return FItemIndex; }
  // Kept within -1 .. the last item; does not run OnClick.
  void SetItemIndex(int value);
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  HWND ItemHandle(int index) const { return FButtons.at(static_cast<size_t>(index)); }
  void ApplyLayout(int dpi, HFONT font) override;
  bool HandleCommand(HWND control, UINT code) override;

protected:
  HWND CreateWnd(HWND parent) override;

private:
  std::wstring FCaption;
  std::vector<std::wstring> FItems;
  HWND FGroupBox = nullptr;
  std::vector<HWND> FButtons;
  int FItemIndex = -1;
};

class TPageControl;

// One page of a page control: a container for its controls, shown while active.
class TTabSheet : public TControl {
  TVX_DECLARE_CLASS
public:
  TTabSheet(TComponent* owner, TPageControl* pageControl, std::wstring caption);
  const std::wstring& Caption() const noexcept { return FCaption; }
  bool TabVisible() const noexcept { return FTabVisible; }
  void SetTabVisible(bool value);
  void ApplyLayout(int dpi, HFONT font) override;

protected:
  HWND CreateWnd(HWND parent) override;

private:
  TPageControl* FPageControl;
  std::wstring FCaption;
  bool FTabVisible = true;
};

// A tab control whose pages fill its body. Tabs can be hidden one by one; with none
// visible the active page fills the whole control, without a tab row.
class TPageControl : public TControl {
  TVX_DECLARE_CLASS
public:
  TPageControl(TComponent* owner, TWinControl* parent, TBounds bounds);
  int PageCount() const noexcept { return static_cast<int>(FPages.size()); }
  TTabSheet* Pages(int index) const { return FPages.at(static_cast<size_t>(index)); }
  TTabSheet* ActivePage() const noexcept { return FActivePage; }
  int ActivePageIndex() const noexcept;
  // -1 (or any index outside the pages) shows no page.
  void SetActivePageIndex(int index);
  // Number of tabs the tab row shows now.
  int VisibleTabCount();
  void ApplyLayout(int dpi, HFONT font) override;
  bool HandleCommand(HWND control, UINT code) override;

protected:
  HWND CreateWnd(HWND parent) override;

private:
  friend class TTabSheet;
  void AddPage(TTabSheet* page) { FPages.push_back(page); }
  void UpdateTabs();
  void PlacePages();
  std::vector<TTabSheet*> FPages;
  TTabSheet* FActivePage = nullptr;
  int FDpi = USER_DEFAULT_SCREEN_DPI;
};

class TProgressBar : public TControl {
  TVX_DECLARE_CLASS
public:
  TProgressBar(TComponent* owner, TWinControl* parent, TBounds bounds);
  int Min();
  int Max();
  void SetMax(int value);
  int Position();
  void SetPosition(int value);

protected:
  HWND CreateWnd(HWND parent) override;

private:
  int FMin = 0, FMax = 100;
};
