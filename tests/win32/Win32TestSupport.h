#pragma once
// Shared by the Windows tests: the shell calls recorded instead of shown, and drops
// built as the shell builds them.
#include <filesystem>
#include <string>
#include <vector>

#include "app/win32/ShellHelpers.h"
#include <shellapi.h>

// Replaces the shell hooks for its lifetime: boxes and beeps are recorded, the folder
// browser answers with Browse (null: cancelled).
class TRecordedShell {
public:
  struct TBox {
    HWND Owner;
    std::wstring Text, Caption;
    UINT Type;
  };
  struct TBrowse {
    HWND Owner;
    std::wstring Title;
    UINT Flags;
    std::wstring InitialFolder;
    bool HasCallback;
    bool HasDisplayName;
  };
  TRecordedShell();
  ~TRecordedShell();
  TRecordedShell(const TRecordedShell&) = delete;
  TRecordedShell& operator=(const TRecordedShell&) = delete;

  std::vector<TBox> Boxes;
  std::vector<UINT> Beeps;
  std::vector<TBrowse> Browses;
  std::vector<std::pair<DWORD, DWORD>> Attaches, Detaches;
  // The folder the browser "picks"; empty means cancel.
  std::filesystem::path Pick;

private:
  TShellHooks FSaved;
};

// A 2 x 2 24-bit BMP, bottom-up, each row padded to 8 bytes.
std::vector<unsigned char> TinyBmp();

// A drop handle with a real DROPFILES block of wide names, as the shell posts it.
HDROP MakeDrop(const std::vector<std::wstring>& names, POINT point = {0, 0});
// Sends WM_DROPFILES with a new drop handle to the window.
void SendDrop(HWND window, const std::vector<std::wstring>& names, POINT point = {0, 0});

// The pixels of one character drawn alone, black on white, with the font through
// ExtTextOutW, which falls back to the fonts linked to it as the controls' own drawing
// does. Two characters whose drawings are equal look the same on the screen.
std::vector<COLORREF> DrawCharacter(HFONT font, wchar_t character);
// What a character that no font has looks like in font: the box (or blank) that stands
// for a missing glyph.
constexpr wchar_t MissingGlyphCharacter = L'\uFFFF';
