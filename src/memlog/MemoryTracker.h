// The memory tracker's entry points for the memory services of a library built with the memory
// log (PlatformMemoryLogged.cpp): each public memory member reports its event here, under its own
// operation, and the tracker keeps the live-block table, the counters and the allocation log.
// Internal: nothing here is exported.
#ifndef QUORKIT_MEMORY_TRACKER_H
#define QUORKIT_MEMORY_TRACKER_H

#include <quor/Platform.h>

#include "memlog/Win32LiveBlockTable.h"

namespace quor {

// Records the block that an allocation just produced and returns it. A null block (the allocation
// failed) records nothing. When the table can take no more blocks, the block is released again
// and null returned, as for any failed allocation.
void* trackAllocation(unsigned short op, void* block, unsigned int size);

// Records the release of `block` under `op`; true when the caller must now hand the block to the
// allocator. A null block records nothing and is passed on (the allocator ignores it); a pointer
// that is not a live block is diagnosed and must not be passed on.
bool trackRelease(unsigned short op, void* block);

// A realloc under the tracker: `reallocate` (the raw layer) runs with the lock held, so that no
// other thread can be given the old address before its release is recorded.
typedef void* (*Reallocator)(void* block, unsigned int size);
void* trackReallocation(void* block, unsigned int size, Reallocator reallocate);

// The table itself, for the tests that check the tracker's own check.
LiveBlockTable& trackedBlocksForTesting();

}  // namespace quor

#endif
