#include "spi/PluginHost.h"

#include <cstdio>
#include <mutex>
#include <utility>
#include <cstring>

#include "rtl/File.h"
#include "rtl/Stream.h"

using namespace spihost;

namespace {

constexpr int SPINoMemory = 4;
// From this size on the host keeps no section for the next picture (the local-memory
// seam of the host keeps none above 32 MiB): the program takes the section over.
constexpr std::uint64_t AdoptedPicture = std::uint64_t{32} << 20;
// From this size on the host makes a plug-in's block a section, which may be one this
// program lends it.
constexpr std::uint64_t LentPicture = std::uint64_t{1} << 20;
// The size of the last picture decoded on this thread.
thread_local std::uint64_t GLastPicture = 0;
// How long a host that reported its fault, or closed its end, may take to end.
constexpr int EndingMs = 2000;
// The cache file: its first bytes, and the most it may hold (it is read whole).
constexpr char CacheMagic[8] = {'T', 'a', 'v', 'x', 'P', 'I', 'C', '1'};
constexpr std::int64_t MaxCacheBytes = std::int64_t{16} << 20;
constexpr int MaxInfoLength = 60000;

// A plug-in file's size and last write time; false when the OS cannot tell.
bool FileStamp(const std::filesystem::path& file, std::uint64_t& size, std::int64_t& time) noexcept {
  std::error_code e1, e2;
  const auto bytes = std::filesystem::file_size(file, e1);
  const auto written = std::filesystem::last_write_time(file, e2);
  if (e1 || e2) return false;
  size = bytes;
  time = static_cast<std::int64_t>(written.time_since_epoch().count());
  return true;
}

// A fault's report: a page fault names the address the plug-in touched.
std::string FaultText(std::uint32_t kind, std::uint32_t code, std::uint64_t address) {
  char text[64];
  switch (kind) {
    case hfPageFault:
      std::snprintf(text, sizeof text, "page fault at 0x%llx", static_cast<unsigned long long>(address));
      return text;
    case hfAbort: return "aborted (signal " + std::to_string(code) + ")";
    case hfIllegal: return "illegal instruction";
    case hfArithmetic: return "arithmetic fault";
    case hfStackOverflow: return "stack overflow";
    default:
      std::snprintf(text, sizeof text, "fault 0x%x", code);
      return text;
  }
}

}  // namespace

TPluginHost::TPluginHost(TSettings settings) : FSettings(std::move(settings)) { ReadCache(); }

void TPluginHost::ReadCache() noexcept {
  if (FSettings.CacheFile.empty()) return;
  try {
    std::vector<std::uint8_t> bytes;
    {
      TFileStream file(FSettings.CacheFile, fmOpenRead | fmShareDenyWrite);
      const std::int64_t size = file.Size();
      if (size < 0 || size > MaxCacheBytes) return;
      bytes.resize(static_cast<std::size_t>(size));
      if (size > 0 && file.Read(bytes.data(), size) != size) return;
    }
    // A file of another version, or damaged anywhere, is as good as none.
    if (bytes.size() < sizeof CacheMagic || std::memcmp(bytes.data(), CacheMagic, sizeof CacheMagic) != 0) return;
    const std::vector<std::uint8_t> body(bytes.begin() + sizeof CacheMagic, bytes.end());
    TReader r(body);
    std::vector<TCached> records;
    for (std::uint32_t n = r.U32(); r.Ok() && n > 0; --n) {
      TCached c;
      c.File = Utf8ToPath(r.Text());
      c.Info.FileSize = r.U64();
      c.Info.FileTime = r.I64();
      c.Info.Entries = r.U32();
      c.Info.Reported = Utf8ToPath(r.Text());
      c.Info.InfoLength = r.I32();
      if (c.Info.InfoLength < 0 || c.Info.InfoLength > MaxInfoLength) return;
      const auto size = static_cast<std::size_t>(c.Info.InfoLength) + 1;
      for (std::uint32_t a = r.U32(); r.Ok() && a > 0; --a) {
        const int infoNo = r.I32(), rc = r.I32();
        std::size_t used = 0;
        const std::uint8_t* text = r.Bytes(used);
        if (!r.Ok() || used > size) return;
        std::string buffer(size, '\0');
        if (used > 0) std::memcpy(buffer.data(), text, used);
        c.Info.Answers[std::make_pair(infoNo, c.Info.InfoLength)] = {rc, std::move(buffer)};
      }
      if (!r.Ok()) return;
      c.Info.Loaded = true;
      records.push_back(std::move(c));
    }
    if (!r.Ok()) return;
    FCached = std::move(records);
    FCacheBytes = std::move(bytes);
  } catch (const std::exception&) {
    // Not there, or not readable: every plug-in is asked afresh.
  }
}

void TPluginHost::SaveCache() noexcept {
  if (FSettings.CacheFile.empty()) return;
  try {
    std::vector<std::uint8_t> bytes(CacheMagic, CacheMagic + sizeof CacheMagic);
    {
      const std::lock_guard<std::mutex> lock(FLock);
      std::uint32_t count = 0;
      TWriter w(static_cast<TMessage>(0));
      for (std::size_t i = 0; i < FModules.size(); ++i) {
        const TModuleInfo& m = FModules[i];
        if (!m.Loaded || m.InfoLength < 0 || m.FileTime == 0) continue;
        ++count;
        w.Text(PathToUtf8(FFiles[i])).U64(m.FileSize).I64(m.FileTime).U32(m.Entries).Text(PathToUtf8(m.Reported));
        w.I32(m.InfoLength);
        std::uint32_t answers = 0;
        for (const auto& [key, answer] : m.Answers) answers += key.second == m.InfoLength ? 1 : 0;
        w.U32(answers);
        for (const auto& [key, answer] : m.Answers) {
          if (key.second != m.InfoLength) continue;
          std::size_t used = answer.second.size();
          while (used > 0 && answer.second[used - 1] == '\0') --used;
          w.I32(key.first).I32(answer.first).Bytes(answer.second.data(), used);
        }
      }
      // The records after the count (the writer's first field stands for a message's type).
      const std::vector<std::uint8_t>& records = w.Message();
      const TWriter head = TWriter(static_cast<TMessage>(count));
      bytes.insert(bytes.end(), head.Message().begin(), head.Message().end());
      bytes.insert(bytes.end(), records.begin() + 4, records.end());
    }
    if (bytes == FCacheBytes) return;
    std::error_code ignored;
    std::filesystem::create_directories(FSettings.CacheFile.parent_path(), ignored);
    SaveBytesReplacing(FSettings.CacheFile, bytes.data(), bytes.size());
    FCacheBytes = std::move(bytes);
  } catch (const std::exception&) {
    // Kept for next time, or not: the plug-ins are asked afresh then.
  }
}

TPluginHost::~TPluginHost() {
  // Closing a channel ends the host's loop; one that does not end is ended.
  for (const auto& lane : FLanes) {
    if (!lane) continue;
    lane->Channel.Close();
    if (lane->Process.Running()) lane->Process.Wait(EndingMs);
  }
}

namespace {
// Lanes in use by the threads alive now: each thread that calls plug-ins holds its own.
std::mutex GLaneLock;
std::vector<bool> GLanesInUse{true};  // lane 0: every thread that took none
thread_local int GLane = 0;
void ReleaseThreadSource() noexcept;
}  // namespace

TPluginHostLane::TPluginHostLane() noexcept : FOuter(GLane) {
  try {
    const std::lock_guard<std::mutex> lock(GLaneLock);
    std::size_t lane = 1;
    while (lane < GLanesInUse.size() && GLanesInUse[lane]) ++lane;
    if (lane == GLanesInUse.size()) GLanesInUse.push_back(true);
    GLanesInUse[lane] = true;
    GLane = static_cast<int>(lane);
  } catch (...) {
    // Without a lane of its own the thread must not call plug-ins: it shares lane 0.
  }
}

TPluginHostLane::~TPluginHostLane() {
  if (GLane != FOuter) {
    const std::lock_guard<std::mutex> lock(GLaneLock);
    GLanesInUse[static_cast<std::size_t>(GLane)] = false;
  }
  GLane = FOuter;
  // The thread's work with plug-ins ends here, before the thread does.
  if (FOuter == 0) ReleaseThreadSource();
}

TPluginHost::TLane& TPluginHost::Lane() {
  const std::lock_guard<std::mutex> lock(FLock);
  const auto lane = static_cast<std::size_t>(GLane);
  if (FLanes.size() <= lane) FLanes.resize(lane + 1);
  if (!FLanes[lane]) FLanes[lane] = std::make_unique<TLane>();
  return *FLanes[lane];
}

const std::string& TPluginHost::Failure() { return Lane().Failure; }

bool TPluginHost::Start(TLane& L) {
  if (L.Process.Running()) return true;
  std::string error;
  if (!platform::THostProcess::Start(FSettings.Program, FSettings.MemoryLimit, L.Process, L.Channel, error)) {
    L.Failure = "the plug-in host " + PathToUtf8(FSettings.Program) + " cannot be started: " + error;
    return false;
  }
  FStarts.fetch_add(1, std::memory_order_relaxed);
  std::fill(L.LoadedAs.begin(), L.LoadedAs.end(), 0);
  return true;
}

void TPluginHost::Ended(TLane& L, const std::string& reason) {
  L.Failure = reason;
  L.Channel.Close();
  L.Process.Kill();
}

bool TPluginHost::Exchange(TLane& L, const std::vector<std::uint8_t>& request, const std::vector<platform::TOsHandle>& handles,
                           std::vector<std::uint8_t>& reply, std::vector<platform::TOsHandle>& replyHandles,
                           TSPIProgressCallback progress, TSPILength userValue) {
  const int timeoutMs = FSettings.TimeoutSeconds > 0 ? FSettings.TimeoutSeconds * 1000 : -1;
  if (!L.Channel.Send(request, handles)) {
    Ended(L, "the plug-in stopped: " + L.Process.Wait(EndingMs));
    return false;
  }
  for (;;) {
    for (platform::TOsHandle h : replyHandles) platform::CloseOsHandle(h);
    switch (L.Channel.Receive(reply, replyHandles, timeoutMs)) {
      case platform::TChannel::TReceive::TimedOut:
        Ended(L, "the plug-in did not answer for " + std::to_string(FSettings.TimeoutSeconds) + " s");
        return false;
      case platform::TChannel::TReceive::Closed:
      case platform::TChannel::TReceive::Failed:
        L.Channel.Close();
        Ended(L, "the plug-in stopped: " + L.Process.Wait(EndingMs));
        return false;
      case platform::TChannel::TReceive::Message:
        break;
    }
    TReader r(reply);
    const std::uint32_t type = r.U32();
    if (type == hmCrashed) {
      const std::uint32_t kind = r.U32(), code = r.U32();
      const std::uint64_t address = r.U64();
      L.Channel.Close();
      L.Process.Wait(EndingMs);
      Ended(L, "the plug-in stopped: " + FaultText(kind, code, address));
      return false;
    }
    if (type != hmProgress) return true;
    const int step = r.I32(), steps = r.I32();
    const int answer = progress ? progress(step, steps, userValue) : 0;
    if (!L.Channel.Send(TWriter(hmProgressAnswer).I32(answer).Message())) {
      Ended(L, "the plug-in stopped: " + L.Process.Wait(EndingMs));
      return false;
    }
  }
}

int TPluginHost::Load(const std::filesystem::path& fileName, std::uint32_t& entries, std::filesystem::path& reported) {
  TLane& L = Lane();
  L.Failure.clear();
  int module = 0;
  {
    const std::lock_guard<std::mutex> lock(FLock);
    // A plug-in loaded once is the same module (the search loads each twice: once to read
    // its version, once as its kind).
    for (std::size_t i = 0; i < FFiles.size(); ++i)
      if (FFiles[i] == fileName && FModules[i].Loaded) {
        entries = FModules[i].Entries;
        reported = FModules[i].Reported;
        return static_cast<int>(i + 1);
      }
    std::uint64_t size = 0;
    std::int64_t time = 0;
    const bool stamped = FileStamp(fileName, size, time);
    // Known from an earlier run and unchanged since: registered without starting a host
    // (the host loads it when it is first called).
    for (const TCached& c : FCached)
      if (stamped && c.File == fileName && c.Info.FileSize == size && c.Info.FileTime == time) {
        FFiles.push_back(fileName);
        FModules.push_back(c.Info);
        entries = c.Info.Entries;
        reported = c.Info.Reported;
        return static_cast<int>(FFiles.size());
      }
    FFiles.push_back(fileName);
    FModules.emplace_back();
    if (stamped) {
      FModules.back().FileSize = size;
      FModules.back().FileTime = time;
    }
    module = static_cast<int>(FFiles.size());
  }
  if (!EnsureLoaded(L, module, true)) return 0;
  entries = L.LastEntries;
  reported = L.LastReported;
  const std::lock_guard<std::mutex> lock(FLock);
  TModuleInfo& info = FModules[static_cast<std::size_t>(module - 1)];
  info.Loaded = true;
  info.Entries = entries;
  info.Reported = reported;
  return module;
}

bool TPluginHost::EnsureLoaded(TLane& L, int module, bool registering) {
  std::filesystem::path file;
  {
    const std::lock_guard<std::mutex> lock(FLock);
    if (module <= 0 || module > static_cast<int>(FFiles.size())) return false;
    file = FFiles[static_cast<std::size_t>(module - 1)];
  }
  if (!Start(L)) return false;
  if (L.LoadedAs.size() < static_cast<std::size_t>(module)) L.LoadedAs.resize(static_cast<std::size_t>(module), 0);
  if (L.LoadedAs[static_cast<std::size_t>(module - 1)] > 0) return true;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  if (!Exchange(L, TWriter(hmLoad).Text(PathToUtf8(file)).Message(), {}, reply, handles))
    return false;
  for (platform::TOsHandle h : handles) platform::CloseOsHandle(h);
  TReader r(reply);
  r.U32();
  const std::uint32_t loadedAs = r.U32();
  L.LastEntries = r.U32();
  L.LastReported = Utf8ToPath(r.Text());
  if (!r.Ok() || loadedAs == 0) {
    // Registered from the cache, the file no longer loads: that call fails with a reason.
    if (!registering) L.Failure = "the plug-in cannot be loaded any more";
    return false;
  }
  L.LoadedAs[static_cast<std::size_t>(module - 1)] = static_cast<int>(loadedAs);
  return true;
}

bool TPluginHost::Info(int module, int infoNo, char* buffer, int length, int& rc) {
  TLane& L = Lane();
  L.Failure.clear();
  if (length < 0) return false;
  // The information texts do not change: asked once a module.
  const auto key = std::make_pair(infoNo, length);
  {
    const std::lock_guard<std::mutex> lock(FLock);
    if (module > 0 && module <= static_cast<int>(FModules.size())) {
      const auto& answers = FModules[static_cast<std::size_t>(module - 1)].Answers;
      if (const auto it = answers.find(key); it != answers.end()) {
        rc = it->second.first;
        std::memcpy(buffer, it->second.second.data(), it->second.second.size());
        return true;
      }
    }
  }
  if (!EnsureLoaded(L, module)) return false;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  const int hostModule = L.LoadedAs[static_cast<std::size_t>(module - 1)];
  if (!Exchange(L, TWriter(hmInfo).U32(static_cast<std::uint32_t>(hostModule)).I32(infoNo).I32(length).Message(), {},
                reply, handles))
    return false;
  TReader r(reply);
  r.U32();
  rc = r.I32();
  std::size_t size = 0;
  const std::uint8_t* text = r.Bytes(size);
  if (!r.Ok()) {
    Ended(L, "the plug-in host answered out of turn");
    return false;
  }
  // The plug-in's buffer as it filled it, never more than the caller's.
  const std::size_t room = static_cast<std::size_t>(length) + 1;
  std::memcpy(buffer, text, size < room ? size : room);
  try {
    const std::lock_guard<std::mutex> lock(FLock);
    FModules[static_cast<std::size_t>(module - 1)].Answers[key] = {rc, std::string(buffer, size < room ? size : room)};
  } catch (const std::bad_alloc&) {
    // Asked again next time.
  }
  return true;
}

bool TPluginHost::ReadInfo(int module, int length, int count, int listFrom) {
  TLane& L = Lane();
  L.Failure.clear();
  {
    // Read once a module (the search makes two objects of each plug-in).
    const std::lock_guard<std::mutex> lock(FLock);
    if (module > 0 && module <= static_cast<int>(FModules.size()) &&
        FModules[static_cast<std::size_t>(module - 1)].Answers.count(std::make_pair(0, length)))
      return true;
  }
  if (length < 0 || !EnsureLoaded(L, module)) return false;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  const int hostModule = L.LoadedAs[static_cast<std::size_t>(module - 1)];
  if (!Exchange(L, TWriter(hmInfoList).U32(static_cast<std::uint32_t>(hostModule)).I32(length).I32(count).I32(listFrom).Message(),
                {}, reply, handles))
    return false;
  TReader r(reply);
  const std::uint32_t type = r.U32(), n = r.U32();
  if (type != hmInfoAnswers) {
    Ended(L, "the plug-in host answered out of turn");
    return false;
  }
  const auto size = static_cast<std::size_t>(length) + 1;
  try {
    std::vector<std::pair<int, std::string>> answers;
    for (std::uint32_t i = 0; i < n && i < static_cast<std::uint32_t>(count); ++i) {
      const int rc = r.I32();
      std::size_t used = 0;
      const std::uint8_t* text = r.Bytes(used);
      if (!r.Ok() || used > size) {
        Ended(L, "the plug-in host answered out of turn");
        return false;
      }
      // The buffer as the plug-in left it: the host leaves out the zeros at its end.
      std::string buffer(size, '\0');
      if (used > 0) std::memcpy(buffer.data(), text, used);
      answers.emplace_back(rc, std::move(buffer));
    }
    const std::lock_guard<std::mutex> lock(FLock);
    TModuleInfo& info = FModules[static_cast<std::size_t>(module - 1)];
    for (std::size_t i = 0; i < answers.size(); ++i)
      info.Answers[std::make_pair(static_cast<int>(i), length)] = std::move(answers[i]);
    info.InfoLength = length;
  } catch (const std::bad_alloc&) {
    // Each text is asked on its own then.
  }
  return true;
}

bool TPluginHost::IsSupported(int module, const char* fileName, const void* header, int& rc) {
  TLane& L = Lane();
  L.Failure.clear();
  if (!EnsureLoaded(L, module)) return false;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  const int hostModule = L.LoadedAs[static_cast<std::size_t>(module - 1)];
  // The plug-in interface promises 2 KiB of header.
  if (!Exchange(L, TWriter(hmIsSupported)
                    .U32(static_cast<std::uint32_t>(hostModule))
                    .Text(fileName ? fileName : "")
                    .Bytes(header, header ? 2048 : 0)
                    .Message(),
                {}, reply, handles))
    return false;
  TReader r(reply);
  r.U32();
  rc = r.I32();
  return r.Ok();
}

namespace {
// The memory source being decoded on this thread, in a section: every host and every call
// of its decoding gets a handle of the one section. The section stays for the thread's next
// source (its pages are reused, not made and dropped per file) unless it grew large.
struct TSourceSection {
  platform::TOsHandle Handle = platform::InvalidOsHandle;
  std::size_t Capacity = 0;
  const void* At = nullptr;  // null: the section holds no source now
  TSPILength Length = 0;
  int Jobs = 0;  // decoding jobs running on this thread
  // The section mapped here, where a job reads its source into it (TJobSource::Buffer).
  void* View = nullptr;
  std::size_t ViewSize = 0;
  bool Held = false;  // a job's source lies in View: nothing else goes into the section
  void Close() noexcept {
    platform::UnmapSection(std::exchange(View, nullptr), std::exchange(ViewSize, 0));
    platform::CloseOsHandle(std::exchange(Handle, platform::InvalidOsHandle));
    Capacity = 0;
  }
};
// No destructor: mingw frees a thread's thread_local storage before it runs their
// destructors, and one that touched it would corrupt the heap. The section goes with the
// thread's outermost lane, or with the batch (TPluginHost::ReleaseSource).
thread_local TSourceSection GSource;
// The largest section kept for the next source.
constexpr std::size_t KeptSourceSection = std::size_t{32} << 20;

void ReleaseThreadSource() noexcept {
  if (GSource.Held) return;
  GSource.At = nullptr;
  GSource.Length = 0;
  GSource.Close();
}
}  // namespace

void TPluginHost::NewSource() noexcept {
  // A job around this one still reads its source from the section.
  if (GSource.Held) return;
  GSource.At = nullptr;
  GSource.Length = 0;
  if (GSource.Capacity > KeptSourceSection) GSource.Close();
}

TPluginHost::TJobSource::TJobSource() noexcept {
  NewSource();
  ++GSource.Jobs;
}

TPluginHost::TJobSource::~TJobSource() {
  if (--GSource.Jobs == 0) GSource.Held = false;
  NewSource();
}

void* TPluginHost::TJobSource::Buffer(std::size_t size) noexcept {
  if (GSource.Jobs != 1 || GSource.Held || size == 0) return nullptr;
  if (!GSource.View || GSource.ViewSize < size) {
    // With room for larger sources to come: a new section costs a page fault for each of
    // its pages, on both sides.
    constexpr std::size_t MiB = std::size_t{1} << 20;
    const std::size_t room = std::max(size, std::min(size + size / 4 + MiB - 1, KeptSourceSection) & ~(MiB - 1));
    platform::TSharedSection made = platform::TSharedSection::Create(room);
    if (!made) return nullptr;
    GSource.Close();
    GSource.Handle = made.ReleaseHandle();
    GSource.Capacity = GSource.ViewSize = room;
    GSource.View = made.ReleaseMapping();
  }
  GSource.At = GSource.View;
  GSource.Length = static_cast<TSPILength>(size);
  GSource.Held = true;
  return GSource.View;
}

void TPluginHost::ReleaseSource() noexcept {
  platform::ReleaseLentSections();
  ReleaseThreadSource();
}

bool TPluginHost::AddSource(TWriter& w, const void* source, TSPILength length, unsigned flags,
                            platform::TOsHandle& section) {
  section = platform::InvalidOsHandle;
  w.U32(flags).I64(static_cast<std::int64_t>(length));
  if ((flags & 7u) == 0) {
    w.Text(source ? static_cast<const char*>(source) : "");
    return true;
  }
  w.Text(std::string());
  if (length < 0) return false;
  const auto size = static_cast<std::size_t>(length);
  const bool same = GSource.Handle != platform::InvalidOsHandle && GSource.At == source && GSource.Length == length;
  if (!same && GSource.Held) {
    // The section holds a job's source: anything else goes in a section of its own.
    section = platform::SectionCopyOf(source, size);
    return section != platform::InvalidOsHandle;
  }
  if (!same) {
    NewSource();
    if (!platform::RefillSection(GSource.Handle, GSource.Capacity, source, size)) {
      GSource.Close();
      GSource.Handle = platform::SectionCopyOf(source, size);
      if (GSource.Handle == platform::InvalidOsHandle) return false;
    }
    GSource.Capacity = std::max(GSource.Capacity, size);
    GSource.At = GSource.Jobs > 0 ? source : nullptr;
    GSource.Length = length;
  }
  section = platform::DuplicateOsHandle(GSource.Handle);
  return section != platform::InvalidOsHandle;
}

bool TPluginHost::ExchangeWithSource(TLane& L, TWriter& w, const void* source, TSPILength length, unsigned flags,
                                     std::vector<std::uint8_t>& reply, std::vector<platform::TOsHandle>& handles,
                                     bool& sourceMade, TSPIProgressCallback progress, TSPILength userValue,
                                     const platform::TLentSection* lent) {
  platform::TOsHandle section = platform::InvalidOsHandle;
  sourceMade = AddSource(w, source, length, flags, section);
  if (!sourceMade) return true;
  std::vector<platform::TOsHandle> sent;
  if (section != platform::InvalidOsHandle) sent.push_back(section);
  if (lent) {
    const platform::TOsHandle lentHandle =
        *lent ? platform::DuplicateOsHandle(lent->Handle) : platform::InvalidOsHandle;
    const bool lending = lentHandle != platform::InvalidOsHandle;
    w.U32(lending ? lent->Id : 0u).U64(lending ? lent->Capacity : 0u);
    if (lending) sent.push_back(lentHandle);
  }
  return Exchange(L, w.Message(), sent, reply, handles, progress, userValue);
}

bool TPluginHost::PictureInfo(int module, const void* source, TSPILength length, unsigned flags,
                              TSPIPictureInfo& info, int& rc) {
  TLane& L = Lane();
  L.Failure.clear();
  info = TSPIPictureInfo{};
  if (!EnsureLoaded(L, module)) return false;
  const int hostModule = L.LoadedAs[static_cast<std::size_t>(module - 1)];
  TWriter w(hmPictureInfo);
  w.U32(static_cast<std::uint32_t>(hostModule));
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  bool sourceMade = true;
  if (!ExchangeWithSource(L, w, source, length, flags, reply, handles, sourceMade)) return false;
  for (platform::TOsHandle h : handles) platform::CloseOsHandle(h);
  if (!sourceMade) {
    rc = SPINoMemory;
    return true;
  }
  TReader r(reply);
  r.U32();
  rc = r.I32();
  info.Left = r.I32();
  info.Top = r.I32();
  info.Width = r.I32();
  info.Height = r.I32();
  info.XDensity = r.U16();
  info.YDensity = r.U16();
  info.ColorDepth = static_cast<std::int16_t>(r.U16());
  return r.Ok();
}

bool TPluginHost::Picture(int module, bool preview, const void* source, TSPILength length, unsigned flags,
                          platform::TLocalHandle* info, platform::TLocalHandle* pixels, TSPIProgressCallback progress,
                          TSPILength userValue, int& rc) {
  TLane& L = Lane();
  L.Failure.clear();
  *info = *pixels = nullptr;
  if (!EnsureLoaded(L, module)) return false;
  const int hostModule = L.LoadedAs[static_cast<std::size_t>(module - 1)];
  TWriter w(hmPicture);
  w.U32(static_cast<std::uint32_t>(hostModule)).U32(preview ? 1u : 0u);
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  bool sourceMade = true;
  // A section of this program for the picture, sized as this thread's last one: the pictures
  // of a batch are mostly alike. Kept for the next picture unless this one comes in it.
  struct TLending {
    platform::TLentSection Section;
    ~TLending() { platform::ReturnLentSection(Section); }
  } lending;
  if (GLastPicture >= LentPicture && GLastPicture < AdoptedPicture)
    lending.Section = platform::TakeLentSection(static_cast<std::size_t>(GLastPicture));
  if (!ExchangeWithSource(L, w, source, length, flags, reply, handles, sourceMade, progress, userValue,
                          &lending.Section))
    return false;
  if (!sourceMade) {
    rc = SPINoMemory;
    return true;
  }
  TReader r(reply);
  r.U32();
  rc = r.I32();
  const std::uint32_t resultFlags = r.U32();
  std::size_t infoSize = 0;
  const std::uint8_t* infoBytes = r.Bytes(infoSize);
  const std::uint64_t pixelSize = r.U64();
  const bool inLent = (resultFlags & hrLent) != 0;
  platform::TOsHandle pixelHandle = handles.empty() || inLent ? platform::InvalidOsHandle : handles.front();
  for (std::size_t i = pixelHandle == platform::InvalidOsHandle ? 0 : 1; i < handles.size(); ++i)
    platform::CloseOsHandle(handles[i]);
  const bool lentFits = lending.Section && pixelSize > 0 && pixelSize <= lending.Section.Capacity;
  if (!r.Ok() || pixelSize > SIZE_MAX || (inLent && !lentFits)) {
    platform::CloseOsHandle(pixelHandle);
    Ended(L, "the plug-in host answered out of turn");
    return false;
  }
  GLastPicture = pixelSize;
  // Blocks of this process, as a plug-in in it would have made them; the decoding job
  // checks them as it checks any plug-in's.
  if (infoSize > 0) {
    platform::TLocalMemory block(platform::LocalAllocMoveable(infoSize));
    if (platform::TLocalLock lock(block.Get()); lock.Get()) std::memcpy(lock.Get(), infoBytes, infoSize);
    *info = block.Release();
  }
  if (inLent) {
    *pixels = platform::LocalAdoptLentSection(std::exchange(lending.Section, {}), static_cast<std::size_t>(pixelSize));
  } else if (pixelSize > 0) {
    if (pixelSize >= AdoptedPicture) {
      // The host gives a huge picture's section up: it becomes this block, without a copy.
      *pixels = platform::LocalAdoptSection(
          platform::TSharedSection::Map(pixelHandle, static_cast<std::size_t>(pixelSize), true));
    } else {
      // Copied out at once: the host lends the section to the next picture, while this
      // one may be encoded long after.
      platform::TLocalMemory block(platform::LocalAllocMoveable(static_cast<std::size_t>(pixelSize), false));
      platform::TLocalLock lock(block.Get());
      if (!lock.Get()) {
        platform::CloseOsHandle(pixelHandle);
      } else if (platform::ReadSectionInto(pixelHandle, lock.Get(), static_cast<std::size_t>(pixelSize))) {
        *pixels = block.Release();
      }
    }
  } else {
    platform::CloseOsHandle(pixelHandle);
  }
  if ((resultFlags & hrAliased) != 0) {
    // One block handed back as both: the job sees it as the plug-in gave it.
    if (*pixels) platform::LocalFree(*pixels);
    *pixels = *info;
  }
  if ((infoSize > 0 && !*info) || (pixelSize > 0 && !*pixels)) rc = rc == 0 ? SPINoMemory : rc;
  return true;
}
