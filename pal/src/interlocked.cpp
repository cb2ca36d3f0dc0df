// Interlocked operations: sequentially consistent read-modify-write, which is what the
// full-barrier guarantee of the Win32 functions amounts to in the C++ memory model.
#include "pal_internal.h"

extern "C" LONG WINAPI InterlockedCompareExchange(LONG volatile* target, LONG exchange,
                                                  LONG comparand) {
  LONG expected = comparand;
  __atomic_compare_exchange_n(target, &expected, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return expected;  // left unchanged on success, so it is the old value either way
}

extern "C" LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
