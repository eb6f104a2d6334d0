#include "platform/HostProcess.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

// The host finds its end of the channel under this descriptor.
constexpr int HostChannelFd = 3;
constexpr const char* HostChannelArgument = "--channel=3";
constexpr int MaxHandles = 4;

int Fd(TOsHandle handle) noexcept { return static_cast<int>(handle); }

}  // namespace

void CloseOsHandle(TOsHandle handle) noexcept {
  if (handle != InvalidOsHandle) ::close(Fd(handle));
}

TOsHandle DuplicateOsHandle(TOsHandle handle) noexcept {
  if (handle == InvalidOsHandle) return InvalidOsHandle;
  const int fd = ::fcntl(Fd(handle), F_DUPFD_CLOEXEC, 0);
  return fd < 0 ? InvalidOsHandle : fd;
}

TOsHandle SectionCopyOf(const void* data, std::size_t size) noexcept {
  const int fd = ::memfd_create("tavex-source", MFD_CLOEXEC);
  if (fd < 0) return InvalidOsHandle;
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return InvalidOsHandle;
    }
    done += static_cast<std::size_t>(n);
  }
  // An empty source still maps: one byte, as Create makes it.
  if (size == 0 && ::ftruncate(fd, 1) != 0) {
    ::close(fd);
    return InvalidOsHandle;
  }
  return fd;
}

bool RefillSection(TOsHandle handle, std::size_t capacity, const void* data, std::size_t size) noexcept {
  (void)capacity;
  struct stat st {};
  if (handle == InvalidOsHandle || ::fstat(Fd(handle), &st) != 0) return false;
  // Grown, never shrunk: the reader maps only the length it is told.
  if (static_cast<std::size_t>(st.st_size) < std::max<std::size_t>(size, 1) &&
      ::ftruncate(Fd(handle), static_cast<off_t>(std::max<std::size_t>(size, 1))) != 0)
    return false;
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(Fd(handle), p + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool SameSection(TOsHandle a, TOsHandle b) noexcept {
  struct stat sa {}, sb {};
  return a != InvalidOsHandle && b != InvalidOsHandle && ::fstat(Fd(a), &sa) == 0 && ::fstat(Fd(b), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool ReadSectionInto(TOsHandle handle, void* into, std::size_t size) noexcept {
  struct stat st {};
  bool ok = handle != InvalidOsHandle && ::fstat(Fd(handle), &st) == 0 && static_cast<std::size_t>(st.st_size) >= size;
  auto* p = static_cast<char*>(into);
  std::size_t done = 0;
  while (ok && done < size) {
    const ssize_t n = ::pread(Fd(handle), p + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  CloseOsHandle(handle);
  return ok;
}

// ---- TSharedSection

TSharedSection TSharedSection::Create(std::size_t size) noexcept {
  TSharedSection section;
  if (size == 0) size = 1;
  const int fd = ::memfd_create("tavex-section", MFD_CLOEXEC);
  if (fd < 0) return section;
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    return section;
  }
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    ::close(fd);
    return section;
  }
  section.FData = data;
  section.FSize = size;
  section.FHandle = fd;
  return section;
}

TSharedSection TSharedSection::Map(TOsHandle handle, std::size_t size, bool writable) noexcept {
  TSharedSection section;
  if (size == 0) size = 1;
  struct stat st {};
  // A section smaller than the sender says would fault on the first read past its end.
  if (handle == InvalidOsHandle || ::fstat(Fd(handle), &st) != 0 || static_cast<std::size_t>(st.st_size) < size) {
    CloseOsHandle(handle);
    return section;
  }
  // Populated at once: whoever maps a section reads it through, and one call beats a
  // fault per page.
  void* data = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED | MAP_POPULATE,
                      Fd(handle), 0);
  if (data == MAP_FAILED) {
    CloseOsHandle(handle);
    return section;
  }
  section.FData = data;
  section.FSize = size;
  section.FHandle = handle;
  return section;
}

void UnmapSection(void* data, std::size_t size) noexcept {
  if (data) ::munmap(data, size ? size : 1);
}

// ---- TChannel

TChannel::~TChannel() { Close(); }

void TChannel::Close() noexcept {
  CloseOsHandle(FHandle);
  FHandle = InvalidOsHandle;
}

bool TChannel::Send(const std::vector<std::uint8_t>& message, const std::vector<TOsHandle>& handles) noexcept {
  // The other process gets copies of the descriptors; these go on every path.
  struct TCloser {
    const std::vector<TOsHandle>& Handles;
    ~TCloser() {
      for (TOsHandle h : Handles) CloseOsHandle(h);
    }
  } closer{handles};
  if (FHandle == InvalidOsHandle || message.size() > MaxMessage || handles.size() > MaxHandles) return false;
  iovec io{const_cast<std::uint8_t*>(message.data()), message.size()};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  // The control message: its header, then the descriptors where CMSG_DATA puts them.
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int) * MaxHandles)] = {};
  if (!handles.empty()) {
    int fds[MaxHandles] = {};
    for (std::size_t i = 0; i < handles.size(); ++i) fds[i] = Fd(handles[i]);
    cmsghdr c{};
    c.cmsg_level = SOL_SOCKET;
    c.cmsg_type = SCM_RIGHTS;
    c.cmsg_len = CMSG_LEN(sizeof(int) * handles.size());
    std::memcpy(control, &c, sizeof c);
    std::memcpy(control + CMSG_LEN(0), fds, sizeof(int) * handles.size());
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(sizeof(int) * handles.size());
  }
  for (;;) {
    // MSG_NOSIGNAL: a host that died must cost a failed call, not the program.
    const ssize_t n = ::sendmsg(Fd(FHandle), &header, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n) == message.size();
    if (errno != EINTR) return false;
  }
}

TChannel::TReceive TChannel::Receive(std::vector<std::uint8_t>& message, std::vector<TOsHandle>& handles,
                                     int timeoutMs) noexcept {
  handles.clear();
  if (FHandle == InvalidOsHandle) return TReceive::Failed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{Fd(FHandle), POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return TReceive::Failed;
    if (ready == 0) return TReceive::TimedOut;
    break;
  }
  try {
    message.resize(MaxMessage);
  } catch (...) {
    return TReceive::Failed;
  }
  iovec io{message.data(), message.size()};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxHandles)] = {};
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(Fd(FHandle), &header, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (handles.size() < MaxHandles)
        handles.push_back(fd);
      else
        ::close(fd);
    }
  }
  if (n < 0 || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
    for (TOsHandle h : handles) CloseOsHandle(h);
    handles.clear();
    return n == 0 ? TReceive::Closed : TReceive::Failed;
  }
  if (n == 0) {
    for (TOsHandle h : handles) CloseOsHandle(h);
    handles.clear();
    return TReceive::Closed;
  }
  message.resize(static_cast<std::size_t>(n));
  return TReceive::Message;
}

// ---- THostProcess

THostProcess::~THostProcess() { Kill(); }

bool THostProcess::Start(const std::filesystem::path& program, std::size_t memoryLimit, THostProcess& process,
                         TChannel& channel, std::string& error) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    error = std::strerror(errno);
    return false;
  }
  // Everything the child needs is made before the fork: after it only async-signal-safe
  // calls may run, the parent having other threads.
  const std::string path = program.string();
  char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(HostChannelArgument), nullptr};
  int report[2];  // the exec's failure, if any, comes back through this pipe
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    if (ends[1] == HostChannelFd)
      ::fcntl(HostChannelFd, F_SETFD, 0);
    else if (::dup2(ends[1], HostChannelFd) < 0)
      ::_exit(127);
    // Standard output is the converter's list of written files: a plug-in's chatter goes
    // to standard error instead.
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    if (memoryLimit > 0) {
      const rlimit limit{static_cast<rlim_t>(memoryLimit), static_cast<rlim_t>(memoryLimit)};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    ::signal(SIGPIPE, SIG_IGN);
    // Ctrl+C at the terminal reaches the whole process group: the converter stops after
    // the file in progress, which its host must still be there to decode. The host ends
    // with its channel.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::execv(argv[0], argv);
    const int e = errno;
    [[maybe_unused]] const ssize_t w = ::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(report[1]);
  ::close(ends[1]);
  if (pid < 0) {
    error = std::strerror(errno);
    ::close(report[0]);
    ::close(ends[0]);
    return false;
  }
  int e = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &e, sizeof e);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof e)) {
    error = std::strerror(e);
    ::close(ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return false;
  }
  process = THostProcess();
  process.FId = pid;
  channel = TChannel(ends[0]);
  return true;
}

TChannel THostProcess::ChannelOfHost(int argc, char** argv) noexcept {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], HostChannelArgument) == 0) return TChannel(HostChannelFd);
  return TChannel();
}

void THostProcess::Kill() noexcept {
  if (FId <= 0) return;
  ::kill(static_cast<pid_t>(FId), SIGKILL);
  int status = 0;
  while (::waitpid(static_cast<pid_t>(FId), &status, 0) < 0 && errno == EINTR) {
  }
  FId = 0;
}

std::string THostProcess::Wait(int timeoutMs) noexcept {
  if (FId <= 0) return "not running";
  const pid_t pid = static_cast<pid_t>(FId);
  int status = 0;
  pid_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
#ifdef SYS_pidfd_open
  // A process descriptor wakes the wait the moment the host ends (the program waits for
  // its hosts when it closes); kernels without one are polled.
  if (const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) < 0 && errno == EINTR) {
    }
    ::close(fd);
  }
#endif
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (done == 0) {
    ::kill(pid, SIGKILL);
    while ((done = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  FId = 0;
  try {
    if (done > 0 && WIFSIGNALED(status)) {
      const char* name = ::strsignal(WTERMSIG(status));
      return "signal " + std::to_string(WTERMSIG(status)) + " (" + (name ? name : "?") + ")";
    }
    if (done > 0 && WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  } catch (...) {
  }
  return "ended";
}

// ---- The host's fault handler

namespace {
int GFaultChannel = -1;
THostFaultMessage GFaultMessage = nullptr;

void OnFault(int signal, siginfo_t* info, void*) {
  const THostFault kind = signal == SIGSEGV || signal == SIGBUS ? THostFault::PageFault
                          : signal == SIGABRT                  ? THostFault::Abort
                          : signal == SIGILL                   ? THostFault::Illegal
                          : signal == SIGFPE                   ? THostFault::Arithmetic
                                                               : THostFault::Other;
  unsigned char message[64];
  const std::size_t n = GFaultMessage ? GFaultMessage(message, sizeof message, kind, static_cast<std::uint32_t>(signal),
                                                      reinterpret_cast<std::uintptr_t>(info ? info->si_addr : nullptr))
                                      : 0;
  if (GFaultChannel >= 0 && n > 0) ::send(GFaultChannel, message, n, MSG_NOSIGNAL);
  // The signal itself ends the process, so that its exit status names it too.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}
}  // namespace

void InstallHostFaultHandler(TChannel& channel, THostFaultMessage message) noexcept {
  GFaultChannel = Fd(channel.Handle());
  GFaultMessage = message;
  // Its own stack: a plug-in that overflows its stack still gets reported.
  static char stack[1 << 16];
  stack_t alt{};
  alt.ss_sp = stack;
  alt.ss_size = sizeof stack;
  ::sigaltstack(&alt, nullptr);
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(s, &action, nullptr);
}

}  // namespace platform
