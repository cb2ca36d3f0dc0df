/* Interlocked operations on 32-bit values: full barriers, as on Windows. */
#ifndef QUORKIT_PAL_WIN_INTERLOCKED_H
#define QUORKIT_PAL_WIN_INTERLOCKED_H

#include <pal/win_types.h>

PAL_BEGIN_DECLS
/* Stores `exchange` when the target holds `comparand`; returns the value held before. */
PAL_API LONG WINAPI InterlockedCompareExchange(LONG volatile* target, LONG exchange,
                                               LONG comparand);
/* Stores `value`; returns the value held before. */
PAL_API LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);
PAL_END_DECLS

#endif
