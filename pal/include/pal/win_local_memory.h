/* Local memory: fixed blocks, and moveable blocks behind handles. */
#ifndef QUORKIT_PAL_WIN_LOCAL_MEMORY_H
#define QUORKIT_PAL_WIN_LOCAL_MEMORY_H

#include <pal/win_types.h>

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_NOCOMPACT 0x0010u
#define LMEM_NODISCARD 0x0020u
#define LMEM_ZEROINIT 0x0040u
#define LMEM_MODIFY 0x0080u
#define LMEM_DISCARDABLE 0x0F00u
#define LMEM_VALID_FLAGS 0x0F72u
#define LMEM_INVALID_HANDLE 0x8000u
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define NONZEROLHND LMEM_MOVEABLE
#define NONZEROLPTR LMEM_FIXED

PAL_BEGIN_DECLS

/* LMEM_FIXED gives the block's address as its handle. LMEM_MOVEABLE gives a handle that is not
 * an address of the block: LocalLock turns it into the pointer and counts the locks (the block
 * never actually moves in this PAL, but code that uses the pointer without a lock, or the handle
 * as a pointer, is wrong here as it is on Windows). Null with ERROR_NOT_ENOUGH_MEMORY when the
 * memory is not there, ERROR_INVALID_PARAMETER for unknown flags. LMEM_DISCARDABLE is accepted
 * and never discards. */
PAL_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);

/* The block's address, and one more lock for a moveable block. Null with ERROR_INVALID_HANDLE
 * for a handle that is not a live block, with ERROR_DISCARDED for a moveable block of 0 bytes
 * (Windows makes those discarded). */
PAL_API LPVOID WINAPI LocalLock(HLOCAL hMem);

/* Takes one lock away. Nonzero while locks remain; 0 with last error NO_ERROR when the last lock
 * went, 0 with ERROR_NOT_LOCKED when there was none (always for a fixed block). */
PAL_API BOOL WINAPI LocalUnlock(HLOCAL hMem);

/* Frees the block, locked or not (as Windows does). Null on success; the handle back with
 * ERROR_INVALID_HANDLE when it is not a live block. */
PAL_API HLOCAL WINAPI LocalFree(HLOCAL hMem);

PAL_END_DECLS

#endif
