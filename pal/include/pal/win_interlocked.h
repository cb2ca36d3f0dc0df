/* Interlocked operations on 32-bit values. */
#ifndef QUORKIT_PAL_WIN_INTERLOCKED_H
#define QUORKIT_PAL_WIN_INTERLOCKED_H

#include <pal/win_types.h>

#endif
