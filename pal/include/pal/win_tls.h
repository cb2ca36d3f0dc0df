/* Thread-local storage slots, and the loader notifications a DLL receives. */
#ifndef QUORKIT_PAL_WIN_TLS_H
#define QUORKIT_PAL_WIN_TLS_H

#include <pal/win_types.h>

#define TLS_OUT_OF_INDEXES ((DWORD)0xFFFFFFFF)
#define TLS_MINIMUM_AVAILABLE 64

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

PAL_BEGIN_DECLS
PAL_API DWORD WINAPI TlsAlloc(void);
PAL_API BOOL WINAPI TlsFree(DWORD index);
PAL_API BOOL WINAPI TlsSetValue(DWORD index, LPVOID value);
PAL_API LPVOID WINAPI TlsGetValue(DWORD index);
PAL_END_DECLS

#endif
