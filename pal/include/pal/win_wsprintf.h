/* wsprintfA, the formatter of user32. */
#ifndef QUORKIT_PAL_WIN_WSPRINTF_H
#define QUORKIT_PAL_WIN_WSPRINTF_H

#include <pal/win_types.h>

#endif
