// The Microsoft C runtime's aligned allocator on glibc. Blocks come from posix_memalign, so the
// one release, free(), accepts every block whatever its alignment; the usable size that glibc
// records bounds the copy when a block moves.
#include <malloc.h>

#include "pal_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool isPowerOfTwo(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

void* allocateAligned(size_t size, size_t alignment) {
  // posix_memalign wants a multiple of sizeof(void*); smaller powers of two are met by that.
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* block = nullptr;
  // The Microsoft runtime hands out a distinct block for size 0; so does this.
  int error = posix_memalign(&block, alignment, size == 0 ? 1 : size);
  if (error != 0) {
    errno = error;
    return nullptr;
  }
  return block;
}

}  // namespace

extern "C" void* _aligned_malloc(size_t size, size_t alignment) {
  if (!isPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  if (pal_should_fail("_aligned_malloc")) {
    errno = ENOMEM;
    return nullptr;
  }
  return allocateAligned(size, alignment);
}

extern "C" void* _aligned_realloc(void* block, size_t size, size_t alignment) {
  if (!isPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  if (block == nullptr) return _aligned_malloc(size, alignment);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  if (pal_should_fail("_aligned_realloc")) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t usable = malloc_usable_size(block);
  // Stay in place when the block is already large enough and suitably aligned.
  if (size <= usable && (reinterpret_cast<uintptr_t>(block) & (alignment - 1)) == 0) return block;
  void* moved = allocateAligned(size, alignment);
  if (moved == nullptr) return nullptr;
  memcpy(moved, block, usable < size ? usable : size);
  free(block);
  return moved;
}

extern "C" void _aligned_free(void* block) { free(block); }
