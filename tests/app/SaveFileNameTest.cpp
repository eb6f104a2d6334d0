#include <gtest/gtest.h>

#include <set>

#include "app/SaveFileName.h"
#include "rtl/Stream.h"
#include "support/TempDir.h"

namespace {

struct TNameCase {
  const char* Source;
  int Method;
  const char* Folder;
  const char* Expected;
};

// Method 0 with nothing taken yet: one "_" in front.
constexpr TNameCase WindowsCases[] = {
    {"C:\\pics\\cat.bmp", 0, "", "C:\\pics\\_cat.jpg"},
    {"C:\\pics\\cat.bmp", 1, "", "C:\\pics\\cat.jpg"},
    {"C:\\pics\\cat.bmp", 2, "D:\\out", "D:\\out\\cat.jpg"},
    {"C:\\pics\\cat.bmp", 2, "D:\\out\\", "D:\\out\\cat.jpg"},
    {"C:\\pics\\cat.bmp", 2, "D:/out/", "D:/out/cat.jpg"},
    {"C:\\pics\\cat.bmp", 2, "D:", "D:\\cat.jpg"},
    {"C:\\pics\\cat.bmp", 2, " out ", " out \\cat.jpg"},  // taken as typed
    {"C:\\pics\\scan.2018.png", 1, "", "C:\\pics\\scan.2018.jpg"},
    {"C:\\pics\\README", 1, "", "C:\\pics\\README.jpg"},
    {"C:\\pics\\dog.jpg", 1, "", "C:\\pics\\dog.jpg"},
    {"C:\\pics\\dog.jpg", 0, "", "C:\\pics\\_dog.jpg"},
    {"C:\\pics\\Photo.BMP", 1, "", "C:\\pics\\Photo.jpg"},
    {"C:\\my.dir\\noext", 1, "", "C:\\my.dir\\noext.jpg"},  // a dot in the folder is no extension
    {"C:\\pics\\.bashrc", 1, "", "C:\\pics\\.jpg"},        // the last "." starts the extension
    {"C:\\pics\\trail.", 1, "", "C:\\pics\\trail.jpg"},
    {"C:cat.bmp", 1, "", "C:cat.jpg"},                      // the drive colon ends the folder part
    {"C:cat.bmp", 0, "", "C:_cat.jpg"},
    {"cat.bmp", 0, "", "_cat.jpg"},
    {"C:/pics/cat.bmp", 0, "", "C:/pics/_cat.jpg"},
    {"\\\\server\\share\\a.b.c", 2, "\\\\server\\out", "\\\\server\\out\\a.b.jpg"},
    {"C:\\写真\\猫.bmp", 0, "", "C:\\写真\\_猫.jpg"},
    {"C:\\pics\\cat.bmp", 2, "", "\\cat.jpg"},
};

constexpr TNameCase PosixCases[] = {
    {"/pics/cat.bmp", 0, "", "/pics/_cat.jpg"},
    {"/pics/cat.bmp", 1, "", "/pics/cat.jpg"},
    {"/pics/cat.bmp", 2, "/out", "/out/cat.jpg"},
    {"/pics/cat.bmp", 2, "/out/", "/out/cat.jpg"},
    {"/pics/cat.bmp", 2, "rel", "rel/cat.jpg"},
    {"/pics/scan.2018.png", 1, "", "/pics/scan.2018.jpg"},
    {"/pics/README", 1, "", "/pics/README.jpg"},
    {"/pics/.bashrc", 0, "", "/pics/_.jpg"},
    {"/pics.d/noext", 1, "", "/pics.d/noext.jpg"},
    {"/pics/a:b\\c.bmp", 1, "", "/pics/a:b\\c.jpg"},  // ":" and "\" are plain characters here
    {"/pics/a\\b.bmp", 2, "C:", "C:/a\\b.jpg"},
    {"cat.bmp", 1, "", "cat.jpg"},
    {"/写真/猫.bmp", 0, "", "/写真/_猫.jpg"},
};

std::string Name(const TNameCase& c, const platform::TPathSyntax& syntax) {
  return MakeSaveFileName(c.Source, c.Method, c.Folder, "unused", syntax,
                          [](const std::string&) { return false; });
}

TEST(MakeSaveFileName, WindowsNames) {
  for (const auto& c : WindowsCases)
    EXPECT_EQ(Name(c, platform::WindowsPathSyntax), c.Expected) << c.Source << " method " << c.Method;
}

TEST(MakeSaveFileName, PosixNames) {
  for (const auto& c : PosixCases)
    EXPECT_EQ(Name(c, platform::PosixPathSyntax), c.Expected) << c.Source << " method " << c.Method;
}

TEST(MakeSaveFileName, NoMethodKeepsThePreviousName) {
  const auto none = [](const std::string&) { return false; };
  for (const int method : {-1, 3, 100}) {
    EXPECT_EQ(MakeSaveFileName("C:\\a\\b.bmp", method, "D:\\", "C:\\earlier.jpg", platform::WindowsPathSyntax, none),
              "C:\\earlier.jpg");
    EXPECT_EQ(MakeSaveFileName("/a/b.bmp", method, "/x", "", platform::PosixPathSyntax, none), "");
  }
}

// Method 0 puts one more "_" in front for every name that is taken, and asks about
// exactly those names in that order.
TEST(MakeSaveFileName, NewNameSkipsTakenNames) {
  const std::set<std::string> taken = {"C:\\pics\\_cat.jpg", "C:\\pics\\__cat.jpg", "C:\\pics\\cat.jpg"};
  std::vector<std::string> asked;
  const auto name = MakeSaveFileName("C:\\pics\\cat.bmp", smNewName, "", "", platform::WindowsPathSyntax,
                                     [&](const std::string& n) {
                                       asked.push_back(n);
                                       return taken.count(n) != 0;
                                     });
  EXPECT_EQ(name, "C:\\pics\\___cat.jpg");
  EXPECT_EQ(asked, (std::vector<std::string>{"C:\\pics\\_cat.jpg", "C:\\pics\\__cat.jpg", "C:\\pics\\___cat.jpg"}));
}

TEST(MakeSaveFileName, OtherMethodsNeverLookAtTheDisk) {
  int asked = 0;
  const auto count = [&](const std::string&) { return ++asked, true; };
  MakeSaveFileName("/a/b.bmp", smOverwrite, "", "", platform::PosixPathSyntax, count);
  MakeSaveFileName("/a/b.bmp", smFolder, "/x", "", platform::PosixPathSyntax, count);
  MakeSaveFileName("/a/b.bmp", -1, "", "", platform::PosixPathSyntax, count);
  EXPECT_EQ(asked, 0);
}

// On the real disk: files and folders of the candidate name are both taken.
TEST(MakeSaveFileName, NewNameOnDisk) {
  TTempDir dir;
  const std::string source = PathToUtf8(dir / "a.bmp");
  const std::string first = PathToUtf8(dir / "_a.jpg");
  EXPECT_EQ(MakeSaveFileName(source, smNewName, "", ""), first);
  WriteAllBytes(dir / "_a.jpg", {1});
  EXPECT_EQ(MakeSaveFileName(source, smNewName, "", ""), PathToUtf8(dir / "__a.jpg"));
  std::filesystem::create_directory(dir / "__a.jpg");
  EXPECT_EQ(MakeSaveFileName(source, smNewName, "", ""), PathToUtf8(dir / "___a.jpg"));
}

TEST(SaveNameTaken, FilesFoldersAndMissingNames) {
  TTempDir dir;
  WriteAllBytes(dir / "f", {});
  std::filesystem::create_directory(dir / "d");
  EXPECT_TRUE(SaveNameTaken(PathToUtf8(dir / "f")));
  EXPECT_TRUE(SaveNameTaken(PathToUtf8(dir / "d")));
  EXPECT_FALSE(SaveNameTaken(PathToUtf8(dir / "missing")));
  EXPECT_FALSE(SaveNameTaken(PathToUtf8(dir / "missing" / "below")));
}

TEST(IsExistingFolder, OnlyExistingFolders) {
  TTempDir dir;
  WriteAllBytes(dir / "file", {1});
  EXPECT_TRUE(IsExistingFolder(PathToUtf8(dir.Path())));
  EXPECT_FALSE(IsExistingFolder(""));
  EXPECT_FALSE(IsExistingFolder(PathToUtf8(dir / "file")));
  EXPECT_FALSE(IsExistingFolder(PathToUtf8(dir / "missing")));
}

}  // namespace
