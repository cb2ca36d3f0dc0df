// Shared helpers of the benchmarks: a monotonic clock, a guard against the optimiser, and the
// line that says whether the numbers came from an emulated processor.
#ifndef QUORKIT_BENCH_UTIL_H
#define QUORKIT_BENCH_UTIL_H

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace bench {

inline double nowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Keeps a value alive as far as the optimiser can tell.
template <typename T>
inline void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

// True when this i386 process runs under qemu-user: its process name is the emulator's.
inline bool underEmulation() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return false;
  char line[256];
  bool emulated = false;
  if (fgets(line, sizeof line, status) != nullptr) emulated = strstr(line, "qemu") != nullptr;
  fclose(status);
  return emulated;
}

inline void printRunNote() {
  printf("%s\n", underEmulation()
                     ? "ran under qemu-i386 user-mode emulation: ratios hold, absolute rates do not"
                     : "ran natively");
}

}  // namespace bench

#endif
