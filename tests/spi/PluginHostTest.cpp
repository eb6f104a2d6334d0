// Plug-ins in a host process: what a crashing, hanging or exiting plug-in costs (one failed
// try, with its reason), and that a plug-in answers there as it does in the program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "platform/Library.h"
#include "platform/LocalMemory.h"
#include "spi/PluginHost.h"
#include "spi/SPIBmp.h"
#include "spi/SPITestSupport.h"
#include "spi/SPIVxDIB.h"
#include "support/LocalBlocks.h"

#ifndef _WIN32
#include <dirent.h>
#endif

namespace {

using TBytes = std::vector<std::uint8_t>;

// Open descriptors of this process, where the platform can count them; -1 elsewhere.
int OpenHandles() {
#ifdef _WIN32
  return -1;
#else
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
#endif
}

#ifdef _WIN32
constexpr bool OnWindows = true;
#else
constexpr bool OnWindows = false;
#endif
// A sanitizer in the host takes a double free for itself, and gives a host no memory limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

// The test plug-ins are of this build's bitness: named as such, they go to its own host.
std::string Named(const std::string& stem) { return stem + (sizeof(void*) == 8 && OnWindows ? ".sph" : ".spi"); }

// A source the misbehaving plug-ins claim, with the 2 x 2 picture's 16 pixel bytes.
TBytes Bad(const char* mark = "") {
  std::string text = std::string("BAD!").append(mark);
  for (char i = 10; text.size() < 20; ++i) text.push_back(i);
  return TBytes(text.begin(), text.end());
}

class OutOfProcess : public ::testing::Test {
protected:
  TPluginFolder Folder;
  TSPIs Spis;
  std::vector<std::string> Failures;  // "file: reason" as the registry told them
  std::vector<std::string> Skips;

  OutOfProcess() {
    Spis.OutOfProcess = true;
    Spis.HostTimeoutSeconds = 1;
    Spis.HostMemoryLimit = std::size_t{512} << 20;
    Spis.OnPluginFailure = [this](TObject*, const std::string& file, const std::string& reason) {
      Failures.push_back(ExtractFileName(file) + ": " + reason);
    };
    Spis.OnSkip = [this](TObject*, const std::string& file, const std::string& reason) {
      Skips.push_back(ExtractFileName(file) + ": " + reason);
    };
  }
  // The variants under their names (given without extension), in the order given (names
  // sort as given).
  void Install(std::initializer_list<std::pair<const char*, const char*>> plugins) {
    for (const auto& [variant, name] : plugins) Folder.Put(variant, Named(name));
    for (const std::string& pattern : platform::PluginFilePatterns()) Spis.ScanFolder(Folder.Folder(), pattern);
  }
  // The message of a failed load from memory (empty on success) and the DIB's pixel bytes.
  std::string Load(const TBytes& data, TBytes* pixels = nullptr) {
    TSPIVxDIB dib;
    TCustomMemoryStream stream(data.data(), static_cast<std::int64_t>(data.size()));
    const std::string message = MessageOf<Exception>([&] { dib.LoadFromStream(stream); });
    if (message.empty() && pixels) {
      const auto& d = dib.InternalDIB()->DIB;
      pixels->assign(d.Bits, d.Bits + 16);
    }
    return message;
  }
};

// Each misbehaving plug-in before one that reads the files: the batch of three goes on,
// each file decoded by the second plug-in, each failure reported with its reason, and the
// next call starts a fresh host. A hung plug-in is ended within its limit plus 2 s.
TEST_F(OutOfProcess, AMisbehavingPluginCostsOneFailedTryWithItsReason) {
  struct TCase {
    const char* Variant;
    const char* Reason;         // empty: a plain failed try, the host lives on
    const char* WindowsReason;  // null: not run there
  } cases[] = {
      {"bad-null", "the plug-in stopped: page fault at 0x0", "the plug-in stopped: page fault at 0x0"},
      {"bad-exit", "the plug-in stopped: exit status 3", "the plug-in stopped: exit status 3"},
      // The C run-time of Windows may take a second free of a block without a word.
      {"bad-twice", "the plug-in stopped: aborted (signal 6)", nullptr},
      {"bad-loop", "the plug-in did not answer for 1 s", "the plug-in did not answer for 1 s"},
      // Under Wine a job's memory limit is not enforced: the plug-in would take the machine.
      {"bad-alloc", "", nullptr},
  };
  for (TCase c : cases) {
    SCOPED_TRACE(c.Variant);
    if (OnWindows && !c.WindowsReason) continue;
    if (Sanitized && (std::string(c.Variant) == "bad-twice" || std::string(c.Variant) == "bad-alloc")) continue;
    if (OnWindows) c.Reason = c.WindowsReason;
    Spis.Clear();
    for (const auto& e : std::filesystem::directory_iterator(Folder.Path())) std::filesystem::remove(e.path());
    Failures.clear();
    const std::string bad = std::string("a-") + c.Variant, good = std::string("b-") + c.Variant;
    Install({{c.Variant, bad.c_str()}, {"bad-marked", good.c_str()}});
    ASSERT_EQ(Spis.Count(), 2);
    const int handles = OpenHandles();
    const long long blocks = LiveLocalBlocks();
    std::vector<std::string> expected;
    for (int file = 0; file < 3; ++file) {
      const auto start = std::chrono::steady_clock::now();
      TBytes pixels;
      const TBytes source = Bad();
      EXPECT_EQ(Load(source, &pixels), "") << file;
      EXPECT_EQ(pixels, TBytes(source.begin() + 4, source.end())) << file;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << file;
      if (*c.Reason) expected.push_back(Named(bad) + ": " + c.Reason);
    }
    EXPECT_EQ(Failures, expected);
    // The search's host, then a fresh one after each failure.
    EXPECT_EQ(Spis.Host()->Starts(), *c.Reason ? 4 : 1);
    EXPECT_EQ(OpenHandles(), handles) << "a section or a channel left open";
    EXPECT_EQ(LiveLocalBlocks(), blocks);
  }
}

// A file that only the crashing plug-in claims ends as undecodable, and says why.
TEST_F(OutOfProcess, AFileNothingDecodesBecauseAPluginCrashedSaysWhy) {
  Install({{"bad-marked", "marked"}});
  EXPECT_EQ(Load(Bad("CRASH")),
            "Susie Plugins could not decode\n" + Named("marked") + ": the plug-in stopped: page fault at 0x0");
  TBytes pixels;
  EXPECT_EQ(Load(Bad("fine!")), "") << "the next call starts a fresh host";
  EXPECT_EQ(Spis.Host()->Starts(), 2);
}

// A plug-in that crashes while the search reads its information is left out with the
// reason; the plug-ins after it load.
TEST_F(OutOfProcess, APluginCrashingAtStartUpIsSkippedWithItsReason) {
  Install({{"bad-infocrash", "a-crash"}, {"bad-marked", "b-good"}});
  ASSERT_EQ(Spis.Count(), 1);
  EXPECT_EQ(PathToUtf8(Spis.Items(0)->FileName().filename()), Named("b-good"));
  ASSERT_EQ(Skips.size(), 1u);
  const std::string crash = Named("a-crash");
  EXPECT_EQ(Skips[0], crash + ": " + Folder.Folder() + crash + ": the plug-in stopped: page fault at 0x0");
}

// The same plug-in gives the same module and the same pixels in the program and in a host.
TEST_F(OutOfProcess, APluginAnswersInAHostAsInTheProgram) {
  TSPIs* spis = &Spis;
  std::vector<std::string> seen[2];
  TBytes pixels[2];
  for (const bool outside : {false, true}) {
    spis->Clear();
    spis->OutOfProcess = outside;
    Install({{"bad-marked", "good"}, {"pngtif", "ifpng"}});
    for (int i = 0; i < spis->Count(); ++i) {
      const TSPI& m = *spis->Items(i);
      std::string line = PathToUtf8(m.FileName().filename()) + " " + m.APIVersion() + " " + m.Description();
      for (std::size_t f = 0; f < m.Filters().size(); ++f) line += " " + m.Filters()[f] + "=" + m.FilterDescriptions()[f];
      line += m.EntryPoint(epGetPreview) ? " preview" : " no preview";
      seen[outside].push_back(line);
    }
    EXPECT_EQ(Load(Bad("same"), &pixels[outside]), "");
    EXPECT_EQ(spis->Items(0)->Host() != nullptr, outside);
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(pixels[0], pixels[1]);
}

}  // namespace
