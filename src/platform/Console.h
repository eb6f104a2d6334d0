#pragma once
// The console of a command-line program: its arguments and its two output streams.
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class TStdStream : unsigned char { Output, Error };

// The program's arguments as UTF-8, the program name first. On Windows they come from
// the wide command line, so names outside the ANSI code page survive; elsewhere argv
// is taken as it stands.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// True when the stream goes to a terminal (a console window on Windows).
bool IsTerminal(TStdStream stream) noexcept;

// Writes UTF-8 text at once (no buffering behind it): through the wide console calls on
// a Windows console, as UTF-8 bytes otherwise. False when the write failed.
bool WriteText(TStdStream stream, std::string_view utf8) noexcept;

}  // namespace platform
