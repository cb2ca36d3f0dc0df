// Memory services of quor::Platform in the library built with the memory log: the same public
// members, operators and raw_ layer as the default build's, except that every public operation
// reports its event to the memory tracker under a name of its own. The operators are operations
// of their own here ("new", "new_array", "delete", "delete_array"), so the log tells them apart
// from malloc and free. The raw_ layer and the system allocator layer under it are unchanged.
#include <quor/Platform.h>

#include "ModuleId.h"
#include "PlatformInternal.h"
#include "memlog/MemoryTracker.h"

QUOR_MODULE_ID(kPlatformMemoryLoggedModuleId, "PlatformMemoryLogged.cpp",
               "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

typedef Platform::DebugMemTag Tag;

// ---- public members -------------------------------------------------------------------------

void* Platform::malloc(unsigned int size) {
  return trackAllocation(Tag::OP_MALLOC, raw_malloc(size), size);
}

void Platform::free(void* block) {
  if (trackRelease(Tag::OP_FREE, block)) raw_free(block);
}

void* Platform::realloc(void* block, unsigned int size) {
  return trackReallocation(block, size,
                           [](void* old, unsigned int bytes) { return raw_realloc(old, bytes); });
}

void* Platform::memalign(unsigned int alignment, unsigned int size) {
  return trackAllocation(Tag::OP_MEMALIGN, raw_memalign(alignment, size), size);
}

// noexcept, as in the default build: exhaustion reaches a new-expression as null. The size of a
// 32-bit process's size_t is the unsigned int of the log.
void* Platform::operator new(size_t size) noexcept {
  return trackAllocation(Tag::OP_NEW, raw_malloc(size), static_cast<unsigned int>(size));
}

void* Platform::operator new[](size_t size) noexcept {
  return trackAllocation(Tag::OP_NEW_ARRAY, raw_malloc(size), static_cast<unsigned int>(size));
}

void Platform::operator delete(void* block) noexcept {
  if (trackRelease(Tag::OP_DELETE, block)) raw_free(block);
}

void Platform::operator delete[](void* block) noexcept {
  if (trackRelease(Tag::OP_DELETE_ARRAY, block)) raw_free(block);
}

// Placement forms allocate nothing and are not tracked.
void* Platform::operator new(size_t, void* where) noexcept { return where; }

void* Platform::operator new[](size_t, void* where) noexcept { return where; }

void Platform::operator delete(void*, void*) noexcept {}

void Platform::operator delete[](void*, void*) noexcept {}

// ---- the raw_ layer -------------------------------------------------------------------------

void* Platform::raw_malloc(unsigned int size) { return sysMalloc(size); }

void* Platform::raw_memalign(unsigned int alignment, unsigned int size) {
  return sysMemalign(alignment, size);
}

void* Platform::raw_realloc(void* block, unsigned int size) { return sysRealloc(block, size); }

void Platform::raw_free(void* block) { sysFree(block); }

}  // namespace quor
