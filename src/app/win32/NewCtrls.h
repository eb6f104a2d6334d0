#pragma once
// TFileDrop: makes a window accept files dropped from the shell and reports each drop
// as one event with the full path names, in the shell's order.
#include <filesystem>
#include <functional>
#include <vector>

#include "app/win32/Forms.h"
#include <shellapi.h>

// Sender, number of files, their full paths, the drop point in the target's client
// coordinates. The list lives only for the duration of the event.
using TFileDropEvent =
    std::function<void(TObject* sender, int num, const std::vector<std::filesystem::path>& files, int x, int y)>;

// A window procedure bound to one object: a few bytes of code that put the object in
// the place of the window handle and jump to a static procedure.
class TWndProcThunk {
public:
  using TTarget = LRESULT(CALLBACK*)(HWND self, UINT msg, WPARAM wParam, LPARAM lParam);
  TWndProcThunk(void* self, TTarget target);
  ~TWndProcThunk();
  TWndProcThunk(const TWndProcThunk&) = delete;
  TWndProcThunk& operator=(const TWndProcThunk&) = delete;
  WNDPROC Proc() const noexcept { return reinterpret_cast<WNDPROC>(FCode); }

private:
  void* FCode;
};

class TFileDrop : public TComponent {
  TVX_DECLARE_CLASS
public:
  explicit TFileDrop(TComponent* owner);
  ~TFileDrop() override;

  bool Accept() const noexcept { return FAccept; }
  void SetAccept(bool value);
  TWinControl* Control() const noexcept { return FControl; }
  void SetControl(TWinControl* value);
  TFileDropEvent OnFileDrop;

  void Loaded() override;
  // The window now hooked, or null.
  HWND HookedWindow() const noexcept { return FHookedWindow; }

  // Handles one drop given the shell's drop handle.
  virtual void DropFiles(HDROP drop);
  // Attaches to the target: Control, else the owner form.
  virtual void HookWindow();
  virtual void UnhookWindow();

protected:
  void Notification(TComponent* component, TOperation operation) override;
  // Every message of the hooked window.
  virtual void WndProc(TMessage& message);

private:
  static LRESULT CALLBACK ThunkTarget(HWND self, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND TargetHandle(bool create);

  bool FAccept = true;
  TWinControl* FControl = nullptr;
  HWND FHookedWindow = nullptr;
  WNDPROC FOldWndProc = nullptr;
  TWndProcThunk FThunk;
};
