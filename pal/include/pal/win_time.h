/* Sleep and the performance counter. */
#ifndef QUORKIT_PAL_WIN_TIME_H
#define QUORKIT_PAL_WIN_TIME_H

#include <pal/win_types.h>

#endif
