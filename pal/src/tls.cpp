// Thread-local storage slots. Values live in a thread_local array rather than in one pthread key
// per slot: the array stays readable while the thread-exit notification runs (see dll_entry.cpp),
// which is what DLL_THREAD_DETACH handlers rely on. Each slot carries a generation so that a slot
// handed out again by TlsAlloc reads as null in every thread, as Windows guarantees.
#include "pal_internal.h"

#include <atomic>
#include <mutex>

namespace {

struct SlotValue {
  unsigned int generation;
  LPVOID value;
};

std::mutex g_slotMutex;
bool g_inUse[TLS_MINIMUM_AVAILABLE];
std::atomic<unsigned int> g_generation[TLS_MINIMUM_AVAILABLE];
thread_local SlotValue t_values[TLS_MINIMUM_AVAILABLE];

bool validIndex(DWORD index) { return index < TLS_MINIMUM_AVAILABLE; }

}  // namespace

extern "C" DWORD WINAPI TlsAlloc(void) {
  if (pal_should_fail("TlsAlloc")) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
  }
  std::lock_guard<std::mutex> guard(g_slotMutex);
  for (DWORD i = 0; i < TLS_MINIMUM_AVAILABLE; ++i) {
    if (!g_inUse[i]) {
      g_inUse[i] = true;
      g_generation[i].fetch_add(1, std::memory_order_release);
      return i;
    }
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return TLS_OUT_OF_INDEXES;
}

extern "C" BOOL WINAPI TlsFree(DWORD index) {
  std::lock_guard<std::mutex> guard(g_slotMutex);
  if (!validIndex(index) || !g_inUse[index]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  g_inUse[index] = false;
  return TRUE;
}

extern "C" BOOL WINAPI TlsSetValue(DWORD index, LPVOID value) {
  if (!validIndex(index)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pal_note_thread();
  t_values[index].generation = g_generation[index].load(std::memory_order_acquire);
  t_values[index].value = value;
  return TRUE;
}

extern "C" LPVOID WINAPI TlsGetValue(DWORD index) {
  if (!validIndex(index)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  pal_note_thread();
  // Windows clears the last error on success so that a stored null can be told from a failure.
  SetLastError(ERROR_SUCCESS);
  const SlotValue& slot = t_values[index];
  if (slot.generation != g_generation[index].load(std::memory_order_acquire)) return nullptr;
  return slot.value;
}
