#pragma once
// OS handle types that portable code passes around without touching them.
// On Windows these are exactly HPALETTE and HGLOBAL; on POSIX the platform layer
// defines what they point to.
struct HPALETTE__;
using TPaletteHandle = HPALETTE__*;
using TGlobalHandle = void*;
