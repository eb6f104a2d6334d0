#include "platform/HostProcess.h"

// The Windows builds load plug-ins into the program: no host process is started there yet,
// and every call here reports that plainly.
namespace platform {

void CloseOsHandle(TOsHandle) noexcept {}

TSharedSection::TSharedSection(TSharedSection&& other) noexcept = default;
TSharedSection& TSharedSection::operator=(TSharedSection&& other) noexcept = default;
TSharedSection::~TSharedSection() = default;
void TSharedSection::Reset() noexcept {}
void TSharedSection::CloseHandle() noexcept {}
void* TSharedSection::ReleaseMapping() noexcept { return nullptr; }
TSharedSection TSharedSection::Create(std::size_t) noexcept { return {}; }
TSharedSection TSharedSection::Map(TOsHandle, std::size_t, bool) noexcept { return {}; }
void UnmapSection(void*, std::size_t) noexcept {}

TChannel::TChannel(TChannel&& other) noexcept = default;
TChannel& TChannel::operator=(TChannel&& other) noexcept = default;
TChannel::~TChannel() = default;
void TChannel::Close() noexcept {}
bool TChannel::Send(const std::vector<std::uint8_t>&, const std::vector<TOsHandle>&) noexcept { return false; }
TChannel::TReceive TChannel::Receive(std::vector<std::uint8_t>&, std::vector<TOsHandle>& handles, int) noexcept {
  handles.clear();
  return TReceive::Failed;
}

THostProcess::THostProcess(THostProcess&& other) noexcept = default;
THostProcess& THostProcess::operator=(THostProcess&& other) noexcept = default;
THostProcess::~THostProcess() = default;

bool THostProcess::Start(const std::filesystem::path&, std::size_t, THostProcess&, TChannel&, std::string& error) {
  error = "plug-in host processes are not available in the Windows builds yet";
  return false;
}

TChannel THostProcess::ChannelOfHost(int, char**) noexcept { return TChannel(); }
void THostProcess::Kill() noexcept {}
std::string THostProcess::Wait(int) noexcept { return "not running"; }

}  // namespace platform
