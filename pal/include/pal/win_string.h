/* The lstr* string functions of kernel32. */
#ifndef QUORKIT_PAL_WIN_STRING_H
#define QUORKIT_PAL_WIN_STRING_H

#include <pal/win_types.h>

PAL_BEGIN_DECLS

/* Appends lpString2 to lpString1 and returns lpString1; null if either is null (Windows returns
 * null after catching the access fault). No length check, as on Windows. */
PAL_API LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);

/* Case-insensitive comparison: -1, 0 or 1. A null string is less than any other, two nulls are
 * equal. Where this differs from Windows: letters are folded as ASCII and the order between
 * non-letters is the byte order, not the user locale's "word sort"; equality, the use made of it
 * here, is the same for the ASCII paths the modules compare. */
PAL_API int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);

/* Copies at most iMaxLength - 1 characters and always ends lpString1 with a NUL (when
 * iMaxLength > 0); returns lpString1, or null if either pointer is null. iMaxLength <= 0 writes
 * nothing. */
PAL_API LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);

PAL_END_DECLS

#endif
