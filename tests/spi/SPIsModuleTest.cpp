#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/Library.h"
#include "platform/LocalMemory.h"
#include "platform/Locale.h"
#include "rtl/Text.h"
#include "spi/SPITestSupport.h"
#include "spi/SPIs.h"

namespace {

TEST(SPIFactory, MakesTheKindTheVersionNamesAndReadsTheInformation) {
  struct TCase {
    const char* Variant;
    const TClass* Kind;
    const char* Version;
    std::vector<std::string> Filters, Descriptions;
  };
  const TCase cases[] = {
      {"pngtif", &TInSPI::ClassInfo(), "00IN", {"*.png;*.tif"}, {"PNG and TIFF images"}},
      {"tiffs", &TInSPI::ClassInfo(), "00IN", {"*.tif;", "*.tiff"}, {"TIFF images", "TIFF long"}},
      {"archiver", &TAmSPI::ClassInfo(), "00AM", {"*.arc"}, {"archives"}},
      {"xn", &TXnSPI::ClassInfo(), "00XN", {}, {}},
      // Exact comparison: neither case nor a trailing space is forgiven.
      {"lower", &TSPI::ClassInfo(), "00in", {"*.low"}, {"low"}},
      {"space", &TSPI::ClassInfo(), "00IN ", {"*.spc"}, {"space"}},
      // Entry 2 without entry 3 ends the list; entries 4 and 5 are never read.
      {"gapped", &TInSPI::ClassInfo(), "00IN", {}, {}},
      {"nopreview", &TInSPI::ClassInfo(), "00IN", {"*.npv"}, {"npv"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Variant);
    const auto module = CreatePluginModule(TestPlugin(c.Variant));
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(&module->ClassType(), c.Kind) << module->ClassName();
    EXPECT_EQ(module->APIVersion(), c.Version);
    EXPECT_EQ(module->Filters(), c.Filters);
    EXPECT_EQ(module->FilterDescriptions(), c.Descriptions);
    EXPECT_TRUE(platform::SameTextLocale(PathToUtf8(module->FileName()), PathToUtf8(TestPlugin(c.Variant))))
        << PathToUtf8(module->FileName());
  }
}

TEST(SPIFactory, AMissingRequiredEntryPointRaisesWithItsNameAndThePath) {
  struct TCase {
    const char* Variant;
    const char* Missing;
  };
  const TCase cases[] = {{"nopicture", "GetPicture"}, {"notspi", "GetPluginInfo"}};
  for (const TCase& c : cases) {
    const std::string path = PathToUtf8(TestPlugin(c.Variant));
    const std::string message = MessageOf<ESPIInvalidAPI>([&] { CreatePluginModule(TestPlugin(c.Variant)); });
    EXPECT_EQ(message, std::string(c.Missing) + "は[" + path + "]では使えないSusie Plugin APIです");
  }
}

TEST(SPIFactory, ALibraryThatWillNotLoadGivesNoModule) {
  TPluginFolder folder;
  WriteAllBytes(folder.Path() / "text.spi", {'n', 'o', 't', ' ', 'a', ' ', 'D', 'L', 'L'});
  const std::string missing = folder.Folder() + "missing.spi";
  for (const std::string& path : {folder.Folder() + "text.spi", missing}) {
    std::string reason;
    EXPECT_EQ(CreatePluginModule(Utf8ToPath(path), &reason), nullptr);
    EXPECT_EQ(reason, path + ":Susie Pluginがロードできませんでした");
  }
  EXPECT_EQ(MessageOf<ESPIFOpenErrorSPI>([&] { TSPI::Create(Utf8ToPath(missing)); }),
            missing + ":Susie Pluginがロードできませんでした");
}

TEST(SPIModule, AnOperationWhoseEntryPointIsMissingRaisesAtTheCall) {
  const auto module = CreatePluginModule(TestPlugin("nopreview"));
  ASSERT_NE(module, nullptr);
  platform::TLocalHandle info = nullptr, pixels = nullptr;
  EXPECT_EQ(MessageOf<ESPIInvalidAPI>([&] { module->GetPreview("x", 1, 1, &info, &pixels, nullptr, 0); }),
            "GetPreviewは[" + PathToUtf8(module->FileName()) + "]では使えないSusie Plugin APIです");
  const auto xn = CreatePluginModule(TestPlugin("xn"));
  ASSERT_NE(xn, nullptr);
  EXPECT_EQ(MessageOf<ESPIInvalidAPI>([&] { xn->IsSupported("a", "TVX1"); }),
            "IsSupportedは[" + PathToUtf8(xn->FileName()) + "]では使えないSusie Plugin APIです");
}

// The plug-in's progress step is the length argument; it passes the user value back.
struct TProgressSeen {
  int Step = -1, Steps = -1;
  TSPILength Value = 0;
  int Answer = 0;
};
TProgressSeen* GProgress = nullptr;
int TAVEX_WINAPI RecordProgress(int step, int steps, TSPILength value) {
  GProgress->Step = step;
  GProgress->Steps = steps;
  GProgress->Value = value;
  return GProgress->Answer;
}

TEST(SPIModule, GetPicturePassesItsArgumentsUnchangedAndHandsBackLocalBlocks) {
  const auto module = CreatePluginModule(TestPlugin("pngtif"));
  ASSERT_NE(module, nullptr);
  // Pointer-sized in 64 bits: a value above 32 bits must arrive whole.
  const TSPILength value = sizeof(void*) == 8 ? static_cast<TSPILength>(0x123456789LL) : 0x12345678;
  for (int answer : {0, 1}) {
    TProgressSeen seen;
    seen.Answer = answer;
    GProgress = &seen;
    platform::TLocalHandle info = nullptr, pixels = nullptr;
    const int result = module->GetPicture("TVX1", 7, 1, &info, &pixels, RecordProgress, value);
    platform::TLocalMemory infoBlock(info), pixelBlock(pixels);
    EXPECT_EQ(seen.Step, 7);
    EXPECT_EQ(seen.Steps, 2);
    EXPECT_EQ(seen.Value, value);
    if (answer) {
      EXPECT_EQ(result, 1) << "a nonzero answer aborts";
      continue;
    }
    ASSERT_EQ(result, 0);
    EXPECT_EQ(infoBlock.Size(), 40u);
    platform::TLocalLock lock(pixels);
    ASSERT_NE(lock.Get(), nullptr);
    EXPECT_EQ(std::memcmp(lock.Get(), "\x0A\x14\x1E", 3), 0);
  }
  GProgress = nullptr;
  EXPECT_NE(module->IsSupported("", "TVX1"), 0);
  EXPECT_EQ(module->IsSupported("", "TVX2"), 0);
}

TEST(SPIPictureInfo, TheTextHandleIsTakenWhereverItIsALiveBlock) {
  std::vector<const char*> variants = {"packed"};
  if (sizeof(void*) == 8) variants.push_back("aligned");
  for (const char* variant : variants) {
    SCOPED_TRACE(variant);
    const auto module = CreatePluginModule(TestPlugin(variant));
    ASSERT_NE(module, nullptr);
    TSPIPictureInfo info;
    ASSERT_EQ(module->GetPictureInfo("TVX1", 640, 1u, info), 0);
    platform::TLocalMemory text(info.Info);
    EXPECT_EQ(info.Left, 1);
    EXPECT_EQ(info.Top, 2);
    EXPECT_EQ(info.Width, 640);
    EXPECT_EQ(info.Height, 5);
    EXPECT_EQ(info.XDensity, 72);
    EXPECT_EQ(info.YDensity, 96);
    EXPECT_EQ(info.ColorDepth, 24);
    ASSERT_EQ(text.Size(), 9u);
    platform::TLocalLock lock(text.Get());
    EXPECT_STREQ(static_cast<const char*>(lock.Get()), "TVX info");
  }
}

TEST(SPIPictureInfo, RecordBytesOfEitherLayout) {
  platform::TLocalMemory block(platform::LocalAllocMoveable(16));
  ASSERT_TRUE(block);
  platform::TLocalHandle live = block.Get();
  // A value that is no block: never to be taken, let alone freed.
  platform::TLocalHandle dead = reinterpret_cast<platform::TLocalHandle>(static_cast<std::uintptr_t>(0x5A5A5A50));
  struct TCase {
    const char* Name;
    std::size_t Offset;  // where the handle is written; 0 for none
    platform::TLocalHandle Handle;
    bool Taken;
  };
  std::vector<TCase> cases = {{"packed, live", 22, live, true},
                              {"packed, not a block", 22, dead, false},
                              {"no handle", 0, nullptr, false}};
  if (sizeof(void*) == 8) {
    cases.push_back({"aligned, live", 24, live, true});
    cases.push_back({"aligned, not a block", 24, dead, false});
  }
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    unsigned char buffer[SPIPictureInfoBufferSize] = {};
    const unsigned char fields[22] = {0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 0x20, 0x03, 0, 0,
                                      0x58, 0x02, 0, 0, 72, 0, 0x2C, 0x01, 8, 0};
    std::memcpy(buffer, fields, sizeof fields);
    if (c.Offset) std::memcpy(buffer + c.Offset, &c.Handle, sizeof c.Handle);
    const TSPIPictureInfo info = ReadPictureInfoRecord(buffer, sizeof buffer);
    EXPECT_EQ(info.Left, -2);
    EXPECT_EQ(info.Top, 3);
    EXPECT_EQ(info.Width, 800);
    EXPECT_EQ(info.Height, 600);
    EXPECT_EQ(info.XDensity, 72);
    EXPECT_EQ(info.YDensity, 300);
    EXPECT_EQ(info.ColorDepth, 8);
    EXPECT_EQ(info.Info, c.Taken ? live : nullptr);
  }
  EXPECT_EQ(ReadPictureInfoRecord(nullptr, 0).Info, nullptr);
}

TEST(PlatformLibrary, ALibraryLoadedTwiceHoldsTwoReferences) {
  platform::TLibrary first = platform::TLibrary::Open(TestPlugin("pngtif"));
  ASSERT_TRUE(first);
  platform::TLibrary second = platform::TLibrary::Open(TestPlugin("pngtif"));
  ASSERT_TRUE(second);
  EXPECT_EQ(first.Get(), second.Get());
  auto info = reinterpret_cast<TSPIGetPluginInfoProc>(second.Symbol("GetPluginInfo"));
  ASSERT_NE(info, nullptr);
  first.Reset();
  // Still loaded through the second reference: the entry point still answers.
  char buffer[8] = {};
  EXPECT_EQ(info(0, buffer, sizeof buffer), 4);
  EXPECT_STREQ(buffer, "00IN");
  EXPECT_EQ(second.Symbol("NoSuchEntry"), nullptr);
  EXPECT_FALSE(platform::TLibrary::Open(TestPlugin("no-such-plugin")));
}

// Under a Japanese Windows (ANSI code page 932) plug-in texts are Shift_JIS bytes, and so
// are the names handed to plug-ins; a folder named in Japanese loads through the wide call.
TEST(SPIAnsiText, ShiftJisTextsAndNamesUnderCodePage932) {
  const bool cp932 = Utf8ToAnsi("テスト") == "\x83\x65\x83\x58\x83\x67";
  if (!cp932) {
    ASSERT_EQ(std::getenv("TAVEX_EXPECT_ACP"), nullptr) << "this run was meant to use ANSI code page 932";
    GTEST_SKIP() << "the ANSI code page is not 932";
  }
  TPluginFolder folder;
  std::filesystem::create_directory(folder.Path() / Utf8ToPath("プラグイン"));
  const std::filesystem::path target = folder.Path() / Utf8ToPath("プラグイン") / Utf8ToPath("テスト.spi");
  std::filesystem::copy_file(TestPlugin("sjis"), target);
  {
    const auto module = CreatePluginModule(target);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->Description(), "\x83\x65\x83\x58\x83\x67");
    EXPECT_EQ(module->FilterDescriptions(), std::vector<std::string>{"テスト PNG"});
    const std::string name = Utf8ToAnsi(PathToUtf8(folder.Path() / Utf8ToPath("テスト.png")));
    EXPECT_NE(module->IsSupported(name.c_str(), "TVX1"), 0);
    EXPECT_EQ(module->IsSupported("test.png", "TVX1"), 0);
  }
}

}  // namespace

namespace {

TEST(PlatformLocalMemory, TheOwnerFreesOnceAndTheLockGuardReachesTheBytes) {
  platform::TLocalMemory first(platform::LocalAllocMoveable(8));
  ASSERT_TRUE(first);
  const platform::TLocalHandle handle = first.Get();
  {
    platform::TLocalLock lock(handle);
    ASSERT_NE(lock.Get(), nullptr);
    std::memcpy(lock.Get(), "TVX", 4);
  }
  platform::TLocalMemory second(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_EQ(second.Size(), 8u);
  {
    platform::TLocalLock lock(second.Get());
    EXPECT_STREQ(static_cast<const char*>(lock.Get()), "TVX");
  }
  second.Reset();
  EXPECT_FALSE(second);
  EXPECT_EQ(platform::LocalSize(handle), 0u) << "freed by the owner";

  platform::TLocalMemory third(platform::LocalAllocMoveable(4));
  const platform::TLocalHandle kept = third.Release();
  EXPECT_EQ(platform::LocalSize(kept), 4u) << "released, not freed";
  EXPECT_TRUE(platform::LocalFree(kept));
  platform::TLocalLock none(nullptr);
  EXPECT_EQ(none.Get(), nullptr);
}

}  // namespace
