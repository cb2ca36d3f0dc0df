/* Pseudo handles of the current process and thread. */
#ifndef QUORKIT_PAL_WIN_PROCESS_H
#define QUORKIT_PAL_WIN_PROCESS_H

#include <pal/win_types.h>

#endif
