/* Pseudo handles of the current process and thread. */
#ifndef QUORKIT_PAL_WIN_PROCESS_H
#define QUORKIT_PAL_WIN_PROCESS_H

#include <pal/win_types.h>

PAL_BEGIN_DECLS

/* (HANDLE)-1 and (HANDLE)-2, the values Windows uses: they stand for "the caller's process" and
 * "the calling thread" wherever a handle is taken, need no closing, and are not unique to a
 * thread (another thread passing the thread pseudo handle means itself). */
PAL_API HANDLE WINAPI GetCurrentProcess(void);
PAL_API HANDLE WINAPI GetCurrentThread(void);

PAL_END_DECLS

#endif
