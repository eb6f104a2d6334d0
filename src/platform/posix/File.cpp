#include "rtl/File.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TFile::TFile(TFile&& other) noexcept : FHandle(other.FHandle) { other.FHandle = Invalid; }

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = other.FHandle;
    other.FHandle = Invalid;
  }
  return *this;
}

TFile::~TFile() { Close(); }

TFile TFile::Open(const std::filesystem::path& name, TFileAccess access, TFileShare, TFileCreate create,
                  std::string& errorText) {
  int flags = O_CLOEXEC;
  switch (access) {
    case TFileAccess::Read: flags |= O_RDONLY; break;
    case TFileAccess::Write: flags |= O_WRONLY; break;
    case TFileAccess::ReadWrite: flags |= O_RDWR; break;
  }
  if (create == TFileCreate::CreateAlways) flags |= O_CREAT | O_TRUNC;
  if (create == TFileCreate::CreateNew) flags |= O_CREAT | O_EXCL;
  TFile file;
  const int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) {
    errorText = LastErrorText();
    return file;
  }
  // open() succeeds on a folder for reading; a folder is no file to read or write.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errorText = std::strerror(EISDIR);
    return file;
  }
  file.FHandle = fd;
  return file;
}

std::int64_t TFile::Read(void* buffer, std::int64_t count) noexcept {
  auto* p = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(static_cast<int>(FHandle), p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFile::Write(const void* buffer, std::int64_t count) noexcept {
  const auto* p = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(static_cast<int>(FHandle), p + done, static_cast<size_t>(count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += n;
  }
  return done;
}

std::int64_t TFile::Seek(std::int64_t offset, int origin) noexcept {
  const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  return ::lseek(static_cast<int>(FHandle), offset, whence);
}

bool TFile::Truncate() noexcept {
  const off_t pos = ::lseek(static_cast<int>(FHandle), 0, SEEK_CUR);
  return pos >= 0 && ::ftruncate(static_cast<int>(FHandle), pos) == 0;
}

bool TFile::Flush() noexcept {
  if (::fsync(static_cast<int>(FHandle)) != 0) return false;
  ObserveFileCall(TFileCall::Flush);
  return true;
}

void TFile::Close() noexcept {
  if (FHandle != Invalid) {
    ::close(static_cast<int>(FHandle));
    FHandle = Invalid;
  }
}

bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& errorText) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    errorText = LastErrorText();
    return false;
  }
  ObserveFileCall(TFileCall::Move, from, to);
  // The new name is an entry of the folder: until the folder is synced, a crash can
  // bring the old entry back. The file is in place and its data already flushed, so the
  // sync is done where it can be and never turns the finished save into a failure.
  try {
    const std::filesystem::path folder = to.has_parent_path() ? to.parent_path() : std::filesystem::path(".");
    if (!TDeferredFolderSync::Take(folder)) SyncFolder(folder);
  } catch (const std::bad_alloc&) {
  }
  return true;
}

void SyncFolder(const std::filesystem::path& folder) noexcept {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    if (::fsync(fd) == 0) ObserveFileCall(TFileCall::SyncFolder, folder);
    ::close(fd);
  }
}

std::string LastErrorText() { return std::strerror(errno); }
