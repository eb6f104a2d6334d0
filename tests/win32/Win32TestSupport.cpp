#include "Win32TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>
#include <shellapi.h>
#include <commctrl.h>

TRecordedShell::TRecordedShell() : FSaved(ShellHooks()) {
  ShellHooks().MessageBox = [this](HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) {
    Boxes.push_back({owner, text, caption, type});
    return IDOK;
  };
  ShellHooks().MessageBeep = [this](UINT type) {
    Beeps.push_back(type);
    return TRUE;
  };
  ShellHooks().BrowseForFolder = [this](BROWSEINFOW& info) -> PIDLIST_ABSOLUTE {
    Browses.push_back({info.hwndOwner, info.lpszTitle ? info.lpszTitle : L"", info.ulFlags,
                       info.lParam ? reinterpret_cast<const wchar_t*>(info.lParam) : L"", info.lpfn != nullptr,
                       info.pszDisplayName != nullptr});
    if (Pick.empty()) return nullptr;
    return ::ILCreateFromPathW(Pick.c_str());
  };
  ShellHooks().AttachThreadInput = [this](DWORD attach, DWORD attachTo, BOOL doAttach) {
    (doAttach ? Attaches : Detaches).emplace_back(attach, attachTo);
    return TRUE;
  };
}

TRecordedShell::~TRecordedShell() { ShellHooks() = FSaved; }

std::vector<unsigned char> TinyBmp() {
  return {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                    // file header
          40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,      // 2 x 2, 24 bits
          16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,       // 16 bytes of pixels
          0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0};      // two padded rows
}

HDROP MakeDrop(const std::vector<std::wstring>& names, POINT point) {
  size_t chars = 1;  // the list ends with an empty name
  for (const std::wstring& n : names) chars += n.size() + 1;
  HGLOBAL block = ::GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
  auto* bytes = static_cast<unsigned char*>(::GlobalLock(block));
  DROPFILES header{};
  header.pFiles = sizeof(DROPFILES);
  header.pt = point;
  header.fNC = FALSE;
  header.fWide = TRUE;
  std::memcpy(bytes, &header, sizeof header);
  size_t offset = sizeof(DROPFILES);
  for (const std::wstring& n : names) {
    std::memcpy(bytes + offset, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
    offset += (n.size() + 1) * sizeof(wchar_t);
  }
  ::GlobalUnlock(block);
  return static_cast<HDROP>(block);
}

void SendDrop(HWND window, const std::vector<std::wstring>& names, POINT point) {
  ::SendMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(names, point)), 0);
}

namespace {
// Windows, controls and COM as the program has them.
class TWin32Environment : public testing::Environment {
public:
  void SetUp() override {
    FCom = SUCCEEDED(::CoInitialize(nullptr));
    const INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_TAB_CLASSES |
                                                                     ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
  }
  void TearDown() override {
    if (FCom) ::CoUninitialize();
  }

private:
  bool FCom = false;
};
[[maybe_unused]] testing::Environment* const Win32Environment =
    testing::AddGlobalTestEnvironment(new TWin32Environment);
}  // namespace

std::vector<COLORREF> DrawCharacter(HFONT font, wchar_t character) {
  // Large enough for the window's fonts at up to 192 DPI.
  constexpr int Size = 48;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = Size;
  info.bmiHeader.biHeight = -Size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = ::CreateCompatibleDC(nullptr);
  HBITMAP bitmap = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!dc || !bitmap || !bits) {
    ADD_FAILURE() << "no memory DC or DIB section for drawing text";
    if (bitmap) ::DeleteObject(bitmap);
    if (dc) ::DeleteDC(dc);
    return {};
  }
  HGDIOBJ oldBitmap = ::SelectObject(dc, bitmap);
  HGDIOBJ oldFont = ::SelectObject(dc, font);
  ::SetTextColor(dc, RGB(0, 0, 0));
  ::SetBkColor(dc, RGB(255, 255, 255));
  const RECT all{0, 0, Size, Size};
  ::ExtTextOutW(dc, 4, 4, ETO_OPAQUE, &all, &character, 1, nullptr);
  ::GdiFlush();
  const auto* pixels = static_cast<const COLORREF*>(bits);
  std::vector<COLORREF> drawing(pixels, pixels + Size * Size);
  ::SelectObject(dc, oldFont);
  ::SelectObject(dc, oldBitmap);
  ::DeleteObject(bitmap);
  ::DeleteDC(dc);
  return drawing;
}
