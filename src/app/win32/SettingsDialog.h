#pragma once
// The settings dialog of the main window's system menu: the batch's four switches, read
// from the settings file when it opens and written back by OK.
#include <filesystem>

#include "platform/win32/WinHeaders.h"

// The dialog's controls, in the order of TBatchSettings' switches.
constexpr int BatchSettingsDialogId = 200;
constexpr int BatchSettingsCheckBoxIds[] = {201, 202, 203, 204};

// Shows the dialog modally over owner. OK writes the Batch section of iniFileName and
// closes; a file that cannot be written shows the file layer's message and the dialog
// stays, its values not applied. Cancel (or Esc, or the close box) changes nothing.
// True when OK wrote the file.
bool EditBatchSettings(HWND owner, const std::filesystem::path& iniFileName);
