#include "spi/SPIs.h"

#include <algorithm>
#include <cstring>

#include "graphics/Graphic.h"
#include "platform/Folders.h"
#include "platform/Locale.h"
#include "platform/Path.h"
#include "platform/Registry.h"
#include "rtl/Text.h"
#include "rtl/Stream.h"
#include "rtl/Text.h"
#include "spi/PluginHost.h"

namespace {

constexpr const char* EntryPointNames[epCount] = {"GetPluginInfo", "IsSupported",    "GetPictureInfo",
                                                  "GetPicture",    "GetPreview",     "GetArchiveInfo",
                                                  "GetFileInfo",   "GetFile",        "ConfigurationDlg"};
// The order in which the addresses are resolved.
constexpr TSPIEntryPoint ResolveOrder[epCount] = {epGetPluginInfo, epConfigurationDlg, epIsSupported,
                                                  epGetPictureInfo, epGetPicture,      epGetPreview,
                                                  epGetArchiveInfo, epGetFileInfo,     epGetFile};

// Information texts come in 256-byte buffers, of which the plug-in may fill 255.
constexpr int InfoBufferSize = 256;
// A plug-in that answers every index would keep the filter loop going for ever.
constexpr int MaxFilterEntries = 1024;
// What the OS's module name may give at most.
constexpr std::size_t MaxFileNameUnits = 256;

std::string Format(const char* pattern, const std::string& a, const std::string& b = {}) {
  std::string out;
  bool first = true;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += first ? a : b;
      first = false;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

std::filesystem::path ReportedFileName(platform::TLibraryHandle handle, const std::filesystem::path& given) {
  const std::filesystem::path reported = platform::LibraryFileName(handle);
  if (reported.empty()) return given;
  std::u16string units = Utf8ToUtf16(PathToUtf8(reported));
  if (units.size() > MaxFileNameUnits) {
    units.resize(MaxFileNameUnits);
    // Half a surrogate pair is no character.
    if (units.back() >= 0xD800 && units.back() < 0xDC00) units.pop_back();
    return Utf8ToPath(Utf16ToUtf8(units));
  }
  return reported;
}

}  // namespace

const char* SPIEntryPointName(TSPIEntryPoint entry) noexcept { return entry < epCount ? EntryPointNames[entry] : ""; }

TSPIPictureInfo ReadPictureInfoRecord(const unsigned char* buffer, std::size_t size) noexcept {
  TSPIPictureInfo info;
  if (size < offsetof(TSPIPictureInfoRecord, hInfo)) return info;
  // Every layout shares the fields before the handle.
  std::memcpy(&info.Left, buffer + 0, 4);
  std::memcpy(&info.Top, buffer + 4, 4);
  std::memcpy(&info.Width, buffer + 8, 4);
  std::memcpy(&info.Height, buffer + 12, 4);
  std::memcpy(&info.XDensity, buffer + 16, 2);
  std::memcpy(&info.YDensity, buffer + 18, 2);
  std::memcpy(&info.ColorDepth, buffer + 20, 2);
  // The handle is only believed where it names a live block: a value read at the wrong
  // offset is garbage and must never be freed.
  const std::size_t offsets[] = {offsetof(TSPIPictureInfoRecord, hInfo), SPIAlignedInfoHandleOffset};
  for (std::size_t offset : offsets) {
    if (offset + sizeof(platform::TLocalHandle) > size) continue;
    platform::TLocalHandle handle = nullptr;
    std::memcpy(&handle, buffer + offset, sizeof handle);
    if (handle && platform::LocalSize(handle) > 0) {
      info.Info = handle;
      break;
    }
  }
  return info;
}

// ---- TSPI

TVX_DEFINE_ABSTRACT_CLASS(TSPI, TObject)
TVX_DEFINE_ABSTRACT_CLASS(TLoaderSPI, TSPI)
TVX_DEFINE_ABSTRACT_CLASS(TInSPI, TLoaderSPI)
TVX_DEFINE_ABSTRACT_CLASS(TAmSPI, TLoaderSPI)
TVX_DEFINE_ABSTRACT_CLASS(TXnSPI, TSPI)

namespace {
// Stands for an entry point that the plug-in exports in its host: never called here.
char GRemoteEntryPoint;
}  // namespace

TSPI::TSPI(const std::filesystem::path& fileName, const TPluginHostRef& host) : FHost(host) {
  const std::string cannotLoad = Format("%s:Susie Pluginがロードできませんでした", PathToUtf8(fileName));
  if (FHost) {
    std::uint32_t entries = 0;
    std::filesystem::path reported;
    FHostModule = FHost->Load(fileName, entries, reported);
    if (!FHostModule)
      throw ESPIFOpenErrorSPI(FHost->Failure().empty() ? cannotLoad : cannotLoad + " (" + FHost->Failure() + ")");
    FFileName = reported.empty() ? fileName : reported;
    for (int entry = 0; entry < epCount; ++entry)
      if (entries & (1u << entry)) FEntryPoints[entry] = &GRemoteEntryPoint;
    return;
  }
  FHandle = platform::TLibrary::Open(fileName);
  if (!FHandle) throw ESPIFOpenErrorSPI(cannotLoad);
  FFileName = ReportedFileName(FHandle.Get(), fileName);
  for (TSPIEntryPoint entry : ResolveOrder) FEntryPoints[entry] = GetEntryPoint(EntryPointNames[entry]);
}

void TSPI::HostFailed(const std::string& reason) const {
  // While the module is being made the failure is its own: it is left out with the reason.
  if (!FReady) throw ESPIInvalidSPI(PathToUtf8(FFileName) + ": " + reason);
  TPluginFailureLog::Report(PathToUtf8(FFileName), reason);
}

TSPI::~TSPI() = default;

void* TSPI::GetEntryPoint(const std::string& name) const noexcept {
  if (FHost) {
    for (int entry = 0; entry < epCount; ++entry)
      if (name == EntryPointNames[entry]) return FEntryPoints[entry];
    return nullptr;
  }
  return FHandle.Symbol(Utf8ToAnsi(name));
}

void TSPI::RequireEntryPoint(const void* address, const char* name) const {
  if (!address) throw ESPIInvalidAPI(Format("%sは[%s]では使えないSusie Plugin APIです", name, PathToUtf8(FFileName)));
}

void TSPI::CheckEntryPoints() const { RequireEntryPoint(FEntryPoints[epGetPluginInfo], "GetPluginInfo"); }

void TLoaderSPI::CheckEntryPoints() const {
  TSPI::CheckEntryPoints();
  RequireEntryPoint(EntryPoint(epIsSupported), "IsSupported");
}

void TInSPI::CheckEntryPoints() const {
  TLoaderSPI::CheckEntryPoints();
  RequireEntryPoint(EntryPoint(epGetPictureInfo), "GetPictureInfo");
  RequireEntryPoint(EntryPoint(epGetPicture), "GetPicture");
}

void TAmSPI::CheckEntryPoints() const {
  TLoaderSPI::CheckEntryPoints();
  RequireEntryPoint(EntryPoint(epGetArchiveInfo), "GetArchiveInfo");
  RequireEntryPoint(EntryPoint(epGetFileInfo), "GetFileInfo");
  RequireEntryPoint(EntryPoint(epGetFile), "GetFile");
}

void TSPI::ReadPluginInfo() {
  char buffer[InfoBufferSize];
  auto read = [&](int index, char* into) {
    std::memset(into, 0, InfoBufferSize);
    return GetPluginInfo(index, into, InfoBufferSize - 1);
  };
  // The text up to the first zero byte; the last byte of the buffer always stays zero.
  auto text = [](const char* from) { return std::string(from, ::strnlen(from, InfoBufferSize)); };
  // A host answers all of them in one call, as the loop below reads them.
  if (FHost && !FHost->ReadInfo(FHostModule, InfoBufferSize - 1, 2 + 2 * MaxFilterEntries, 2))
    HostFailed(FHost->Failure());
  if (read(0, buffer) > 0) FAPIVersion = text(buffer);
  if (read(1, buffer) > 0) FDescription = text(buffer);

  char description[InfoBufferSize];
  for (int i = 2; i < 2 + 2 * MaxFilterEntries; i += 2) {
    // A filter without a description ends the list, and so does a gap.
    if (read(i, buffer) <= 0) break;
    if (read(i + 1, description) <= 0) break;
    FFilters.push_back(AnsiToUtf8(text(buffer)));
    FFilterDescriptions.push_back(AnsiToUtf8(text(description)));
  }
  FReady = true;
}

int TSPI::GetPluginInfo(int infoNo, char* buffer, int bufferLength) const {
  RequireEntryPoint(FEntryPoints[epGetPluginInfo], "GetPluginInfo");
  if (FHost) {
    int rc = 0;
    if (!FHost->Info(FHostModule, infoNo, buffer, bufferLength, rc)) HostFailed(FHost->Failure());
    return rc;
  }
  return reinterpret_cast<TSPIGetPluginInfoProc>(FEntryPoints[epGetPluginInfo])(infoNo, buffer, bufferLength);
}

int TSPI::IsSupported(const char* fileName, const void* data) const {
  RequireEntryPoint(FEntryPoints[epIsSupported], "IsSupported");
  if (FHost) {
    int rc = 0;
    if (!FHost->IsSupported(FHostModule, fileName, data, rc)) HostFailed(FHost->Failure());
    return rc;
  }
  return reinterpret_cast<TSPIIsSupportedProc>(FEntryPoints[epIsSupported])(fileName, data);
}

int TSPI::GetPictureInfo(const void* source, TSPILength length, unsigned flags, void* record) const {
  RequireEntryPoint(FEntryPoints[epGetPictureInfo], "GetPictureInfo");
  if (FHost) {
    // The record as a plug-in of this process fills it; the text stays in the host.
    TSPIPictureInfo info;
    const int rc = GetPictureInfo(source, length, flags, info);
    auto* out = static_cast<unsigned char*>(record);
    std::memcpy(out + 0, &info.Left, 4);
    std::memcpy(out + 4, &info.Top, 4);
    std::memcpy(out + 8, &info.Width, 4);
    std::memcpy(out + 12, &info.Height, 4);
    std::memcpy(out + 16, &info.XDensity, 2);
    std::memcpy(out + 18, &info.YDensity, 2);
    std::memcpy(out + 20, &info.ColorDepth, 2);
    std::memset(out + 22, 0, sizeof(platform::TLocalHandle));
    return rc;
  }
  return reinterpret_cast<TSPIGetPictureInfoProc>(FEntryPoints[epGetPictureInfo])(source, length, flags, record);
}

int TSPI::GetPictureInfo(const void* source, TSPILength length, unsigned flags, TSPIPictureInfo& info) const {
  if (FHost) {
    RequireEntryPoint(FEntryPoints[epGetPictureInfo], "GetPictureInfo");
    int rc = 0;
    if (!FHost->PictureInfo(FHostModule, source, length, flags, info, rc)) {
      HostFailed(FHost->Failure());
      return InternalErrorResult;
    }
    return rc;
  }
  // Room for the larger layout, zeroed, so that whichever one the plug-in uses, the bytes
  // it leaves alone read as zero.
  alignas(8) unsigned char buffer[SPIPictureInfoBufferSize] = {};
  const int result = GetPictureInfo(source, length, flags, static_cast<void*>(buffer));
  info = ReadPictureInfoRecord(buffer, sizeof buffer);
  return result;
}

int TSPI::GetPicture(const void* source, TSPILength length, unsigned flags, platform::TLocalHandle* info,
                     platform::TLocalHandle* pixels, TSPIProgressCallback progress, TSPILength userValue) const {
  RequireEntryPoint(FEntryPoints[epGetPicture], "GetPicture");
  if (FHost) return RemotePicture(false, source, length, flags, info, pixels, progress, userValue);
  return reinterpret_cast<TSPIGetPictureProc>(FEntryPoints[epGetPicture])(source, length, flags, info, pixels,
                                                                           progress, userValue);
}

int TSPI::GetPreview(const void* source, TSPILength length, unsigned flags, platform::TLocalHandle* info,
                     platform::TLocalHandle* pixels, TSPIProgressCallback progress, TSPILength userValue) const {
  RequireEntryPoint(FEntryPoints[epGetPreview], "GetPreview");
  if (FHost) return RemotePicture(true, source, length, flags, info, pixels, progress, userValue);
  return reinterpret_cast<TSPIGetPictureProc>(FEntryPoints[epGetPreview])(source, length, flags, info, pixels,
                                                                           progress, userValue);
}

int TSPI::RemotePicture(bool preview, const void* source, TSPILength length, unsigned flags,
                        platform::TLocalHandle* info, platform::TLocalHandle* pixels, TSPIProgressCallback progress,
                        TSPILength userValue) const {
  int rc = 0;
  if (!FHost->Picture(FHostModule, preview, source, length, flags, info, pixels, progress, userValue, rc)) {
    HostFailed(FHost->Failure());
    return InternalErrorResult;
  }
  return rc;
}

std::unique_ptr<TSPI> CreatePluginModule(const std::filesystem::path& fileName, std::string* reason,
                                         const TPluginHostRef& host) {
  struct TKind {
    const char* Version;
    TSPIConstructor Construct;
  };
  static constexpr TKind Kinds[] = {{"00IN", &TInSPI::Create}, {"00AM", &TAmSPI::Create}, {"00XN", &TXnSPI::Create}};
  try {
    // The base module only reads the version; the library stays loaded (a second
    // reference) while the module of the chosen kind is made.
    const std::unique_ptr<TSPI> probe = TSPI::Create(fileName, host);
    TSPIConstructor construct = &TSPI::Create;
    for (const TKind& kind : Kinds)
      if (probe->APIVersion() == kind.Version) {
        construct = kind.Construct;
        break;
      }
    return construct(fileName, host);
  } catch (const ESPIFOpenErrorSPI& e) {
    if (reason) *reason = e.Message();
  } catch (const ESPIInvalidSPI& e) {
    if (reason) *reason = e.Message();
  }
  return nullptr;
}

// ---- Path helpers

std::string AppendBackslash(const std::string& folder) {
  const platform::TPathSyntax& syntax = platform::NativePathSyntax();
  if (folder.empty() || syntax.Delimiters.find(folder.back()) != std::string_view::npos) return folder;
  return folder + syntax.Delimiter;
}

namespace {
// Length of the folder part (delimiters and a drive's colon included).
std::size_t FolderPartLength(const std::string& path) {
  const platform::TPathSyntax& syntax = platform::NativePathSyntax();
  for (std::size_t i = path.size(); i > 0; --i) {
    const char c = path[i - 1];
    if (syntax.Delimiters.find(c) != std::string_view::npos || (syntax.DriveColon && c == ':')) return i;
  }
  return 0;
}
}  // namespace

std::string ExtractFileName(const std::string& fileName) { return fileName.substr(FolderPartLength(fileName)); }

std::string ExtractFileExt(const std::string& fileName) {
  const std::string name = ExtractFileName(fileName);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

// ---- TSPIs

TVX_DEFINE_ABSTRACT_CLASS(TSPIs, TPersistent)

namespace {
TSPIs* GInstance = nullptr;
const TClass* GDefaultGraphicClass = nullptr;

const char* const SusieKey = "\\Software\\Vantrel\\Susie\\Plug-in";
}  // namespace

TSPIs::TSPIs(TObject* owner, bool designing) : FOwner(owner), FDesigning(designing) {
  if (!FDesigning) {
    if (GInstance) throw ESPIDupCreateSPIs("TSPIs は複数生成できません");
    GInstance = this;
  }
}

TSPIs::~TSPIs() {
  if (GInstance == this) GInstance = nullptr;
  Clear();
}

namespace {
// Sanitizers reserve far more address space than any limit a host could be given.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool SanitizedBuild = true;
#else
constexpr bool SanitizedBuild = false;
#endif
#else
constexpr bool SanitizedBuild = false;
#endif
}  // namespace

const TPluginHostRef& TSPIs::Host(const std::filesystem::path& plugin) {
  const std::filesystem::path program = HostProgram.empty()
                                            ? platform::ExeFileName().parent_path() / platform::PluginHostProgram(plugin)
                                            : HostProgram;
  for (const auto& [known, host] : FHosts)
    if (known == program) return host;
  std::filesystem::path cache;
  if (!HostCacheFolder.empty()) cache = HostCacheFolder / program.stem().concat(".plugins");
  FHosts.emplace_back(program, std::make_shared<TPluginHost>(TPluginHost::TSettings{
                                   program, SanitizedBuild ? 0 : HostMemoryLimit, HostTimeoutSeconds, cache}));
  return FHosts.back().second;
}

// ---- TPluginFailureLog

namespace {
thread_local TPluginFailureLog* GFailureLog = nullptr;
}  // namespace

TPluginFailureLog::TPluginFailureLog() noexcept : FOuter(GFailureLog) { GFailureLog = this; }
TPluginFailureLog::~TPluginFailureLog() { GFailureLog = FOuter; }

void TPluginFailureLog::Report(const std::string& fileName, const std::string& reason) noexcept {
  try {
    if (GFailureLog) {
      // A plug-in that fails each call of one decoding the same way says so once.
      std::string line = ExtractFileName(fileName) + ": " + reason;
      auto& reasons = GFailureLog->FReasons;
      if (std::find(reasons.begin(), reasons.end(), line) != reasons.end()) return;
      reasons.push_back(std::move(line));
    }
    if (TSPIs* spis = TSPIs::Instance(); spis && spis->OnPluginFailure) spis->OnPluginFailure(spis, fileName, reason);
  } catch (...) {
    // The reason is lost, the failed try stays a failed try.
  }
}

TSPIs* TSPIs::Instance() noexcept { return GInstance; }
const TClass* TSPIs::DefaultGraphicClass() noexcept { return GDefaultGraphicClass; }
void TSPIs::SetDefaultGraphicClass(const TClass* graphicClass) noexcept { GDefaultGraphicClass = graphicClass; }

void TSPIs::Loaded() {
  if (FDesigning || !AutoSearch) return;
  Search(platform::PluginFilePatterns());
}

TSPI* TSPIs::Items(int index) const {
  Assert(index >= 0 && index < Count(), "TSPIs.Items: index out of range");
  return FList[static_cast<std::size_t>(index)].get();
}

void TSPIs::Add(std::unique_ptr<TSPI> module) { Insert(Count(), std::move(module)); }

void TSPIs::Insert(int index, std::unique_ptr<TSPI> module) {
  Assert(index >= 0 && index <= Count(), "TSPIs.Insert: index out of range");
  Assert(module != nullptr, "TSPIs.Insert: no module");
  TSPI* added = module.get();
  FList.insert(FList.begin() + index, std::move(module));
  if (FDesigning || !added->InheritsFrom(TInSPI::ClassInfo())) return;
  try {
    RegisterFormats(static_cast<TInSPI&>(*added));
  } catch (...) {
    // The module goes with its failure; formats registered before it stay, as a
    // registration is never withdrawn before the program ends.
    auto it = std::find_if(FList.begin(), FList.end(), [added](const auto& m) { return m.get() == added; });
    if (it != FList.end()) FList.erase(it);
    throw;
  }
}

void TSPIs::Delete(int index) {
  Assert(index >= 0 && index < Count(), "TSPIs.Delete: index out of range");
  std::unique_ptr<TSPI> module = std::move(FList[static_cast<std::size_t>(index)]);
  FList.erase(FList.begin() + index);
}

void TSPIs::Clear() {
  while (!FList.empty()) Delete(0);
  // Without plug-ins the host processes have nothing to run: they end.
  FHosts.clear();
}

int TSPIs::IndexOfFile(const std::string& path) const {
  for (std::size_t i = 0; i < FList.size(); ++i)
    if (platform::SameTextLocale(PathToUtf8(FList[i]->FileName()), path)) return static_cast<int>(i);
  return -1;
}

void TSPIs::CollectPlugins(const std::vector<const TClass*>& kinds, std::vector<TSPI*>& result,
                           const std::string& fileName) const {
  const std::string extension = ExtractFileExt(fileName);
  std::vector<TSPI*> declaring, others;
  for (const auto& module : FList) {
    const bool wanted = std::any_of(kinds.begin(), kinds.end(),
                                    [&](const TClass* kind) { return kind && module->InheritsFrom(*kind); });
    if (!wanted) continue;
    // Only an entry's last pattern counts: the entry is taken as one name.
    const bool declares =
        !extension.empty() && std::any_of(module->Filters().begin(), module->Filters().end(), [&](const auto& f) {
          return platform::SameTextLocale(ExtractFileExt(f), extension);
        });
    (declares ? declaring : others).push_back(module.get());
  }
  result.insert(result.end(), declaring.rbegin(), declaring.rend());
  result.insert(result.end(), others.begin(), others.end());
}

void TSPIs::RegisterFormats(TInSPI& module) {
  const auto& filters = module.Filters();
  const auto& descriptions = module.FilterDescriptions();
  for (std::size_t i = 0; i < filters.size(); ++i) {
    const std::string& description = descriptions[i];
    // Once per entry: within an entry each item starts with what the handler left.
    const TClass* graphicClass = GDefaultGraphicClass;
    std::string text = filters[i];
    while (!text.empty()) {
      std::string item;
      if (const std::size_t semicolon = text.rfind(';'); semicolon != std::string::npos) {
        item = text.substr(semicolon + 1);
        text.resize(semicolon);
      } else {
        item = std::move(text);
        text.clear();
      }
      if (const std::size_t dot = item.find('.'); dot != std::string::npos) item.erase(0, dot + 1);
      if (OnPictureRegister) OnPictureRegister(this, &module, item, description, graphicClass);
      if (graphicClass) TPicture::RegisterFileFormat(item, description, *graphicClass);
    }
  }
}

void TSPIs::Skipped(const std::string& fileName, const std::string& reason) {
  if (OnSkip) OnSkip(this, fileName, reason);
}

std::vector<std::string> TSPIs::SearchFolders() const {
  std::vector<std::string> folders;
  if (SearchOptions.Contains(spsSusieDir)) {
    // Absent, unreadable or of the wrong type: the Susie folder is skipped in silence.
    try {
      std::string path;
      if (platform::ReadUserRegistryString(SusieKey, "Path", path) == platform::TRegistryRead::Ok && !path.empty())
        folders.push_back(path);
    } catch (const std::exception&) {
    }
  }
  if (SearchOptions.Contains(spsAppDir)) folders.push_back(PathToUtf8(platform::ExeFileName().parent_path()));
  if (SearchOptions.Contains(spsCurrentDir)) folders.push_back(PathToUtf8(platform::CurrentDirectory()));
  if (SearchOptions.Contains(spsSystemDir))
    if (const auto dir = platform::SystemDirectory(); !dir.empty()) folders.push_back(PathToUtf8(dir));
  if (SearchOptions.Contains(spsWindowsDir))
    if (const auto dir = platform::WindowsDirectory(); !dir.empty()) folders.push_back(PathToUtf8(dir));
  return folders;
}

void TSPIs::Search(const std::string& mask) {
  if (const std::size_t folderLength = FolderPartLength(mask); folderLength > 0) {
    ScanFolder(AppendBackslash(mask.substr(0, folderLength)), mask.substr(folderLength));
    return;
  }
  Search(std::vector<std::string>{mask});
}

void TSPIs::Search(const std::vector<std::string>& patterns) {
  for (const std::string& folder : SearchFolders())
    for (const std::string& pattern : patterns) ScanFolder(AppendBackslash(folder), pattern);
  SaveHostCaches();
}

void TSPIs::SaveHostCaches() noexcept {
  for (const auto& [program, host] : FHosts) host->SaveCache();
}

void TSPIs::ScanFolder(const std::string& folder, const std::string& pattern) {
  // In the order NTFS lists them wherever the folder lies: the first plug-in that reads a
  // file decodes it, so the order must not depend on the file system.
  std::vector<std::string> names = platform::FindFiles(folder, pattern);
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return platform::CompareFileNames(a, b) < 0; });
  std::vector<std::string> candidates;
  for (const std::string& name : names) {
    std::string path = folder + name;
    if (IndexOfFile(path) < 0) candidates.push_back(std::move(path));
  }
  for (const std::string& path : candidates) {
    bool accept = true;
    if (OnSearching) OnSearching(this, path, accept);
    if (!accept) {
      Skipped(path, "refused by name");
      continue;
    }
    std::unique_ptr<TSPI> module;
    std::string reason;
    try {
      module = CreatePluginModule(Utf8ToPath(path), &reason, OutOfProcess ? Host(Utf8ToPath(path)) : TPluginHostRef());
    } catch (const ESPIInvalidAPI& e) {
      // A plug-in without an entry point that its kind needs is left out; the plug-ins
      // after it still load.
      Skipped(path, e.Message());
      continue;
    }
    if (!module) {
      Skipped(path, reason);
      continue;
    }
    try {
      accept = true;
      if (OnSearch) OnSearch(this, module.get(), accept);
      if (!accept) {
        Skipped(path, "not kept: API version \"" + AnsiToUtf8(module->APIVersion()) + "\"");
        continue;
      }
      Add(std::move(module));
    } catch (const std::exception& e) {
      Skipped(path, e.what());
    }
  }
}
