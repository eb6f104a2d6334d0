#pragma once
// A plug-in host process seen from the program: the module objects of out-of-process
// plug-ins call their entry points through it. It starts the host on first use, loads
// each plug-in there when first needed, relays progress calls, and ends a host that
// crashes, exits or stops answering; that call fails with a reason, and the next one
// starts a fresh host. Each thread's calls go to hosts of its own (TPluginHostLane).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HostProcess.h"
#include "platform/LocalMemory.h"
#include "spi/HostProtocol.h"
#include "spi/SPIs.h"

// While one lives, this thread calls plug-ins in host processes of its own (a lane),
// apart from every other thread's; threads without one share lane 0.
class TPluginHostLane {
public:
  TPluginHostLane() noexcept;
  ~TPluginHostLane();
  TPluginHostLane(const TPluginHostLane&) = delete;
  TPluginHostLane& operator=(const TPluginHostLane&) = delete;

private:
  int FOuter;
};

class TPluginHost {
public:
  struct TSettings {
    std::filesystem::path Program;
    std::size_t MemoryLimit = 0;  // bytes; 0: none
    int TimeoutSeconds = 60;
    // What the host answered for each plug-in, kept between runs (empty: not kept): a
    // plug-in whose file has the size and time it had is registered without a host.
    std::filesystem::path CacheFile;
  };
  explicit TPluginHost(TSettings settings);
  ~TPluginHost();
  TPluginHost(const TPluginHost&) = delete;
  TPluginHost& operator=(const TPluginHost&) = delete;

  // Loads the plug-in in the host: its number there, with the entry points it exports
  // (bit n for TSPIEntryPoint n) and the path the host's OS reports; 0 when it cannot be
  // loaded, with the host's failure (if any) in Failure.
  int Load(const std::filesystem::path& fileName, std::uint32_t& entries, std::filesystem::path& reported);

  // Each returns false, with the reason in Failure, when the host failed the call; the
  // plug-in's result is in rc otherwise.
  bool Info(int module, int infoNo, char* buffer, int length, int& rc);
  // Asks the texts 0 to count - 1 (up to the first empty one from listFrom on) of buffers
  // of length in one call; Info answers them from then on without asking the host.
  bool ReadInfo(int module, int length, int count, int listFrom);
  bool IsSupported(int module, const char* fileName, const void* header, int& rc);
  bool PictureInfo(int module, const void* source, TSPILength length, unsigned flags, TSPIPictureInfo& info,
                   int& rc);
  // The blocks come back as local-memory blocks of this process; one block for both when
  // the plug-in handed one back as both.
  bool Picture(int module, bool preview, const void* source, TSPILength length, unsigned flags,
               platform::TLocalHandle* info, platform::TLocalHandle* pixels, TSPIProgressCallback progress,
               TSPILength userValue, int& rc);

  // Writes the cache file when what it holds changed: the plug-ins registered since this
  // host was made, each with its texts. A file that cannot be written is left as it was.
  void SaveCache() noexcept;

  // Why this thread's last call failed.
  const std::string& Failure();
  // Host processes started so far, on every lane.
  int Starts() const noexcept { return FStarts.load(std::memory_order_relaxed); }

  // A decoding job on this thread, from its start to its end: its memory source stays as it
  // is, so its calls share one copy of it. Outside a job every call copies its source afresh,
  // since a caller may put other bytes at the same address.
  class TJobSource {
  public:
    TJobSource() noexcept;
    ~TJobSource();
    TJobSource(const TJobSource&) = delete;
    TJobSource& operator=(const TJobSource&) = delete;
    // Memory of size bytes for the job's source, in the section the hosts are sent: a
    // source read into it goes to them without a copy. Valid until the job ends; null when
    // another job on this thread runs around this one, or no section can be made.
    static void* Buffer(std::size_t size) noexcept;
  };
  // Lets the section kept for this thread's next source go, and the sections kept for the
  // next pictures (a batch has ended).
  static void ReleaseSource() noexcept;

private:
  // A job starts or ends on this thread: the section no longer holds its memory source, and
  // is kept for the next one unless large.
  static void NewSource() noexcept;
  // One host process and what it has loaded: each thread that calls plug-ins has a lane
  // of its own (TPluginHostLane), so hosts decode several files at once.
  struct TLane {
    platform::THostProcess Process;
    platform::TChannel Channel;
    std::vector<int> LoadedAs;  // module n's number in the running host; 0: not loaded
    std::string Failure;
    std::uint32_t LastEntries = 0;  // of the last load's answer
    std::filesystem::path LastReported;
  };
  TLane& Lane();
  bool Start(TLane& L);
  bool EnsureLoaded(TLane& L, int module, bool registering = false);
  // Sends the request and waits for its answer, relaying progress reports meanwhile.
  bool Exchange(TLane& L, const std::vector<std::uint8_t>& request, const std::vector<platform::TOsHandle>& handles,
                std::vector<std::uint8_t>& reply, std::vector<platform::TOsHandle>& replyHandles,
                TSPIProgressCallback progress = nullptr, TSPILength userValue = 0);
  // Adds the source to the request (a picture request its lent section after it) and
  // exchanges it; sourceMade false (and nothing sent) when no section could be made for it.
  bool ExchangeWithSource(TLane& L, spihost::TWriter& w, const void* source, TSPILength length, unsigned flags,
                          std::vector<std::uint8_t>& reply, std::vector<platform::TOsHandle>& handles,
                          bool& sourceMade, TSPIProgressCallback progress = nullptr, TSPILength userValue = 0,
                          const platform::TLentSection* lent = nullptr);
  // Appends the source fields (and its section, for memory) to a request.
  bool AddSource(spihost::TWriter& w, const void* source, TSPILength length, unsigned flags,
                 platform::TOsHandle& section);
  void Ended(TLane& L, const std::string& reason);

  TSettings FSettings;
  std::mutex FLock;  // the lanes' list and the modules' files
  std::vector<std::unique_ptr<TLane>> FLanes;
  std::vector<std::filesystem::path> FFiles;  // module n is FFiles[n - 1]
  struct TModuleInfo {
    bool Loaded = false;
    std::uint32_t Entries = 0;
    std::filesystem::path Reported;
    std::map<std::pair<int, int>, std::pair<int, std::string>> Answers;  // (entry, length): (rc, text)
    // The file as it was when loaded: what the cache compares.
    std::uint64_t FileSize = 0;
    std::int64_t FileTime = 0;
    int InfoLength = -1;  // of the texts read in one call; -1: none yet
  };
  std::vector<TModuleInfo> FModules;  // beside FFiles
  // The cache file's records (read at the start) and bytes, to write it only when changed.
  struct TCached {
    std::filesystem::path File;
    TModuleInfo Info;
  };
  std::vector<TCached> FCached;
  std::vector<std::uint8_t> FCacheBytes;
  void ReadCache() noexcept;
  std::atomic<int> FStarts{0};
};
