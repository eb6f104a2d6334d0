// The program's entry: the libraries, COM for the folder browser, the main window and
// its message loop.
#include "platform/win32/WinHeaders.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/Startup.h"
#include "app/win32/TavexMainFormUnit.h"
#include "platform/Folders.h"

namespace {

// COM for the user-interface thread, released only when initialising succeeded.
class TComApartment {
public:
  TComApartment() : FInitialised(SUCCEEDED(::CoInitialize(nullptr))) {}
  ~TComApartment() {
    if (FInitialised) ::CoUninitialize();
  }
  TComApartment(const TComApartment&) = delete;
  TComApartment& operator=(const TComApartment&) = delete;

private:
  bool FInitialised;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
  TavexStartup();
  int result = 0;
  {
    const TComApartment com;
    const INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES |
                                                                     ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
    try {
      // The main window has no owner, so it owns the task-bar button.
      TTavexMainForm form(nullptr, platform::ExeFileName());
      form.IsMainForm = true;
      ::ShowWindow(form.Handle(), showCommand);
      ::UpdateWindow(form.Handle());
      result = Application::Run();
    } catch (...) {
      Application::HandleException();
      result = 1;
    }
  }
  TavexShutdown();
  return result;
}
