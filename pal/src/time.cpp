// Sleep and the performance counter on POSIX clocks.
//
// Where Linux differs from Windows, on purpose:
// - the counter is CLOCK_MONOTONIC in 100 ns ticks, so it keeps counting while the machine is
//   suspended only as far as that clock does (Windows' counter includes sleep time);
// - a null pointer to QueryPerformanceCounter/Frequency is refused with ERROR_NOACCESS rather than
//   faulting.
#include <pal/testing.h>

#include "pal_internal.h"

#include <atomic>
#include <errno.h>
#include <mutex>
#include <sched.h>
#include <time.h>
#include <unistd.h>

namespace {

const LONGLONG kTicksPerSecond = 10000000;
const LONGLONG kNanosecondsPerTick = 100;

// The test control's values. The flag is read on every query without the mutex, so the real
// clock costs one relaxed load; the pair itself is read and written under the mutex because a
// 64-bit store is not atomic on i386.
std::atomic<bool> g_counterSet{false};
std::mutex g_counterMutex;
LONGLONG g_counter = 0;
LONGLONG g_frequency = 0;

bool readControl(LONGLONG* counter, LONGLONG* frequency) {
  if (!g_counterSet.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> guard(g_counterMutex);
  if (g_frequency == 0) return false;
  *counter = g_counter;
  *frequency = g_frequency;
  return true;
}

}  // namespace

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec remaining;
  remaining.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  // A signal cuts nanosleep short; Windows' Sleep is not interrupted, so sleep out the rest.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (lpPerformanceCount == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  LONGLONG counter;
  LONGLONG frequency;
  if (readControl(&counter, &frequency)) {
    lpPerformanceCount->QuadPart = counter;
    return TRUE;
  }
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  lpPerformanceCount->QuadPart =
      static_cast<LONGLONG>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / kNanosecondsPerTick;
  return TRUE;
}

extern "C" BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (lpFrequency == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  LONGLONG counter;
  LONGLONG frequency;
  lpFrequency->QuadPart = readControl(&counter, &frequency) ? frequency : kTicksPerSecond;
  return TRUE;
}

extern "C" void pal_set_performance_counter(long long counter, long long frequency) {
  std::lock_guard<std::mutex> guard(g_counterMutex);
  g_counter = counter;
  g_frequency = frequency;
  g_counterSet.store(frequency != 0, std::memory_order_release);
}
