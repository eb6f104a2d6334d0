#pragma once
// The batch conversion of dropped (or listed) files, free of any window toolkit. The
// Win32 main window and the command-line converter each implement TBatchUI; RunBatch
// is the drop handler's body.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Settings.h"

// A file that failed in a batch that went on (KeepGoing), with its message.
struct TBatchFailure {
  std::filesystem::path Source;
  std::string Message;
};

// How a batch ended, when it ended without an exception.
struct TBatchResult {
  int Converted = 0;  // outputs written
  int Skipped = 0;    // files found in a folder that no decoder knows
  std::vector<TBatchFailure> Failures;  // in input order; only with KeepGoing
  bool Cancelled = false;  // stopped by TBatchUI::Cancelled before its last file
};

// Keep-going's closing box, in the window's words: the heading, one line per failed file
// ("path: message", the message as the error box shows it), the first FailedFilesListed
// only, then how many more, and after an empty line the batch's counts. "%d" stands for
// the number.
inline constexpr const char* FailedFilesHeading = "次のファイルは変換できませんでした:";
inline constexpr int FailedFilesListed = 20;
inline constexpr const char* MoreFailedFiles = "…ほか %d 件";
inline constexpr const char* BatchCountsText = "変換 %d 件、失敗 %d 件、スキップ %d 件";
std::string FailedFilesText(const TBatchResult& result);

// The message of an output whose modification time could not be set (KeepFileDate): the
// output's path, then the system's reason. The output stays; the file counts as failed.
inline constexpr const char* FileDateMessage = "ファイル \"%s\" の日付を設定できません。%s";

// What the batch needs of the window: the chosen save method, the destination folder,
// the progress bar, one message pump per file and the two shell helpers.
class TBatchUI {
public:
  virtual ~TBatchUI() = default;
  // The selected save method (smNewName, smOverwrite, smFolder; -1 when none is
  // selected). Read afresh for every file: a click during the pump applies from the
  // next file on.
  virtual int SaveMethod() = 0;
  // The destination folder of smFolder, UTF-8, exactly as typed.
  virtual std::string SaveFolder() = 0;
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgressPosition(int position) = 0;
  // Handles the window messages that are waiting, once, and returns.
  virtual void ProcessMessages() = 0;
  // The exclamation beep, then a modal box with the text and one OK button.
  virtual void BeepMessage(const std::string& text) = 0;
  // Brings the window to the top (the result is of no interest to the batch).
  virtual void ForceForeground() = 0;
  // Told after each file's output has been written; the window has no use for it.
  virtual void FileSaved(const std::filesystem::path& source, const std::filesystem::path& output) {
    (void)source;
    (void)output;
  }
  // Asked before each file: true stops the batch there, once the files started are saved.
  virtual bool Cancelled() { return false; }
  // With KeepGoing, told of each failed file as the batch passes it, in input order.
  virtual void FileFailed(const std::filesystem::path& source, const std::string& message) {
    (void)source;
    (void)message;
  }
  // With KeepGoing, at the end of a batch in which files failed: the one box that lists them.
  virtual void ShowFailures(const TBatchResult& result) { BeepMessage(FailedFilesText(result)); }
};

// The message of a destination that is no existing folder.
inline constexpr const char* InvalidSaveFolderMessage = "正しい保存先フォルダを指定してください";

// One file's road from the source to its JPEG. The batch makes a fresh one per file and
// releases it once the file is saved, or when the batch ends at a failure.
class TFileConversion {
public:
  virtual ~TFileConversion() = default;
  // Decodes the source and hands the image on to the JPEG object. On the thread that runs
  // the batch, unless LoadsAnywhere: then on a worker thread, while other files load.
  virtual void Load(const std::filesystem::path& source) = 0;
  // Whether Load may run on any thread, at the same time as other files' loads: only when
  // nothing it calls belongs to the batch's thread (plug-ins loaded into the program do).
  virtual bool LoadsAnywhere() const { return false; }
  // Makes the JPEG data of the loaded image and lets go of the decoded one. May run on a
  // worker thread while the batch loads or saves other files, so it touches nothing but
  // this conversion's own objects.
  virtual void Encode() {}
  // After Encode, on a thread of its own: the data may be written into outputFolder,
  // where the output will go, ahead of the save, but never under a name of its own.
  // Only when other work can go on meanwhile; a batch of one file at a time skips it.
  virtual void Prepare(const std::filesystem::path& outputFolder) { (void)outputFolder; }
  // Writes the JPEG under the output name; on the batch's thread, in input order.
  virtual void Save(const std::filesystem::path& output) = 0;

  // The batch's settings, set before Load: what of the source the output keeps.
  TBatchSettings Settings;
};
using TFileConversionFactory = std::function<std::unique_ptr<TFileConversion>()>;

// Images a batch encodes at once unless told otherwise: one per core, at least 1.
int DefaultBatchJobs() noexcept;

// One file of a batch once the dropped folders are expanded.
struct TBatchEntry {
  std::filesystem::path Source;  // as given, or the dropped folder's path and the names below it
  // Found by expanding a dropped folder: passed over (counted as skipped) when no decoder
  // knows its data (EUnclaimedGraphic); a file given by name fails then as any other.
  bool Found = false;
  // The folders between "into a folder"'s destination and the output: the dropped
  // folder's own name (none for a drive's root), then the subfolders down to the file.
  // The dropped folder's name stays so that two folders dropped together, both holding
  // an a.bmp, do not write one a.jpg over the other, and a folder dropped alone lands as
  // one folder where it was put. Empty for a file given by name.
  std::filesystem::path SubFolder;
  // A folder that could not be listed: the entry fails with this message in its turn.
  std::string Failure;
};

// The dropped names with each folder among them replaced by the files in it, and with
// includeSubfolders by its subfolders' files too. A folder lists its files first, then
// its subfolders, each part in platform::CompareFileNames order (as NTFS lists a folder),
// depth first. What platform::ListFolder leaves out is never converted: hidden
// and system entries, links to folders (no loop can hang the batch), Tavex's own files
// written ahead. The list is made before anything is converted, so outputs written
// beside their sources are not converted again.
std::vector<TBatchEntry> ExpandBatchFiles(const std::vector<std::filesystem::path>& files, bool includeSubfolders);

// Runs one batch over the files in order: the destination check (smFolder), then per
// file the progress position, one message pump and decoding; encoding on up to jobs
// worker threads (1: one file after the other on this thread, no worker; 0 or less: the
// default), the encoded data written ahead by two more threads; then, in input order on
// this thread, naming (MakeSaveFileName) and saving.
// At the end the progress bar goes back to 0 and the window to the front. Whatever
// finishes first, the outputs, their names and the failure are those of a batch of one
// file at a time. The first failure in input order ends the batch and leaves as an
// exception (the window's error box shows it): the files before it are written, none
// after it, and the bar shows the failed file's position.
// The settings: the dropped folders are expanded first (ExpandBatchFiles), and their
// files saved "into a folder" go to their SubFolder under the destination, which is made
// when its first output is saved. KeepGoing: a file's failure is told (FileFailed) and
// the batch goes on; a failure that is no file's (the destination check, running out of
// memory outside a file, a silent abort) still ends it; ShowFailures closes a batch in
// which files failed. KeepFileDate: each output gets its source's modification time
// as it was when the source was read, right after the output is in place (a crash
// between the two costs the date, never the data). The conversions get the settings.
// Cancelled is asked before each file; the files started are then saved, and the batch
// ends as a complete one does.
TBatchResult RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files,
                      const TFileConversionFactory& factory, int jobs = 0,
                      const TBatchSettings& settings = TBatchSettings());

// The program's conversion of one file: the source decoded by the DIB library, its
// picture handed to a JPEG object, which is saved.
std::unique_ptr<TFileConversion> NewProgramConversion();
// The program's conversion, with each JPEG carrying its source's EXIF, XMP and colour
// profile when keepMetadata is on (NewProgramConversion when off).
TFileConversionFactory ProgramConversionFactory(bool keepMetadata);

// The batch with the program's conversion.
TBatchResult RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files,
                      const TBatchSettings& settings = TBatchSettings());
