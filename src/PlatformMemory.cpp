// Memory services of quor::Platform: the public members and the class's operators, the private
// raw_ layer under them, and nothing of their own around a block (no header, no fill, no lock).
// Every layer passes arguments and results through unchanged down to the system allocator layer,
// so a block's alignment and a failure's null are exactly the C runtime's aligned allocator's.
#include <quor/Platform.h>

#include "ModuleId.h"
#include "PlatformInternal.h"

QUOR_MODULE_ID(kPlatformMemoryModuleId, "PlatformMemory.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

// ---- public members -------------------------------------------------------------------------

void* Platform::malloc(unsigned int size) { return raw_malloc(size); }

void Platform::free(void* block) { raw_free(block); }

void* Platform::realloc(void* block, unsigned int size) { return raw_realloc(block, size); }

void* Platform::memalign(unsigned int alignment, unsigned int size) {
  return raw_memalign(alignment, size);
}

// The operators are the same operations as malloc and free. They are declared noexcept, so a
// new-expression checks for null and skips the constructor instead of expecting an exception:
// exhaustion reaches the caller as null, like malloc's.
void* Platform::operator new(size_t size) noexcept { return raw_malloc(size); }

void* Platform::operator new[](size_t size) noexcept { return raw_malloc(size); }

void Platform::operator delete(void* block) noexcept { raw_free(block); }

void Platform::operator delete[](void* block) noexcept { raw_free(block); }

void* Platform::operator new(size_t, void* where) noexcept { return where; }

void* Platform::operator new[](size_t, void* where) noexcept { return where; }

// The two placement deletes share the tracking interface's do-nothing body (see
// PlatformMemoryTracking.cpp), so they are not defined here.

// ---- the raw_ layer -------------------------------------------------------------------------

void* Platform::raw_malloc(unsigned int size) { return sysMalloc(size); }

void* Platform::raw_memalign(unsigned int alignment, unsigned int size) {
  return sysMemalign(alignment, size);
}

void* Platform::raw_realloc(void* block, unsigned int size) { return sysRealloc(block, size); }

void Platform::raw_free(void* block) { sysFree(block); }

}  // namespace quor
