// lstrcatA, lstrcmpiA and lstrcpynA with their Windows results for the edge cases (null
// arguments, truncation) that the C library's equivalents treat differently.
#include "pal_internal.h"

#include <string.h>

namespace {
int foldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
}  // namespace

extern "C" LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  strcat(lpString1, lpString2);
  return lpString1;
}

extern "C" int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) {
    if (lpString1 == lpString2) return 0;
    return lpString1 == nullptr ? -1 : 1;
  }
  const unsigned char* a = reinterpret_cast<const unsigned char*>(lpString1);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(lpString2);
  for (;; ++a, ++b) {
    int ca = foldAscii(*a);
    int cb = foldAscii(*b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

extern "C" LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  if (iMaxLength <= 0) return lpString1;
  int i = 0;
  for (; i < iMaxLength - 1 && lpString2[i] != '\0'; ++i) lpString1[i] = lpString2[i];
  lpString1[i] = '\0';
  return lpString1;
}
