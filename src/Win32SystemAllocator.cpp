// The system allocator layer under the memory services and the per-thread records: the C
// runtime's aligned allocator, arguments and results passed through untouched.
#include <malloc.h>

#include "ModuleId.h"
#include "PlatformInternal.h"

QUOR_MODULE_ID(kWin32SystemAllocatorModuleId, "Win32SystemAllocator.cpp",
               "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

void* sysMalloc(unsigned int size) { return _aligned_malloc(size, 8); }

// Always alignment 8, whatever the block had before: callers of memalign must not rely on
// their alignment surviving a realloc.
void* sysRealloc(void* block, unsigned int size) { return _aligned_realloc(block, size, 8); }

void* sysMemalign(unsigned int alignment, unsigned int size) {
  return _aligned_malloc(size, alignment);
}

void sysFree(void* block) { _aligned_free(block); }

}  // namespace quor
