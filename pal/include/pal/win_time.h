/* Sleep and the performance counter. */
#ifndef QUORKIT_PAL_WIN_TIME_H
#define QUORKIT_PAL_WIN_TIME_H

#include <pal/win_types.h>

/* The timeout that never ends (Sleep, and the waits of the synchronisation calls). */
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif

PAL_BEGIN_DECLS

/* Suspends the calling thread for at least the given milliseconds, resuming after signals.
 * Sleep(0) gives up the rest of the time slice (sched_yield); Sleep(INFINITE) never returns. */
PAL_API void WINAPI Sleep(DWORD dwMilliseconds);

/* A monotonic counter of 100-nanosecond ticks since an unspecified origin (the system's boot on
 * Linux), at the fixed frequency of 10,000,000 per second that current Windows reports. Both
 * return TRUE; a null pointer gives FALSE with ERROR_NOACCESS instead of the fault Windows would
 * raise. pal_set_performance_counter (pal/testing.h) replaces both values for tests. */
PAL_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
PAL_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

PAL_END_DECLS

#endif
