// The program's entry: the files on the command line, handed to a copy of the program
// that runs already; else the libraries, COM for the folder browser, the main window
// and its message loop.
#include "platform/win32/WinHeaders.h"

#include <commctrl.h>
#include <objbase.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "app/Startup.h"
#include "app/win32/SingleInstance.h"
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
  // Send To, or files dropped on the program's icon. A copy of the program that runs
  // already converts them in its window; started without files, this copy only brings
  // that window to the front. Either way it ends here, with no window of its own.
  std::vector<std::filesystem::path> files;
  std::unique_ptr<TInstanceLock> instance;
  try {
    files = CommandLineFiles(::GetCommandLineW());
    instance = std::make_unique<TInstanceLock>(InstanceName(platform::ExeFileName()));
    if (!BecomeRunningInstance(*instance, files)) return 0;
  } catch (...) {
    // Without the hand-over this copy runs as if it were the only one.
  }
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
      // Ready: the settings are read and the window is shown. Later copies hand their
      // files over from now on; this copy's own are the first drop.
      if (instance && instance->Held()) form.SetInstanceName(instance->Name());
      form.QueueFiles(std::move(files));
      result = Application::Run();
    } catch (...) {
      Application::HandleException();
      result = 1;
    }
  }
  TavexShutdown();
  return result;
}
