#pragma once
// The Susie plug-in host: one module object per loaded plug-in, classified by the API
// version the plug-in reports, and the registry that finds plug-ins, keeps them and
// registers the formats they declare. This unit is the only place that calls into a
// plug-in.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/Library.h"
#include "platform/LocalMemory.h"
#include "platform/WinApi.h"
#include "rtl/Classes.h"
#include "rtl/Exception.h"

class ESPIFOpenErrorSPI : public Exception { public: using Exception::Exception; };
class ESPIInvalidAPI : public Exception { public: using Exception::Exception; };
class ESPIInvalidSPI : public Exception { public: using Exception::Exception; };
class ESPIDupCreateSPIs : public Exception { public: using Exception::Exception; };

// ---- The plug-in interface as the host calls it

// The "length or offset" argument and the progress callback's user value: 32 bits in the
// 32-bit interface, pointer-sized in the 64-bit one.
using TSPILength = std::intptr_t;

using TSPIProgressCallback = int(TAVEX_WINAPI*)(int step, int steps, TSPILength userValue);
using TSPIGetPluginInfoProc = int(TAVEX_WINAPI*)(int infoNo, char* buffer, int bufferLength);
using TSPIIsSupportedProc = int(TAVEX_WINAPI*)(const char* fileName, const void* data);
using TSPIGetPictureInfoProc = int(TAVEX_WINAPI*)(const void* source, TSPILength length, unsigned flags,
                                                  void* record);
using TSPIGetPictureProc = int(TAVEX_WINAPI*)(const void* source, TSPILength length, unsigned flags,
                                              platform::TLocalHandle* info, platform::TLocalHandle* pixels,
                                              TSPIProgressCallback progress, TSPILength userValue);

// The picture-information record as plug-ins fill it. The 32-bit interface packs it into
// 26 bytes. 64-bit plug-ins come in two layouts: packed (30 bytes, the text handle at 22)
// and naturally aligned (32 bytes, the handle at 24); both share offsets 0-21.
#pragma pack(push, 1)
struct TSPIPictureInfoRecord {
  std::int32_t left;
  std::int32_t top;
  std::int32_t width;
  std::int32_t height;
  std::uint16_t x_density;
  std::uint16_t y_density;
  std::int16_t colorDepth;
  platform::TLocalHandle hInfo;
};
#pragma pack(pop)
static_assert(offsetof(TSPIPictureInfoRecord, top) == 4 && offsetof(TSPIPictureInfoRecord, width) == 8 &&
              offsetof(TSPIPictureInfoRecord, height) == 12 && offsetof(TSPIPictureInfoRecord, x_density) == 16 &&
              offsetof(TSPIPictureInfoRecord, y_density) == 18 && offsetof(TSPIPictureInfoRecord, colorDepth) == 20 &&
              offsetof(TSPIPictureInfoRecord, hInfo) == 22);
static_assert(sizeof(void*) != 4 || sizeof(TSPIPictureInfoRecord) == 26, "the 32-bit wire record is 26 bytes");

// Offset of the text handle in the naturally aligned 64-bit layout.
constexpr std::size_t SPIAlignedInfoHandleOffset = 24;
// The bytes the host hands to GetPictureInfo: the wire record in 32 bits, room for the
// larger (aligned) layout in 64 bits.
constexpr std::size_t SPIPictureInfoBufferSize = sizeof(void*) == 4 ? sizeof(TSPIPictureInfoRecord) : 32;

// The record as the host reads it back.
struct TSPIPictureInfo {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::uint16_t XDensity = 0;
  std::uint16_t YDensity = 0;
  std::int16_t ColorDepth = 0;
  // Taken only when it is a live local-memory block; whoever holds the record frees it.
  platform::TLocalHandle Info = nullptr;
};

// Reads a record that a plug-in filled into a zeroed buffer of SPIPictureInfoBufferSize
// bytes. The text handle is looked for at offset 22 and (64-bit) at 24 and taken from the
// first place where it is a live local-memory block; anything else is left alone.
TSPIPictureInfo ReadPictureInfoRecord(const unsigned char* buffer, std::size_t size) noexcept;

// ---- Module objects

// The nine entry points, in the order the module keeps their addresses.
enum TSPIEntryPoint : std::uint8_t {
  epGetPluginInfo,
  epIsSupported,
  epGetPictureInfo,
  epGetPicture,
  epGetPreview,
  epGetArchiveInfo,
  epGetFileInfo,
  epGetFile,
  epConfigurationDlg,
  epCount
};
// The exported name of an entry point.
const char* SPIEntryPointName(TSPIEntryPoint entry) noexcept;

class TSPI;
class TPluginHost;
using TPluginHostRef = std::shared_ptr<TPluginHost>;
// What the factory constructs for a kind: the design's virtual constructor. With a host,
// the plug-in is loaded and called in that host's process instead of this one.
using TSPIConstructor = std::unique_ptr<TSPI> (*)(const std::filesystem::path& fileName, const TPluginHostRef& host);

// Any plug-in; the base of every kind. Construction loads the library, resolves the
// entry points, checks those the kind requires and reads the information texts; a
// failure on the way leaves nothing loaded.
class TSPI : public TObject {
  TVX_DECLARE_CLASS
public:
  // Raises ESPIFOpenErrorSPI when the library cannot be loaded and ESPIInvalidAPI when
  // an entry point that the kind requires is missing.
  static std::unique_ptr<TSPI> Create(const std::filesystem::path& fileName, const TPluginHostRef& host = {}) {
    return Construct<TSPI>(fileName, host);
  }
  ~TSPI() override;
  TSPI(const TSPI&) = delete;
  TSPI& operator=(const TSPI&) = delete;

  platform::TLibraryHandle Handle() const noexcept { return FHandle.Get(); }
  // The host process the plug-in runs in; null when it runs in this one.
  TPluginHost* Host() const noexcept { return FHost.get(); }
  // The path as the OS reports it for the loaded library (at most 256 UTF-16 units), or
  // the path it was loaded from when the OS reports none.
  const std::filesystem::path& FileName() const noexcept { return FFileName; }
  // Information entries 0 and 1 as the plug-in gave them: ANSI bytes.
  const std::string& APIVersion() const noexcept { return FAPIVersion; }
  const std::string& Description() const noexcept { return FDescription; }
  // Entries 2, 4, 6, ... and 3, 5, 7, ..., converted to UTF-8; always of one length.
  const std::vector<std::string>& Filters() const noexcept { return FFilters; }
  const std::vector<std::string>& FilterDescriptions() const noexcept { return FFilterDescriptions; }
  void* EntryPoint(TSPIEntryPoint entry) const noexcept { return FEntryPoints[entry]; }

  // The address the library exports under the name, or null.
  void* GetEntryPoint(const std::string& name) const noexcept;
  // Raises ESPIInvalidAPI naming the entry point and FileName when address is null.
  void RequireEntryPoint(const void* address, const char* name) const;

  // Each checks that the plug-in exports the entry point, then calls it with the
  // arguments unchanged and returns its result unchanged.
  int GetPluginInfo(int infoNo, char* buffer, int bufferLength) const;
  int IsSupported(const char* fileName, const void* data) const;
  int GetPictureInfo(const void* source, TSPILength length, unsigned flags, void* record) const;
  int GetPicture(const void* source, TSPILength length, unsigned flags, platform::TLocalHandle* info,
                 platform::TLocalHandle* pixels, TSPIProgressCallback progress, TSPILength userValue) const;
  int GetPreview(const void* source, TSPILength length, unsigned flags, platform::TLocalHandle* info,
                 platform::TLocalHandle* pixels, TSPIProgressCallback progress, TSPILength userValue) const;
  // GetPictureInfo into a zeroed buffer of the host's size, read back by the record rules.
  int GetPictureInfo(const void* source, TSPILength length, unsigned flags, TSPIPictureInfo& info) const;

protected:
  TSPI(const std::filesystem::path& fileName, const TPluginHostRef& host);
  // Raises ESPIInvalidAPI for the first required entry point that is missing; each kind
  // checks its base's list first.
  virtual void CheckEntryPoints() const;

  template <class T>
  static std::unique_ptr<TSPI> Construct(const std::filesystem::path& fileName, const TPluginHostRef& host) {
    std::unique_ptr<TSPI> module(new T(fileName, host));
    module->CheckEntryPoints();
    module->ReadPluginInfo();
    return module;
  }

private:
  void ReadPluginInfo();
  // Out of process: the call failed in the host (reported, not raised, once the module is
  // made: a decoding must go on with the next plug-in).
  void HostFailed(const std::string& reason) const;
  int RemotePicture(bool preview, const void* source, TSPILength length, unsigned flags, platform::TLocalHandle* info,
                    platform::TLocalHandle* pixels, TSPIProgressCallback progress, TSPILength userValue) const;
  // What a call that failed in the host returns: the interface's internal error.
  static constexpr int InternalErrorResult = 8;

  platform::TLibrary FHandle;
  std::filesystem::path FFileName;
  std::string FAPIVersion;
  std::string FDescription;
  std::vector<std::string> FFilters;
  std::vector<std::string> FFilterDescriptions;
  void* FEntryPoints[epCount] = {};
  TPluginHostRef FHost;
  int FHostModule = 0;
  mutable bool FReady = false;  // made: a host's failure is reported, no longer raised
};

// The common base of the two loader kinds; the factory never makes one.
class TLoaderSPI : public TSPI {
  TVX_DECLARE_CLASS
protected:
  using TSPI::TSPI;
  void CheckEntryPoints() const override;
};

// An import filter ("00IN"): decodes images.
class TInSPI : public TLoaderSPI {
  TVX_DECLARE_CLASS
public:
  static std::unique_ptr<TSPI> Create(const std::filesystem::path& fileName, const TPluginHostRef& host = {}) {
    return Construct<TInSPI>(fileName, host);
  }

protected:
  using TLoaderSPI::TLoaderSPI;
  void CheckEntryPoints() const override;
  friend class TSPI;
};

// An archive extractor ("00AM").
class TAmSPI : public TLoaderSPI {
  TVX_DECLARE_CLASS
public:
  static std::unique_ptr<TSPI> Create(const std::filesystem::path& fileName, const TPluginHostRef& host = {}) {
    return Construct<TAmSPI>(fileName, host);
  }

protected:
  using TLoaderSPI::TLoaderSPI;
  void CheckEntryPoints() const override;
  friend class TSPI;
};

// A "00XN" plug-in.
class TXnSPI : public TSPI {
  TVX_DECLARE_CLASS
public:
  static std::unique_ptr<TSPI> Create(const std::filesystem::path& fileName, const TPluginHostRef& host = {}) {
    return Construct<TXnSPI>(fileName, host);
  }

protected:
  using TSPI::TSPI;
  friend class TSPI;
};

// Which reader decoded a picture: a plug-in, named by its file and its description, or
// (Plugin false) the DIB library's own reader.
struct TSPIDecodedBy {
  bool Plugin = false;
  std::filesystem::path FileName;
  std::string Description;  // GetPluginInfo's entry 1, ANSI bytes

  static TSPIDecodedBy Module(const TSPI& module) { return TSPIDecodedBy{true, module.FileName(), module.Description()}; }
  // Tavex's own import filter, known by its description, which a renamed or moved copy
  // keeps, in the program and in a host process alike.
  bool TavexPlugin() const noexcept { return Plugin && Description.rfind(TavexPluginDescription, 0) == 0; }
  // How the own plug-in's description begins.
  static constexpr const char* TavexPluginDescription = "Tavex image filter ";
};

// The factory: a module of the kind the plug-in's API version names ("00IN", "00AM",
// "00XN", compared exactly; anything else a plain TSPI), or null when the library cannot
// be loaded. ESPIInvalidAPI and every other failure reach the caller. When reason is
// given, it receives the load failure's message.
std::unique_ptr<TSPI> CreatePluginModule(const std::filesystem::path& fileName, std::string* reason = nullptr,
                                         const TPluginHostRef& host = {});

// ---- Failures of plug-ins in host processes

// Why a plug-in's call failed in its host ("the plug-in stopped: page fault at 0x0"): told
// to the registry's OnPluginFailure and kept by the innermost log on this thread, so that
// a file nothing decodes says why.
using TSPIPluginFailureEvent =
    std::function<void(TObject* sender, const std::string& fileName, const std::string& reason)>;
class TPluginFailureLog {
public:
  TPluginFailureLog() noexcept;
  ~TPluginFailureLog();
  TPluginFailureLog(const TPluginFailureLog&) = delete;
  TPluginFailureLog& operator=(const TPluginFailureLog&) = delete;
  // "file: reason", one a failure, in order.
  const std::vector<std::string>& Reasons() const noexcept { return FReasons; }
  static void Report(const std::string& fileName, const std::string& reason) noexcept;

private:
  std::vector<std::string> FReasons;
  TPluginFailureLog* FOuter;
};

// ---- The registry

enum TSPISearchOption : std::uint8_t { spsSusieDir, spsAppDir, spsCurrentDir, spsSystemDir, spsWindowsDir };

// A set of search options, bit n for ordinal n.
class TSPISearchOptions {
public:
  constexpr TSPISearchOptions() noexcept = default;
  constexpr TSPISearchOptions(std::initializer_list<TSPISearchOption> options) noexcept {
    for (TSPISearchOption o : options) FBits = static_cast<std::uint8_t>(FBits | (1u << o));
  }
  constexpr bool Contains(TSPISearchOption o) const noexcept { return (FBits >> o) & 1u; }
  constexpr std::uint8_t Bits() const noexcept { return FBits; }
  friend constexpr bool operator==(TSPISearchOptions, TSPISearchOptions) = default;

private:
  std::uint8_t FBits = 0;
};

class TSPIs;
using TSPISearchingEvent = std::function<void(TObject* sender, const std::string& fileName, bool& accept)>;
using TSPISearchEvent = std::function<void(TObject* sender, TSPI* aspi, bool& accept)>;
using TSPIPictureRegisterEvent =
    std::function<void(TObject* sender, TInSPI* aspi, const std::string& aExtension, const std::string& aDescription,
                       const TClass*& aGraphicClass)>;
// A candidate file that the search left out, and why (the handler's refusal, a library
// that would not load, a missing entry point, a failure while keeping it).
using TSPISkipEvent = std::function<void(TObject* sender, const std::string& fileName, const std::string& reason)>;

// The registry of loaded plug-ins. At run time only one exists (Instance); registries
// being designed are never Instance and may be many.
class TSPIs : public TPersistent {
  TVX_DECLARE_CLASS
public:
  // Raises ESPIDupCreateSPIs when a registry already exists at run time.
  explicit TSPIs(TObject* owner = nullptr, bool designing = false);
  ~TSPIs() override;
  TSPIs(const TSPIs&) = delete;
  TSPIs& operator=(const TSPIs&) = delete;

  static TSPIs* Instance() noexcept;
  // The graphic class offered to OnPictureRegister first, and registered when no handler
  // is bound.
  static const TClass* DefaultGraphicClass() noexcept;
  static void SetDefaultGraphicClass(const TClass* graphicClass) noexcept;

  TObject* Owner() const noexcept { return FOwner; }
  bool Designing() const noexcept { return FDesigning; }
  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string name) { FName = std::move(name); }

  // Loading from the form description has finished: searches the plug-in patterns of
  // this build when not designing and AutoSearch is on.
  void Loaded();

  int Count() const noexcept { return static_cast<int>(FList.size()); }
  TSPI* Items(int index) const;
  void Add(std::unique_ptr<TSPI> module);
  // The registry owns the module from then on; when registering its formats fails, the
  // module is taken out and destroyed and the failure passed on.
  void Insert(int index, std::unique_ptr<TSPI> module);
  void Delete(int index);
  void Clear();
  // Position of the first module loaded from the path (case ignored by the user's locale
  // rules); -1 when none.
  int IndexOfFile(const std::string& path) const;
  // Appends the modules of the given kinds: those declaring the file name's extension
  // first (in reverse list order), then the others in list order.
  void CollectPlugins(const std::vector<const TClass*>& kinds, std::vector<TSPI*>& result,
                      const std::string& fileName) const;

  // With a folder in the mask, scans that folder for the mask's file part; else scans
  // the folders of SearchOptions, in option order.
  void Search(const std::string& mask);
  // Each folder of SearchOptions, scanned for each pattern in turn.
  void Search(const std::vector<std::string>& patterns);
  void ScanFolder(const std::string& folder, const std::string& pattern);

  TSPISearchOptions SearchOptions = {spsSusieDir, spsAppDir};
  TSPISearchEvent OnSearch;
  TSPISearchingEvent OnSearching;
  TSPIPictureRegisterEvent OnPictureRegister;
  bool AutoSearch = true;
  bool MacBinary = true;
  bool GraphicPreview = false;
  TSPISkipEvent OnSkip;
  // Where plug-ins run: in this process (the default), or each call in a host process of
  // their own, started on first use, ended with the registry, started afresh after a crash.
  bool OutOfProcess = false;
  // The host program (empty: the host of each plug-in's bitness beside the program), how
  // long a call may go without an answer or a progress report, and the host's memory limit.
  std::filesystem::path HostProgram;
  int HostTimeoutSeconds = 60;
  std::size_t HostMemoryLimit = std::size_t{2} << 30;
  // Where the hosts keep what their plug-ins answered between runs (a file per host
  // program), so that unchanged plug-ins register without starting a host; empty: not kept.
  std::filesystem::path HostCacheFolder;
  // Keeps the hosts' answers for the next run (Search does it after its scan).
  void SaveHostCaches() noexcept;
  TSPIPluginFailureEvent OnPluginFailure;
  // The host for the plug-in file (by its bitness), made on first use; without a file, the
  // host of this build's bitness.
  const TPluginHostRef& Host(const std::filesystem::path& plugin = {});

private:
  void RegisterFormats(TInSPI& module);
  void Skipped(const std::string& fileName, const std::string& reason);
  std::vector<std::string> SearchFolders() const;

  std::vector<std::unique_ptr<TSPI>> FList;
  std::vector<std::pair<std::filesystem::path, TPluginHostRef>> FHosts;  // by program
  TObject* FOwner;
  bool FDesigning;
  std::string FName;
};

// The folder name with the path delimiter added, unless it is empty or ends with one.
std::string AppendBackslash(const std::string& folder);
// The extension of the file-name part, from its last full stop on; empty when none.
std::string ExtractFileExt(const std::string& fileName);
// The file-name part of a path.
std::string ExtractFileName(const std::string& fileName);
