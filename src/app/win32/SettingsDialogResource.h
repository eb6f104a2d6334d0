/* The settings dialog's resource numbers, shared by SettingsDialog.rc and the code. */
#pragma once
#define IDD_BATCHSETTINGS 200
#define IDC_SUBFOLDERS 201
#define IDC_KEEPGOING 202
#define IDC_KEEPFILEDATE 203
#define IDC_KEEPMETADATA 204
