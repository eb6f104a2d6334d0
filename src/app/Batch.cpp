#include "app/Batch.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "app/SaveFileName.h"
#include "dib/VxDIB.h"
#include "platform/Folders.h"
#include "platform/Locale.h"
#include "rtl/Exception.h"
#include "rtl/File.h"
#include "rtl/Stream.h"
#include "spi/PluginHost.h"
#include "spi/SPIBmp.h"

namespace {

// Blocks kept for the next image are given back when a batch ends, down to this much: the
// window may stay open for hours after a batch of huge images.
constexpr std::size_t KeptMemoryAfterBatch = std::size_t{64} << 20;

struct TTrimPoolsAtEnd {
  ~TTrimPoolsAtEnd() {
    TrimPooledMemory(KeptMemoryAfterBatch);
    TPluginHost::ReleaseSource();
  }
};

// The message with its "%d"s and "%s"s replaced by the texts, in order.
std::string FillIn(std::string_view message, std::initializer_list<std::string> texts) {
  std::string filled;
  auto text = texts.begin();
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '%' && i + 1 < message.size() && (message[i + 1] == 'd' || message[i + 1] == 's') &&
        text != texts.end()) {
      filled += *text++;
      ++i;
    } else {
      filled += message[i];
    }
  }
  return filled;
}

// The destination folder as typed with the folders below it, spelled as MakeSaveFileName
// spells a folder.
std::string FolderUnder(const std::string& folder, const std::filesystem::path& subFolder) {
  const platform::TPathSyntax& syntax = platform::NativePathSyntax();
  std::string joined = folder;
  if (joined.empty() || syntax.Delimiters.find(joined.back()) == std::string_view::npos)
    joined += syntax.Delimiter;
  return joined + PathToUtf8(subFolder);
}

// The name of a dropped folder as it appears in its parent; empty for a root.
std::filesystem::path DroppedFolderName(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(folder, ec);
  if (ec) full = folder;
  full = full.lexically_normal();
  if (!full.has_filename()) full = full.parent_path();
  return full.filename();
}

void ExpandFolder(const std::filesystem::path& folder, const std::filesystem::path& subFolder,
                  bool includeSubfolders, std::vector<TBatchEntry>& entries) {
  std::vector<platform::TFolderEntry> listed;
  std::string reason;
  if (!platform::ListFolder(folder, listed, reason)) {
    entries.push_back({folder, true, subFolder, FOpenErrorText(folder, reason)});
    return;
  }
  std::sort(listed.begin(), listed.end(), [](const platform::TFolderEntry& a, const platform::TFolderEntry& b) {
    if (a.IsFolder != b.IsFolder) return b.IsFolder;
    return platform::CompareFileNames(a.Name, b.Name) < 0;
  });
  for (const platform::TFolderEntry& entry : listed) {
    if (entry.IsFolder) {
      if (includeSubfolders)
        ExpandFolder(folder / Utf8ToPath(entry.Name), subFolder / Utf8ToPath(entry.Name), true, entries);
    } else if (!IsSideFileName(entry.Name)) {
      entries.push_back({folder / Utf8ToPath(entry.Name), true, subFolder, std::string()});
    }
  }
}

// One file between its loading and its saving. The driver fills in everything but
// Failure and Done; the worker threads run the conversion's Encode and Prepare and set
// those two.
struct TPendingFile {
  std::filesystem::path Source;      // as given: its output's name is formed from it
  std::filesystem::path FullSource;  // resolved once, when the batch starts
  int Position = 0;  // the progress position the file was loaded at
  // The save method and folder as they were when the file was loaded: a click during a
  // later file's pump must not change this file's name.
  int Method = 0;
  std::string Folder;
  // The output's folder (full), known before its name (which depends on the earlier
  // files); empty when it is not known. With it the output's file name without method 0's
  // "_"s.
  std::filesystem::path OutputFolder;
  std::string OutputBase;
  std::unique_ptr<TFileConversion> Conversion;
  bool LoadOnWorker = false;  // the worker loads it before encoding it
  bool Found = false;                  // see TBatchEntry
  std::filesystem::path SubFolder;     // see TBatchEntry
  // KeepFileDate: the source's modification time when it was read, or why there is none.
  std::filesystem::file_time_type SourceTime;
  std::error_code SourceTimeError;
  std::exception_ptr Failure;
  bool Done = false;                     // under the workers' lock
  TPendingFile* NextInQueue = nullptr;  // under the workers' lock
};

// Files waiting for an encoder or a writer, linked through the files themselves: queueing
// allocates nothing, so it cannot fail on a worker thread. A file is in one queue at most.
class TFileQueue {
public:
  bool Empty() const noexcept { return !FHead; }
  void Push(TPendingFile& file) noexcept {
    file.NextInQueue = nullptr;
    (FTail ? FTail->NextInQueue : FHead) = &file;
    FTail = &file;
  }
  TPendingFile* Pop() noexcept {
    TPendingFile* file = FHead;
    if (file) {
      FHead = file->NextInQueue;
      if (!FHead) FTail = nullptr;
      file->NextInQueue = nullptr;
    }
    return file;
  }
  void Clear() noexcept {
    while (Pop()) {
    }
  }

private:
  TPendingFile* FHead = nullptr;
  TPendingFile* FTail = nullptr;
};

// Sets the output's modification time to the source's.
void CopyFileDate(const TPendingFile& file, const std::filesystem::path& output) {
  std::error_code ec = file.SourceTimeError;
  if (!ec) std::filesystem::last_write_time(output, file.SourceTime, ec);
  if (ec) throw EOSError(FillIn(FileDateMessage, {PathToUtf8(output), ec.message()}));
}

bool IsUnclaimed(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const EUnclaimedGraphic&) {
    return true;
  } catch (...) {
    return false;
  }
}

// Whether the save of file may write the source: the same folder, and a name its save
// method can give. Unsure means yes: a needless wait only costs time.
bool MayWrite(const TPendingFile& file, const std::filesystem::path& source) {
  if (file.OutputFolder.empty()) return true;  // no method: the previous file's name
  const std::string name = PathToUtf8(source.filename());
  std::size_t prefix = 0;  // method 0's "_"s, one at least
  if (file.Method == smNewName) {
    if (name.size() <= file.OutputBase.size()) return false;
    prefix = name.size() - file.OutputBase.size();
    if (name.find_first_not_of('_') < prefix) return false;
  }
  if (!platform::SameTextLocale(std::string_view(name).substr(prefix), file.OutputBase)) return false;
  const std::filesystem::path folder = source.parent_path();
  if (folder.lexically_normal() == file.OutputFolder.lexically_normal()) return true;
  // Another spelling of the same folder (a link, a short name).
  std::error_code ec;
  return std::filesystem::equivalent(folder, file.OutputFolder, ec) && !ec;
}

// Threads that encode loaded files, oldest first, and writers that write the encoded data
// ahead and sync the folders names were moved into: waiting for the disk then holds up
// no encoding, no loading and no decoded image.
class TEncoders {
public:
  // As many encoding threads as the OS gives, up to count, and the writers; none when it
  // gives none. Without a writer the encoders write.
  explicit TEncoders(int count) {
    if (count <= 0) return;
    try {
      FThreads.reserve(static_cast<std::size_t>(count) + Writers);
      // The writers first: the encoders read FWriter.
      for (int i = 0; i < Writers; ++i) {
        FThreads.emplace_back([this] { Write(); });
        FWriter = true;
      }
      for (int i = 0; i < count; ++i) {
        FThreads.emplace_back([this] { Encode(); });
        ++FEncoderCount;
      }
    } catch (...) {
      // Fewer threads only make the batch slower.
    }
  }
  ~TEncoders() { Stop(); }
  TEncoders(const TEncoders&) = delete;
  TEncoders& operator=(const TEncoders&) = delete;

  bool Running() const noexcept { return FEncoderCount > 0; }
  bool Writing() const noexcept { return FWriter; }

  // The folder a name was just moved into, for a writer to sync.
  void SyncLater(const std::filesystem::path& folder) {
    {
      const std::lock_guard<std::mutex> lock(FLock);
      FFoldersToSync.push_back(folder);
    }
    FWriteWork.notify_one();
  }

  void Submit(TPendingFile& file) {
    {
      const std::lock_guard<std::mutex> lock(FLock);
      FQueue.Push(file);
      ++FDecoded;
    }
    // One image, one encoder: waking them all would only send the others back to sleep.
    FEncodeWork.notify_one();
  }
  void Wait(TPendingFile& file) {
    std::unique_lock<std::mutex> lock(FLock);
    FDone.wait(lock, [&] { return file.Done; });
  }
  bool IsDone(const TPendingFile& file) {
    const std::lock_guard<std::mutex> lock(FLock);
    return file.Done;
  }
  // Until the file is done or fewer than limit decoded images wait for or are in
  // encoding; true in the latter case.
  bool WaitForRoomOrDone(const TPendingFile& file, int limit) {
    std::unique_lock<std::mutex> lock(FLock);
    FDone.wait(lock, [&] { return file.Done || FDecoded < limit; });
    return FDecoded < limit;
  }
  // Drops the files not yet started and lets the threads finish the ones they hold.
  void Stop() noexcept {
    {
      const std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
      FQueue.Clear();
      FToWrite.Clear();
    }
    FEncodeWork.notify_all();
    FWriteWork.notify_all();
    for (std::thread& t : FThreads) t.join();
    FThreads.clear();
    FEncoderCount = 0;
    FWriter = false;
    // The names already moved stay, whatever ended the batch.
    for (const std::filesystem::path& folder : FFoldersToSync) SyncFolder(folder);
    FFoldersToSync.clear();
  }

private:
  // The oldest file waiting for an encoder, once there is one; null once stopped.
  TPendingFile* Next() {
    std::unique_lock<std::mutex> lock(FLock);
    FEncodeWork.wait(lock, [&] { return FStop || !FQueue.Empty(); });
    if (FStop) return nullptr;
    return FQueue.Pop();
  }
  void Encode() noexcept {
    // Plug-in hosts of this thread's own, so that files decode side by side.
    const TPluginHostLane lane;
    while (TPendingFile* file = Next()) {
      try {
        if (file->LoadOnWorker) file->Conversion->Load(file->Source);
        file->Conversion->Encode();
      } catch (...) {
        file->Failure = std::current_exception();
      }
      const bool write = !file->Failure && !file->OutputFolder.empty();
      if (write && !FWriter) Prepare(*file);
      {
        const std::lock_guard<std::mutex> lock(FLock);
        --FDecoded;
        if (write && FWriter)
          FToWrite.Push(*file);
        else
          file->Done = true;
      }
      if (write && FWriter) FWriteWork.notify_one();
      FDone.notify_all();
    }
  }
  // Folders first: one sync covers every name moved into the folder before it starts.
  void Write() noexcept {
    for (;;) {
      std::filesystem::path folder;
      TPendingFile* file = nullptr;
      {
        std::unique_lock<std::mutex> lock(FLock);
        FWriteWork.wait(lock, [&] { return FStop || !FFoldersToSync.empty() || !FToWrite.Empty(); });
        if (FStop) return;
        if (!FFoldersToSync.empty()) {
          folder = std::move(FFoldersToSync.front());
          FFoldersToSync.pop_front();
          std::erase(FFoldersToSync, folder);
        } else {
          file = FToWrite.Pop();
        }
      }
      if (!file) {
        SyncFolder(folder);
        continue;
      }
      Prepare(*file);
      {
        const std::lock_guard<std::mutex> lock(FLock);
        file->Done = true;
      }
      FDone.notify_all();
    }
  }
  static void Prepare(TPendingFile& file) noexcept {
    try {
      file.Conversion->Prepare(file.OutputFolder);
    } catch (...) {
      file.Failure = std::current_exception();
    }
  }

  // Two flushes in flight: a busy disk takes longer to flush a file than a core to
  // encode the next one.
  static constexpr int Writers = 2;

  std::mutex FLock;
  std::condition_variable FEncodeWork;
  std::condition_variable FWriteWork;
  std::condition_variable FDone;
  TFileQueue FQueue;
  TFileQueue FToWrite;
  std::deque<std::filesystem::path> FFoldersToSync;
  int FDecoded = 0;  // submitted, not yet encoded
  bool FStop = false;
  bool FWriter = false;
  int FEncoderCount = 0;
  std::vector<std::thread> FThreads;
};

// The files of one batch between loading and saving. At most jobs decoded images wait
// for or are in encoding while the driver loads the next one, jobs + 1 once it is
// loaded; an encoded file holds only its JPEG data, so the driver goes on loading while
// an earlier, slower file encodes, up to HeldPerJob files a job. Files are named and
// saved in input order: naming looks at the file system (method 0 searches for a free
// name), so it happens right before each save, after every earlier file is written,
// exactly as in a batch of one file at a time.
class TPipeline {
public:
  TPipeline(TBatchUI& ui, int jobs, const TBatchSettings& settings, TBatchResult& result)
      : FUI(ui),
        FJobs(jobs),
        FSettings(settings),
        FResult(result),
        FEncoders(jobs > 1 ? jobs : 0),
        FOuter(GInnermost) {
    GInnermost = this;
  }
  ~TPipeline() {
    GInnermost = FOuter;
    // The workers let go of every file before the files go.
    FEncoders.Stop();
  }
  TPipeline(const TPipeline&) = delete;
  TPipeline& operator=(const TPipeline&) = delete;

  // A batch starting on this thread while another one runs (a drop during the outer
  // batch's message pump) sees the outer batch's earlier files written, as it would if
  // they had been converted one at a time. A failure among them is kept for the outer
  // batch, which ends with it once its pump returns.
  static void FlushOuterBatch() {
    TPipeline* outer = GInnermost;
    if (!outer || outer->FKeptFailure) return;
    try {
      outer->SaveAll();
    } catch (...) {
      outer->FKeptFailure = std::current_exception();
      outer->FEncoders.Stop();
      outer->FFiles.clear();
    }
  }

  // After each message pump: ends the batch with a failure found meanwhile.
  void RethrowKeptFailure() const {
    if (FKeptFailure) std::rethrow_exception(FKeptFailure);
  }

  // Takes a loaded file: encodes and saves it at once without workers; otherwise saves
  // the oldest files that are done while it waits for room, and gives it to the workers.
  void Add(std::unique_ptr<TPendingFile> file) {
    if (!FEncoders.Running()) {
      try {
        file->Conversion->Encode();
      } catch (...) {
        file->Failure = std::current_exception();
      }
      file->Done = true;
      FFiles.push_back(std::move(file));
      SaveOldest();
      return;
    }
    // The folder part of the name does not depend on which names are taken.
    if (file->Method == smNewName || file->Method == smOverwrite || file->Method == smFolder) {
      const std::filesystem::path output =
          Utf8ToPath(MakeSaveFileName(PathToUtf8(file->FullSource), file->Method, file->Folder, std::string(),
                                      platform::NativePathSyntax(), [](const std::string&) { return false; }));
      std::error_code ec;
      file->OutputFolder = std::filesystem::absolute(output.parent_path(), ec);
      if (ec) file->OutputFolder = output.parent_path();
      file->OutputBase = PathToUtf8(output.filename());
      if (file->Method == smNewName) file->OutputBase.erase(0, 1);
    }
    FFiles.push_back(std::move(file));
    FEncoders.Submit(*FFiles.back());
    // The image just loaded may wait in the queue for the next free worker, which then
    // never waits for this thread; the next file is loaded once at most jobs images are
    // decoded. Saving waits for the disk, so it is done meanwhile.
    while (!FFiles.empty()) {
      if (static_cast<int>(FFiles.size()) >= FJobs * HeldPerJob) {
        SaveOldest();
        continue;
      }
      if (FEncoders.WaitForRoomOrDone(*FFiles.front(), FJobs + 1)) break;
      SaveOldest();
    }
  }

  // Takes a file that failed before it reached the workers (its loading, or its folder's
  // listing), to be told of in its turn.
  void AddFailed(std::unique_ptr<TPendingFile> file, std::exception_ptr failure) {
    file->Conversion.reset();
    file->Failure = std::move(failure);
    file->Done = true;
    FFiles.push_back(std::move(file));
    if (!FEncoders.Running()) SaveOldest();
  }

  // Whether the batch goes on after this failure of the file (a file found in a folder
  // that no decoder knows; with KeepGoing, any failure of the file's own), counting it.
  bool GoesOn(const TPendingFile& file, const std::exception_ptr& failure) {
    std::string message;
    try {
      std::rethrow_exception(failure);
    } catch (const EUnclaimedGraphic& e) {
      if (file.Found) {
        ++FResult.Skipped;
        return true;
      }
      message = e.what();
    } catch (const EAbort&) {
      return false;
    } catch (const std::bad_alloc&) {
      message = "Out of memory";
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      return false;
    }
    if (!FSettings.KeepGoing) return false;
    FResult.Failures.push_back({file.Source, std::move(message)});
    FUI.FileFailed(file.Source, FResult.Failures.back().Message);
    return true;
  }

  // Saves every file still held, in order.
  void SaveAll() {
    while (!FFiles.empty()) SaveOldest();
  }

  // Saves the files held up to the last one whose output may be source: a later source
  // may be an earlier file's output (a.bmp replaced by a.jpg, then a.jpg), and is then read
  // after that save, as one file at a time reads it.
  void SaveOutputsOf(const std::filesystem::path& source) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < FFiles.size(); ++i)
      if (MayWrite(*FFiles[i], source)) count = i + 1;
    while (count-- > 0) SaveOldest();
  }

  // Whether workers take files: only then may they load them too.
  bool Parallel() const noexcept { return FEncoders.Running(); }

  // The position of the file whose encoding or saving failed; 0 when none did.
  int FailedPosition() const noexcept { return FFailedPosition; }

private:
  void SaveOldest() {
    TPendingFile& file = *FFiles.front();
    try {
      if (FEncoders.Running()) FEncoders.Wait(file);
      if (file.Failure) std::rethrow_exception(file.Failure);
      FOutput = MakeSaveFileName(PathToUtf8(file.Source), file.Method, file.Folder, FOutput);
      const std::filesystem::path output = Utf8ToPath(FOutput);
      if (file.Method == smFolder && !file.SubFolder.empty()) MakeOutputFolder(output.parent_path());
      {
        // A writer syncs the folder while this thread goes on loading.
        const TDeferredFolderSync deferred(
            FEncoders.Writing() ? [this](const std::filesystem::path& folder) { FEncoders.SyncLater(folder); }
                                : std::function<void(const std::filesystem::path&)>());
        file.Conversion->Save(output);
      }
      if (FSettings.KeepFileDate) CopyFileDate(file, output);
      FUI.FileSaved(file.Source, output);
      ++FResult.Converted;
    } catch (...) {
      if (!GoesOn(file, std::current_exception())) {
        FFailedPosition = file.Position;
        throw;
      }
    }
    FFiles.pop_front();
  }

  // A subfolder under the destination, made by the first output that goes into it: a
  // folder of files that all fail or are skipped leaves nothing behind.
  static void MakeOutputFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) return;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw EFCreateError(FCreateErrorText(folder, ec.message()));
  }

  static constexpr int HeldPerJob = 2;
  static thread_local TPipeline* GInnermost;

  TBatchUI& FUI;
  const int FJobs;
  const TBatchSettings& FSettings;
  TBatchResult& FResult;
  // Held across files: with no save method selected the previous name stays (empty for
  // the first file, whose save then fails).
  std::string FOutput;
  int FFailedPosition = 0;
  std::exception_ptr FKeptFailure;
  std::deque<std::unique_ptr<TPendingFile>> FFiles;
  TEncoders FEncoders;  // after the files: stopped before they go
  TPipeline* FOuter;
};

thread_local TPipeline* TPipeline::GInnermost = nullptr;

TBatchResult RunFiles(TBatchUI& ui, const std::vector<std::filesystem::path>& files,
                      const TFileConversionFactory& factory, int jobs, const TBatchSettings& settings) {
  TPipeline::FlushOuterBatch();
  TBatchResult result;
  if (ui.SaveMethod() == smFolder && !IsExistingFolder(ui.SaveFolder())) {
    ui.BeepMessage(InvalidSaveFolderMessage);
    return result;
  }
  const std::vector<TBatchEntry> entries = ExpandBatchFiles(files, settings.IncludeSubfolders);
  // Resolved once, for the output folders the writers write ahead into and for knowing
  // which later source an earlier save may write; names are formed and told as given.
  std::vector<std::filesystem::path> fullSources;
  fullSources.reserve(entries.size());
  for (const TBatchEntry& entry : entries) {
    std::filesystem::path source = entry.Source;
    std::error_code ec;
    if (source.is_relative() && !source.empty())
      if (std::filesystem::path full = std::filesystem::absolute(source, ec); !ec) source = std::move(full);
    fullSources.push_back(std::move(source));
  }
  const int count = static_cast<int>(entries.size());
  ui.SetProgressMax(count);
  // A single file gains nothing from a worker.
  TPipeline pipeline(ui, std::min(jobs, count), settings, result);
  int position = 0;
  try {
    for (int i = 0; i < count; ++i) {
      if (ui.Cancelled()) {
        result.Cancelled = true;
        break;
      }
      const TBatchEntry& entry = entries[static_cast<std::size_t>(i)];
      position = i + 1;
      ui.SetProgressPosition(position);
      ui.ProcessMessages();
      pipeline.RethrowKeptFailure();
      auto file = std::make_unique<TPendingFile>();
      file->Source = entry.Source;
      file->FullSource = fullSources[static_cast<std::size_t>(i)];
      file->Position = position;
      file->Found = entry.Found;
      file->SubFolder = entry.SubFolder;
      std::exception_ptr failure;
      if (!entry.Failure.empty()) {
        failure = std::make_exception_ptr(EFOpenError(entry.Failure));
      } else {
        pipeline.SaveOutputsOf(file->FullSource);
        // Read after every earlier save: a source that an earlier file's output replaced
        // has that output's date.
        if (settings.KeepFileDate) file->SourceTime = std::filesystem::last_write_time(file->FullSource, file->SourceTimeError);
        file->Conversion = factory();
        file->Conversion->Settings = settings;
        file->LoadOnWorker = pipeline.Parallel() && file->Conversion->LoadsAnywhere();
        if (!file->LoadOnWorker) {
          try {
            file->Conversion->Load(file->Source);
          } catch (...) {
            failure = std::current_exception();
          }
        }
      }
      file->Method = ui.SaveMethod();
      file->Folder = file->SubFolder.empty() ? ui.SaveFolder() : FolderUnder(ui.SaveFolder(), file->SubFolder);
      if (!failure) {
        pipeline.Add(std::move(file));
        continue;
      }
      if (!settings.KeepGoing && !(file->Found && IsUnclaimed(failure))) {
        // The files before this one are written first; a failure among them comes first.
        file.reset();
        pipeline.SaveAll();
        std::rethrow_exception(failure);
      }
      pipeline.AddFailed(std::move(file), failure);
    }
    pipeline.SaveAll();
  } catch (...) {
    // The bar shows the file that failed, as it did when that file was being converted.
    if (pipeline.FailedPosition() != 0 && pipeline.FailedPosition() != position)
      ui.SetProgressPosition(pipeline.FailedPosition());
    throw;
  }
  ui.SetProgressPosition(0);
  ui.ForceForeground();
  if (!result.Failures.empty()) ui.ShowFailures(result);
  return result;
}

}  // namespace

std::vector<TBatchEntry> ExpandBatchFiles(const std::vector<std::filesystem::path>& files, bool includeSubfolders) {
  std::vector<TBatchEntry> entries;
  entries.reserve(files.size());
  for (const std::filesystem::path& file : files) {
    std::error_code ec;
    if (file.empty() || !std::filesystem::is_directory(file, ec))
      entries.push_back({file, false, {}, std::string()});
    else
      ExpandFolder(file, DroppedFolderName(file), includeSubfolders, entries);
  }
  return entries;
}

std::string FailedFilesText(const TBatchResult& result) {
  const int failed = static_cast<int>(result.Failures.size());
  std::string text = FailedFilesHeading;
  for (int i = 0; i < failed && i < FailedFilesListed; ++i) {
    const TBatchFailure& failure = result.Failures[static_cast<std::size_t>(i)];
    text += '\n';
    text += PathToUtf8(failure.Source);
    text += ": ";
    text += ErrorBoxText(failure.Message);
  }
  if (failed > FailedFilesListed) {
    text += '\n';
    text += FillIn(MoreFailedFiles, {std::to_string(failed - FailedFilesListed)});
  }
  text += "\n\n";
  text += FillIn(BatchCountsText,
                 {std::to_string(result.Converted), std::to_string(failed), std::to_string(result.Skipped)});
  return text;
}

int DefaultBatchJobs() noexcept { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

TBatchResult RunBatch(TBatchUI& ui, const std::vector<std::filesystem::path>& files,
                      const TFileConversionFactory& factory, int jobs, const TBatchSettings& settings) {
  const TTrimPoolsAtEnd trim;
  try {
    return RunFiles(ui, files, factory, jobs > 0 ? jobs : DefaultBatchJobs(), settings);
  } catch (const std::bad_alloc&) {
    // The run-time's own error, so that the error box says what happened.
    throw EOutOfMemory("Out of memory");
  }
}
