/* The lstr* string functions of kernel32. */
#ifndef QUORKIT_PAL_WIN_STRING_H
#define QUORKIT_PAL_WIN_STRING_H

#include <pal/win_types.h>

#endif
