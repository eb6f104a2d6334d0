#pragma once
// Files through the OS: one owner per open file, share modes where the OS has them.
#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

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
// reader sees either the old file or the new one, never a part. On failure puts the
// OS's text for the error in errorText.
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& errorText);

// The OS's text for its last error (errno / GetLastError), without a trailing newline.
std::string LastErrorText();

}  // namespace platform
