#include "platform/Console.h"

#include <cerrno>
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

}  // namespace platform
