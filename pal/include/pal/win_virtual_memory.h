/* Virtual memory: reserve, commit, query and release address space.
 *
 * The contract the PAL keeps, as Windows does:
 * - every allocation starts on a multiple of the allocation granularity (GetSystemInfo) and
 *   covers whole pages;
 * - MEM_RELEASE succeeds only at the base of an allocation (with size 0) and releases exactly
 *   that allocation, never a part of it and never two at once;
 * - VirtualQuery describes the allocation under an address: its base, the rest of it from the
 *   queried page on, and whether it is committed or free.
 * Reservation without commitment and MEM_DECOMMIT are not provided: the library maps read-write
 * regions and gives them back whole. */
#ifndef QUORKIT_PAL_WIN_VIRTUAL_MEMORY_H
#define QUORKIT_PAL_WIN_VIRTUAL_MEMORY_H

#include <pal/win_types.h>

#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE 0x00008000
#define MEM_FREE 0x00010000
#define MEM_PRIVATE 0x00020000
#define MEM_TOP_DOWN 0x00100000

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40

typedef struct _MEMORY_BASIC_INFORMATION {
  PVOID BaseAddress;
  PVOID AllocationBase;
  DWORD AllocationProtect;
  SIZE_T RegionSize;
  DWORD State;
  DWORD Protect;
  DWORD Type;
} MEMORY_BASIC_INFORMATION, *PMEMORY_BASIC_INFORMATION;

PAL_BEGIN_DECLS
PAL_API LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType,
                                   DWORD protect);
PAL_API BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);
PAL_API SIZE_T WINAPI VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer,
                                   SIZE_T length);
PAL_END_DECLS

#endif
