#include <gtest/gtest.h>

#include <algorithm>

#include "app/PluginPolicy.h"
#include "graphics/Graphic.h"
#include "platform/Folders.h"
#include "platform/Library.h"
#include "rtl/Text.h"
#include "spi/SPIBmp.h"
#include "spi/SPITestSupport.h"
#include "spi/SPIVxDIB.h"
#include "spi/SPIs.h"

namespace {

// The picture registry only grows; a case looks at what was appended during it.
class TRegistrations {
public:
  TRegistrations() : FStart(TPicture::FileFormats().size()) {}
  std::vector<std::string> Of(const TClass& cls) const {
    std::vector<std::string> out;
    const auto& all = TPicture::FileFormats();
    for (std::size_t i = FStart; i < all.size(); ++i)
      if (all[i].GraphicClass == &cls) out.push_back(all[i].Extension + "=" + all[i].Description);
    return out;
  }
  std::size_t Count() const { return TPicture::FileFormats().size() - FStart; }

private:
  std::size_t FStart;
};

std::vector<std::string> Names(const TSPIs& spis) {
  std::vector<std::string> names;
  for (int i = 0; i < spis.Count(); ++i) names.push_back(PathToUtf8(spis.Items(i)->FileName().filename()));
  return names;
}

class Registry : public ::testing::Test {
protected:
  TPluginFolder Folder;  // first: the libraries are unloaded before their files go
  TRegistrations Registered;
  std::vector<std::string> Skips;
  TSPIs Spis;
  Registry() {
    Spis.OnSkip = [this](TObject*, const std::string& file, const std::string& reason) {
      Skips.push_back(ExtractFileName(file) + ": " + reason);
    };
  }
};

TEST_F(Registry, TheProgramsPolicyRefusesByNameKeepsImportFiltersAndRegistersTheRest) {
  Folder.Put("bmp", "ifbmp.spi");
  Folder.Put("pngtif", "ifpng.spi");
  Folder.Put("archiver", "axarc.spi");
  ApplyMainFormPluginSettings(Spis);
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  EXPECT_EQ(Names(Spis), std::vector<std::string>{"ifpng.spi"});
  EXPECT_EQ(Registered.Of(TSPIVxDIB::ClassInfo()), std::vector<std::string>{"tif=PNG and TIFF images"});
  EXPECT_EQ(Registered.Count(), 1u);
  std::sort(Skips.begin(), Skips.end());
  EXPECT_EQ(Skips, (std::vector<std::string>{"axarc.spi: not kept: API version \"00AM\"", "ifbmp.spi: refused by name"}));
}

TEST_F(Registry, WithoutHandlersEveryLoadablePluginStaysAndRegistersWithTheDefaultClass) {
  Folder.Put("bmp", "ifbmp.spi");
  Folder.Put("archiver", "axarc.spi");
  Folder.Put("xn", "xn.spi");
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  EXPECT_EQ(Spis.Count(), 3);
  ASSERT_EQ(TSPIs::DefaultGraphicClass(), &TSPIBitmap::ClassInfo());
  EXPECT_EQ(Registered.Of(TSPIBitmap::ClassInfo()), std::vector<std::string>{"bmp=BMP images"});
  EXPECT_EQ(Registered.Count(), 1u) << "only import filters register formats";
}

TEST_F(Registry, EntriesSplitFromTheRightAndTheClassCarriesOverWithinAnEntry) {
  struct TCase {
    const char* Variant;
    const char* Refused;  // the extension for which the handler sets no class
    std::vector<std::string> Offered, Registered;
  };
  const TCase cases[] = {
      // jpeg is offered first; jpg then starts with the none that the handler left.
      {"jpeg", "jpeg", {"jpeg", "jpg"}, {}},
      {"jpeg", "jpg", {"jpeg", "jpg"}, {"jpeg=JPEG images"}},
      // A trailing semicolon offers an empty extension first; each entry starts afresh.
      {"tiffs", "", {"", "tif", "tiff"}, {"tiff=TIFF long"}},
      {"tiffs", "none", {"", "tif", "tiff"}, {"=TIFF images", "tif=TIFF images", "tiff=TIFF long"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Variant) + " refusing [" + c.Refused + "]");
    TRegistrations registered;
    std::vector<std::string> offered;
    Spis.OnPictureRegister = [&](TObject* sender, TInSPI* aspi, const std::string& ext, const std::string&,
                                 const TClass*& cls) {
      EXPECT_EQ(sender, &Spis);
      EXPECT_NE(aspi, nullptr);
      offered.push_back(ext);
      if (ext == c.Refused) cls = nullptr;
    };
    Spis.Add(CreatePluginModule(TestPlugin(c.Variant)));
    EXPECT_EQ(offered, c.Offered);
    EXPECT_EQ(registered.Of(TSPIBitmap::ClassInfo()), c.Registered);
    Spis.Clear();
  }
}

TEST_F(Registry, TheSameFolderSearchedTwiceLoadsEachPluginOnceAndAsksAgainAboutRefusals) {
  Folder.Put("pngtif", "ifpng.spi");
  Folder.Put("bmp", "IFBMP.SPI");
  std::vector<std::string> asked;
  Spis.OnSearching = [&](TObject* sender, const std::string& file, bool& accept) {
    EXPECT_EQ(sender, &Spis);
    asked.push_back(ExtractFileName(file));
    SPIsSearching(sender, file, accept);
  };
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  EXPECT_EQ(Names(Spis), std::vector<std::string>{"ifpng.spi"});
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::string>{"IFBMP.SPI", "IFBMP.SPI", "ifpng.spi"}));
  EXPECT_EQ(Spis.IndexOfFile(AsciiUpper(Folder.Folder() + "ifpng.spi")), 0) << "case is ignored";
  EXPECT_EQ(Spis.IndexOfFile(Folder.Folder() + "other.spi"), -1);
}

// The first plug-in that reads a file decodes it, so a folder's plug-ins are tried in the
// order NTFS lists them on every file system: case ignored, "_" after the letters.
TEST_F(Registry, AFoldersPluginsAreKeptInTheOrderNtfsListsThem) {
  for (const char* name : {"c.spi", "_z.spi", "B.spi", "e.spi", "a.spi", "f.spi", "D.spi", "ab.spi"})
    Folder.Put("bmp", name);
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  EXPECT_EQ(Names(Spis), (std::vector<std::string>{"a.spi", "ab.spi", "B.spi", "c.spi", "D.spi", "e.spi", "f.spi",
                                                   "_z.spi"}));
}

TEST_F(Registry, APluginLackingARequiredEntryPointIsSkippedAndTheSearchGoesOn) {
  const std::string broken = Folder.Put("nopicture", "a-broken.spi");
  Folder.Put("notspi", "b-notspi.spi");
  Folder.Put("pngtif", "c-good.spi");
  WriteAllBytes(Folder.Path() / "d-text.spi", {1, 2, 3});
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  EXPECT_EQ(Names(Spis), std::vector<std::string>{"c-good.spi"});
  std::sort(Skips.begin(), Skips.end());
  ASSERT_EQ(Skips.size(), 3u);
  EXPECT_EQ(Skips[0], "a-broken.spi: GetPictureは[" + broken + "]では使えないSusie Plugin APIです");
  EXPECT_EQ(Skips[1].rfind("b-notspi.spi: GetPluginInfoは[", 0), 0u) << Skips[1];
  EXPECT_EQ(Skips[2], "d-text.spi: " + Folder.Folder() + "d-text.spi:Susie Pluginがロードできませんでした");
}

TEST_F(Registry, AFailingHandlerLeavesThatModuleOutAndTheScanGoesOn) {
  Folder.Put("pngtif", "a.spi");
  Folder.Put("bmp", "b.spi");
  Folder.Put("jpeg", "c.spi");
  Spis.OnSearch = [](TObject*, TSPI* aspi, bool&) {
    if (aspi->Description() == "Tavex test BMP") throw Exception("search handler failed");
  };
  Spis.OnPictureRegister = [](TObject*, TInSPI*, const std::string& ext, const std::string&, const TClass*&) {
    if (ext == "jpg") throw Exception("register handler failed");
  };
  Spis.ScanFolder(Folder.Folder(), "*.spi");
  EXPECT_EQ(Names(Spis), std::vector<std::string>{"a.spi"});
  std::sort(Skips.begin(), Skips.end());
  EXPECT_EQ(Skips, (std::vector<std::string>{"b.spi: search handler failed", "c.spi: register handler failed"}));
  // Registered before the failure; a registration is never withdrawn early.
  std::vector<std::string> registered = Registered.Of(TSPIBitmap::ClassInfo());
  std::sort(registered.begin(), registered.end());
  EXPECT_EQ(registered,
            (std::vector<std::string>{"jpeg=JPEG images", "png=PNG and TIFF images", "tif=PNG and TIFF images"}));
}

TEST_F(Registry, AFailingSearchingHandlerEndsTheSearch) {
  Folder.Put("pngtif", "a.spi");
  Spis.OnSearching = [](TObject*, const std::string&, bool&) { throw Exception("searching handler failed"); };
  EXPECT_EQ(MessageOf<Exception>([&] { Spis.ScanFolder(Folder.Folder(), "*.spi"); }), "searching handler failed");
  EXPECT_EQ(Spis.Count(), 0);
}

TEST_F(Registry, CollectPluginsPutsTheDeclaringKindsFirstInReverseOrder) {
  for (const char* variant : {"bmp", "jpeg", "archiver", "pngtif", "tiffs"}) Spis.Add(CreatePluginModule(TestPlugin(variant)));
  auto collect = [&](const std::vector<const TClass*>& kinds, const std::string& file) {
    std::vector<TSPI*> found;
    Spis.CollectPlugins(kinds, found, file);
    std::vector<std::string> names;
    for (TSPI* m : found) names.push_back(PathToUtf8(m->FileName().stem()));
    return names;
  };
  const std::vector<const TClass*> in{&TInSPI::ClassInfo()};
  // Only an entry's last pattern counts: .jpeg declares, .jpg does not; ".tif;" has none.
  EXPECT_EQ(collect(in, "photo.JPEG"), (std::vector<std::string>{"jpeg", "bmp", "pngtif", "tiffs"}));
  EXPECT_EQ(collect(in, "photo.jpg"), (std::vector<std::string>{"bmp", "jpeg", "pngtif", "tiffs"}));
  EXPECT_EQ(collect(in, "scan.tif"), (std::vector<std::string>{"pngtif", "bmp", "jpeg", "tiffs"}));
  EXPECT_EQ(collect(in, "scan.tiff"), (std::vector<std::string>{"tiffs", "bmp", "jpeg", "pngtif"}));
  EXPECT_EQ(collect(in, "noextension"), (std::vector<std::string>{"bmp", "jpeg", "pngtif", "tiffs"}));
  const std::vector<const TClass*> loaders{&TLoaderSPI::ClassInfo()};
  EXPECT_EQ(collect(loaders, "a.arc"), (std::vector<std::string>{"archiver", "bmp", "jpeg", "pngtif", "tiffs"}));
  EXPECT_EQ(collect({&TAmSPI::ClassInfo()}, "a.png"), std::vector<std::string>{"archiver"});
}

TEST_F(Registry, InsertAndDeleteKeepTheListInOrder) {
  Spis.Add(CreatePluginModule(TestPlugin("bmp")));
  Spis.Insert(0, CreatePluginModule(TestPlugin("jpeg")));
  Spis.Insert(1, CreatePluginModule(TestPlugin("xn")));
  EXPECT_EQ(Names(Spis), (std::vector<std::string>{"jpeg.spi", "xn.spi", "bmp.spi"}));
  Spis.Delete(1);
  EXPECT_EQ(Names(Spis), (std::vector<std::string>{"jpeg.spi", "bmp.spi"}));
  EXPECT_THROW(Spis.Delete(2), EAssertionFailed);
  Spis.Clear();
  EXPECT_EQ(Spis.Count(), 0);
}

TEST_F(Registry, SearchScansTheMasksFolderOnlyOrTheOptionsPlacesForEachPattern) {
  Folder.Put("pngtif", "one.spi");
  Folder.Put("bmp", "TWO.SPI");
  Folder.Put("jpeg", "three.sph");
  std::filesystem::create_directory(Folder.Path() / "sub.spi");
  Spis.SearchOptions = {};
  Spis.Search(Folder.Folder() + "one.*");
  EXPECT_EQ(Names(Spis), std::vector<std::string>{"one.spi"});
  Spis.Clear();

  // The current folder as the only place: the patterns of this build, in their order.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(Folder.Path());
  Spis.SearchOptions = {spsCurrentDir};
  Spis.Search(platform::PluginFilePatterns());
  std::filesystem::current_path(previous);
  std::vector<std::string> names = Names(Spis);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return AsciiLower(a) < AsciiLower(b); });
  std::vector<std::string> want{"one.spi", "TWO.SPI"};
  if (platform::PluginFilePatterns().size() == 2) {
    want.insert(want.begin() + 1, "three.sph");
    EXPECT_EQ(AsciiLower(ExtractFileExt(PathToUtf8(Spis.Items(2)->FileName()))), ".sph") << "*.sph comes second";
  }
  EXPECT_EQ(names, want);
}

TEST(RegistryInstance, ASecondRegistryFailsAndTheFirstKeepsWorking) {
  TPluginFolder folder;
  folder.Put("bmp", "b.spi");
  ASSERT_EQ(TSPIs::Instance(), nullptr);
  {
    TSPIs first;
    EXPECT_EQ(TSPIs::Instance(), &first);
    EXPECT_EQ(MessageOf<ESPIDupCreateSPIs>([] { TSPIs second; }), "TSPIs は複数生成できません");
    EXPECT_EQ(TSPIs::Instance(), &first);
    {
      // Registries being designed may be many, and none is the instance.
      TSPIs designed(nullptr, true);
      EXPECT_EQ(TSPIs::Instance(), &first);
      TRegistrations registered;
      designed.Add(CreatePluginModule(TestPlugin("bmp")));
      EXPECT_EQ(registered.Count(), 0u) << "nothing registers while designing";
      designed.Loaded();
      EXPECT_EQ(designed.Count(), 1);
    }
    first.ScanFolder(folder.Folder(), "*.spi");
    EXPECT_EQ(first.Count(), 1);
  }
  EXPECT_EQ(TSPIs::Instance(), nullptr);
}

TEST(RegistryInstance, AFreshRegistryHasTheDesignedDefaults) {
  TSPIs spis;
  EXPECT_TRUE(spis.MacBinary);
  EXPECT_TRUE(spis.AutoSearch);
  EXPECT_FALSE(spis.GraphicPreview);
  EXPECT_EQ(spis.SearchOptions.Bits(), 0b11);
  ApplyMainFormPluginSettings(spis);
  EXPECT_EQ(spis.SearchOptions.Bits(), 0b11111);
  spis.AutoSearch = false;
  spis.Loaded();
  EXPECT_EQ(spis.Count(), 0);
}

TEST(PluginPolicy, NamesAndExtensions) {
  for (const char* name : {"IFHG.SPI", "ifbmp.spi", "IfGif.Spi", "IFPLY.SPI", "if3ds.spi", "ifmm.spi"}) {
    bool accept = true;
    SPIsSearching(nullptr, AppendBackslash("plugins") + name, accept);
    EXPECT_FALSE(accept) << name;
  }
  for (const char* name : {"ifpng.spi", "ifbmp.sph", "xifbmp.spi"}) {
    bool accept = true;
    SPIsSearching(nullptr, AppendBackslash("plugins") + name, accept);
    EXPECT_TRUE(accept) << name;
  }
  for (const char* ext : {"jpg", "JPEG", "ico", "Bmp", "png", "gif"}) {
    const TClass* cls = &TSPIBitmap::ClassInfo();
    SPIsPictureRegister(nullptr, nullptr, ext, "", cls);
    EXPECT_EQ(cls, nullptr) << ext;
  }
  for (const char* ext : {"tif", "jpe", "", "pngx"}) {
    const TClass* cls = nullptr;
    SPIsPictureRegister(nullptr, nullptr, ext, "", cls);
    EXPECT_EQ(cls, &TSPIVxDIB::ClassInfo()) << ext;
  }
}

}  // namespace
