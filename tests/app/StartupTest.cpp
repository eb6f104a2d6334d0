#include <gtest/gtest.h>

#include "app/Startup.h"
#include "graphics/Graphic.h"
#include "dib/VxDIB.h"
#include "jpeg/JPEG.h"
#include "rtl/BlockPool.h"

namespace {

std::vector<std::string> Registered() {
  std::vector<std::string> list;
  for (const auto& f : TPicture::FileFormats()) list.push_back(f.Extension + " " + f.GraphicClass->Name);
  return list;
}

// The test program's main ran the start-up: the registry holds what the program's does,
// in its order.
TEST(Startup, RegistersTheGraphicClassesInOrder) {
  EXPECT_EQ(Registered(), (std::vector<std::string>{"bmp TBitmap", "jpeg TJPEGImage", "jpg TJPEGImage", "dib TVxDIB"}));
  ASSERT_EQ(TPicture::ClipboardFormats().size(), 1u);
  EXPECT_EQ(TPicture::ClipboardFormats().front().Format, 8);
  EXPECT_EQ(TPicture::FindClipboardFormatClass(8), &TVxDIB::ClassInfo());
  for (const auto& f : TPicture::FileFormats())
    if (f.GraphicClass == &TJPEGImage::ClassInfo()) {
      EXPECT_EQ(f.Description, "JPEG イメージファイル");
    }
}

TEST(Startup, ShutdownWithdrawsEverythingAndStartupRestoresIt) {
  const auto before = Registered();
  // Large blocks given back wait in the pools for the next file; shutdown frees them.
  ReleasePooledMemory();
  for (const bool useFMO : {true, false}) {
    platform::TMappingHandle h = nullptr;
    std::uint8_t* bits = nullptr;
    GetMemory(1 << 20, useFMO, h, bits);
    ReleaseMemory(h, bits, useFMO);
  }
  ASSERT_EQ(MappingBlockPool().KeptBlocks(), 1u);
  ASSERT_EQ(HeapBlockPool().KeptBlocks(), 1u);
  TavexShutdown();
  EXPECT_TRUE(TPicture::FileFormats().empty());
  EXPECT_TRUE(TPicture::ClipboardFormats().empty());
  EXPECT_EQ(MappingBlockPool().KeptBlocks(), 0u);
  EXPECT_EQ(HeapBlockPool().KeptBlocks(), 0u);
  TavexStartup();
  EXPECT_EQ(Registered(), before);
}

}  // namespace
