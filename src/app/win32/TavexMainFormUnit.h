#pragma once
// The main window: the save method, the destination folder, the progress bar; files
// dropped on it are converted by the batch driver. Its system menu opens the settings
// dialog; files handed over from the command line are converted as drops.
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Batch.h"
#include "app/Settings.h"
#include "app/win32/NewCtrls.h"
#include "app/win32/StdCtrls.h"
#include "spi/SPIs.h"

class TTavexMainForm : public TCustomForm {
  TVX_DECLARE_CLASS
public:
  // The window with its controls, hooked for drops, after FormCreate. exeFileName is the
  // program's path, which names the settings file beside it.
  TTavexMainForm(TComponent* owner, std::filesystem::path exeFileName);
  ~TTavexMainForm() override;

  // Controls, in creation order.
  TRadioGroup* HowSaveRadioGroup;
  TPageControl* PageControl;
  TTabSheet* TabSheet1;
  TTabSheet* TabSheet2;
  TTabSheet* TabSheet3;
  TLabel* Label1;
  TLabel* Label2;
  TEdit* SaveFolderEdit;
  TSpeedButton* SpeedButton1;
  TProgressBar* ProgressBar;
  TFileDrop* FileDrop1;
  // The plug-in registry: searched while the window is made, unloaded when it goes.
  TSPIs* SPIs;

  std::filesystem::path IniFileName;

  // Makes one file's conversion; empty means the program's own.
  TFileConversionFactory ConversionFactory;
  // The program's main window ends the message loop when it is destroyed.
  bool IsMainForm = false;

  void FormCreate(TObject* sender);
  void FormPaint(TObject* sender);
  void HowSaveRadioGroupClick(TObject* sender);
  void SpeedButton1Click(TObject* sender);
  void FormCloseQuery(TObject* sender, bool& canClose);
  void FileDrop1FileDrop(TObject* sender, int num, const std::vector<std::filesystem::path>& files, int x, int y);
  void SPIsSearching(TObject* sender, const std::string& fileName, bool& accept);
  void SPIsSearch(TObject* sender, TSPI* aspi, bool& accept);
  void SPIsPictureRegister(TObject* sender, TInSPI* aspi, const std::string& aExtension,
                           const std::string& aDescription, const TClass*& aGraphicClass);

  void LoadSettings();
  void SaveSettings();

  // Batches running now (a drop during a batch's message pump nests one more).
  int BatchDepth() const noexcept { return FBatchDepth; }
  // A close was asked for while a batch ran: the window goes when the batch ends.
  bool ClosePending() const noexcept { return FClosePending; }
  int Dpi() const noexcept { return FDpi; }

  bool PreTranslateMessage(MSG& msg) override;

  // Converts the files as one drop once no batch runs and no modal box or dialog is up;
  // lists that arrive meanwhile wait in turn. Nothing for an empty list.
  void QueueFiles(std::vector<std::filesystem::path> files);
  // Lists waiting for their batch.
  size_t QueuedFileLists() const noexcept { return FQueuedFiles.size(); }
  // Marks the window as the one that the program's later copies hand their files to
  // (WM_COPYDATA file lists, see SingleInstance.h).
  void SetInstanceName(std::wstring name);

protected:
  void CreateParams(DWORD& style, DWORD& exStyle, RECT& bounds) override;
  void WndProc(TMessage& message) override;

private:
  class TWindowAccess;
  // Sizes the window and places the controls for dpi, with the font at that size.
  void Layout(int dpi);
  void CloseRequested();
  void ReleaseWhenIdle();
  void ConvertQueuedFiles();
  void ShowSettingsDialog();

  std::filesystem::path FExeFileName;
  int FDpi = USER_DEFAULT_SCREEN_DPI;
  HFONT FFont = nullptr;
  std::unique_ptr<TSPIs> FSPIs;                      // outlives the window and its controls
  std::vector<std::unique_ptr<TComponent>> FOwned;  // controls; released in reverse
  int FBatchDepth = 0;
  bool FClosePending = false;
  bool FReleasePending = false;
  std::deque<std::vector<std::filesystem::path>> FQueuedFiles;
  bool FConvertPending = false;  // a queued list waits for the window to be enabled
  std::wstring FInstanceName;
};

// Designed client size at 96 DPI and the position the window has before the settings
// are applied.
constexpr int MainFormClientWidth = 503;
constexpr int MainFormClientHeight = 235;
constexpr int MainFormDesignLeft = 354;
constexpr int MainFormDesignTop = 112;
// The system menu's item that opens the settings dialog.
constexpr UINT MainFormSettingsCommand = 0x0010;
constexpr const wchar_t* MainFormSettingsCaption = L"設定...";
