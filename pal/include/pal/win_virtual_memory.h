/* Virtual memory: reserve, commit, query and release address space. */
#ifndef QUORKIT_PAL_WIN_VIRTUAL_MEMORY_H
#define QUORKIT_PAL_WIN_VIRTUAL_MEMORY_H

#include <pal/win_types.h>

#endif
