// Pseudo handles of the current process and thread, with the values of Windows, so that code
// comparing against them or passing them to the debug-help calls behaves as it does there.
#include "pal_internal.h"

extern "C" HANDLE WINAPI GetCurrentProcess(void) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

extern "C" HANDLE WINAPI GetCurrentThread(void) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}
