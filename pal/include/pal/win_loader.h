/* Loading modules at run time and the module file names. */
#ifndef QUORKIT_PAL_WIN_LOADER_H
#define QUORKIT_PAL_WIN_LOADER_H

#include <pal/win_types.h>

#endif
