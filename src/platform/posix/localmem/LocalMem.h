/* Local memory for native builds: the Windows LocalAlloc family, so that plug-ins and the
 * host hand result blocks to each other exactly as on Windows. One shared library holds the
 * registry of live blocks, and every plug-in and the host link it, so a block allocated by a
 * plug-in can be locked, sized and freed by the host.
 *
 * Handles are checked against the registry before use: a handle that is not a live block is
 * refused (LocalSize 0, LocalLock NULL, LocalFree returns it) and never dereferenced. */
#ifndef TAVEX_LOCALMEM_H
#define TAVEX_LOCALMEM_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#error "LocalMem.h is for native builds; Windows has the real functions in <windows.h>"
#endif

#if defined(__GNUC__)
#define TAVEX_LOCALMEM_API __attribute__((visibility("default")))
#else
#define TAVEX_LOCALMEM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* HLOCAL;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef int BOOL;

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

/* A fixed block's handle is its address; a moveable block's handle is not, and must be
 * locked to reach the memory. NULL when the block cannot be made. */
TAVEX_LOCALMEM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
/* The block's address; NULL for an invalid handle or a moveable block of 0 bytes. Moveable
 * blocks count their locks. */
TAVEX_LOCALMEM_API void* LocalLock(HLOCAL handle);
/* Nonzero while a moveable block stays locked; 0 once unlocked, for a fixed block, for a
 * block that was not locked and for an invalid handle. */
TAVEX_LOCALMEM_API BOOL LocalUnlock(HLOCAL handle);
/* NULL on success (a locked block is freed too); the handle itself when it is not a live
 * block. LocalFree(NULL) does nothing and returns NULL. */
TAVEX_LOCALMEM_API HLOCAL LocalFree(HLOCAL handle);
/* The size that was asked for; 0 for anything that is not a live block. */
TAVEX_LOCALMEM_API SIZE_T LocalSize(HLOCAL handle);

/* Not a Windows function: how many blocks are live, so that tests can tell that a failed
 * call left no local memory behind. */
TAVEX_LOCALMEM_API SIZE_T LocalMemLiveBlocks(void);
/* Not Windows functions: blocks of at least `from` bytes come from alloc (which gives the
 * memory, zero-filled when asked, and a section number, or NULL to fall back on the heap)
 * and go back to release;
 * a plug-in host makes them shared sections, so that a picture leaves the host without a
 * copy. LocalMemBlockSection gives a live block's section, or -1. */
TAVEX_LOCALMEM_API void LocalMemSetLargeBlocks(SIZE_T from, void* (*alloc)(SIZE_T size, int zeroed, intptr_t* section),
                                               void (*release)(void* data, SIZE_T size, intptr_t section));
TAVEX_LOCALMEM_API intptr_t LocalMemBlockSection(HLOCAL handle);
/* Not a Windows function: a moveable block over a section mapped from another process,
 * given back with release when freed (at once when the block cannot be made). */
TAVEX_LOCALMEM_API HLOCAL LocalMemAdoptSection(void* data, SIZE_T bytes, intptr_t section,
                                               void (*release)(void* data, SIZE_T size, intptr_t section));

/* Not a Windows function either: how many LocalFree calls named no live block (a block
 * freed twice), so that tests can tell that every block was freed exactly once. */
TAVEX_LOCALMEM_API SIZE_T LocalMemRefusedFrees(void);

#ifdef __cplusplus
}
#endif

#endif
