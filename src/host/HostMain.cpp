// The plug-in host: loads plug-ins for the program that started it and runs their entry
// points when asked, over the channel its command line names. Everything that decides
// (which plug-ins, whether a result is possible, what the user is told) stays in the
// program; a plug-in that crashes here ends only this process.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/HostProcess.h"
#include "platform/Library.h"
#include "platform/LocalMemory.h"
#include "platform/WinApi.h"
#include "spi/HostProtocol.h"

namespace {

using namespace spihost;
using TLength = std::intptr_t;
using TProgress = int(TAVEX_WINAPI*)(int, int, TLength);
using TGetPluginInfo = int(TAVEX_WINAPI*)(int, char*, int);
using TIsSupported = int(TAVEX_WINAPI*)(const char*, const void*);
using TGetPictureInfo = int(TAVEX_WINAPI*)(const void*, TLength, unsigned, void*);
using TGetPicture = int(TAVEX_WINAPI*)(const void*, TLength, unsigned, void**, void**, TProgress, TLength);

constexpr const char* EntryNames[] = {"GetPluginInfo", "IsSupported",    "GetPictureInfo",
                                      "GetPicture",    "GetPreview",     "GetArchiveInfo",
                                      "GetFileInfo",   "GetFile",        "ConfigurationDlg"};
constexpr int EntryCount = 9;
// The offered header: 2 KiB and a MacBinary prefix, as the program reads it.
constexpr std::size_t HeaderSize = 2048 + 128;
// The largest information block sent back whole; a BITMAPINFO is far smaller.
constexpr std::size_t MaxInfoBytes = 60000;
constexpr std::int32_t NoMemory = 4;
constexpr std::int32_t InternalError = 8;

struct TModule {
  platform::TLibrary Library;
  void* Entries[EntryCount] = {};
};

std::vector<std::unique_ptr<TModule>> GModules;
platform::TChannel* GChannel = nullptr;

// The host carries none of the run-time: its texts are UTF-8 as the program's are.
std::filesystem::path PathOfUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
std::string Utf8OfPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The fault's report for the program, made without allocating (it runs in a fault).
std::size_t FaultMessage(unsigned char* buffer, std::size_t size, platform::THostFault kind, std::uint32_t code,
                         std::uint64_t address) {
  static_assert(static_cast<std::uint32_t>(platform::THostFault::PageFault) == hfPageFault &&
                static_cast<std::uint32_t>(platform::THostFault::StackOverflow) == hfStackOverflow);
  if (size < 20) return 0;
  const std::uint32_t type = hmCrashed, fault = static_cast<std::uint32_t>(kind);
  std::memcpy(buffer, &type, 4);
  std::memcpy(buffer + 4, &fault, 4);
  std::memcpy(buffer + 8, &code, 4);
  std::memcpy(buffer + 12, &address, 8);
  return 20;
}

bool Send(const TWriter& w, const std::vector<platform::TOsHandle>& handles = {}) {
  return GChannel->Send(w.Message(), handles);
}

bool SendResult(std::int32_t rc) { return Send(TWriter(hmResult).I32(rc)); }

TModule* ModuleAt(std::uint32_t index) { return index < GModules.size() ? GModules[index].get() : nullptr; }

// The relay of the plug-in's progress calls: the program's answer is the plug-in's. A
// call is relayed when its percentage moves, at most once in RelayInterval (and the first
// and the last): a plug-in that reports every row would otherwise cost two process
// switches a row, and a bar is not read faster than that.
constexpr auto RelayInterval = std::chrono::milliseconds(15);
int GRelayedPercent = -1;
std::chrono::steady_clock::time_point GRelayedAt;

int TAVEX_WINAPI Progress(int step, int steps, TLength) {
  const int percent = steps > 0 ? static_cast<int>(static_cast<long long>(step) * 100 / steps) : 0;
  const bool last = step >= steps;
  if (percent == GRelayedPercent && !last) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (GRelayedPercent >= 0 && !last && now - GRelayedAt < RelayInterval) return 0;
  GRelayedPercent = percent;
  GRelayedAt = now;
  if (!Send(TWriter(hmProgress).I32(step).I32(steps))) return 1;
  std::vector<std::uint8_t> answer;
  std::vector<platform::TOsHandle> handles;
  if (GChannel->Receive(answer, handles, -1) != platform::TChannel::TReceive::Message) std::_Exit(0);
  for (platform::TOsHandle h : handles) platform::CloseOsHandle(h);
  TReader r(answer);
  if (r.U32() != hmProgressAnswer) std::_Exit(3);
  return r.I32();
}

// The source of a call: a file name with its offset, or the bytes of a section.
struct TSource {
  std::string Name;
  const void* Data = nullptr;
  unsigned Flags = 0;
  TLength Length = 0;
  const void* Pointer() const { return (Flags & 7u) == 0 ? static_cast<const void*>(Name.c_str()) : Data; }
};

// The last source section, kept mapped: the program refills one section for a thread's
// sources, and mapping it afresh for every call costs more than the plug-in's checks.
platform::TSharedSection GSourceMapping;
// The largest mapping kept after a call.
constexpr std::size_t KeptSourceMapping = std::size_t{32} << 20;

bool ReadSource(TReader& r, std::vector<platform::TOsHandle>& handles, TSource& source) {
  source.Flags = r.U32();
  source.Length = static_cast<TLength>(r.I64());
  source.Name = r.Text();
  if (!r.Ok()) return false;
  if ((source.Flags & 7u) == 0) return true;
  if (handles.empty() || source.Length < 0) return false;
  const platform::TOsHandle handle = handles.front();
  handles.erase(handles.begin());
  const auto length = static_cast<std::size_t>(source.Length);
  if (GSourceMapping && platform::SameSection(handle, GSourceMapping.Handle()) &&
      GSourceMapping.Size() >= std::max<std::size_t>(length, 1)) {
    platform::CloseOsHandle(handle);
  } else {
    GSourceMapping = platform::TSharedSection();
    GSourceMapping = platform::TSharedSection::Map(handle, length, false);
  }
  source.Data = GSourceMapping.Data();
  return static_cast<bool>(GSourceMapping);
}

// After a call: a large source is not kept.
void EndSource() {
  if (GSourceMapping.Size() > KeptSourceMapping) GSourceMapping = platform::TSharedSection();
}

// The picture-information text a plug-in hands back is not wanted by the program; it is
// freed where it names a live block (at 22 in the packed record, at 24 in the aligned one).
void FreeInfoText(const unsigned char* record) {
  for (std::size_t offset : {std::size_t{22}, std::size_t{24}}) {
    if (offset + sizeof(void*) > 32) continue;
    void* handle = nullptr;
    std::memcpy(&handle, record + offset, sizeof handle);
    if (handle && platform::LocalSize(handle) > 0) {
      platform::LocalFree(handle);
      return;
    }
  }
}

void Load(TReader& r) {
  const std::string path = r.Text();
  auto module = std::make_unique<TModule>();
  module->Library = platform::TLibrary::Open(PathOfUtf8(path));
  if (!r.Ok() || !module->Library) {
    Send(TWriter(hmLoaded).U32(0).U32(0).Text(std::string()));
    return;
  }
  std::uint32_t entries = 0;
  for (int i = 0; i < EntryCount; ++i) {
    module->Entries[i] = module->Library.Symbol(EntryNames[i]);
    if (module->Entries[i]) entries |= 1u << i;
  }
  std::string reported = Utf8OfPath(platform::LibraryFileName(module->Library.Get()));
  GModules.push_back(std::move(module));
  Send(TWriter(hmLoaded).U32(static_cast<std::uint32_t>(GModules.size())).U32(entries).Text(reported));
}

void Info(TReader& r, TModule& m) {
  const std::int32_t infoNo = r.I32(), length = r.I32();
  if (!r.Ok() || length < 0 || static_cast<std::size_t>(length) > MaxInfoBytes || !m.Entries[0]) {
    Send(TWriter(hmResult).I32(0).Bytes("", 0));
    return;
  }
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
  const int rc = reinterpret_cast<TGetPluginInfo>(m.Entries[0])(infoNo, buffer.data(), length);
  Send(TWriter(hmResult).I32(rc).Bytes(buffer.data(), buffer.size()));
}

// The information texts 0 to count - 1 in one answer, as the program reads them when it
// registers a plug-in: the list ends after the first empty one from listFrom on (the
// filters), or where the answer would not fit a message. Saves a round trip per text.
void InfoList(TReader& r, TModule& m) {
  const std::int32_t length = r.I32(), count = r.I32(), listFrom = r.I32();
  std::vector<std::uint8_t> items;
  std::uint32_t n = 0;
  if (r.Ok() && length >= 0 && static_cast<std::size_t>(length) <= MaxInfoBytes && m.Entries[0]) {
    const auto size = static_cast<std::size_t>(length) + 1;
    std::vector<char> buffer(size);
    // Room for the count and the message's type.
    const std::size_t room = platform::TChannel::MaxMessage - 8;
    for (std::int32_t infoNo = 0; infoNo < count; ++infoNo) {
      if (items.size() + 8 + size > room) break;
      std::fill(buffer.begin(), buffer.end(), '\0');
      const int rc = reinterpret_cast<TGetPluginInfo>(m.Entries[0])(infoNo, buffer.data(), length);
      std::size_t used = size;
      while (used > 0 && buffer[used - 1] == '\0') --used;
      const std::size_t at = items.size();
      items.resize(at + 8 + used);
      const std::int32_t rc32 = rc;
      const auto used32 = static_cast<std::uint32_t>(used);
      std::memcpy(items.data() + at, &rc32, 4);
      std::memcpy(items.data() + at + 4, &used32, 4);
      if (used > 0) std::memcpy(items.data() + at + 8, buffer.data(), used);
      ++n;
      if (rc <= 0 && infoNo >= listFrom) break;
    }
  }
  Send(TWriter(hmInfoAnswers).U32(n).Raw(items.data(), items.size()));
}

void IsSupported(TReader& r, TModule& m) {
  const std::string name = r.Text();
  std::size_t size = 0;
  const std::uint8_t* bytes = r.Bytes(size);
  if (!r.Ok() || !m.Entries[1]) {
    SendResult(0);
    return;
  }
  std::vector<std::uint8_t> header(HeaderSize, 0);
  std::memcpy(header.data(), bytes, size < HeaderSize ? size : HeaderSize);
  SendResult(reinterpret_cast<TIsSupported>(m.Entries[1])(name.c_str(), header.data()));
}

void PictureInfo(TReader& r, std::vector<platform::TOsHandle>& handles, TModule& m) {
  TSource source;
  if (!ReadSource(r, handles, source) || !m.Entries[2]) {
    SendResult(InternalError);
    return;
  }
  alignas(8) unsigned char record[32] = {};
  const int rc = reinterpret_cast<TGetPictureInfo>(m.Entries[2])(source.Pointer(), source.Length, source.Flags, record);
  EndSource();
  FreeInfoText(record);
  std::int32_t left, top, width, height;
  std::uint16_t x, y;
  std::int16_t depth;
  std::memcpy(&left, record, 4);
  std::memcpy(&top, record + 4, 4);
  std::memcpy(&width, record + 8, 4);
  std::memcpy(&height, record + 12, 4);
  std::memcpy(&x, record + 16, 2);
  std::memcpy(&y, record + 18, 2);
  std::memcpy(&depth, record + 20, 2);
  Send(TWriter(hmResult).I32(rc).I32(left).I32(top).I32(width).I32(height).U16(x).U16(y).U16(
      static_cast<std::uint16_t>(depth)));
}

void Picture(TReader& r, std::vector<platform::TOsHandle>& handles, TModule& m) {
  const bool preview = r.U32() != 0;
  TSource source;
  void* entry = m.Entries[preview ? 4 : 3];
  bool read = ReadSource(r, handles, source);
  const std::uint32_t lentId = r.U32();
  const std::uint64_t lentCapacity = r.U64();
  read = read && r.Ok() && (lentId == 0 || (!handles.empty() && lentCapacity <= SIZE_MAX));
  if (!read || !entry) {
    Send(TWriter(hmPictureResult).I32(InternalError).U32(0).Bytes("", 0).U64(0));
    return;
  }
  // Not being able to map the program's section only costs a copy.
  if (lentId != 0) {
    platform::LendSection(lentId, handles.front(), static_cast<std::size_t>(lentCapacity));
    handles.erase(handles.begin());
  }
  void* info = nullptr;
  void* pixels = nullptr;
  GRelayedPercent = -1;
  std::int32_t rc =
      reinterpret_cast<TGetPicture>(entry)(source.Pointer(), source.Length, source.Flags, &info, &pixels, Progress, 0);
  EndSource();
  // Whatever the plug-in answered, its blocks are copied out and freed here, each once.
  const std::size_t infoSize = info ? platform::LocalSize(info) : 0;
  const std::size_t pixelSize = pixels ? platform::LocalSize(pixels) : 0;
  const bool inLent = pixelSize > 0 && pixels != info && platform::InLentSection(pixels);
  const std::uint32_t flags = (info && info == pixels ? std::uint32_t{hrAliased} : 0u) | (inLent ? hrLent : 0u);
  std::vector<std::uint8_t> infoBytes;
  if (infoSize > 0) {
    platform::TLocalLock lock(info);
    if (lock.Get()) {
      const auto* p = static_cast<const std::uint8_t*>(lock.Get());
      infoBytes.assign(p, p + (infoSize < MaxInfoBytes ? infoSize : MaxInfoBytes));
    }
  }
  // The plug-in's block itself where it is a section, else one copy.
  platform::TOsHandle pixelSection = pixelSize > 0 && pixels != info && !inLent
                                         ? platform::LocalBlockSection(pixels)
                                         : platform::InvalidOsHandle;
  if (pixelSize > 0 && !inLent && pixelSection == platform::InvalidOsHandle) {
    platform::TSharedSection copy = platform::TSharedSection::Create(pixelSize);
    platform::TLocalLock lock(pixels);
    if (copy && lock.Get()) {
      std::memcpy(copy.Data(), lock.Get(), pixelSize);
      pixelSection = copy.ReleaseHandle();
    } else if (rc == 0) {
      rc = NoMemory;
    }
  }
  if (infoSize > 0) platform::LocalFree(info);
  if (pixelSize > 0 && pixels != info) platform::LocalFree(pixels);
  platform::EndLending();
  TWriter w(hmPictureResult);
  w.I32(rc).U32(flags).Bytes(infoBytes.data(), infoBytes.size());
  if (inLent) {
    w.U64(pixelSize);
    Send(w);
  } else if (pixelSection != platform::InvalidOsHandle) {
    w.U64(pixelSize);
    Send(w, {pixelSection});
  } else {
    w.U64(0);
    Send(w);
  }
}

}  // namespace

// In a sanitized build the fault handler above must see the plug-in's faults, so that the
// program is told of them as in any other build.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:allow_user_segv_handler=1";
}

int main(int argc, char** argv) {
  platform::TChannel channel = platform::THostProcess::ChannelOfHost(argc, argv);
  if (!channel) {
    std::fprintf(stderr, "tavex-plugin-host: Tavex starts this program for its plug-ins\n");
    return 2;
  }
  GChannel = &channel;
  platform::InstallHostFaultHandler(channel, FaultMessage);
  platform::ShareLargeLocalBlocks();
  std::vector<std::uint8_t> message;
  std::vector<platform::TOsHandle> handles;
  for (;;) {
    const auto received = channel.Receive(message, handles, -1);
    if (received == platform::TChannel::TReceive::Closed) {
      // The program waits for its hosts to end: the plug-ins are not unloaded one by one
      // (their libraries' clean-up would only cost it time), except where the leak
      // checker wants to see what they leave.
#if !defined(__SANITIZE_ADDRESS__)
      std::fflush(nullptr);
      std::_Exit(0);
#endif
      return 0;
    }
    if (received != platform::TChannel::TReceive::Message) return 1;
    TReader r(message);
    const std::uint32_t type = r.U32();
    if (type == hmLoad) {
      Load(r);
    } else {
      TModule* m = ModuleAt(r.U32() - 1);
      if (!m || !r.Ok()) return 3;  // the program never asks this: it is not ours
      switch (type) {
        case hmInfo: Info(r, *m); break;
        case hmInfoList: InfoList(r, *m); break;
        case hmIsSupported: IsSupported(r, *m); break;
        case hmPictureInfo: PictureInfo(r, handles, *m); break;
        case hmPicture: Picture(r, handles, *m); break;
        default: return 3;
      }
    }
    for (platform::TOsHandle h : handles) platform::CloseOsHandle(h);
    handles.clear();
  }
}
