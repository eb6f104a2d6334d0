#pragma once
// The one place the Windows headers come in for the platform seam and the front end.
#include <windows.h>

// windows.h maps these names to their A/W forms with object-like macros, which would
// rename the design's own methods of the same name in Windows translation units only.
#undef RegisterClipboardFormat
#undef GetObject
#undef DeleteFile
#undef CopyFile
#undef MoveFile
#undef LoadBitmap
#undef LoadImage
#undef DrawText
#undef GetClassName
