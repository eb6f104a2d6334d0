#include "app/Startup.h"
#include "cli/Cli.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
  TavexStartup();
  int code;
  {
    std::vector<std::string> args = platform::CommandLineArguments(argc, argv);
    if (!args.empty()) args.erase(args.begin());
    TSystemConsole console;
    platform::CatchInterrupts();
    code = RunCli(args, console, nullptr);  // the program's own conversion
  }
  platform::InterruptHandled();
  TavexShutdown();
  return code;
}
