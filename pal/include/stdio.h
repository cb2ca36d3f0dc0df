/* stdio.h of the PAL: the host's own header plus the Microsoft C runtime's fopen_s and _vsnprintf,
 * which Windows code finds declared here (MinGW-w64 declares them in its <stdio.h>). */
#ifndef QUORKIT_PAL_STDIO_H
#define QUORKIT_PAL_STDIO_H

#include_next <stdio.h>

#include <pal/win_types.h>

#include <stdarg.h>

/* The Microsoft runtime's error-number type, as its <corecrt.h> guards it. */
#ifndef _ERRNO_T_DEFINED
#define _ERRNO_T_DEFINED
typedef int errno_t;
#endif

PAL_BEGIN_DECLS
/* As the Microsoft runtime: a null `stream` gives EINVAL and nothing else; otherwise *stream is
 * set to null first, a null path or mode gives EINVAL, and a failed open leaves it null and
 * returns the errno value of the failure; 0 on success. Differs from Windows: the runtime there
 * opens without sharing for writers; POSIX has no mandatory share modes, so nothing is held off. */
PAL_API errno_t fopen_s(FILE** stream, const char* path, const char* mode);
/* As the Microsoft runtime: formats at most `count` bytes into `buffer` and returns the text's
 * length when it is `count` characters or fewer, -1 when it is longer (or formatting fails).
 * Differs from Windows: a text of `count` characters or more keeps its first count - 1 and a
 * terminator, where the runtime there stores `count` characters and no terminator; the host's
 * formatter always terminates, and the count-th character would need a second buffer. Callers
 * that terminate the last byte themselves, as they must on Windows, see no difference. */
PAL_API int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);
PAL_END_DECLS

#endif
