// The 32-bit build loads a DLL whose __stdcall functions are exported under
// undecorated names, as classic plug-ins export theirs, and calls them both ways
// (the DLL also calls back into us).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/WinHeaders.h"

namespace {

struct TModuleCloser {
  void operator()(HMODULE h) const noexcept { ::FreeLibrary(h); }
};
using TModuleHandle = std::unique_ptr<std::remove_pointer_t<HMODULE>, TModuleCloser>;

// A file in test-plugins/, which the build puts beside bin/ (never among the programs).
std::wstring TestPluginPath(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  path.resize(path.find_last_of(L'\\'));      // bin
  path.resize(path.find_last_of(L'\\') + 1);  // the build folder
  return path + L"test-plugins\\" + name;
}

// A loaded module and its exports, typed where they are called.
class TTestLibrary {
public:
  explicit TTestLibrary(const std::wstring& path)
      : FModule(::LoadLibraryW(path.c_str())), FError(FModule ? 0 : ::GetLastError()) {}
  bool Loaded() const noexcept { return FModule != nullptr; }
  DWORD LoadError() const noexcept { return FError; }
  bool Exports(const char* name) const noexcept { return ::GetProcAddress(FModule.get(), name) != nullptr; }
  template <typename F>
  F Symbol(const char* name) const noexcept {
    // Through void(*)(), the one function type any other may be cast from.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(FModule.get(), name)));
  }

private:
  TModuleHandle FModule;
  DWORD FError;
};

using TGetPluginInfo = int(WINAPI*)(int, LPSTR, int);
using TProgress = int(WINAPI*)(int, int, LONG_PTR);
using TRunProgress = int(WINAPI*)(int, TProgress, LONG_PTR);
using TCombine = LONGLONG(WINAPI*)(int, LONGLONG, int);

class StdcallLibrary : public testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(Library.Loaded()) << "LoadLibraryW failed, error " << Library.LoadError(); }
  TTestLibrary Library{TestPluginPath(L"tavex_stdcall_test.dll")};
};

TEST_F(StdcallLibrary, ExportsAreFoundUnderTheirUndecoratedNamesOnly) {
  static_assert(sizeof(void*) == 4, "the 32-bit build's test");
  const struct {
    const char* Plain;
    const char* Decorated;
  } cases[] = {{"GetPluginInfo", "_GetPluginInfo@12"}, {"RunProgress", "_RunProgress@12"}, {"Combine", "_Combine@16"}};
  for (const auto& c : cases) {
    EXPECT_TRUE(Library.Exports(c.Plain)) << c.Plain;
    EXPECT_FALSE(Library.Exports(c.Decorated)) << c.Decorated;
  }
}

TEST_F(StdcallLibrary, GetPluginInfoCopiesTruncatesAndRefuses) {
  const auto getPluginInfo = Library.Symbol<TGetPluginInfo>("GetPluginInfo");
  ASSERT_NE(getPluginInfo, nullptr);
  const struct {
    int InfoNo, BufLen, Result;
    const char* Text;  // the buffer afterwards ("#" is its untouched filling)
  } cases[] = {
      {0, 16, 4, "00IN"},
      {1, 64, 18, "Tavex stdcall test"},
      {2, 16, 5, "*.tst"},
      {3, 64, 18, "Tavex test picture"},
      {0, 3, 2, "00"},     // at most buflen - 1 characters and the NUL
      {0, 1, 0, ""},
      {0, 0, 0, "#"},      // no room: nothing written
      {4, 16, 0, "#"},     // past the last number
      {-1, 16, 0, "#"},
  };
  for (const auto& c : cases) {
    std::vector<char> buffer(80, '#');
    buffer.back() = '\0';
    EXPECT_EQ(getPluginInfo(c.InfoNo, buffer.data(), c.BufLen), c.Result) << c.InfoNo << "/" << c.BufLen;
    const std::string text = buffer[0] == '#' ? std::string("#") : std::string(buffer.data());
    EXPECT_EQ(text, c.Text) << c.InfoNo << "/" << c.BufLen;
    if (c.Result > 0) {
      EXPECT_EQ(buffer[static_cast<std::size_t>(c.Result) + 1], '#') << "wrote past the NUL";
    }
  }
}

struct TCall {
  int Num, Denom;
  LONG_PTR Data;
  bool operator==(const TCall&) const = default;
};
std::vector<TCall> Calls;
int StopAt = -1;

int WINAPI RecordProgress(int num, int denom, LONG_PTR data) {
  Calls.push_back({num, denom, data});
  return num == StopAt ? 1 : 0;
}

TEST_F(StdcallLibrary, CallsBackThroughAStdcallProgressFunction) {
  const auto runProgress = Library.Symbol<TRunProgress>("RunProgress");
  ASSERT_NE(runProgress, nullptr);
  Calls.clear();
  StopAt = -1;
  EXPECT_EQ(runProgress(2, RecordProgress, 0x5EED), 0);
  EXPECT_EQ(Calls, (std::vector<TCall>{{0, 2, 0x5EED}, {1, 2, 0x5EED}, {2, 2, 0x5EED}}));

  Calls.clear();
  StopAt = 1;  // the callback asks to stop: no further step, and the plug-in says so
  EXPECT_EQ(runProgress(5, RecordProgress, -7), 1);
  EXPECT_EQ(Calls, (std::vector<TCall>{{0, 5, -7}, {1, 5, -7}}));
}

TEST_F(StdcallLibrary, EightByteArgumentsAndResultsKeepTheStackInStep) {
  const auto combine = Library.Symbol<TCombine>("Combine");
  ASSERT_NE(combine, nullptr);
  EXPECT_EQ(combine(7, 0x123456789LL, -2), 0x123456789LL * 1000 + 9);
  // A caller and callee that disagree on who pops the arguments drift the stack by
  // 16 bytes a call; many calls in a row then corrupt the locals or crash.
  LONGLONG sum = 0;
  for (int i = 0; i < 10000; ++i) sum += combine(i, -i, 2 * i);
  EXPECT_EQ(sum, -1000LL * 10000 * 9999 / 2 - 10000LL * 9999 / 2);
}

TEST(StdcallLibraryLoad, AMissingDllIsNotLoadedAndSaysWhy) {
  const TTestLibrary missing(TestPluginPath(L"missing.dll"));
  EXPECT_FALSE(missing.Loaded());
  EXPECT_EQ(missing.LoadError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
