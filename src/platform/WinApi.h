#pragma once
// The calling convention of the Windows API, for functions that plug-ins export or call
// back: stdcall on 32-bit x86 Windows, the platform's only convention everywhere else.
#if defined(_WIN32) && defined(__i386__)
#define TAVEX_WINAPI __attribute__((stdcall))
#else
#define TAVEX_WINAPI
#endif
