/* Files: CreateFileA and the handle calls on files. */
#ifndef QUORKIT_PAL_WIN_FILE_H
#define QUORKIT_PAL_WIN_FILE_H

#include <pal/win_types.h>

#endif
