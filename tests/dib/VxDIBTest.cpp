#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dib/BmpBuilder.h"
#include "dib/DIBTestSupport.h"
#include "dib/VxDIB.h"
#include "graphics/Clipboard.h"
#include "platform/Clipboard.h"
#include "platform/Palette.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An 8-bit picture of w x h whose pixel (x, y from the top) is index x + 10 y, with a
// table of n ramp colours.
TBmpBuilder Indexed8(int w, int h, int n, bool topDown = false) {
  TBmpBuilder b;
  b.Width = w;
  b.Height = topDown ? -h : h;
  b.BitCount = 8;
  b.ClrUsed = static_cast<std::uint32_t>(n);
  b.Palette = TBmpBuilder::RampPalette(n);
  b.Pixels = TBmpBuilder::Rows(w, h, 8, [&](int x, int r) {
    const int y = topDown ? r : h - 1 - r;
    return static_cast<std::uint32_t>(x + 10 * y);
  });
  return b;
}

std::vector<platform::TPaletteEntry> Entries(TPaletteHandle palette) {
  std::vector<platform::TPaletteEntry> e(256);
  e.resize(static_cast<std::size_t>(platform::GetPaletteEntries(palette, 0, 256, e.data())));
  return e;
}

// ---- construction and sharing -------------------------------------------------------------

TEST(TVxDIB, NewObjectIsOneByOneEightBitsWithABlackPalette) {
  TVxDIB dib;
  EXPECT_EQ(dib.Width(), 1);
  EXPECT_EQ(dib.Height(), 1);
  EXPECT_EQ(dib.BitCount(), 8);
  EXPECT_FALSE(dib.Empty());
  EXPECT_TRUE(dib.UseFMO());
  EXPECT_TRUE(dib.PaletteModified());
  EXPECT_FALSE(dib.Modified());
  EXPECT_EQ(dib.ConvertMethod(), cmLow);
  EXPECT_EQ(dib.MonoColor(), 0xFFFFFFu);
  EXPECT_EQ(dib.HalftoneMode(), hmNone);
  EXPECT_EQ(dib.PixelFormat(), vxpf8Bit);
  const auto entries = Entries(dib.Palette());
  ASSERT_EQ(entries.size(), 256u);
  for (const auto& e : entries) ASSERT_EQ(e, platform::TPaletteEntry{});
  EXPECT_EQ(dib.InternalDIB()->RefCount, 1);
}

TEST(TVxDIB, NewObjectTakesTheLibraryDefaultUseFMO) {
  SetDefaultUseFMO(false);
  TVxDIB heap;
  SetDefaultUseFMO(true);
  EXPECT_FALSE(heap.UseFMO());
  EXPECT_EQ(heap.InternalDIB()->DIB.MappingHandle, nullptr);
  heap.SetWidth(5);  // a replacing storage keeps the placement
  EXPECT_FALSE(heap.UseFMO());
}

TEST(TVxDIB, AssignSharesTheStorageAndCopiesTheSettings) {
  TVxDIB a, b;
  LoadBytes(b, Indexed8(4, 3, 16).Build());
  b.SetMonoColor(0x123456);
  b.SetConvertMethod(cmHigh);
  b.SetHalftoneMode(hmHalftoneBW);
  a.SetPaletteModified(false);
  a.Assign(&b);
  EXPECT_EQ(a.InternalDIB(), b.InternalDIB());
  EXPECT_EQ(b.InternalDIB()->RefCount, 2);
  EXPECT_EQ(a.MonoColor(), 0x123456u);
  EXPECT_EQ(a.ConvertMethod(), cmHigh);
  EXPECT_EQ(a.HalftoneMode(), hmHalftoneBW);
  EXPECT_TRUE(a.PaletteModified());
  EXPECT_TRUE(a.Modified());
  a.Assign(&a);  // itself: nothing
  EXPECT_EQ(b.InternalDIB()->RefCount, 2);
}

TEST(TVxDIB, SetPaletteAfterSharingChangesOnlyTheChangedObject) {
  TVxDIB a, b;
  LoadBytes(b, Indexed8(4, 3, 16).Build());
  a.Assign(&b);
  TVxInternalDIB* shared = b.InternalDIB();
  const platform::TPaletteEntry red{255, 0, 0, 0};
  a.SetPalette(platform::CreatePalette(&red, 1));
  EXPECT_NE(a.InternalDIB(), shared);
  EXPECT_EQ(shared->RefCount, 1);
  EXPECT_EQ(b.InternalDIB(), shared);
  EXPECT_EQ(shared->DIB.Header.biClrUsed, 16u);
  EXPECT_EQ(shared->DIB.ColorTable[0], (TVxRGBQuad{0, 255, 0, 0}));
  // A has the same pixels in a block of its own, and the new table.
  const TVxDIBRecord& ra = a.InternalDIB()->DIB;
  ASSERT_EQ(ra.BitsSize, shared->DIB.BitsSize);
  EXPECT_NE(ra.Bits, shared->DIB.Bits);
  EXPECT_EQ(std::memcmp(ra.Bits, shared->DIB.Bits, ra.BitsSize), 0);
  EXPECT_EQ(ra.Header.biClrUsed, 1u);
  EXPECT_EQ(ra.ColorTable[0], (TVxRGBQuad{0, 0, 255, 0}));
  EXPECT_EQ(a.Width(), 4);
  EXPECT_EQ(a.Height(), 3);
}

TEST(TVxDIB, AssignNilMakesADefaultImage) {
  TVxDIB a;
  SetDefaultUseFMO(false);
  a.SetWidth(7);
  SetDefaultUseFMO(true);
  a.SetModified(false);
  a.Assign(nullptr);
  EXPECT_EQ(a.Width(), 1);
  EXPECT_EQ(a.Height(), 1);
  EXPECT_EQ(a.BitCount(), 8);
  EXPECT_TRUE(a.Modified());
  EXPECT_TRUE(a.UseFMO());  // the object's own placement, not the library default
}

TEST(TVxDIB, UniqueDIBCopiesASharedStorageOnly) {
  TVxDIB a, b;
  TVxInternalDIB* own = a.InternalDIB();
  a.UniqueDIB();
  EXPECT_EQ(a.InternalDIB(), own);
  b.Assign(&a);
  b.UniqueDIB();
  EXPECT_NE(b.InternalDIB(), own);
  EXPECT_EQ(own->RefCount, 1);
  EXPECT_EQ(b.InternalDIB()->RefCount, 1);
  EXPECT_EQ(b.InternalDIB()->PaletteHandle, nullptr);
}

TEST(TVxDIB, UpdatePaletteModifiedOnASharedStorageIsAnAssertionFailure) {
  TVxDIB a, b;
  b.Assign(&a);
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { a.UpdatePaletteModified(); }),
            "TVxDIB.UpdatePaletteModified RefCount Must be 1");
}

// ---- size and depth ---------------------------------------------------------------------------

TEST(TVxDIB, SetWidthToTheSameWidthChangesNothing) {
  TVxDIB a;
  LoadBytes(a, Indexed8(4, 3, 16).Build());
  a.SetModified(false);
  TVxInternalDIB* before = a.InternalDIB();
  a.SetWidth(4);
  EXPECT_EQ(a.InternalDIB(), before);
  EXPECT_FALSE(a.Modified());
}

struct TParaCase {
  const char* Name;
  std::function<void(TVxDIB&)> Call;
  const char* Message;
  friend std::ostream& operator<<(std::ostream& os, const TParaCase& c) { return os << c.Name; }
};

class InvalidParameter : public ::testing::TestWithParam<TParaCase> {};

TEST_P(InvalidParameter, FailsWithItsMessageAndKeepsTheImage) {
  TVxDIB a;
  LoadBytes(a, Indexed8(4, 3, 16).Build());
  a.SetModified(false);
  TVxInternalDIB* before = a.InternalDIB();
  const TStorageSnapshot snapshot(*before);
  EXPECT_EQ(MessageOf<EVxDIBInvalidDIBPara>([&] { GetParam().Call(a); }), GetParam().Message);
  EXPECT_EQ(a.InternalDIB(), before);
  EXPECT_TRUE(snapshot.Matches(*before));
  EXPECT_FALSE(a.Modified());
}

INSTANTIATE_TEST_SUITE_P(
    TVxDIB, InvalidParameter,
    ::testing::Values(TParaCase{"WidthZero", [](TVxDIB& d) { d.SetWidth(0); }, "TVxDIB.SetWidth: Invalid Width"},
                      TParaCase{"WidthNegative", [](TVxDIB& d) { d.SetWidth(-3); }, "TVxDIB.SetWidth: Invalid Width"},
                      TParaCase{"HeightZero", [](TVxDIB& d) { d.SetHeight(0); }, "TVxDIB.SetHeight: Invalid Height"},
                      TParaCase{"BitCount16", [](TVxDIB& d) { d.SetBitCount(16); }, "TVxDIB.SetBitCount: Invalid BitCount"},
                      TParaCase{"BitCount32", [](TVxDIB& d) { d.SetBitCount(32); }, "TVxDIB.SetBitCount: Invalid BitCount"},
                      TParaCase{"BitCount0", [](TVxDIB& d) { d.SetBitCount(0); }, "TVxDIB.SetBitCount: Invalid BitCount"},
                      TParaCase{"WidthTooLarge", [](TVxDIB& d) { d.SetWidth(0x7FFFFFFF); },
                                "TVxInternalDIB.CreateDIB: Invalid Parameters"}),
    [](const auto& p) { return std::string(p.param.Name); });

TEST(TVxDIB, SetWidthMakesAFreshBottomUpImageKeepingDepthAndColourCount) {
  TVxDIB a;
  LoadBytes(a, Indexed8(4, 3, 16, true).Build());
  a.SetModified(false);
  a.SetWidth(9);
  const TVxDIBRecord& r = a.InternalDIB()->DIB;
  EXPECT_EQ(a.Width(), 9);
  EXPECT_EQ(r.Header.biHeight, 3);  // top-down became bottom-up
  EXPECT_EQ(r.Header.biBitCount, 8);
  EXPECT_EQ(r.Header.biClrUsed, 16u);
  EXPECT_EQ(r.ColorTable[1], (TVxRGBQuad{0, 0, 0, 0}));  // table black, pixels 0
  ASSERT_EQ(r.BitsSize, 36u);
  for (std::uint32_t i = 0; i < r.BitsSize; ++i) ASSERT_EQ(r.Bits[i], 0);
  EXPECT_TRUE(a.Modified());
  EXPECT_TRUE(a.PaletteModified());
}

TEST(TVxDIB, SetHeightWithTheOppositeSignMakesATopDownImage) {
  TVxDIB a;
  LoadBytes(a, Indexed8(2, 10, 4).Build());
  a.SetHeight(10);  // the absolute height: nothing
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biHeight, 10);
  a.SetHeight(-10);
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biHeight, -10);
  EXPECT_EQ(a.Height(), 10);
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biClrUsed, 4u);
}

TEST(TVxDIB, BitCount24GivesABlackImageWithoutATable) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  a.SetBitCount(24);
  EXPECT_EQ(a.BitCount(), 24);
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biClrUsed, 0u);
  EXPECT_EQ(a.Palette(), nullptr);
  EXPECT_EQ(a.InternalDIB()->DIB.BitsSize, 24u);
  a.SetBitCount(4);
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biClrUsed, 16u);
}

// ---- palettes ---------------------------------------------------------------------------------

TEST(TVxDIB, PaletteOfATwentyFourBitImageWithoutTableIsNull) {
  TVxDIB a;
  a.SetBitCount(24);
  EXPECT_EQ(a.Palette(), nullptr);
}

TEST(TVxDIB, PaletteIsCachedUntilTheTableChanges) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  const TPaletteHandle first = a.Palette();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(a.Palette(), first);
  const auto e = Entries(first);
  ASSERT_EQ(e.size(), 16u);
  EXPECT_EQ(e[3], (platform::TPaletteEntry{21, 252, 3, 0}));
  const platform::TPaletteEntry two[2] = {{1, 2, 3, 0}, {4, 5, 6, 0}};
  TPaletteHandle mine = platform::CreatePalette(two, 2);
  a.SetPalette(mine);  // the replaced cached handle is deleted (the leak checker sees it)
  EXPECT_EQ(a.Palette(), mine);
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biClrUsed, 2u);
  EXPECT_EQ(a.InternalDIB()->DIB.ColorTable[1], (TVxRGBQuad{6, 5, 4, 0}));
}

TEST(TVxDIB, NullPaletteEmptiesTheTableAndDropsTheCachedHandle) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  ASSERT_NE(a.Palette(), nullptr);
  a.SetPaletteModified(false);
  a.SetModified(false);
  a.SetPalette(nullptr);
  EXPECT_EQ(a.InternalDIB()->DIB.Header.biClrUsed, 0u);
  EXPECT_EQ(a.InternalDIB()->PaletteHandle, nullptr);
  EXPECT_EQ(a.Palette(), nullptr);
  EXPECT_TRUE(a.PaletteModified());
  EXPECT_TRUE(a.Modified());
}

TEST(TVxDIB, HandingBackTheCachedPaletteKeepsOneOwner) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  a.SetPalette(a.Palette());  // a double delete would show under the sanitizers
  EXPECT_EQ(Entries(a.Palette()).size(), 16u);
  TVxDIB b;
  b.Assign(&a);
  b.SetPalette(a.Palette());  // a's handle stays a's: b's copy makes its own
  EXPECT_NE(b.Palette(), a.Palette());
  EXPECT_EQ(Entries(b.Palette()), Entries(a.Palette()));
}

// ---- loading and saving -------------------------------------------------------------------------

TEST(TVxDIB, FailedLoadLeavesTheImageAsItWas) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  const TPaletteHandle palette = a.Palette();
  TVxInternalDIB* before = a.InternalDIB();
  a.SetModified(false);
  TBmpBuilder bad = Indexed8(5, 5, 2);
  bad.Width = 0;
  EXPECT_THROW(LoadBytes(a, bad.Build()), EVxDIBInvalidDIB);
  EXPECT_EQ(a.InternalDIB(), before);
  EXPECT_EQ(a.Width(), 3);
  EXPECT_EQ(a.Height(), 2);
  EXPECT_EQ(a.BitCount(), 8);
  EXPECT_EQ(a.Palette(), palette);
  EXPECT_FALSE(a.Modified());
}

TEST(TVxDIB, LoadReplacesASharedStorageWithoutTouchingTheOtherHolder) {
  TVxDIB a, b;
  b.Assign(&a);
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  EXPECT_EQ(b.Width(), 1);
  EXPECT_EQ(b.InternalDIB()->RefCount, 1);
  EXPECT_EQ(a.Width(), 3);
  EXPECT_TRUE(a.Modified());
}

TEST(TVxDIB, SaveToStreamWritesTheStorage) {
  TVxDIB a;
  const Bytes file = Indexed8(3, 2, 16).Build();
  LoadBytes(a, file);
  TMemoryStream out;
  a.SaveToStream(out);
  const auto* p = static_cast<const std::uint8_t*>(out.Memory());
  EXPECT_EQ(Bytes(p, p + out.Size()), file);
}

TEST(TVxDIB, ClipboardFormRoundTrips) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  std::uint16_t format = 0;
  TGlobalHandle data = nullptr;
  TPaletteHandle palette = reinterpret_cast<TPaletteHandle>(&format);
  a.SaveToClipboardFormat(format, data, palette);
  EXPECT_EQ(format, 8);
  EXPECT_EQ(palette, nullptr);
  ASSERT_NE(data, nullptr);
  TVxDIB b;
  b.LoadFromClipboardFormat(8, data, nullptr);
  platform::GlobalFree(data);
  EXPECT_EQ(std::memcmp(&b.InternalDIB()->DIB.Header, &a.InternalDIB()->DIB.Header, 40), 0);
  EXPECT_EQ(std::memcmp(b.InternalDIB()->DIB.Bits, a.InternalDIB()->DIB.Bits, 8), 0);
  EXPECT_EQ(a.ClipboardFormat(), 8);
}

TEST(TVxDIB, ClipboardLoadNeedsFormatEightAndData) {
  TVxDIB a;
  TGlobalHandle g = MakeGlobal(Indexed8(3, 2, 16).BuildPacked());
  const char* message = "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Format or No Data";
  EXPECT_EQ(MessageOf<EInvalidGraphic>([&] { a.LoadFromClipboardFormat(2, g, nullptr); }), message);
  EXPECT_EQ(MessageOf<EInvalidGraphic>([&] { a.LoadFromClipboardFormat(8, nullptr, nullptr); }), message);
  EXPECT_EQ(a.Width(), 1);
  platform::GlobalFree(g);
}

// ---- the system clipboard ----------------------------------------------------------------------

class SystemClipboard : public ::testing::Test {
protected:
  void TearDown() override { Clipboard().Clear(); }
};

TEST_F(SystemClipboard, AssignReadsTheDIBAndClosesTheClipboard) {
  TVxDIB a;
  LoadBytes(a, Indexed8(3, 2, 16).Build());
  Clipboard().Assign(&a);
  EXPECT_TRUE(Clipboard().HasFormat(8));
  TVxDIB b;
  b.Assign(&Clipboard());
  EXPECT_FALSE(Clipboard().IsOpen());
  EXPECT_EQ(b.Width(), 3);
  EXPECT_EQ(std::memcmp(b.InternalDIB()->DIB.Bits, a.InternalDIB()->DIB.Bits, 8), 0);
  // the clipboard is free for the next user
  ASSERT_TRUE(platform::OpenClipboard());
  EXPECT_TRUE(platform::CloseClipboard());
}

TEST_F(SystemClipboard, FailedAssignStillClosesTheClipboard) {
  TBmpBuilder bad = Indexed8(3, 2, 16);
  bad.Height = 0;
  Clipboard().SetAsHandle(8, MakeGlobal(bad.BuildPacked()));
  TVxDIB b;
  EXPECT_EQ(MessageOf<EVxDIBInvalidDIB>([&] { b.Assign(&Clipboard()); }),
            "TVxInternalDIB.LoadFromStream: Invalid Width or Height");
  EXPECT_FALSE(Clipboard().IsOpen());
  ASSERT_TRUE(platform::OpenClipboard());
  EXPECT_TRUE(platform::CloseClipboard());
  EXPECT_EQ(b.Width(), 1);
}

TEST_F(SystemClipboard, EmptyClipboardFailsWithNoDataAndIsClosed) {
  Clipboard().Clear();
  TVxDIB b;
  EXPECT_EQ(MessageOf<EInvalidGraphic>([&] { b.Assign(&Clipboard()); }),
            "TVxDIB.LoadFromClipboardFormat: Invalid Clipboard Format or No Data");
  EXPECT_FALSE(Clipboard().IsOpen());
  ASSERT_TRUE(platform::OpenClipboard());
  EXPECT_TRUE(platform::CloseClipboard());
}

// ---- registration -----------------------------------------------------------------------------

class TVxDIBDescendant : public TVxDIB {
  TVX_DECLARE_CLASS
};
TVX_DEFINE_CLASS(TVxDIBDescendant, TVxDIB)

TEST(VxDIBInitialize, RegistersClipboardFormatEightAndTheDibExtension) {
  // The test program's start-up registered the class already: withdraw it first, and
  // leave it registered again at the end.
  VxDIBFinalize();
  const std::size_t files = TPicture::FileFormats().size();
  const std::size_t clips = TPicture::ClipboardFormats().size();
  VxDIBInitialize();
  ASSERT_EQ(TPicture::ClipboardFormats().size(), clips + 1);
  EXPECT_EQ(TPicture::ClipboardFormats().back().Format, 8);
  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), &TVxDIB::ClassInfo());
  ASSERT_EQ(TPicture::FileFormats().size(), files + 1);
  EXPECT_EQ(TPicture::FileFormats().back().Extension, "dib");
  EXPECT_EQ(TPicture::FileFormats().back().Description, "Device Independent Bitmap");
  EXPECT_EQ(TPicture::FileFormats().back().GraphicClass, &TVxDIB::ClassInfo());
  TPicture::RegisterFileFormat("dsc", "Descendant", TVxDIBDescendant::ClassInfo());
  VxDIBFinalize();  // also removes the descendant's entry
  EXPECT_EQ(TPicture::FileFormats().size(), files);
  EXPECT_EQ(TPicture::ClipboardFormats().size(), clips);
  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), nullptr);
  VxDIBInitialize();
}

// ---- the nil-storage assertions ------------------------------------------------------------------

class TBareDIB : public TVxDIB {
public:
  void Drop() { ReleaseInternalDIB(); }
  void Restore() { TakeInternalDIB(std::make_unique<TVxInternalDIB>(false)); }
};

struct TNilCase {
  const char* Name;
  std::function<void(TVxDIB&)> Call;
  const char* Message;
  friend std::ostream& operator<<(std::ostream& os, const TNilCase& c) { return os << c.Name; }
};

class NilStorage : public ::testing::TestWithParam<TNilCase> {};

TEST_P(NilStorage, IsAnAssertionFailureNamingTheOperation) {
  TBareDIB d;
  d.Drop();
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { GetParam().Call(d); }), GetParam().Message);
  d.Restore();
}

INSTANTIATE_TEST_SUITE_P(
    TVxDIB, NilStorage,
    ::testing::Values(
        TNilCase{"GetWidth", [](TVxDIB& d) { d.Width(); }, "TVxDIB.GetWidth: InternalDIB Should not be Nil"},
        TNilCase{"GetHeight", [](TVxDIB& d) { d.Height(); }, "TVxDIB.GetHeight: InternalDIB Should not be Nil"},
        TNilCase{"GetEmpty", [](TVxDIB& d) { d.Empty(); }, "TVxDIB.GetEmpty: InternalDIB Should not be Nil"},
        TNilCase{"SetWidth", [](TVxDIB& d) { d.SetWidth(3); }, "TVxDIB.SetWidth: InternalDIB Should not be Nil"},
        TNilCase{"SetHeight", [](TVxDIB& d) { d.SetHeight(3); }, "TVxDIB.SetHeight: InternalDIB Should not be Nil"},
        TNilCase{"SetBitCount", [](TVxDIB& d) { d.SetBitCount(8); }, "TVxDIB.SetBitCount: InternalDIB Should not be Nil"},
        TNilCase{"GetPalette", [](TVxDIB& d) { d.Palette(); }, "TVxDIB.GetPalette: InternalDIB Should not be Nil"},
        TNilCase{"SetPalette", [](TVxDIB& d) { d.SetPalette(nullptr); }, "TVxDIB.SetPalette: InternalDIB Should not be Nil"},
        TNilCase{"LoadFromStream", [](TVxDIB& d) { TMemoryStream s; d.LoadFromStream(s); },
                 "TVxDIB.LoadFromStream: InternalDIB Should not be Nil"},
        TNilCase{"SaveToStream", [](TVxDIB& d) { TMemoryStream s; d.SaveToStream(s); },
                 "TVxDIB.SaveToStream: InternalDIB Should not be Nil"},
        TNilCase{"Assign", [](TVxDIB& d) { d.Assign(nullptr); }, "TVxDIB.Assign: InternalDIB Should not be Nil"},
        TNilCase{"PixelFormat", [](TVxDIB& d) { d.PixelFormat(); }, "TVxDIB.GetPixelFormat: InternalDIB Should not be Nil"},
        TNilCase{"UniqueDIB", [](TVxDIB& d) { d.UniqueDIB(); }, "TVxDIB.UniqueDIB: InternalDIB Should not be Nil"}),
    [](const auto& p) { return std::string(p.param.Name); });

}  // namespace
