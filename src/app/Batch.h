#pragma once
// The batch conversion of dropped (or listed) files, free of any window toolkit. The
// Win32 main window and the command-line converter each implement TBatchUI; RunBatch
// is the drop handler's body.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
};
using TFileConversionFactory = std::function<std::unique_ptr<TFileConversion>()>;

// Images a batch encodes at once unless told otherwise: one per core, at least 1.
int DefaultBatchJobs() noexcept;

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
void RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files, const TFileConversionFactory& factory,
              int jobs = 0);

// The program's conversion of one file: the source decoded by the DIB library, its
// picture handed to a JPEG object, which is saved.
std::unique_ptr<TFileConversion> NewProgramConversion();
// The program's conversion, with each JPEG carrying its source's EXIF, XMP and colour
// profile when keepMetadata is on (NewProgramConversion when off).
TFileConversionFactory ProgramConversionFactory(bool keepMetadata);

// The batch with the program's conversion.
void RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files);
