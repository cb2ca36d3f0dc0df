// Helpers shared between the PAL's own source files; not part of any API.
#ifndef QUORKIT_PAL_INTERNAL_H
#define QUORKIT_PAL_INTERNAL_H

#include <windows.h>

// True when an injected failure is due for this call of the named Win32 function (see
// pal_inject_failure). Cheap when nothing is armed: one relaxed atomic load.
bool pal_should_fail(const char* win32_function);

// Translates an errno value from a failed POSIX call into the Windows error code that the
// equivalent Win32 call would leave, for the cases the modules meet.
DWORD pal_error_from_errno(int error);

// Sets the last-error value from errno (the usual ending of a failed PAL call).
void pal_set_last_error_from_errno(void);

// Copies a Windows path into out with every '\\' turned into '/' (Windows takes both as
// separators, POSIX only '/'); out may be path itself. False, with nothing copied, when the path
// and its terminator do not fit in outSize.
bool pal_to_posix_path(const char* path, char* out, size_t outSize);

// Marks the calling thread as a PAL user, so that it receives DLL_THREAD_DETACH when it exits.
void pal_note_thread(void);

#endif
