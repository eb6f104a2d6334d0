#pragma once
// The small window framework the program needs: components with owners and removal
// notifications, windowed controls that create their window on demand, forms with a
// virtual window procedure, and the application's services (title, exception box,
// message pump).
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/WinHeaders.h"
#include "rtl/Classes.h"

enum TOperation : std::uint8_t { opInsert, opRemove };

// A window message as a component's window procedure sees it.
struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

class TComponent : public TPersistent {
  TVX_DECLARE_CLASS
public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return FOwner; }
  // Asks this component to call component->Notification(this, opRemove) when it goes.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);
  // Design mode: the component is being edited in a designer rather than run.
  bool Designing() const noexcept { return FDesigning; }
  void SetDesigning(bool value) noexcept { FDesigning = value; }
  // Called once the owner has applied the component's designed properties.
  virtual void Loaded() {}
  // The components this one owns, in creation order.
  const std::vector<TComponent*>& Components() const noexcept { return FComponents; }

protected:
  // A component that this one owns, or asked to be told about, is being removed.
  virtual void Notification(TComponent* component, TOperation operation);

private:
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;     // owned by FOwner's members, listed for notifications
  std::vector<TComponent*> FFreeNotifies;   // both directions: who tells whom on removal
  bool FDesigning = false;
};

// A control with a window of its own, created the first time its handle is asked for.
class TWinControl : public TComponent {
  TVX_DECLARE_CLASS
public:
  TWinControl(TComponent* owner, TWinControl* parent);
  ~TWinControl() override;

  HWND Handle();
  bool HandleAllocated() const noexcept { return FHandle != nullptr; }
  // Destroys the window; a later Handle() makes a new one.
  void DestroyHandle();
  TWinControl* Parent() const noexcept { return FParent; }

protected:
  // Makes the window; parent is the parent's handle or null for a top-level window.
  virtual HWND CreateWnd(HWND parent) = 0;
  // The handle of a window that the control did not make through CreateWnd, or null
  // once the system has destroyed the window.
  void AdoptHandle(HWND handle) noexcept { FHandle = handle; }

private:
  TWinControl* FParent;
  HWND FHandle = nullptr;
};

// A plain child window of a given class, for controls without their own behaviour.
class TSimpleControl : public TWinControl {
public:
  TSimpleControl(TComponent* owner, TWinControl* parent, std::wstring className, DWORD style, DWORD exStyle,
                 std::wstring text = {});

protected:
  HWND CreateWnd(HWND parent) override;

private:
  std::wstring FClassName, FText;
  DWORD FStyle, FExStyle;
};

// A top-level window whose messages reach the virtual WndProc.
class TCustomForm : public TWinControl {
  TVX_DECLARE_CLASS
public:
  explicit TCustomForm(TComponent* owner);
  ~TCustomForm() override;

  // A handler for WM_PAINT after the default painting; the form may clear it while it runs.
  TNotifyEvent OnPaint;

  // Keyboard handling before a message of this form's windows is dispatched; true when
  // the message was used up. The default gives dialog keys (Tab, arrows) their meaning.
  virtual bool PreTranslateMessage(MSG& msg);

protected:
  HWND CreateWnd(HWND parent) override;
  // Window class, styles and outer rectangle of the window to create.
  virtual void CreateParams(DWORD& style, DWORD& exStyle, RECT& bounds) = 0;
  // Every message of the window; the default passes it to DefWindowProcW.
  virtual void WndProc(TMessage& message);
  void DefaultHandler(TMessage& message);

private:
  static LRESULT CALLBACK ClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};

// Registers (once) a child window class that forwards commands, notifications and
// control colours to its top-level window, so a form answers for controls grouped on
// panels and pages.
const wchar_t* ContainerClassName();

namespace Application {

// The executable's file name without its folder, cut before its first ".", every
// character after the first in lower case ("C:\x\TAVEX.Exe" gives "Tavex").
std::wstring TitleFromExeName(std::wstring_view exeFileName);
// TitleFromExeName of this process's executable.
std::wstring Title();
// The application's exception box: nothing for EAbort; otherwise a modal box with an
// error icon and OK, captioned with the title, whose text is the message with "."
// appended when its last character's code is above that of ".".
void ShowException(const std::exception& e);
// The same for the exception being handled (call inside a catch block).
void HandleException();
// Translates and dispatches one message, after the owning form's PreTranslateMessage.
void DispatchOne(MSG& msg);
// Processes the messages that are waiting, once, and returns. A quit request found on
// the way is put back for the message loop.
void ProcessMessages();
// The message loop: runs until a quit request; returns its exit code.
int Run();

}  // namespace Application
