#include "platform/Console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace platform {
namespace {
int Descriptor(TStdStream stream) { return stream == TStdStream::Output ? STDOUT_FILENO : STDERR_FILENO; }
}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  return args;
}

bool IsTerminal(TStdStream stream) noexcept { return ::isatty(Descriptor(stream)) == 1; }

bool WriteText(TStdStream stream, std::string_view utf8) noexcept {
  const char* p = utf8.data();
  std::size_t left = utf8.size();
  while (left > 0) {
    const ssize_t n = ::write(Descriptor(stream), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

namespace {
std::atomic<bool> GInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

void OnInterrupt(int) { GInterrupted.store(true); }
}  // namespace

void CatchInterrupts() noexcept {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  // Calls under way go on: the flag is read between files.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
}

void ReleaseInterrupts() noexcept {
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
}

bool Interrupted() noexcept { return GInterrupted.load(); }

void ClearInterrupt() noexcept { GInterrupted.store(false); }

void InterruptHandled() noexcept {}

void RaiseInterrupt(TInterrupt kind) noexcept { ::raise(kind == TInterrupt::CtrlC ? SIGINT : SIGHUP); }

}  // namespace platform
