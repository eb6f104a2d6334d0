#pragma once
// Files through the OS: one owner per open file, share modes where the OS has them, and
// the one way a whole file is put in place.
//
// The run-time's streams and INI files rest on these. Only the OS seam may include the
// OS's headers, so the bodies of TFile, RenameReplacing and LastErrorText live there
// (platform/posix/File.cpp, platform/win32/File.cpp); SaveBytesReplacing is portable.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

enum class TFileAccess : std::uint8_t { Read, Write, ReadWrite };
// Windows enforces these against every other opener; POSIX has no equivalent, so
// there they only document intent.
enum class TFileShare : std::uint8_t { DenyNone, DenyWrite, DenyRead, Exclusive };
enum class TFileCreate : std::uint8_t { OpenExisting, CreateAlways, CreateNew };

// An open file; movable, not copyable; closed by its destructor.
class TFile {
public:
  TFile() noexcept = default;
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  ~TFile();

  // On failure returns a closed file and puts the OS's text for the error in errorText.
  static TFile Open(const std::filesystem::path& name, TFileAccess access, TFileShare share,
                    TFileCreate create, std::string& errorText);

  bool IsOpen() const noexcept { return FHandle != Invalid; }
  // Each returns -1 on failure.
  std::int64_t Read(void* buffer, std::int64_t count) noexcept;
  std::int64_t Write(const void* buffer, std::int64_t count) noexcept;
  std::int64_t Seek(std::int64_t offset, int origin) noexcept;  // origin 0 begin, 1 current, 2 end
  bool Truncate() noexcept;                                     // at the current position
  bool Flush() noexcept;                                        // to the disk
  void Close() noexcept;

private:
  static constexpr std::intptr_t Invalid = -1;
  std::intptr_t FHandle = Invalid;
};

// Moves the file from over the file to (same volume), replacing it in one step, so a
// reader sees either the old file or the new one, never a part; the move itself is on
// the disk when this returns (Windows: write-through; POSIX: the folder is synced after
// the rename, unless a TDeferredFolderSync on this thread takes that over). On failure
// puts the OS's text for the error in errorText.
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& errorText);

// Puts the folder's entries (the names moved into it) on the disk where the OS lets a
// folder be synced (POSIX); a failure changes nothing that is already in place.
void SyncFolder(const std::filesystem::path& folder) noexcept;

// While one lives on a thread, RenameReplacing there hands the folder to sync to it
// instead of waiting for the disk itself: a batch has its folder synced on another
// thread while it goes on loading, once for all the names moved meanwhile. The content
// is flushed before every move, so until the sync a crash can only bring back the old
// entry, never a torn file. Scopes nest; the innermost takes the folders.
class TDeferredFolderSync {
public:
  explicit TDeferredFolderSync(std::function<void(const std::filesystem::path&)> sync) noexcept;
  ~TDeferredFolderSync();
  TDeferredFolderSync(const TDeferredFolderSync&) = delete;
  TDeferredFolderSync& operator=(const TDeferredFolderSync&) = delete;

  // False when no scope on this thread takes folders (or it failed to): the caller
  // syncs the folder itself.
  static bool Take(const std::filesystem::path& folder) noexcept;

private:
  std::function<void(const std::filesystem::path&)> FSync;
  TDeferredFolderSync* FOuter;
};

// The OS's text for its last error (errno / GetLastError), without a trailing newline.
std::string LastErrorText();

// Writes size bytes as the whole content of fileName: into a new file beside it, flushed
// to the disk, then moved over the name in one step. A crash at any moment leaves the
// old file or the new one, never a torn one. Failures raise EFCreateError naming
// fileName (never the file beside it, which is removed on every failing path); the old
// file, if any, stays as it was.
void SaveBytesReplacing(const std::filesystem::path& fileName, const void* data, std::size_t size);

// The content of a file to come, written into the folder where it is to be published
// and flushed to the disk ahead of time: a batch does this on its encoding threads, and
// the final save is then only the move over the name (as SaveBytesReplacing makes it).
// A preparing that fails leaves the object empty: the final save then does it all and
// reports what the OS says. The file beside is removed unless it was published.
class TPreparedFile {
public:
  TPreparedFile() noexcept = default;
  TPreparedFile(TPreparedFile&& other) noexcept;
  TPreparedFile& operator=(TPreparedFile&& other) noexcept;
  TPreparedFile(const TPreparedFile&) = delete;
  TPreparedFile& operator=(const TPreparedFile&) = delete;
  ~TPreparedFile();

  static TPreparedFile Write(const std::filesystem::path& folder, const void* data, std::size_t size) noexcept;
  bool IsPrepared() const noexcept { return !FSide.empty(); }
  // Moves the content over fileName when fileName lies in the folder it was written to;
  // false, with nothing done, otherwise. A failed move raises SaveBytesReplacing's
  // EFCreateError naming fileName, and the old file stays as it was.
  bool PublishOver(const std::filesystem::path& fileName);

private:
  void Discard() noexcept;
  std::filesystem::path FSide;
};

// True for the name (file-name part) of a file written beside its final name by
// SaveBytesReplacing or TPreparedFile: a file that is no one's to convert.
bool IsSideFileName(const std::string& name) noexcept;

// Fault injection for tests. While set, SaveBytesReplacing asks it before each step; a
// non-empty answer makes that step fail with the answer as the OS's reason. The empty
// function (the default) lets every step go to the OS.
enum class TFileStep : std::uint8_t { Create, Write, Flush, Replace };
using TFileFault = std::function<std::string(TFileStep step)>;
void SetFileFault(TFileFault fault);

// For tests: the OS seam reports each of these calls right after the OS carried it out
// (a file flushed to the disk, a move with the source and the target, a folder synced),
// from whichever thread made it. Set while no file work runs; the empty function (the
// default) observes nothing.
enum class TFileCall : std::uint8_t { Flush, Move, SyncFolder };
using TFileCallObserver =
    std::function<void(TFileCall call, const std::filesystem::path& path, const std::filesystem::path& target)>;
void SetFileCallObserver(TFileCallObserver observer);
// Called by the OS seam.
void ObserveFileCall(TFileCall call, const std::filesystem::path& path = {},
                     const std::filesystem::path& target = {}) noexcept;
