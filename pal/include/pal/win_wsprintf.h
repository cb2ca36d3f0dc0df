/* wsprintfA, the formatter of user32. */
#ifndef QUORKIT_PAL_WIN_WSPRINTF_H
#define QUORKIT_PAL_WIN_WSPRINTF_H

#include <pal/win_types.h>
#include <stdarg.h>

PAL_BEGIN_DECLS

/* Windows' own small formatter, not printf: the output stops at 1,023 characters plus the NUL
 * (the 1,024-byte limit of user32), and the result is the number of characters stored.
 * Conversions: %c, %d/%i, %u, %x, %X, %s, %p (8 upper-case hexadecimal digits, no prefix), the
 * prefixes l and h (l changes nothing at 32 bits), I64 for 64-bit integers, the flags '-', '0'
 * and '#' (0x/0X before x/X), a width and a precision (minimum digits, or the most characters of
 * a %s). A null %s prints "(null)". There is no floating point and no '*' width, as on Windows;
 * an unknown conversion character is printed as itself. */
PAL_API int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
PAL_API int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);

PAL_END_DECLS

#endif
