/* Critical sections: recursive locks owned by a thread, as on Windows. */
#ifndef QUORKIT_PAL_WIN_SYNC_H
#define QUORKIT_PAL_WIN_SYNC_H

#include <pal/win_types.h>

/* The Windows fields are kept for code that looks at them; the lock itself lives in opaque
 * storage sized for the host's mutex (checked in the implementation), so this header needs no
 * POSIX header. Zeroed storage is not a usable lock: InitializeCriticalSection first. */
typedef struct _RTL_CRITICAL_SECTION {
  void* DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
  union {
    unsigned char bytes[48];
    long long align_;
  } PalMutex;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

PAL_BEGIN_DECLS
PAL_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
PAL_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
PAL_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
PAL_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
PAL_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
PAL_END_DECLS

#endif
