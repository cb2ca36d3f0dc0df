/* GetSystemInfo: page size and allocation granularity. */
#ifndef QUORKIT_PAL_WIN_SYSTEM_INFO_H
#define QUORKIT_PAL_WIN_SYSTEM_INFO_H

#include <pal/win_types.h>

#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_INTEL_PENTIUM 586

typedef struct _SYSTEM_INFO {
  union {
    DWORD dwOemId;
    struct {
      WORD wProcessorArchitecture;
      WORD wReserved;
    } s;
  } u;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

PAL_BEGIN_DECLS
PAL_API void WINAPI GetSystemInfo(LPSYSTEM_INFO info);
PAL_END_DECLS

#endif
