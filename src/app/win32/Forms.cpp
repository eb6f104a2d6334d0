#include "app/win32/Forms.h"

#include <algorithm>

#include "app/win32/ShellHelpers.h"
#include "platform/win32/WinText.h"
#include "rtl/Exception.h"
#include "rtl/File.h"

namespace {

std::vector<TCustomForm*>& LiveForms() {
  static std::vector<TCustomForm*> forms;
  return forms;
}

void Erase(std::vector<TComponent*>& list, TComponent* c) { std::erase(list, c); }

LRESULT CALLBACK ContainerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      if (HWND root = ::GetAncestor(hwnd, GA_ROOT); root && root != hwnd)
        return ::SendMessageW(root, msg, wParam, lParam);
      break;
    default: break;
  }
  return ::DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

// ---- TComponent

TVX_DEFINE_ABSTRACT_CLASS(TComponent, TPersistent)

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Tell everyone who asked, then the owner and the owner's other components.
  const std::vector<TComponent*> notifies = FFreeNotifies;
  for (TComponent* c : notifies) {
    Erase(c->FFreeNotifies, this);
    c->Notification(this, opRemove);
  }
  if (FOwner) {
    Erase(FOwner->FComponents, this);
    FOwner->Notification(this, opRemove);
    const std::vector<TComponent*> siblings = FOwner->FComponents;
    for (TComponent* c : siblings)
      if (std::find(notifies.begin(), notifies.end(), c) == notifies.end()) c->Notification(this, opRemove);
  }
  // Components outliving their owner are orphaned rather than left pointing at it.
  for (TComponent* c : FComponents) c->FOwner = nullptr;
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) == FFreeNotifies.end()) {
    FFreeNotifies.push_back(component);
    component->FFreeNotifies.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  Erase(FFreeNotifies, component);
  Erase(component->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove) Erase(FFreeNotifies, component);
}

// ---- TWinControl

TVX_DEFINE_ABSTRACT_CLASS(TWinControl, TComponent)

TWinControl::TWinControl(TComponent* owner, TWinControl* parent) : TComponent(owner), FParent(parent) {}

TWinControl::~TWinControl() { DestroyHandle(); }

HWND TWinControl::Handle() {
  if (!FHandle) {
    HWND parent = FParent ? FParent->Handle() : nullptr;
    FHandle = CreateWnd(parent);
    if (!FHandle) throw EOutOfResources("Error creating window: " + LastErrorText());
  }
  return FHandle;
}

void TWinControl::DestroyHandle() {
  // The handle stays known while the window is being destroyed: its last messages
  // still reach handlers that ask for it.
  if (FHandle && ::IsWindow(FHandle)) ::DestroyWindow(FHandle);
  FHandle = nullptr;
}

TSimpleControl::TSimpleControl(TComponent* owner, TWinControl* parent, std::wstring className, DWORD style,
                               DWORD exStyle, std::wstring text)
    : TWinControl(owner, parent), FClassName(std::move(className)), FText(std::move(text)), FStyle(style),
      FExStyle(exStyle) {}

HWND TSimpleControl::CreateWnd(HWND parent) {
  return ::CreateWindowExW(FExStyle, FClassName.c_str(), FText.c_str(), FStyle | (parent ? WS_CHILD : 0), 0, 0, 0,
                           0, parent, nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

const wchar_t* ContainerClassName() {
  static const wchar_t* const name = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ContainerProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = L"TTavexContainer";
    ::RegisterClassExW(&wc);
    return L"TTavexContainer";
  }();
  return name;
}

// ---- TCustomForm

TVX_DEFINE_ABSTRACT_CLASS(TCustomForm, TWinControl)

TCustomForm::TCustomForm(TComponent* owner) : TWinControl(owner, nullptr) { LiveForms().push_back(this); }

TCustomForm::~TCustomForm() {
  std::erase(LiveForms(), this);
  if (HandleAllocated()) ::SetWindowLongPtrW(Handle(), GWLP_USERDATA, 0);
}

HWND TCustomForm::CreateWnd(HWND parent) {
  const std::wstring className = platform::Utf8ToWide(ClassName());
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  if (!::GetClassInfoExW(instance, className.c_str(), &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ClassProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = className.c_str();
    if (!::RegisterClassExW(&wc)) return nullptr;
  }
  DWORD style = 0, exStyle = 0;
  RECT r{};
  CreateParams(style, exStyle, r);
  return ::CreateWindowExW(exStyle, className.c_str(), L"", style, r.left, r.top, r.right - r.left, r.bottom - r.top,
                           parent, nullptr, instance, this);
}

LRESULT CALLBACK TCustomForm::ClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TCustomForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!form && msg == WM_NCCREATE) {
    form = static_cast<TCustomForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    form->AdoptHandle(hwnd);
  }
  if (!form) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  TMessage m{msg, wParam, lParam, 0};
  // No exception leaves a window procedure: the application's box shows it.
  try {
    form->WndProc(m);
  } catch (...) {
    Application::HandleException();
  }
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    form->AdoptHandle(nullptr);
  }
  return m.Result;
}

void TCustomForm::WndProc(TMessage& message) {
  DefaultHandler(message);
  if (message.Msg == WM_PAINT) {
    // A copy: the handler may clear OnPaint while it runs.
    const TNotifyEvent handler = OnPaint;
    if (handler) handler(this);
  }
}

void TCustomForm::DefaultHandler(TMessage& message) {
  message.Result = ::DefWindowProcW(Handle(), message.Msg, message.WParam, message.LParam);
}

bool TCustomForm::PreTranslateMessage(MSG& msg) { return ::IsDialogMessageW(Handle(), &msg) != FALSE; }

// ---- Application

namespace Application {

std::wstring TitleFromExeName(std::wstring_view exeFileName) {
  const size_t slash = exeFileName.find_last_of(L"\\/:");
  std::wstring name(slash == std::wstring_view::npos ? exeFileName : exeFileName.substr(slash + 1));
  name = name.substr(0, name.find(L'.'));
  if (name.size() > 1) ::CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
  return name;
}

std::wstring Title() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return TitleFromExeName(path);
}

void ShowException(const std::exception& e) {
  if (dynamic_cast<const EAbort*>(&e)) return;
  ShellHooks().MessageBox(::GetActiveWindow(), platform::Utf8ToWide(ErrorBoxText(e.what())), Title(),
                          MB_OK | MB_ICONERROR);
}

void HandleException() {
  try {
    throw;
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(Exception("Unknown exception"));
  }
}

void DispatchOne(MSG& msg) {
  if (HWND root = msg.hwnd ? ::GetAncestor(msg.hwnd, GA_ROOT) : nullptr) {
    for (TCustomForm* form : LiveForms())
      if (form->HandleAllocated() && form->Handle() == root && form->PreTranslateMessage(msg)) return;
  }
  ::TranslateMessage(&msg);
  ::DispatchMessageW(&msg);
}

void ProcessMessages() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    DispatchOne(msg);
  }
}

int Run() {
  MSG msg;
  for (;;) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(msg.wParam);
    if (got == -1) return 1;
    DispatchOne(msg);
  }
}

}  // namespace Application
