#pragma once
// A batch UI that records every call in order, for the driver's tests.
#include <string>
#include <vector>

#include "app/Batch.h"
#include "rtl/Stream.h"

class TRecordingUI : public TBatchUI {
public:
  int Method = 0;
  std::string Folder;
  std::vector<std::string> Calls;
  std::vector<std::filesystem::path> Saved;
  // Runs inside ProcessMessages before the given file (0-based), e.g. to change the method.
  std::function<void(int file)> OnPump;
  // Answers Cancelled; never cancelled without one.
  std::function<bool()> OnCancelled;

  int SaveMethod() override { return Method; }
  std::string SaveFolder() override { return Folder; }
  void SetProgressMax(int max) override { Calls.push_back("max " + std::to_string(max)); }
  void SetProgressPosition(int position) override {
    FPosition = position;
    Calls.push_back("position " + std::to_string(position));
  }
  void ProcessMessages() override {
    Calls.push_back("pump");
    if (OnPump) OnPump(FPosition - 1);
  }
  void BeepMessage(const std::string& text) override { Calls.push_back("beep " + text); }
  void ForceForeground() override { Calls.push_back("foreground"); }
  void FileSaved(const std::filesystem::path& source, const std::filesystem::path& output) override {
    Calls.push_back("saved " + PathToUtf8(source.filename()) + " -> " + PathToUtf8(output.filename()));
    Saved.push_back(output);
  }
  bool Cancelled() override { return OnCancelled && OnCancelled(); }
  void FileFailed(const std::filesystem::path& source, const std::string& message) override {
    Calls.push_back(std::string("failed ") + PathToUtf8(source.filename()) + ": " + message);
  }

private:
  int FPosition = 0;
};
