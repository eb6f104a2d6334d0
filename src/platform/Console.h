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

// From the call on, Ctrl+C no longer ends the process at once, nor does the end of its
// console: SIGINT, SIGTERM and SIGHUP; on Windows Ctrl+C, Ctrl+Break and the console's
// close, log-off and shut-down events. Each only sets the flag that Interrupted reads, and
// the program stops where it can do so cleanly.
void CatchInterrupts() noexcept;
bool Interrupted() noexcept;
// Back to the OS's default handling; the flag stays as it is.
void ReleaseInterrupts() noexcept;
// Lowers the flag, for a program that goes on after one interrupt.
void ClearInterrupt() noexcept;
// The program has cleaned up. Windows ends a process whose console closes as soon as the
// handler of the close event returns: the handler waits for this call (or for the
// system's own deadline). Nothing to do elsewhere.
void InterruptHandled() noexcept;

// For tests: an interrupt as the OS delivers it, on this thread: the signal raised in this
// process (SIGINT, SIGHUP), on Windows the console's handler called with the event
// (CTRL_C_EVENT, CTRL_CLOSE_EVENT), which for a close returns only after InterruptHandled.
enum class TInterrupt : unsigned char { CtrlC, ConsoleClosed };
void RaiseInterrupt(TInterrupt kind) noexcept;

}  // namespace platform
