#include "app/win32/NewCtrls.h"

#include <cstring>
#include <shellapi.h>

#include "rtl/Exception.h"
#include "rtl/File.h"

// ---- TWndProcThunk

namespace {

// The code, with the object and the target filled in:
//   x86-64:  mov rcx, self ; mov rax, target ; jmp rax        (the handle is the first argument, in rcx)
//   x86:     mov dword ptr [esp+4], self ; jmp target         (the handle is the first stack argument)
#if defined(__x86_64__)
constexpr unsigned char ThunkCode[] = {0x48, 0xB9, 0, 0, 0, 0, 0, 0, 0, 0,   // mov rcx, imm64
                                       0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0,   // mov rax, imm64
                                       0xFF, 0xE0};                          // jmp rax
void FillThunk(unsigned char* code, void* self, void* target) {
  std::memcpy(code, ThunkCode, sizeof ThunkCode);
  std::memcpy(code + 2, &self, 8);
  std::memcpy(code + 12, &target, 8);
}
#elif defined(__i386__)
constexpr unsigned char ThunkCode[] = {0xC7, 0x44, 0x24, 0x04, 0, 0, 0, 0,   // mov dword ptr [esp+4], imm32
                                       0xE9, 0, 0, 0, 0};                    // jmp rel32
void FillThunk(unsigned char* code, void* self, void* target) {
  std::memcpy(code, ThunkCode, sizeof ThunkCode);
  std::memcpy(code + 4, &self, 4);
  const auto rel = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(target) -
                                             reinterpret_cast<std::intptr_t>(code + sizeof ThunkCode));
  std::memcpy(code + 9, &rel, 4);
}
#else
#error "TWndProcThunk knows x86 and x86-64 code only"
#endif

}  // namespace

TWndProcThunk::TWndProcThunk(void* self, TTarget target)
    : FCode(::VirtualAlloc(nullptr, sizeof ThunkCode, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
  if (!FCode) throw EOutOfResources("Out of system resources: " + LastErrorText());
  FillThunk(static_cast<unsigned char*>(FCode), self, reinterpret_cast<void*>(target));
  // Written, then made executable and read-only: no page is ever writable and executable.
  DWORD old = 0;
  if (!::VirtualProtect(FCode, sizeof ThunkCode, PAGE_EXECUTE_READ, &old)) {
    const std::string reason = LastErrorText();
    ::VirtualFree(FCode, 0, MEM_RELEASE);
    throw EOutOfResources("Out of system resources: " + reason);
  }
  ::FlushInstructionCache(::GetCurrentProcess(), FCode, sizeof ThunkCode);
}

TWndProcThunk::~TWndProcThunk() { ::VirtualFree(FCode, 0, MEM_RELEASE); }

// ---- TFileDrop

TVX_DEFINE_ABSTRACT_CLASS(TFileDrop, TComponent)

TFileDrop::TFileDrop(TComponent* owner) : TComponent(owner), FThunk(this, ThunkTarget) {}

TFileDrop::~TFileDrop() { UnhookWindow(); }

void TFileDrop::SetAccept(bool value) {
  if (value == FAccept) return;
  FAccept = value;
  if (FHookedWindow) ::DragAcceptFiles(FHookedWindow, FAccept);
}

void TFileDrop::SetControl(TWinControl* value) {
  UnhookWindow();
  FControl = value;
  if (FControl) FControl->FreeNotification(this);
  HookWindow();
}

void TFileDrop::Loaded() {
  TComponent::Loaded();
  if (!FControl) SetControl(nullptr);
}

void TFileDrop::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && component == FControl) {
    // The shell is not told: the control's window is gone with it.
    FControl = nullptr;
    FAccept = false;
  }
}

HWND TFileDrop::TargetHandle(bool create) {
  TWinControl* target = FControl ? FControl : dynamic_cast<TCustomForm*>(Owner());
  if (!target) return nullptr;
  if (!create && !target->HandleAllocated()) return nullptr;
  return target->Handle();
}

void TFileDrop::HookWindow() {
  if (Designing()) return;
  if (!FControl && !dynamic_cast<TCustomForm*>(Owner())) throw Exception("Invalidate Window Handle in FileDrop");
  HWND window = TargetHandle(true);
  FHookedWindow = window;
  FOldWndProc = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(window, GWLP_WNDPROC));
  ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FThunk.Proc()));
  ::DragAcceptFiles(window, FAccept);
}

void TFileDrop::UnhookWindow() {
  if (Designing()) return;
  if (FHookedWindow && TargetHandle(false) == FHookedWindow)
    ::SetWindowLongPtrW(FHookedWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FOldWndProc));
  FHookedWindow = nullptr;
}

LRESULT CALLBACK TFileDrop::ThunkTarget(HWND self, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* drop = reinterpret_cast<TFileDrop*>(self);
  TMessage m{msg, wParam, lParam, 0};
  drop->WndProc(m);
  return m.Result;
}

void TFileDrop::WndProc(TMessage& message) {
  if (message.Msg == WM_DROPFILES) {
    auto* drop = reinterpret_cast<HDROP>(message.WParam);
    try {
      DropFiles(drop);
    } catch (...) {
      Application::HandleException();
    }
    ::DragFinish(drop);
    return;
  }
  message.Result = ::CallWindowProcW(FOldWndProc, FHookedWindow, message.Msg, message.WParam, message.LParam);
}

void TFileDrop::DropFiles(HDROP drop) {
  const TFileDropEvent handler = OnFileDrop;  // the event may replace itself
  if (!handler) return;
  std::vector<std::filesystem::path> files;
  POINT point{};
  ::DragQueryPoint(drop, &point);
  const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    // Ask for the length first: a name cut to a fixed buffer would name another file.
    const UINT length = ::DragQueryFileW(drop, i, nullptr, 0);
    std::wstring name(length + 1, L'\0');
    const UINT got = ::DragQueryFileW(drop, i, name.data(), length + 1);
    name.resize(got);
    files.emplace_back(name);
  }
  handler(this, static_cast<int>(count), files, point.x, point.y);
}
