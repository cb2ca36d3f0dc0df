// The library's general-purpose heap: one process-wide allocator in the manner of Doug Lea's
// malloc 2.8.3 (boundary-tagged chunks, exact-size small bins, bitwise-trie tree bins, a
// designated victim, a top chunk, segments), taking memory only from VirtualAlloc and guarded by
// a spin lock. Internal to the library: nothing here is exported.
//
// What it needs from the system, and relies on:
// - VirtualAlloc(MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE) gives fresh read-write memory whose
//   base is a multiple of the allocation granularity; MEM_TOP_DOWN is asked for regions that
//   hold one large block, to keep them away from the segments.
// - VirtualQuery names the allocation an address belongs to; VirtualFree(MEM_RELEASE) releases
//   one whole allocation from its base. The heap therefore gives back only ranges that consist of
//   whole allocations, and keeps (and keeps counting) anything else.
// - GetSystemInfo gives the page size and the granularity; both must be powers of two.
#ifndef QUORKIT_HEAP_HEAP_H
#define QUORKIT_HEAP_HEAP_H

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

namespace quor {

static_assert(sizeof(void*) == 4 && sizeof(size_t) == 4, "the heap's layout is 32-bit");

// Tuning, filled in on first use (see heap_mallopt for the fields that can be changed).
struct HeapParams {
  uint32_t magic;          // "XXXX" once set up; copied into the heap state
  uint32_t pageSize;       // unit of heap_valloc/heap_pvalloc; 0 until initialised
  uint32_t granularity;    // unit of every request to the system
  uint32_t mmapThreshold;  // chunk size from which growth maps a region for one chunk alone
  uint32_t trimThreshold;  // top size above which a release trims
  uint32_t defaultFlags;   // HEAP_FLAG_* copied into the heap state
};

enum : uint32_t {
  HEAP_FLAG_USE_MMAP = 1,       // direct mapping allowed
  HEAP_FLAG_USE_LOCK = 2,       // operations take the heap lock
  HEAP_FLAG_NONCONTIGUOUS = 4,  // segments need not follow one another
};

// A chunk as the heap lays it out; `fd`/`bk` exist only while it is free.
struct HeapChunk {
  size_t prevFoot;  // size of the previous chunk when that one is free; region offset | 1 if mapped
  size_t head;      // size | 1 (previous in use) | 2 (this in use)
  HeapChunk* fd;
  HeapChunk* bk;
};

// A free chunk of a tree bin (256 bytes or more).
struct HeapTreeChunk {
  size_t prevFoot;
  size_t head;
  HeapTreeChunk* fd;
  HeapTreeChunk* bk;
  HeapTreeChunk* child[2];
  HeapTreeChunk* parent;
  uint32_t index;
};

enum : uint32_t {
  HEAP_SEGMENT_FROM_SYSTEM = 1,  // obtained with VirtualAlloc (always, here)
  HEAP_SEGMENT_EXTERNAL = 8,     // handed in from outside (never, here)
};

struct HeapSegment {
  char* base;
  size_t size;
  HeapSegment* next;
  uint32_t flags;
};

enum : uint32_t { HEAP_SMALL_BINS = 32, HEAP_TREE_BINS = 32 };

struct HeapState {
  uint32_t smallMap;
  uint32_t treeMap;
  size_t dvSize;
  size_t topSize;
  char* leastAddr;
  HeapChunk* dv;
  HeapChunk* top;
  size_t trimCheck;
  uint32_t magic;
  // Bin i's list head is the pseudo-chunk at &smallBins[2 * i]: its fd and bk overlay entries
  // 2i + 2 and 2i + 3, which is why there is one pair more than there are bins.
  HeapChunk* smallBins[(HEAP_SMALL_BINS + 1) * 2];
  HeapTreeChunk* treeBins[HEAP_TREE_BINS];
  size_t footprint;
  size_t maxFootprint;
  uint32_t flags;
  LONG volatile lock;
  HeapSegment seg;  // the newest segment, the one that holds the top chunk
};

// The System V mallinfo record.
struct HeapInfo {
  uint32_t arena;
  uint32_t ordblks;
  uint32_t smblks;
  uint32_t hblks;
  uint32_t hblkhd;
  uint32_t usmblks;
  uint32_t fsmblks;
  uint32_t uordblks;
  uint32_t fordblks;
  uint32_t keepcost;
};

enum { HEAP_TRIM_THRESHOLD = -1, HEAP_GRANULARITY = -2, HEAP_MMAP_THRESHOLD = -3 };

void* heap_malloc(size_t bytes);
void heap_free(void* mem);
void* heap_calloc(size_t count, size_t elementSize);
void* heap_realloc(void* mem, size_t bytes);
void* heap_memalign(size_t alignment, size_t bytes);
void** heap_independent_calloc(size_t count, size_t elementSize, void** chunks);
void** heap_independent_comalloc(size_t count, size_t* sizes, void** chunks);
void* heap_valloc(size_t bytes);
void* heap_pvalloc(size_t bytes);
int heap_trim(size_t pad);
size_t heap_footprint();
size_t heap_max_footprint();
HeapInfo heap_mallinfo();
void heap_stats();
int heap_mallopt(int parameter, int value);
size_t heap_usable_size(void* mem);

// For the heap's own tests only: the state and tuning records, and the heap lock, so that a
// checker can walk the structures while no operation runs.
const HeapState& heapStateForTesting();
const HeapParams& heapParamsForTesting();
void heapLockForTesting();
void heapUnlockForTesting();

}  // namespace quor

#endif
