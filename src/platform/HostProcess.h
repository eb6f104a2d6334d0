#pragma once
// What a plug-in host process needs of the OS: a private channel of messages that may carry
// handles, memory sections that both processes map, and the child process itself, which
// may be ended at any time and says why it ended. Natively a socket pair, memfd sections
// passed over it and a forked program.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// A file descriptor natively.
using TOsHandle = std::intptr_t;
inline constexpr TOsHandle InvalidOsHandle = -1;

// Closes a handle received over a channel and not used.
void CloseOsHandle(TOsHandle handle) noexcept;
// Unmaps what TSharedSection::ReleaseMapping gave up (nothing for null).
void UnmapSection(void* data, std::size_t size) noexcept;
// A second handle of the same object (to send one and keep one); invalid on failure.
TOsHandle DuplicateOsHandle(TOsHandle handle) noexcept;
// A section holding a copy of the bytes, not mapped here: its handle, to be sent (invalid
// when it cannot be made). Natively written with one call, without faulting pages in.
TOsHandle SectionCopyOf(const void* data, std::size_t size) noexcept;
// Puts the bytes at the start of a section made by SectionCopyOf that holds capacity bytes
// (natively it grows as needed), so that a batch's sources reuse one section's pages; false
// when the section cannot take them (then make a new one).
bool RefillSection(TOsHandle handle, std::size_t capacity, const void* data, std::size_t size) noexcept;
// Whether two handles name the same section (natively the same file); false where the
// platform cannot tell.
bool SameSection(TOsHandle a, TOsHandle b) noexcept;
// Copies the first size bytes of a received section into memory of this process, and closes
// the handle whatever happens; false when the section is smaller or cannot be read. Natively
// one read, without mapping and unmapping the pages.
bool ReadSectionInto(TOsHandle handle, void* into, std::size_t size) noexcept;

// Memory both processes map: made by one, handed to the other over the channel. Movable,
// not copyable; unmapped and closed by its destructor.
class TSharedSection {
public:
  TSharedSection() noexcept = default;
  TSharedSection(TSharedSection&& other) noexcept
      : FData(std::exchange(other.FData, nullptr)), FSize(std::exchange(other.FSize, 0)),
        FHandle(std::exchange(other.FHandle, InvalidOsHandle)) {}
  TSharedSection& operator=(TSharedSection&& other) noexcept {
    if (this != &other) {
      Reset();
      FData = std::exchange(other.FData, nullptr);
      FSize = std::exchange(other.FSize, 0);
      FHandle = std::exchange(other.FHandle, InvalidOsHandle);
    }
    return *this;
  }
  TSharedSection(const TSharedSection&) = delete;
  TSharedSection& operator=(const TSharedSection&) = delete;
  ~TSharedSection() { Reset(); }

  // A zero-filled section of size bytes (at least 1), mapped for writing; empty when it
  // cannot be made.
  static TSharedSection Create(std::size_t size) noexcept;
  // Maps size bytes of a section received over a channel, taking over the handle (closed
  // on failure too); empty when the section is smaller than size or cannot be mapped.
  static TSharedSection Map(TOsHandle handle, std::size_t size, bool writable) noexcept;

  explicit operator bool() const noexcept { return FData != nullptr; }
  void* Data() const noexcept { return FData; }
  std::size_t Size() const noexcept { return FSize; }
  TOsHandle Handle() const noexcept { return FHandle; }
  // Closes the handle, keeping the mapping: what is mapped stays readable.
  void CloseHandle() noexcept { CloseOsHandle(std::exchange(FHandle, InvalidOsHandle)); }
  // Gives the handle up to the caller (to send it), keeping the mapping.
  TOsHandle ReleaseHandle() noexcept { return std::exchange(FHandle, InvalidOsHandle); }
  // Gives the mapping up to the caller, who unmaps it with UnmapSection; the handle is
  // closed.
  void* ReleaseMapping() noexcept {
    CloseHandle();
    FSize = 0;
    return std::exchange(FData, nullptr);
  }

private:
  void Reset() noexcept {
    UnmapSection(std::exchange(FData, nullptr), std::exchange(FSize, 0));
    CloseHandle();
  }
  void* FData = nullptr;
  std::size_t FSize = 0;
  TOsHandle FHandle = InvalidOsHandle;
};

// One end of a private channel: each message arrives whole, with the handles sent along.
class TChannel {
public:
  enum class TReceive : std::uint8_t { Message, Closed, TimedOut, Failed };
  // Messages larger than this are refused: bulk data goes in sections.
  static constexpr std::size_t MaxMessage = 64 * 1024;

  TChannel() noexcept = default;
  explicit TChannel(TOsHandle handle) noexcept : FHandle(handle) {}
  TChannel(TChannel&& other) noexcept
      : FHandle(std::exchange(other.FHandle, InvalidOsHandle)), FPeer(std::exchange(other.FPeer, InvalidOsHandle)) {}
  TChannel& operator=(TChannel&& other) noexcept {
    if (this != &other) {
      Close();
      FHandle = std::exchange(other.FHandle, InvalidOsHandle);
      FPeer = std::exchange(other.FPeer, InvalidOsHandle);
    }
    return *this;
  }
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;
  ~TChannel();

  explicit operator bool() const noexcept { return FHandle != InvalidOsHandle; }
  TOsHandle Handle() const noexcept { return FHandle; }
  // False when the other end is gone or the message cannot be sent. The handles are given
  // away on every path: to the other process, or closed.
  bool Send(const std::vector<std::uint8_t>& message, const std::vector<TOsHandle>& handles = {}) noexcept;
  // Waits up to timeoutMs (negative: without end) for the next message; the handles that
  // came with it belong to the caller.
  TReceive Receive(std::vector<std::uint8_t>& message, std::vector<TOsHandle>& handles, int timeoutMs) noexcept;
  void Close() noexcept;

private:
  friend class THostProcess;
  TOsHandle FHandle = InvalidOsHandle;
  // Windows: the host's process, through which the program's end passes handles both ways.
  TOsHandle FPeer = InvalidOsHandle;
};

// In a host process: what the fault handler tells the program before the fault ends the
// process. message writes the report (it must neither allocate nor lock: it runs in the
// fault) and returns its length; the handler sends it over the channel.
enum class THostFault : std::uint32_t { Other, PageFault, Abort, Illegal, Arithmetic, StackOverflow };
using THostFaultMessage = std::size_t (*)(unsigned char* buffer, std::size_t size, THostFault kind, std::uint32_t code,
                                          std::uint64_t address);
// Installs the handler for the rest of the process (natively the fault signals, on its own
// stack; on Windows the unhandled-exception filter, with the system's fault boxes off).
void InstallHostFaultHandler(TChannel& channel, THostFaultMessage message) noexcept;

// A started host program: the only process that holds the channel's other end.
class THostProcess {
public:
  THostProcess() noexcept = default;
  THostProcess(THostProcess&& other) noexcept : FId(std::exchange(other.FId, 0)) {}
  THostProcess& operator=(THostProcess&& other) noexcept {
    if (this != &other) {
      Kill();
      FId = std::exchange(other.FId, 0);
    }
    return *this;
  }
  THostProcess(const THostProcess&) = delete;
  THostProcess& operator=(const THostProcess&) = delete;
  // Ends the process if it still runs.
  ~THostProcess();

  // Starts the program with the other end of a new channel (its command line names it) and
  // an address-space limit of memoryLimit bytes (0: none). False, with the OS's reason in
  // error, when it cannot be started.
  static bool Start(const std::filesystem::path& program, std::size_t memoryLimit, THostProcess& process,
                    TChannel& channel, std::string& error);
  // The host's side: the channel its command line names; empty when none.
  static TChannel ChannelOfHost(int argc, char** argv) noexcept;

  bool Running() const noexcept { return FId > 0; }
  // Ends the process at once and waits for it.
  void Kill() noexcept;
  // Waits up to timeoutMs for the process to end by itself, then ends it; says how it ended
  // ("signal 11 (Segmentation fault)", "exit status 3").
  std::string Wait(int timeoutMs) noexcept;

private:
  std::intptr_t FId = 0;
};

}  // namespace platform
