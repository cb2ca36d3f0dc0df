/* GetSystemInfo: page size and allocation granularity. */
#ifndef QUORKIT_PAL_WIN_SYSTEM_INFO_H
#define QUORKIT_PAL_WIN_SYSTEM_INFO_H

#include <pal/win_types.h>

#endif
