#include "app/win32/SettingsDialog.h"

#include <iterator>

#include "app/Settings.h"
#include "app/win32/Forms.h"
#include "app/win32/SettingsDialogResource.h"
#include "rtl/Exception.h"
#include "rtl/File.h"

static_assert(BatchSettingsDialogId == IDD_BATCHSETTINGS);
static_assert(BatchSettingsCheckBoxIds[0] == IDC_SUBFOLDERS && BatchSettingsCheckBoxIds[1] == IDC_KEEPGOING &&
              BatchSettingsCheckBoxIds[2] == IDC_KEEPFILEDATE && BatchSettingsCheckBoxIds[3] == IDC_KEEPMETADATA);

namespace {

// Each check box and the switch it shows.
constexpr bool TBatchSettings::*Switches[] = {&TBatchSettings::IncludeSubfolders, &TBatchSettings::KeepGoing,
                                              &TBatchSettings::KeepFileDate, &TBatchSettings::KeepMetadata};
static_assert(std::size(Switches) == std::size(BatchSettingsCheckBoxIds));

struct TDialogData {
  const std::filesystem::path& IniFileName;
  bool Saved = false;
};

void ShowSettings(HWND dialog, const TBatchSettings& settings) {
  for (size_t i = 0; i < std::size(Switches); ++i)
    ::CheckDlgButton(dialog, BatchSettingsCheckBoxIds[i], settings.*Switches[i] ? BST_CHECKED : BST_UNCHECKED);
}

TBatchSettings ReadSettings(HWND dialog) {
  TBatchSettings settings;
  for (size_t i = 0; i < std::size(Switches); ++i)
    settings.*Switches[i] = ::IsDlgButtonChecked(dialog, BatchSettingsCheckBoxIds[i]) == BST_CHECKED;
  return settings;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  // No exception leaves the dialog: the application's box shows it.
  try {
    switch (msg) {
      case WM_INITDIALOG: {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        ShowSettings(dialog, LoadBatchSettings(reinterpret_cast<TDialogData*>(lParam)->IniFileName));
        return TRUE;
      }
      case WM_COMMAND: {
        auto* data = reinterpret_cast<TDialogData*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        switch (LOWORD(wParam)) {
          case IDOK:
            // A failed write leaves the file as it was; the dialog stays for another try
            // or Cancel.
            SaveBatchSettings(data->IniFileName, ReadSettings(dialog));
            data->Saved = true;
            ::EndDialog(dialog, IDOK);
            return TRUE;
          case IDCANCEL: ::EndDialog(dialog, IDCANCEL); return TRUE;
          default: return FALSE;
        }
      }
      default: return FALSE;
    }
  } catch (...) {
    Application::HandleException();
    return TRUE;
  }
}

}  // namespace

bool EditBatchSettings(HWND owner, const std::filesystem::path& iniFileName) {
  TDialogData data{iniFileName};
  const INT_PTR result =
      ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(BatchSettingsDialogId), owner,
                        SettingsDialogProc, reinterpret_cast<LPARAM>(&data));
  if (result == -1) throw EOutOfResources("Error creating window: " + LastErrorText());
  return data.Saved;
}
