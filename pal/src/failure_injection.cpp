// pal_inject_failure: makes chosen Win32 calls fail on demand so tests reach the modules'
// failure branches. A small fixed table under a mutex; a relaxed "anything armed" check keeps
// the cost off the hot paths (allocation calls go through here) when no test uses it.
#include <pal/scoped_lock.h>
#include <pal/testing.h>

#include "pal_internal.h"

#include <atomic>
#include <string.h>

namespace {

struct Injection {
  char name[48];
  unsigned int skip;
  unsigned int count;
};

constexpr int kMaxInjections = 16;
Injection g_injections[kMaxInjections];
std::atomic<int> g_armed{0};
pthread_mutex_t g_tableLock = PTHREAD_MUTEX_INITIALIZER;

int findSlot(const char* name) {
  for (int i = 0; i < kMaxInjections; ++i) {
    if (g_injections[i].name[0] != '\0' && strcmp(g_injections[i].name, name) == 0) return i;
  }
  return -1;
}

}  // namespace

extern "C" void pal_inject_failure(const char* win32_function, unsigned int skip,
                                   unsigned int count) {
  if (win32_function == nullptr || win32_function[0] == '\0') return;
  pal::ScopedLock lock(g_tableLock);
  int slot = findSlot(win32_function);
  if (slot < 0) {
    for (int i = 0; i < kMaxInjections && slot < 0; ++i) {
      if (g_injections[i].name[0] == '\0') slot = i;
    }
    if (slot < 0) return;  // table full: a test asking for 17 at once gets no injection
    strncpy(g_injections[slot].name, win32_function, sizeof g_injections[slot].name - 1);
    g_injections[slot].name[sizeof g_injections[slot].name - 1] = '\0';
    g_armed.fetch_add(1, std::memory_order_relaxed);
  }
  g_injections[slot].skip = skip;
  g_injections[slot].count = count;
}

extern "C" void pal_clear_failures(void) {
  pal::ScopedLock lock(g_tableLock);
  memset(g_injections, 0, sizeof g_injections);
  g_armed.store(0, std::memory_order_relaxed);
}

bool pal_should_fail(const char* win32_function) {
  if (g_armed.load(std::memory_order_relaxed) == 0) return false;
  pal::ScopedLock lock(g_tableLock);
  int slot = findSlot(win32_function);
  if (slot < 0) return false;
  Injection& injection = g_injections[slot];
  if (injection.skip > 0) {
    --injection.skip;
    return false;
  }
  if (injection.count == 0) return false;
  --injection.count;
  return true;
}
