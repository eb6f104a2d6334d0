#include "rtl/File.h"

#include <atomic>
#include <string_view>
#include <system_error>
#include <utility>

#include "rtl/Exception.h"
#include "rtl/Stream.h"

namespace {

TFileFault& Fault() {
  static TFileFault fault;
  return fault;
}

// The injected reason for a step, or empty when the step goes to the OS.
std::string Injected(TFileStep step) { return Fault() ? Fault()(step) : std::string(); }

[[noreturn]] void RaiseCreateError(const std::filesystem::path& fileName, const std::string& reason) {
  throw EFCreateError(FCreateErrorText(fileName, reason));
}

constexpr std::string_view SidePrefix = ".tavex-";
constexpr std::string_view SideSuffix = ".tmp";

// A name for the new content beside the final file (or, before the final name is
// known, in its folder), so that the move over the final name stays on one volume. The
// counter keeps two saves of one process apart; CreateNew keeps us off anything that
// exists.
std::filesystem::path SideName(const std::filesystem::path& base, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path side = base;
  side += std::string(SidePrefix) + std::to_string(counter++) + "-" + std::to_string(attempt) + std::string(SideSuffix);
  return side;
}

// Opens a new file beside base; on failure a closed file and the OS's reason.
TFile OpenSide(const std::filesystem::path& base, std::filesystem::path& side, std::string& reason) {
  TFile file;
  for (unsigned attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
    side = SideName(base, attempt);
    file = TFile::Open(side, TFileAccess::ReadWrite, TFileShare::Exclusive, TFileCreate::CreateNew, reason);
    std::error_code ec;
    // Only a name that is already taken is worth another try; any other reason is final.
    if (!file.IsOpen() && !std::filesystem::exists(std::filesystem::symlink_status(side, ec))) break;
  }
  return file;
}

TFile CreateSide(const std::filesystem::path& fileName, std::filesystem::path& side) {
  std::string reason = Injected(TFileStep::Create);
  if (!reason.empty()) RaiseCreateError(fileName, reason);
  TFile file = OpenSide(fileName, side, reason);
  if (!file.IsOpen()) RaiseCreateError(fileName, reason);
  return file;
}

// Writes the whole block and flushes it to the disk; the empty text, or the reason of
// the failure.
std::string WriteAll(TFile& file, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t written = 0;
  while (written < size) {
    std::string reason = Injected(TFileStep::Write);
    if (!reason.empty()) return reason;
    const std::int64_t n = file.Write(bytes + written, static_cast<std::int64_t>(size - written));
    if (n <= 0) return n < 0 ? LastErrorText() : std::string("No space left on device");
    written += static_cast<std::size_t>(n);
  }
  // The data must be on the disk before the name points at it: after a crash a name
  // moved over an unflushed file can hold nothing at all.
  std::string reason = Injected(TFileStep::Flush);
  if (reason.empty() && !file.Flush()) reason = LastErrorText();
  return reason;
}

}  // namespace

bool IsSideFileName(const std::string& name) noexcept {
  // The final name comes first: "a.jpg.tavex-3-0.tmp", or ".tavex-3-0.tmp" in a folder.
  const std::size_t at = name.rfind(SidePrefix);
  return at != std::string::npos && name.size() > at + SidePrefix.size() + SideSuffix.size() &&
         name.compare(name.size() - SideSuffix.size(), SideSuffix.size(), SideSuffix) == 0;
}

void SetFileFault(TFileFault fault) { Fault() = std::move(fault); }

namespace {
TFileCallObserver& CallObserver() {
  static TFileCallObserver observer;
  return observer;
}
}  // namespace

void SetFileCallObserver(TFileCallObserver observer) { CallObserver() = std::move(observer); }

void ObserveFileCall(TFileCall call, const std::filesystem::path& path, const std::filesystem::path& target) noexcept {
  if (!CallObserver()) return;
  try {
    CallObserver()(call, path, target);
  } catch (...) {
    // An observer's failure is the test's to report, never the file's.
  }
}

void SaveBytesReplacing(const std::filesystem::path& fileName, const void* data, std::size_t size) {
  std::string reason;
  if (!fileName.has_filename()) {
    // No name to put anything beside: let the OS say why the name itself cannot be made.
    const TFile probe =
        TFile::Open(fileName, TFileAccess::ReadWrite, TFileShare::Exclusive, TFileCreate::OpenExisting, reason);
    RaiseCreateError(fileName, probe.IsOpen() ? "Is a directory" : reason);
  }

  std::filesystem::path side;
  TFile file = CreateSide(fileName, side);

  // Removes the side file on every failing path from here on.
  struct TSideGuard {
    TFile& File;
    const std::filesystem::path& Name;
    bool Armed = true;
    ~TSideGuard() {
      if (!Armed) return;
      File.Close();
      std::error_code ec;
      std::filesystem::remove(Name, ec);
    }
  } guard{file, side};

  reason = WriteAll(file, data, size);
  if (!reason.empty()) RaiseCreateError(fileName, reason);
  file.Close();

  reason = Injected(TFileStep::Replace);
  if (!reason.empty() || !RenameReplacing(side, fileName, reason)) RaiseCreateError(fileName, reason);
  guard.Armed = false;
}

TPreparedFile::TPreparedFile(TPreparedFile&& other) noexcept : FSide(std::move(other.FSide)) { other.FSide.clear(); }

TPreparedFile& TPreparedFile::operator=(TPreparedFile&& other) noexcept {
  if (this != &other) {
    Discard();
    FSide = std::move(other.FSide);
    other.FSide.clear();
  }
  return *this;
}

TPreparedFile::~TPreparedFile() { Discard(); }

void TPreparedFile::Discard() noexcept {
  if (FSide.empty()) return;
  std::error_code ec;
  std::filesystem::remove(FSide, ec);
  FSide.clear();
}

TPreparedFile TPreparedFile::Write(const std::filesystem::path& folder, const void* data, std::size_t size) noexcept {
  TPreparedFile prepared;
  try {
    if (folder.empty() || !Injected(TFileStep::Create).empty()) return prepared;
    std::string reason;
    std::filesystem::path side;
    TFile file = OpenSide(folder / "", side, reason);
    if (!file.IsOpen()) return prepared;
    prepared.FSide = side;
    const bool written = WriteAll(file, data, size).empty();
    file.Close();
    if (!written) prepared.Discard();
  } catch (...) {
    // No memory for a name: the final save does it all.
    prepared.Discard();
  }
  return prepared;
}

bool TPreparedFile::PublishOver(const std::filesystem::path& fileName) {
  if (FSide.empty() || !fileName.has_filename()) return false;
  // The name may be relative where the content was written into the folder's full name.
  std::error_code ec;
  const std::filesystem::path folder =
      fileName.is_absolute() ? fileName.parent_path() : std::filesystem::absolute(fileName, ec).parent_path();
  if (ec || folder != FSide.parent_path()) return false;
  std::string reason = Injected(TFileStep::Replace);
  if (!reason.empty() || !RenameReplacing(FSide, fileName, reason)) RaiseCreateError(fileName, reason);
  FSide.clear();
  return true;
}

namespace {
thread_local TDeferredFolderSync* GFolderSync = nullptr;
}  // namespace

TDeferredFolderSync::TDeferredFolderSync(std::function<void(const std::filesystem::path&)> sync) noexcept
    : FSync(std::move(sync)), FOuter(GFolderSync) {
  GFolderSync = this;
}

TDeferredFolderSync::~TDeferredFolderSync() { GFolderSync = FOuter; }

bool TDeferredFolderSync::Take(const std::filesystem::path& folder) noexcept {
  if (!GFolderSync || !GFolderSync->FSync) return false;
  try {
    GFolderSync->FSync(folder);
    return true;
  } catch (...) {
    return false;
  }
}
