#pragma once
// OS handle types that portable code passes around without touching them.
// On Windows these are exactly HPALETTE, HDC and HGLOBAL; on POSIX the platform layer
// defines what they point to.
struct HPALETTE__;
using TPaletteHandle = HPALETTE__*;
struct HDC__;
using TDCHandle = HDC__*;
using TGlobalHandle = void*;
