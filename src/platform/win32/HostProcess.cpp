#include "platform/HostProcess.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/win32/WinHeaders.h"

namespace platform {
namespace {

HANDLE AsHandle(TOsHandle h) noexcept { return reinterpret_cast<HANDLE>(h); }
TOsHandle OfHandle(HANDLE h) noexcept { return reinterpret_cast<TOsHandle>(h); }

constexpr int MaxHandles = 4;
// Before each message: the number of handles and their values, 8 bytes each.
constexpr std::size_t PrefixBytes = 4 + 8 * MaxHandles;
constexpr const wchar_t* ChannelArgument = L"--channel=";

std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n && text) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(bytes > 0 ? bytes : 0));
    if (bytes > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), bytes, nullptr, nullptr);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  }
  if (text) ::LocalFree(text);
  return out.empty() ? "error " + std::to_string(code) : out;
}

// Waits for an overlapped operation on the pipe; false when it failed or timed out (then it
// is cancelled and done with before this returns, so the buffer may go).
enum class TWaited { Done, Failed, TimedOut };
TWaited Finish(HANDLE pipe, OVERLAPPED& ov, BOOL started, DWORD& bytes, int timeoutMs) {
  if (started) return ::GetOverlappedResult(pipe, &ov, &bytes, FALSE) ? TWaited::Done : TWaited::Failed;
  if (::GetLastError() != ERROR_IO_PENDING) return TWaited::Failed;
  const DWORD wait = ::WaitForSingleObject(ov.hEvent, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (wait == WAIT_OBJECT_0) return ::GetOverlappedResult(pipe, &ov, &bytes, FALSE) ? TWaited::Done : TWaited::Failed;
  ::CancelIo(pipe);
  ::GetOverlappedResult(pipe, &ov, &bytes, TRUE);
  return TWaited::TimedOut;
}

struct TEvent {
  HANDLE Handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~TEvent() {
    if (Handle) ::CloseHandle(Handle);
  }
  TEvent() = default;
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
};

// Every host of this program is in one job, which ends them when the program ends, and
// gives each its memory limit.
HANDLE HostJob(std::size_t memoryLimit) {
  static HANDLE job = [memoryLimit] {
    HANDLE j = ::CreateJobObjectW(nullptr, nullptr);
    if (!j) return j;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (memoryLimit > 0) {
      limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
      limits.ProcessMemoryLimit = memoryLimit;
    }
    ::SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return j;
  }();
  return job;
}

}  // namespace

void CloseOsHandle(TOsHandle handle) noexcept {
  if (handle != InvalidOsHandle && handle != 0) ::CloseHandle(AsHandle(handle));
}

TOsHandle DuplicateOsHandle(TOsHandle handle) noexcept {
  HANDLE copy = nullptr;
  if (handle == InvalidOsHandle ||
      !::DuplicateHandle(::GetCurrentProcess(), AsHandle(handle), ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return InvalidOsHandle;
  return OfHandle(copy);
}

TOsHandle SectionCopyOf(const void* data, std::size_t size) noexcept {
  TSharedSection section = TSharedSection::Create(size);
  if (!section) return InvalidOsHandle;
  if (size > 0) std::memcpy(section.Data(), data, size);
  return section.ReleaseHandle();
}

bool RefillSection(TOsHandle handle, std::size_t capacity, const void* data, std::size_t size) noexcept {
  // A mapping's size is fixed when it is made.
  if (handle == InvalidOsHandle || handle == 0 || size > capacity) return false;
  void* view = ::MapViewOfFile(AsHandle(handle), FILE_MAP_WRITE, 0, 0, size == 0 ? 1 : size);
  if (!view) return false;
  if (size > 0) std::memcpy(view, data, size);
  ::UnmapViewOfFile(view);
  return true;
}

bool SameSection(TOsHandle, TOsHandle) noexcept {
  // Telling two mapping handles apart needs a call older systems and Wine lack.
  return false;
}

bool ReadSectionInto(TOsHandle handle, void* into, std::size_t size) noexcept {
  TSharedSection section = TSharedSection::Map(handle, size, false);
  if (!section) return false;
  if (size > 0) std::memcpy(into, section.Data(), size);
  return true;
}

// ---- TSharedSection

TSharedSection TSharedSection::Create(std::size_t size) noexcept {
  TSharedSection section;
  if (size == 0) size = 1;
  const unsigned long long wide = size;
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(wide >> 32),
                                        static_cast<DWORD>(wide & 0xFFFFFFFFu), nullptr);
  if (!mapping) return section;
  void* data = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (!data) {
    ::CloseHandle(mapping);
    return section;
  }
  section.FData = data;
  section.FSize = size;
  section.FHandle = OfHandle(mapping);
  return section;
}

TSharedSection TSharedSection::Map(TOsHandle handle, std::size_t size, bool writable) noexcept {
  TSharedSection section;
  if (size == 0) size = 1;
  if (handle == InvalidOsHandle || handle == 0) return section;
  // A view larger than the section is refused by the system: nothing past its end is read.
  void* data = ::MapViewOfFile(AsHandle(handle), writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, size);
  if (!data) {
    CloseOsHandle(handle);
    return section;
  }
  MEMORY_BASIC_INFORMATION info{};
  if (::VirtualQuery(data, &info, sizeof info) == 0 || info.RegionSize < size) {
    ::UnmapViewOfFile(data);
    CloseOsHandle(handle);
    return section;
  }
  section.FData = data;
  section.FSize = size;
  section.FHandle = handle;
  return section;
}

void UnmapSection(void* data, std::size_t) noexcept {
  if (data) ::UnmapViewOfFile(data);
}

// ---- TChannel: a message-mode named pipe that only this program and its host hold

TChannel::~TChannel() { Close(); }

void TChannel::Close() noexcept {
  CloseOsHandle(FHandle);
  FHandle = InvalidOsHandle;
  // The peer's process handle belongs to its THostProcess.
  FPeer = InvalidOsHandle;
}

bool TChannel::Send(const std::vector<std::uint8_t>& message, const std::vector<TOsHandle>& handles) noexcept {
  // The program's end puts the handles into the host and closes its own; the host's end
  // leaves its handles open for the program to take them over (and close them here).
  std::uint64_t values[MaxHandles] = {};
  const std::uint32_t count = static_cast<std::uint32_t>(handles.size() < MaxHandles ? handles.size() : MaxHandles);
  bool ok = FHandle != InvalidOsHandle && message.size() <= MaxMessage && handles.size() <= MaxHandles;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (FPeer == InvalidOsHandle) {
      if (i < MaxHandles) values[i] = static_cast<std::uint64_t>(handles[i]);
      continue;
    }
    HANDLE remote = nullptr;
    if (ok && i < MaxHandles &&
        ::DuplicateHandle(::GetCurrentProcess(), AsHandle(handles[i]), AsHandle(FPeer), &remote, 0, FALSE,
                          DUPLICATE_SAME_ACCESS))
      values[i] = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(remote));
    else
      ok = false;
    CloseOsHandle(handles[i]);
  }
  if (!ok) return false;
  std::string packet;
  try {
    packet.resize(4 + 8 * std::size_t{count} + message.size());
  } catch (...) {
    return false;
  }
  std::memcpy(packet.data(), &count, 4);
  std::memcpy(packet.data() + 4, values, 8 * std::size_t{count});
  if (!message.empty()) std::memcpy(packet.data() + 4 + 8 * std::size_t{count}, message.data(), message.size());
  TEvent event;
  if (!event.Handle) return false;
  OVERLAPPED ov{};
  ov.hEvent = event.Handle;
  DWORD written = 0;
  const BOOL started =
      ::WriteFile(AsHandle(FHandle), packet.data(), static_cast<DWORD>(packet.size()), &written, &ov);
  return Finish(AsHandle(FHandle), ov, started, written, -1) == TWaited::Done && written == packet.size();
}

TChannel::TReceive TChannel::Receive(std::vector<std::uint8_t>& message, std::vector<TOsHandle>& handles,
                                     int timeoutMs) noexcept {
  handles.clear();
  if (FHandle == InvalidOsHandle) return TReceive::Failed;
  std::string packet;
  try {
    packet.resize(PrefixBytes + MaxMessage);
  } catch (...) {
    return TReceive::Failed;
  }
  TEvent event;
  if (!event.Handle) return TReceive::Failed;
  OVERLAPPED ov{};
  ov.hEvent = event.Handle;
  DWORD read = 0;
  const BOOL started = ::ReadFile(AsHandle(FHandle), packet.data(), static_cast<DWORD>(packet.size()), &read, &ov);
  const DWORD error = started ? ERROR_SUCCESS : ::GetLastError();
  if (!started && (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA))
    return TReceive::Closed;
  switch (Finish(AsHandle(FHandle), ov, started, read, timeoutMs)) {
    case TWaited::TimedOut: return TReceive::TimedOut;
    case TWaited::Failed: {
      const DWORD e = ::GetLastError();
      return e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED ? TReceive::Closed : TReceive::Failed;
    }
    case TWaited::Done: break;
  }
  if (read < 4) return read == 0 ? TReceive::Closed : TReceive::Failed;
  std::uint32_t count = 0;
  std::memcpy(&count, packet.data(), 4);
  if (count > MaxHandles || read < 4 + 8 * count) return TReceive::Failed;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t value = 0;
    std::memcpy(&value, packet.data() + 4 + 8 * i, 8);
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
    if (FPeer != InvalidOsHandle) {
      // Taken over from the host, which does not close its copy.
      HANDLE local = nullptr;
      if (!::DuplicateHandle(AsHandle(FPeer), h, ::GetCurrentProcess(), &local, 0, FALSE,
                             DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE))
        local = nullptr;
      h = local;
    }
    try {
      handles.push_back(h ? OfHandle(h) : InvalidOsHandle);
    } catch (...) {
      if (h) ::CloseHandle(h);
    }
  }
  const std::size_t payload = read - 4 - 8 * std::size_t{count};
  try {
    message.assign(packet.begin() + static_cast<std::ptrdiff_t>(4 + 8 * count),
                   packet.begin() + static_cast<std::ptrdiff_t>(4 + 8 * count + payload));
  } catch (...) {
    for (TOsHandle h : handles) CloseOsHandle(h);
    handles.clear();
    return TReceive::Failed;
  }
  return TReceive::Message;
}

// ---- THostProcess

THostProcess::~THostProcess() { Kill(); }

bool THostProcess::Start(const std::filesystem::path& program, std::size_t memoryLimit, THostProcess& process,
                         TChannel& channel, std::string& error) {
  static std::atomic<unsigned> counter{0};
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  // Named once, one instance, and connected before the host starts: nobody else can open it.
  const std::wstring name = L"\\\\.\\pipe\\tavex-host-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(now.QuadPart) + L"-" + std::to_wstring(counter++);
  const DWORD buffer = static_cast<DWORD>(PrefixBytes + TChannel::MaxMessage);
  HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                     1, buffer, buffer, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) {
    error = SystemText(::GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE client = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    error = SystemText(::GetLastError());
    ::CloseHandle(server);
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  ::SetNamedPipeHandleState(client, &mode, nullptr, nullptr);

  std::wstring commandLine = L"\"" + program.wstring() + L"\" " + ChannelArgument +
                             std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(client)));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL started = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
  const DWORD startError = ::GetLastError();
  ::CloseHandle(client);
  if (!started) {
    error = SystemText(startError);
    ::CloseHandle(server);
    return false;
  }
  // Without a job (where the system refuses one) the host still runs, unlimited.
  if (HANDLE job = HostJob(memoryLimit)) ::AssignProcessToJobObject(job, info.hProcess);
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  process = THostProcess();
  process.FId = reinterpret_cast<std::intptr_t>(info.hProcess);
  channel = TChannel(OfHandle(server));
  channel.FPeer = OfHandle(info.hProcess);
  return true;
}

TChannel THostProcess::ChannelOfHost(int, char**) noexcept {
  // Read off the command line as the program wrote it: the pipe's handle after the
  // argument's name, in decimal, ending the argument.
  const wchar_t* line = ::GetCommandLineW();
  const wchar_t* at = line ? std::wcsstr(line, ChannelArgument) : nullptr;
  if (!at) return TChannel();
  wchar_t* end = nullptr;
  const unsigned long long value = std::wcstoull(at + std::wcslen(ChannelArgument), &end, 10);
  if (!end || (*end != 0 && *end != L' ') || value == 0) return TChannel();
  return TChannel(static_cast<TOsHandle>(value));
}

void THostProcess::Kill() noexcept {
  if (FId == 0) return;
  HANDLE h = reinterpret_cast<HANDLE>(FId);
  ::TerminateProcess(h, 1);
  ::WaitForSingleObject(h, INFINITE);
  ::CloseHandle(h);
  FId = 0;
}

std::string THostProcess::Wait(int timeoutMs) noexcept {
  if (FId == 0) return "not running";
  HANDLE h = reinterpret_cast<HANDLE>(FId);
  if (::WaitForSingleObject(h, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    ::TerminateProcess(h, 1);
    ::WaitForSingleObject(h, INFINITE);
  }
  DWORD code = 0;
  const BOOL known = ::GetExitCodeProcess(h, &code);
  ::CloseHandle(h);
  FId = 0;
  try {
    if (!known) return "ended";
    // Exception codes end a process that had no handler.
    if (code >= 0xC0000000u) {
      char text[32];
      std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
      return text;
    }
    return "exit status " + std::to_string(code);
  } catch (...) {
    return "ended";
  }
}

// ---- The host's fault handler

namespace {
TChannel* GFaultChannel = nullptr;
THostFaultMessage GFaultMessage = nullptr;

LONG WINAPI OnFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
  const DWORD code = record ? record->ExceptionCode : 0;
  std::uint64_t address = record ? reinterpret_cast<std::uintptr_t>(record->ExceptionAddress) : 0;
  THostFault kind = THostFault::Other;
  if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR) {
    kind = THostFault::PageFault;
    // The address touched, not the instruction's.
    if (record->NumberParameters >= 2) address = record->ExceptionInformation[1];
  } else if (code == EXCEPTION_STACK_OVERFLOW) {
    kind = THostFault::StackOverflow;
  } else if (code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_PRIV_INSTRUCTION) {
    kind = THostFault::Illegal;
  } else if (code == EXCEPTION_INT_DIVIDE_BY_ZERO || code == EXCEPTION_FLT_DIVIDE_BY_ZERO) {
    kind = THostFault::Arithmetic;
  }
  unsigned char message[64];
  const std::size_t n = GFaultMessage ? GFaultMessage(message, sizeof message, kind, code, address) : 0;
  // The filter runs on the faulting thread's stack, outside the fault itself: the channel's
  // own send may allocate here.
  if (GFaultChannel && n > 0) GFaultChannel->Send(std::vector<std::uint8_t>(message, message + n));
  ::TerminateProcess(::GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

void InstallHostFaultHandler(TChannel& channel, THostFaultMessage message) noexcept {
  GFaultChannel = &channel;
  GFaultMessage = message;
  // No box from the system for a plug-in's fault: the program reports it.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::SetUnhandledExceptionFilter(OnFault);
}

}  // namespace platform
