/* stdio.h of the PAL: the host's own header plus the Microsoft C runtime's fopen_s, which Windows
 * code finds declared here (MinGW-w64 declares it in its <stdio.h> by default). */
#ifndef QUORKIT_PAL_STDIO_H
#define QUORKIT_PAL_STDIO_H

#include_next <stdio.h>

#include <pal/win_types.h>

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
PAL_END_DECLS

#endif
