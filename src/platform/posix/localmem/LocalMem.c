/* The registry is a chained hash table keyed by handle value; the handle is only ever
 * compared, so a stale or foreign handle is found missing without touching its memory. */
#include "LocalMem.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef struct TBlock {
  HLOCAL handle;
  void* data;
  SIZE_T size;
  unsigned lockCount;
  int moveable;
  intptr_t section; /* the section the data lies in, or -1: the C heap's */
  void (*release)(void* data, SIZE_T size, intptr_t section); /* a section's */
  struct TBlock* next;
} TBlock;

static pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
static TBlock** buckets;
static size_t bucketCount;
static size_t liveCount;
static size_t refusedFrees;
/* The allocator of large blocks, when one is set (a plug-in host's shared sections). */
static void* (*largeAlloc)(SIZE_T size, int zeroed, intptr_t* section);
static void (*largeRelease)(void* data, SIZE_T size, intptr_t section);
static SIZE_T largeFrom;

static size_t BucketOf(HLOCAL handle, size_t count) {
  uintptr_t v = (uintptr_t)handle;
  v ^= v >> 17;
  v *= (uintptr_t)0x9E3779B97F4A7C15ull;
  v ^= v >> 29;
  return (size_t)(v & (count - 1));
}

/* Callers hold registryLock. */
static TBlock** FindSlot(HLOCAL handle) {
  if (bucketCount == 0 || handle == NULL) return NULL;
  TBlock** slot = &buckets[BucketOf(handle, bucketCount)];
  while (*slot && (*slot)->handle != handle) slot = &(*slot)->next;
  return *slot ? slot : NULL;
}

static int Grow(void) {
  size_t newCount = bucketCount ? bucketCount * 2 : 64;
  TBlock** fresh = (TBlock**)calloc(newCount, sizeof *fresh);
  if (!fresh) return 0;
  for (size_t i = 0; i < bucketCount; ++i) {
    TBlock* b = buckets[i];
    while (b) {
      TBlock* next = b->next;
      size_t j = BucketOf(b->handle, newCount);
      b->next = fresh[j];
      fresh[j] = b;
      b = next;
    }
  }
  free(buckets);
  buckets = fresh;
  bucketCount = newCount;
  return 1;
}

static void ReleaseData(TBlock* b) {
  if (b->release)
    b->release(b->data, b->size, b->section);
  else
    free(b->data);
}

/* Enters a block whose data is set; frees it on failure. */
static HLOCAL Register(TBlock* block) {
  pthread_mutex_lock(&registryLock);
  if (liveCount + 1 > bucketCount && !Grow()) {
    pthread_mutex_unlock(&registryLock);
    ReleaseData(block);
    free(block);
    return NULL;
  }
  size_t i = BucketOf(block->handle, bucketCount);
  block->next = buckets[i];
  buckets[i] = block;
  ++liveCount;
  pthread_mutex_unlock(&registryLock);
  return block->handle;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (bytes > (SIZE_T)PTRDIFF_MAX) return NULL;
  TBlock* block = (TBlock*)calloc(1, sizeof *block);
  if (!block) return NULL;
  block->section = -1;
  if (largeAlloc && bytes >= largeFrom) {
    block->data = largeAlloc(bytes, (flags & LMEM_ZEROINIT) != 0, &block->section);
    if (block->data) block->release = largeRelease;
  }
  /* One byte at least, so that even an empty block has an address of its own. */
  if (!block->data)
    block->data = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  if (!block->data) {
    free(block);
    return NULL;
  }
  block->size = bytes;
  block->moveable = (flags & LMEM_MOVEABLE) != 0;
  /* A moveable block's handle is the record's address, distinct from the data's. */
  block->handle = block->moveable ? (HLOCAL)block : (HLOCAL)block->data;
  return Register(block);
}

void* LocalLock(HLOCAL handle) {
  void* data = NULL;
  pthread_mutex_lock(&registryLock);
  TBlock** slot = FindSlot(handle);
  if (slot) {
    TBlock* b = *slot;
    if (!b->moveable) {
      data = b->data;
    } else if (b->size != 0 && b->lockCount < 0xFFu) {
      ++b->lockCount;
      data = b->data;
    }
  }
  pthread_mutex_unlock(&registryLock);
  return data;
}

BOOL LocalUnlock(HLOCAL handle) {
  BOOL stillLocked = 0;
  pthread_mutex_lock(&registryLock);
  TBlock** slot = FindSlot(handle);
  if (slot && (*slot)->moveable && (*slot)->lockCount > 0) stillLocked = --(*slot)->lockCount != 0;
  pthread_mutex_unlock(&registryLock);
  return stillLocked;
}

HLOCAL LocalFree(HLOCAL handle) {
  if (handle == NULL) return NULL;
  pthread_mutex_lock(&registryLock);
  TBlock** slot = FindSlot(handle);
  TBlock* b = slot ? *slot : NULL;
  if (b) {
    *slot = b->next;
    --liveCount;
  } else {
    ++refusedFrees;
  }
  pthread_mutex_unlock(&registryLock);
  if (!b) return handle;
  ReleaseData(b);
  free(b);
  return NULL;
}

SIZE_T LocalSize(HLOCAL handle) {
  SIZE_T size = 0;
  pthread_mutex_lock(&registryLock);
  TBlock** slot = FindSlot(handle);
  if (slot) size = (*slot)->size;
  pthread_mutex_unlock(&registryLock);
  return size;
}

SIZE_T LocalMemLiveBlocks(void) {
  pthread_mutex_lock(&registryLock);
  SIZE_T n = liveCount;
  pthread_mutex_unlock(&registryLock);
  return n;
}

HLOCAL LocalMemAdoptSection(void* data, SIZE_T bytes, intptr_t section,
                            void (*release)(void* data, SIZE_T size, intptr_t section)) {
  if (!data || !release) return NULL;
  TBlock* block = (TBlock*)calloc(1, sizeof *block);
  if (!block) {
    release(data, bytes, section);
    return NULL;
  }
  block->data = data;
  block->size = bytes;
  block->moveable = 1;
  block->section = section;
  block->release = release;
  block->handle = (HLOCAL)block;
  return Register(block);
}

void LocalMemSetLargeBlocks(SIZE_T from, void* (*alloc)(SIZE_T size, int zeroed, intptr_t* section),
                            void (*release)(void* data, SIZE_T size, intptr_t section)) {
  pthread_mutex_lock(&registryLock);
  largeFrom = from;
  largeAlloc = alloc;
  largeRelease = release;
  pthread_mutex_unlock(&registryLock);
}

intptr_t LocalMemBlockSection(HLOCAL handle) {
  intptr_t section = -1;
  pthread_mutex_lock(&registryLock);
  TBlock** slot = FindSlot(handle);
  if (slot) section = (*slot)->section;
  pthread_mutex_unlock(&registryLock);
  return section;
}

SIZE_T LocalMemRefusedFrees(void) {
  pthread_mutex_lock(&registryLock);
  SIZE_T n = refusedFrees;
  pthread_mutex_unlock(&registryLock);
  return n;
}
