// Critical sections over a POSIX mutex. Recursion is counted here rather than with a recursive
// mutex so that TryEnterCriticalSection can answer true to the owner without touching the mutex,
// and so that RecursionCount/OwningThread mean what they mean on Windows.
#include "pal_internal.h"

#include <pthread.h>
#include <atomic>
#include <new>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::PalMutex),
              "CRITICAL_SECTION storage too small for this host's mutex");

pthread_mutex_t* mutexOf(LPCRITICAL_SECTION section) {
  return reinterpret_cast<pthread_mutex_t*>(section->PalMutex.bytes);
}

// The owner is compared by other threads while the owner may be writing it; an atomic view of
// the field keeps that race defined. A thread only ever finds its own id there if it put it there.
std::atomic<HANDLE>& ownerOf(LPCRITICAL_SECTION section) {
  static_assert(sizeof(std::atomic<HANDLE>) == sizeof(HANDLE),
                "atomic handle has a different size");
  return *reinterpret_cast<std::atomic<HANDLE>*>(&section->OwningThread);
}

HANDLE selfId() { return reinterpret_cast<HANDLE>(pthread_self()); }

void takeOwnership(LPCRITICAL_SECTION section) {
  ownerOf(section).store(selfId(), std::memory_order_relaxed);
  section->RecursionCount = 1;
  section->LockCount = 0;
}

}  // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  section->DebugInfo = nullptr;
  section->LockCount = -1;
  section->RecursionCount = 0;
  section->OwningThread = nullptr;
  section->LockSemaphore = nullptr;
  section->SpinCount = 0;
  new (section->PalMutex.bytes) pthread_mutex_t;
  pthread_mutex_init(mutexOf(section), nullptr);
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutex_destroy(mutexOf(section));
  section->OwningThread = nullptr;
  section->RecursionCount = 0;
  section->LockCount = -1;
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  if (ownerOf(section).load(std::memory_order_relaxed) == selfId()) {
    ++section->RecursionCount;
    return;
  }
  pthread_mutex_lock(mutexOf(section));
  takeOwnership(section);
}

extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  if (ownerOf(section).load(std::memory_order_relaxed) == selfId()) {
    ++section->RecursionCount;
    return TRUE;
  }
  if (pthread_mutex_trylock(mutexOf(section)) != 0) return FALSE;
  takeOwnership(section);
  return TRUE;
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  // Leaving a section the thread does not own is undefined on Windows; here it is ignored rather
  // than corrupting another thread's hold.
  if (ownerOf(section).load(std::memory_order_relaxed) != selfId()) return;
  if (--section->RecursionCount > 0) return;
  ownerOf(section).store(nullptr, std::memory_order_relaxed);
  section->LockCount = -1;
  pthread_mutex_unlock(mutexOf(section));
}
