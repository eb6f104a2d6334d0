#pragma once
// tavex-cli's console for tests that run the converter: standard output dropped, standard
// error kept for the test to read.
#include <string>
#include <string_view>

#include "cli/Cli.h"

class TQuietConsole : public TCliConsole {
public:
  std::string ErrText;
  void Out(std::string_view) override {}
  void Err(std::string_view text) override { ErrText += text; }
  bool ErrIsTerminal() override { return false; }
};
