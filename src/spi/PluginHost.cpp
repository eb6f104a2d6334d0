#include "spi/PluginHost.h"

#include <cstdio>
#include <cstring>

#include "rtl/Stream.h"

using namespace spihost;

namespace {

constexpr int SPINoMemory = 4;
// How long a host that reported its fault, or closed its end, may take to end.
constexpr int EndingMs = 2000;

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

TPluginHost::TPluginHost(TSettings settings) : FSettings(std::move(settings)) {}

TPluginHost::~TPluginHost() {
  // Closing the channel ends the host's loop; one that does not end is ended.
  FChannel.Close();
  if (FProcess.Running()) FProcess.Wait(EndingMs);
}

bool TPluginHost::Start() {
  if (FProcess.Running()) return true;
  std::string error;
  if (!platform::THostProcess::Start(FSettings.Program, FSettings.MemoryLimit, FProcess, FChannel, error)) {
    FFailure = "the plug-in host " + PathToUtf8(FSettings.Program) + " cannot be started: " + error;
    return false;
  }
  ++FStarts;
  std::fill(FLoadedAs.begin(), FLoadedAs.end(), 0);
  return true;
}

void TPluginHost::Ended(const std::string& reason) {
  FFailure = reason;
  FChannel.Close();
  FProcess.Kill();
}

bool TPluginHost::Exchange(const std::vector<std::uint8_t>& request, const std::vector<platform::TOsHandle>& handles,
                           std::vector<std::uint8_t>& reply, std::vector<platform::TOsHandle>& replyHandles,
                           TSPIProgressCallback progress, TSPILength userValue) {
  const int timeoutMs = FSettings.TimeoutSeconds > 0 ? FSettings.TimeoutSeconds * 1000 : -1;
  if (!FChannel.Send(request, handles)) {
    Ended("the plug-in stopped: " + FProcess.Wait(EndingMs));
    return false;
  }
  for (;;) {
    for (platform::TOsHandle h : replyHandles) platform::CloseOsHandle(h);
    switch (FChannel.Receive(reply, replyHandles, timeoutMs)) {
      case platform::TChannel::TReceive::TimedOut:
        Ended("the plug-in did not answer for " + std::to_string(FSettings.TimeoutSeconds) + " s");
        return false;
      case platform::TChannel::TReceive::Closed:
      case platform::TChannel::TReceive::Failed:
        FChannel.Close();
        Ended("the plug-in stopped: " + FProcess.Wait(EndingMs));
        return false;
      case platform::TChannel::TReceive::Message:
        break;
    }
    TReader r(reply);
    const std::uint32_t type = r.U32();
    if (type == hmCrashed) {
      const std::uint32_t kind = r.U32(), code = r.U32();
      const std::uint64_t address = r.U64();
      FChannel.Close();
      FProcess.Wait(EndingMs);
      Ended("the plug-in stopped: " + FaultText(kind, code, address));
      return false;
    }
    if (type != hmProgress) return true;
    const int step = r.I32(), steps = r.I32();
    const int answer = progress ? progress(step, steps, userValue) : 0;
    if (!FChannel.Send(TWriter(hmProgressAnswer).I32(answer).Message())) {
      Ended("the plug-in stopped: " + FProcess.Wait(EndingMs));
      return false;
    }
  }
}

int TPluginHost::Load(const std::filesystem::path& fileName, std::uint32_t& entries, std::filesystem::path& reported) {
  FFiles.push_back(fileName);
  FLoadedAs.push_back(0);
  const int module = static_cast<int>(FFiles.size());
  FFailure.clear();
  if (!EnsureLoaded(module)) return 0;
  entries = 0;
  reported.clear();
  // The answer to the load is kept from EnsureLoaded.
  entries = FLastEntries;
  reported = FLastReported;
  return module;
}

bool TPluginHost::EnsureLoaded(int module) {
  if (module <= 0 || module > static_cast<int>(FFiles.size())) return false;
  if (!Start()) return false;
  if (FLoadedAs[static_cast<std::size_t>(module - 1)] > 0) return true;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  if (!Exchange(TWriter(hmLoad).Text(PathToUtf8(FFiles[static_cast<std::size_t>(module - 1)])).Message(), {}, reply,
                handles))
    return false;
  for (platform::TOsHandle h : handles) platform::CloseOsHandle(h);
  TReader r(reply);
  r.U32();
  const std::uint32_t loadedAs = r.U32();
  FLastEntries = r.U32();
  FLastReported = Utf8ToPath(r.Text());
  if (!r.Ok() || loadedAs == 0) return false;
  FLoadedAs[static_cast<std::size_t>(module - 1)] = static_cast<int>(loadedAs);
  return true;
}

bool TPluginHost::Info(int module, int infoNo, char* buffer, int length, int& rc) {
  FFailure.clear();
  if (!EnsureLoaded(module) || length < 0) return false;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  const int hostModule = FLoadedAs[static_cast<std::size_t>(module - 1)];
  if (!Exchange(TWriter(hmInfo).U32(static_cast<std::uint32_t>(hostModule)).I32(infoNo).I32(length).Message(), {},
                reply, handles))
    return false;
  TReader r(reply);
  r.U32();
  rc = r.I32();
  std::size_t size = 0;
  const std::uint8_t* text = r.Bytes(size);
  if (!r.Ok()) {
    Ended("the plug-in host answered out of turn");
    return false;
  }
  // The plug-in's buffer as it filled it, never more than the caller's.
  const std::size_t room = static_cast<std::size_t>(length) + 1;
  std::memcpy(buffer, text, size < room ? size : room);
  return true;
}

bool TPluginHost::IsSupported(int module, const char* fileName, const void* header, int& rc) {
  FFailure.clear();
  if (!EnsureLoaded(module)) return false;
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  const int hostModule = FLoadedAs[static_cast<std::size_t>(module - 1)];
  // The plug-in interface promises 2 KiB of header.
  if (!Exchange(TWriter(hmIsSupported)
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
// of its decoding gets a handle of the one section.
struct TSourceSection {
  platform::TOsHandle Handle = platform::InvalidOsHandle;
  const void* At = nullptr;
  TSPILength Length = 0;
  ~TSourceSection() { platform::CloseOsHandle(Handle); }
};
thread_local TSourceSection GSource;
}  // namespace

void TPluginHost::NewSource() noexcept {
  platform::CloseOsHandle(GSource.Handle);
  GSource.Handle = platform::InvalidOsHandle;
  GSource.At = nullptr;
  GSource.Length = 0;
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
  if (GSource.Handle == platform::InvalidOsHandle || GSource.At != source || GSource.Length != length) {
    NewSource();
    GSource.Handle = platform::SectionCopyOf(source, static_cast<std::size_t>(length));
    if (GSource.Handle == platform::InvalidOsHandle) return false;
    GSource.At = source;
    GSource.Length = length;
  }
  section = platform::DuplicateOsHandle(GSource.Handle);
  return section != platform::InvalidOsHandle;
}

bool TPluginHost::PictureInfo(int module, const void* source, TSPILength length, unsigned flags,
                              TSPIPictureInfo& info, int& rc) {
  FFailure.clear();
  info = TSPIPictureInfo{};
  if (!EnsureLoaded(module)) return false;
  const int hostModule = FLoadedAs[static_cast<std::size_t>(module - 1)];
  TWriter w(hmPictureInfo);
  w.U32(static_cast<std::uint32_t>(hostModule));
  platform::TOsHandle section = platform::InvalidOsHandle;
  if (!AddSource(w, source, length, flags, section)) {
    rc = SPINoMemory;
    return true;
  }
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  std::vector<platform::TOsHandle> sent;
  if (section != platform::InvalidOsHandle) sent.push_back(section);
  if (!Exchange(w.Message(), sent, reply, handles)) return false;
  for (platform::TOsHandle h : handles) platform::CloseOsHandle(h);
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
  FFailure.clear();
  *info = *pixels = nullptr;
  if (!EnsureLoaded(module)) return false;
  const int hostModule = FLoadedAs[static_cast<std::size_t>(module - 1)];
  TWriter w(hmPicture);
  w.U32(static_cast<std::uint32_t>(hostModule)).U32(preview ? 1u : 0u);
  platform::TOsHandle section = platform::InvalidOsHandle;
  if (!AddSource(w, source, length, flags, section)) {
    rc = SPINoMemory;
    return true;
  }
  std::vector<std::uint8_t> reply;
  std::vector<platform::TOsHandle> handles;
  std::vector<platform::TOsHandle> sent;
  if (section != platform::InvalidOsHandle) sent.push_back(section);
  if (!Exchange(w.Message(), sent, reply, handles, progress, userValue)) return false;
  TReader r(reply);
  r.U32();
  rc = r.I32();
  const std::uint32_t resultFlags = r.U32();
  std::size_t infoSize = 0;
  const std::uint8_t* infoBytes = r.Bytes(infoSize);
  const std::uint64_t pixelSize = r.U64();
  platform::TOsHandle pixelHandle = handles.empty() ? platform::InvalidOsHandle : handles.front();
  for (std::size_t i = 1; i < handles.size(); ++i) platform::CloseOsHandle(handles[i]);
  if (!r.Ok() || pixelSize > SIZE_MAX) {
    platform::CloseOsHandle(pixelHandle);
    Ended("the plug-in host answered out of turn");
    return false;
  }
  // Blocks of this process, as a plug-in in it would have made them; the decoding job
  // checks them as it checks any plug-in's.
  if (infoSize > 0) {
    platform::TLocalMemory block(platform::LocalAllocMoveable(infoSize));
    if (platform::TLocalLock lock(block.Get()); lock.Get()) std::memcpy(lock.Get(), infoBytes, infoSize);
    *info = block.Release();
  }
  if (pixelSize > 0) {
    // Copied out at once: the host gives the section to the next picture, while this one
    // may be encoded long after.
    const platform::TSharedSection pixelSection =
        platform::TSharedSection::Map(pixelHandle, static_cast<std::size_t>(pixelSize), false);
    platform::TLocalMemory block(pixelSection ? platform::LocalAllocMoveable(pixelSection.Size(), false) : nullptr);
    if (platform::TLocalLock lock(block.Get()); lock.Get()) {
      std::memcpy(lock.Get(), pixelSection.Data(), pixelSection.Size());
      *pixels = block.Release();
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
