// Plug-ins in a host process: what a crashing, hanging or exiting plug-in costs (one failed
// try, with its reason), and that a plug-in answers there as it does in the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "platform/HostProcess.h"
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

// A batch's sources share one section: refilled in place (grown natively, where a mapping's
// size can change), and a picture's section is read only as far as it really reaches.
TEST(Sections, AreRefilledInPlaceAndNeverReadPastTheirEnd) {
  const TBytes small = {1, 2, 3, 4}, large = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
  platform::TOsHandle section = platform::SectionCopyOf(large.data(), large.size());
  ASSERT_NE(section, platform::InvalidOsHandle);
  EXPECT_TRUE(platform::RefillSection(section, large.size(), small.data(), small.size()));
  TBytes got(small.size());
  ASSERT_TRUE(platform::ReadSectionInto(platform::DuplicateOsHandle(section), got.data(), got.size()));
  EXPECT_EQ(got, small);
  // Beyond its capacity only a section that can grow takes more.
  const TBytes more(3000, 0x5A);
  EXPECT_EQ(platform::RefillSection(section, large.size(), more.data(), more.size()), !OnWindows);
  if (!OnWindows) {
    got.assign(more.size(), 0);
    ASSERT_TRUE(platform::ReadSectionInto(platform::DuplicateOsHandle(section), got.data(), got.size()));
    EXPECT_EQ(got, more);
  }
  platform::CloseOsHandle(section);
  // A section smaller than its sender says: refused, and its handle closed all the same.
  section = platform::SectionCopyOf(small.data(), small.size());
  const int handles = OpenHandles();
  got.assign(OnWindows ? 1u << 20 : 5u, 0xEE);
  EXPECT_FALSE(platform::ReadSectionInto(section, got.data(), got.size()));
  EXPECT_EQ(OpenHandles(), handles < 0 ? handles : handles - 1);
  EXPECT_FALSE(platform::ReadSectionInto(platform::InvalidOsHandle, got.data(), 1));
}

// The sections lent to hosts for pictures: one holding a picture is never lent again until
// the picture is freed; a freed one is lent again for a picture of about its size; and one
// let go is emptied, since a host may still map it.
TEST(Sections, ALentSectionHoldsOnePictureAtATimeAndIsEmptiedWhenLetGo) {
  constexpr std::size_t Size = 3u << 20;
  platform::TLentSection first = platform::TakeLentSection(Size);
  if (OnWindows) {
    EXPECT_FALSE(first) << "Windows hosts copy each picture";
    return;
  }
  ASSERT_TRUE(first);
  EXPECT_EQ(first.Capacity, Size);
  platform::TLocalMemory picture(platform::LocalAdoptLentSection(first, Size - 5));
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture.Size(), Size - 5);
  EXPECT_EQ(platform::TLocalLock(picture.Get()).Get(), first.Data);
  const platform::TLentSection second = platform::TakeLentSection(Size);
  ASSERT_TRUE(second);
  EXPECT_NE(second.Id, first.Id) << "the first still holds a picture";
  platform::ReturnLentSection(second);
  picture.Reset();
  // The smallest picture either may take is half its size; a larger one needs a new one.
  struct TRow {
    std::size_t Size;
    bool Again;
  } rows[] = {{Size / 2 - 1, false}, {Size + 1, false}, {Size / 2, true}, {Size, true}};
  for (const TRow& row : rows) {
    const platform::TLentSection again = platform::TakeLentSection(row.Size);
    ASSERT_TRUE(again);
    EXPECT_EQ(again.Id == first.Id || again.Id == second.Id, row.Again) << row.Size;
    platform::ReturnLentSection(again);
  }
  // A host's view of a section let go: its size drops to nothing, its pages with it.
  const platform::TOsHandle view = platform::DuplicateOsHandle(first.Handle);
  platform::ReleaseLentSections();
  TBytes byte(1);
  EXPECT_FALSE(platform::ReadSectionInto(view, byte.data(), 1));
  EXPECT_NE(platform::TakeLentSection(Size).Id, first.Id);
  platform::ReleaseLentSections();
}

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
  // Each module as a line: file, version, description, filters, whether it previews.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < Spis.Count(); ++i) {
      const TSPI& m = *Spis.Items(i);
      std::string line = PathToUtf8(m.FileName().filename()) + " " + m.APIVersion() + " " + m.Description();
      for (std::size_t f = 0; f < m.Filters().size(); ++f) line += " " + m.Filters()[f] + "=" + m.FilterDescriptions()[f];
      line += m.EntryPoint(epGetPreview) ? " preview" : " no preview";
      lines.push_back(line);
    }
    return lines;
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
// next call starts a fresh host. A hung plug-in is ended within its limit (1 s) plus 2 s.
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
    // Only the hung plug-in needs the short limit: under load, allocating up to the memory
    // limit may take longer than a second.
    const bool hangs = std::string(c.Variant) == "bad-loop";
    Spis.HostTimeoutSeconds = hangs ? 1 : 30;
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
      if (hangs) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << file;
      }
      if (*c.Reason) expected.push_back(Named(bad) + ": " + c.Reason);
    }
    EXPECT_EQ(Failures, expected);
    // The search's host, then a fresh one after each failure.
    EXPECT_EQ(Spis.Host()->Starts(), *c.Reason ? 4 : 1);
    // The source's section stays for the next file until the batch ends.
    if (handles >= 0) {
      EXPECT_EQ(OpenHandles(), handles + 1);
    }
    TPluginHost::ReleaseSource();
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
    seen[outside] = Lines();
    EXPECT_EQ(Load(Bad("same"), &pixels[outside]), "");
    EXPECT_EQ(spis->Items(0)->Host() != nullptr, outside);
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(pixels[0], pixels[1]);
}

// A large picture comes back through a section the host keeps for its next pictures: those,
// even from a fresh host after a crash, never write into a picture the program still holds,
// and nothing is left open once the blocks are freed.
constexpr std::uint32_t PixelBytes = 2u << 20;  // above the size the host shares

TEST_F(OutOfProcess, APictureHeldHereIsNeverOverwrittenByTheNext) {
  Install({{"echo", "echo"}, {"bad-null", "null"}});
  ASSERT_EQ(Spis.Count(), 2);
  const TSPI& echo = *Spis.Items(0);
  auto source = [](std::uint8_t fill, std::uint32_t bytes = PixelBytes) {
    TBytes s = {'T', 'V', 'X', 'E', 0, 0, 0, 0, 40, 0, 0, 0};
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(bytes >> (8 * i)));
    s.insert(s.end(), {0, 0, 0, 0, 40, 0, 0, 0});
    s.resize(s.size() + 40 + bytes, fill);
    return s;
  };
  auto intact = [](platform::TLocalHandle block, std::uint8_t fill, std::uint32_t bytes = PixelBytes) {
    platform::TLocalLock lock(block);
    const auto* p = static_cast<const std::uint8_t*>(lock.Get());
    return p && platform::LocalSize(block) == bytes &&
           std::all_of(p, p + bytes, [fill](std::uint8_t b) { return b == fill; });
  };
  TPluginHost::ReleaseSource();  // what an earlier case kept
  const int handles = OpenHandles();
  const long long blocks = LiveLocalBlocks();
  struct TPicture {
    platform::TLocalHandle Info = nullptr, Pixels = nullptr;
  };
  auto decodeAt = [&](const std::uint8_t* at, std::size_t size, std::uint8_t fill,
                      std::uint32_t bytes = PixelBytes) {
    TPicture p;
    EXPECT_EQ(echo.GetPicture(at, static_cast<TSPILength>(size), 1, &p.Info, &p.Pixels, nullptr, 0), 0);
    EXPECT_TRUE(intact(p.Pixels, fill, bytes)) << int(fill);
    platform::LocalFree(p.Info);
    return p.Pixels;
  };
  auto decode = [&](std::uint8_t fill, std::uint32_t bytes = PixelBytes) {
    const TBytes s = source(fill, bytes);
    return decodeAt(s.data(), s.size(), fill, bytes);
  };
  platform::TLocalHandle a = decode(0xA1), b = decode(0xB2);
  EXPECT_TRUE(intact(a, 0xA1));
  platform::LocalFree(a);  // given back: the host may use it again
  platform::TLocalHandle c = decode(0xC3), d = decode(0xD4);
  EXPECT_TRUE(intact(b, 0xB2));
  EXPECT_TRUE(intact(c, 0xC3));
  // The host that lent b and c crashes; they outlive it, and the next host lends anew.
  const TBytes bad = Bad();
  platform::TLocalHandle info = nullptr, pixels = nullptr;
  Spis.Items(1)->GetPicture(bad.data(), static_cast<TSPILength>(bad.size()), 1, &info, &pixels, nullptr, 0);
  EXPECT_EQ(Spis.Host()->Starts(), 1);
  platform::TLocalHandle e = decode(0xE5);
  EXPECT_EQ(Spis.Host()->Starts(), 2);
  for (platform::TLocalHandle h : {b, c, d}) platform::LocalFree(h);
  platform::TLocalHandle f = decode(0xF6);
  EXPECT_TRUE(intact(e, 0xE5));
  for (platform::TLocalHandle h : {e, f}) platform::LocalFree(h);
  // Pictures larger and smaller than the one before, each held while the next decodes: the
  // section kept for the next picture takes only one that fits it.
  struct TSize {
    std::uint8_t Fill;
    std::uint32_t Bytes;
  } const sizes[] = {{0x31, 5u << 20}, {0x42, 3u << 19}, {0x53, 5u << 20}, {0x64, 1u << 20}, {0x75, 3u << 19}};
  std::vector<std::pair<platform::TLocalHandle, TSize>> held;
  for (const TSize& size : sizes) {
    held.emplace_back(decode(size.Fill, size.Bytes), size);
    if (held.size() > 2) {
      EXPECT_TRUE(intact(held.front().first, held.front().second.Fill, held.front().second.Bytes));
      platform::LocalFree(held.front().first);
      held.erase(held.begin());
    }
  }
  for (const auto& [block, size] : held) {
    EXPECT_TRUE(intact(block, size.Fill, size.Bytes)) << int(size.Fill);
    platform::LocalFree(block);
  }
  {
    // A job's source read into the section the hosts are sent stays its own while a job
    // inside it decodes other bytes.
    const TPluginHost::TJobSource outer;
    const TBytes s = source(0x17);
    auto* buffer = static_cast<std::uint8_t*>(TPluginHost::TJobSource::Buffer(s.size()));
    ASSERT_NE(buffer, nullptr);
    std::copy(s.begin(), s.end(), buffer);
    platform::LocalFree(decodeAt(buffer, s.size(), 0x17));
    {
      const TPluginHost::TJobSource inner;
      EXPECT_EQ(TPluginHost::TJobSource::Buffer(s.size()), nullptr);
      platform::LocalFree(decode(0x28));
    }
    platform::LocalFree(decodeAt(buffer, s.size(), 0x17));
  }
  TPluginHost::ReleaseSource();
  EXPECT_EQ(OpenHandles(), handles) << "a section left open";
  EXPECT_EQ(LiveLocalBlocks(), blocks);
}

// What the hosts answered is kept between runs: a second start registers unchanged
// plug-ins as the first did without starting a host, and the first call starts one. A
// changed plug-in, or a cache file that is damaged, means asking the host again (and the
// file is made good); a plug-in that crashed is never kept.
TEST_F(OutOfProcess, ASecondStartRegistersUnchangedPluginsWithoutAHost) {
  const std::filesystem::path cacheFolder = Folder.Path() / "cache";
  Spis.HostCacheFolder = cacheFolder;
  const auto cacheFile = [&] {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(cacheFolder)) files.push_back(e.path());
    return files.size() == 1 ? files[0] : std::filesystem::path();
  };
  const auto bytesOf = [](const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const auto write = [](const std::filesystem::path& file, const TBytes& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<std::streamsize>(bytes.size()));
  };
  // A start: the registry made afresh, the host started (or not) by the search.
  const auto start = [&] {
    Spis.Clear();
    Skips.clear();
    for (const std::string& pattern : platform::PluginFilePatterns()) Spis.ScanFolder(Folder.Folder(), pattern);
    Spis.SaveHostCaches();
    return Spis.Host()->Starts();
  };
  Folder.Put("bad-infocrash", Named("a-crash"));
  Folder.Put("bad-marked", Named("b-good"));
  Folder.Put("pngtif", Named("c-png"));
  ASSERT_EQ(start(), 2) << "the crash at start-up costs its host";
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  const std::vector<std::string> skips = Skips;
  ASSERT_EQ(skips.size(), 1u);
  const std::filesystem::path cache = cacheFile();
  ASSERT_FALSE(cache.empty());
  const TBytes good = bytesOf(cache);

  const std::filesystem::path png = Folder.Path() / Utf8ToPath(Named("c-png"));
  struct TCase {
    const char* Name;
    std::function<void()> Change;
    int Starts;  // by the search
  } cases[] = {
      // Only the crashing plug-in is asked again (and crashes again).
      {"unchanged", [] {}, 1},
      {"a plug-in written since",
       [&] { std::filesystem::last_write_time(png, std::filesystem::last_write_time(png) + std::chrono::seconds(2)); },
       2},
      {"another version's file", [&] { TBytes b = good; b[7] ^= 1; write(cache, b); }, 2},
      {"cut short", [&] { write(cache, TBytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2))); }, 2},
      {"a text longer than its buffer",
       [&] {
         // The first record's information length (after the magic, the count, the path,
         // size, time, entry points and reported path) made 0: every text is too long.
         TBytes b = good;
         std::size_t at = 12;
         std::uint32_t n = 0;
         std::memcpy(&n, &b[at], 4);
         at += 4 + n + 8 + 8 + 4;
         std::memcpy(&n, &b[at], 4);
         at += 4 + n;
         std::memset(&b[at], 0, 4);
         write(cache, b);
       },
       2},
      {"a count beyond the end", [&] { TBytes b = good; b[8] = b[9] = b[10] = b[11] = 0xFF; write(cache, b); }, 2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Spis.Clear();  // no host holds a plug-in's file while it is changed
    c.Change();
    EXPECT_EQ(start(), c.Starts);
    EXPECT_EQ(Lines(), lines);
    EXPECT_EQ(Skips, skips);
    // Made good again: the next start asks only the crashing plug-in.
    EXPECT_EQ(start(), 1);
    EXPECT_EQ(Lines(), lines);
  }

  // Registered from the cache, the first call starts a host and decodes as ever.
  ASSERT_EQ(start(), 1);
  TBytes pixels;
  const TBytes source = Bad("cache");
  EXPECT_EQ(Load(source, &pixels), "");
  EXPECT_EQ(pixels, TBytes(source.begin() + 4, source.end()));
  EXPECT_EQ(Spis.Host()->Starts(), 2);

  // A file replaced behind the cache's back (same size, same time) that no longer loads:
  // that plug-in's calls fail with the reason.
  const std::filesystem::path marked = Folder.Path() / Utf8ToPath(Named("b-good"));
  Spis.Clear();  // the hosts end, and let go of the file (Windows keeps a loaded DLL's file)
  const auto time = std::filesystem::last_write_time(marked);
  const auto size = std::filesystem::file_size(marked);
  write(marked, TBytes(static_cast<std::size_t>(size), 0));
  std::filesystem::last_write_time(marked, time);
  ASSERT_EQ(std::filesystem::file_size(marked), size);
  ASSERT_EQ(start(), 1);
  ASSERT_EQ(Lines(), lines);
  EXPECT_EQ(Load(source), "Susie Plugins could not decode\n" + Named("b-good") + ": the plug-in cannot be loaded any more");
}

}  // namespace
