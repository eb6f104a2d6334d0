#include <gtest/gtest.h>

#include "app/Startup.h"
#include "graphics/Graphic.h"
#include "dib/VxDIB.h"
#include "jpeg/JPEG.h"

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
  TavexShutdown();
  EXPECT_TRUE(TPicture::FileFormats().empty());
  EXPECT_TRUE(TPicture::ClipboardFormats().empty());
  TavexStartup();
  EXPECT_EQ(Registered(), before);
}

}  // namespace
