#pragma once
// Local-memory blocks still allocated, where the platform can count them (natively, in the
// shared library that host and plug-ins use); -1 elsewhere.
#ifndef _WIN32
#include "LocalMem.h"
#endif

inline long long LiveLocalBlocks() {
#ifdef _WIN32
  return -1;
#else
  return static_cast<long long>(LocalMemLiveBlocks());
#endif
}

// Frees that named no live block (a block freed twice), where the platform counts them; -1
// elsewhere.
inline long long RefusedLocalFrees() {
#ifdef _WIN32
  return -1;
#else
  return static_cast<long long>(LocalMemRefusedFrees());
#endif
}
