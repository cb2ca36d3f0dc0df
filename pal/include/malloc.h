/* malloc.h of the PAL: the host's own header plus the Microsoft C runtime's aligned allocator,
 * which Windows code finds here. */
#ifndef QUORKIT_PAL_MALLOC_H
#define QUORKIT_PAL_MALLOC_H

#include_next <malloc.h>

#include <pal/win_types.h>

PAL_BEGIN_DECLS
/* As the Microsoft runtime: alignment must be a power of two (otherwise null with errno EINVAL);
 * realloc keeps the contents up to the smaller size and leaves the old block valid on failure;
 * realloc to size 0 frees the block and returns null; free(NULL) does nothing. */
PAL_API void* _aligned_malloc(size_t size, size_t alignment);
PAL_API void* _aligned_realloc(void* block, size_t size, size_t alignment);
PAL_API void _aligned_free(void* block);
PAL_END_DECLS

#endif
