/* Local memory: moveable blocks behind handles. */
#ifndef QUORKIT_PAL_WIN_LOCAL_MEMORY_H
#define QUORKIT_PAL_WIN_LOCAL_MEMORY_H

#include <pal/win_types.h>

#endif
