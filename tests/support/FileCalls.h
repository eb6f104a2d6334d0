#pragma once
// The file calls the OS seam reports (flushes, moves, folder syncs), recorded in order from
// every thread while one of these lives.
#include <chrono>
#include <mutex>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "rtl/File.h"
#include "rtl/Stream.h"

// Each call as a line: "flush", "move FROM -> TO", "sync FOLDER". A folder sync may be
// made to take longer, so that whoever syncs falls behind.
class TFileCalls {
public:
  explicit TFileCalls(std::chrono::milliseconds syncDelay = {}) {
    SetFileCallObserver([this, syncDelay](TFileCall call, const std::filesystem::path& path,
                                          const std::filesystem::path& target) {
      const char* kind = call == TFileCall::Flush ? "flush" : call == TFileCall::Move ? "move" : "sync";
      std::string line = kind;
      if (!path.empty()) line.append(" ").append(PathToUtf8(path));
      if (!target.empty()) line.append(" -> ").append(PathToUtf8(target));
      if (call == TFileCall::SyncFolder) std::this_thread::sleep_for(syncDelay);
      const std::lock_guard<std::mutex> lock(FLock);
      FCalls.push_back(std::move(line));
    });
  }
  ~TFileCalls() { SetFileCallObserver({}); }
  TFileCalls(const TFileCalls&) = delete;
  TFileCalls& operator=(const TFileCalls&) = delete;
  std::vector<std::string> Take() {
    const std::lock_guard<std::mutex> lock(FLock);
    return std::exchange(FCalls, {});
  }

private:
  std::mutex FLock;
  std::vector<std::string> FCalls;
};
