/* The debugger output channel and the debugger break. */
#ifndef QUORKIT_PAL_WIN_DEBUG_H
#define QUORKIT_PAL_WIN_DEBUG_H

#include <pal/win_types.h>

PAL_BEGIN_DECLS
PAL_API void WINAPI OutputDebugStringA(LPCSTR text);
PAL_API void WINAPI DebugBreak(void);
PAL_API BOOL WINAPI IsDebuggerPresent(void);
PAL_END_DECLS

#endif
