/* A 32-bit test DLL whose exports are __stdcall functions under undecorated names,
   as a classic plug-in's are (StdcallTest.def, linked with --kill-at). */
#include <windows.h>

/* The plug-in information strings, numbered as a plug-in numbers them. */
static const char* const Info[] = {"00IN", "Tavex stdcall test", "*.tst", "Tavex test picture"};

/* Copies information string infono into buf (at most buflen - 1 characters and a
   NUL) and returns the number of characters copied; 0 for an unknown number. */
int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
  if (infono < 0 || infono >= (int)(sizeof Info / sizeof Info[0]) || !buf || buflen <= 0) return 0;
  int n = 0;
  while (Info[infono][n] && n < buflen - 1) {
    buf[n] = Info[infono][n];
    ++n;
  }
  buf[n] = '\0';
  return n;
}

typedef int(WINAPI* TProgress)(int nNum, int nDenom, LONG_PTR lData);

/* Reports steps 0..count to progress, as a plug-in reports decoding; 1 when the
   callback asked to stop (returned non-zero), 0 when every step was reported. */
int WINAPI RunProgress(int count, TProgress progress, LONG_PTR lData) {
  for (int i = 0; i <= count; ++i)
    if (progress(i, count, lData) != 0) return 1;
  return 0;
}

/* An 8-byte argument between two 4-byte ones: the callee pops 16 bytes. */
LONGLONG WINAPI Combine(int low, LONGLONG middle, int high) {
  return middle * 1000 + low - high;
}
