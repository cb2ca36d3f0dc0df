// Platform::printf against the C runtime's vprintf, both writing to /dev/null, side by side in one
// run. Platform::printf formats twice (a bounded copy for the debugger channel, then the full
// text to standard output), so about half the runtime's rate is the expected ratio. The debugger
// channel is a counting sink here (pal_set_debug_sink): the default one would fill the system
// log with the benchmark's lines.
//
// Texts longer than the 1024-byte buffer cost more than that: the bounded copy must still count
// the whole text (its result is -1 only when the text is longer than 1024 characters), and
// glibc's vsnprintf (2.36, Debian 12) counts every character past the bound through a call of its
// own, tens of times slower than the characters that fit. That cost is the C runtime's; the only
// formatter that stops at the bound, the Microsoft runtime's _vsnprintf, formats differently from
// the C99 printf that MinGW's standard output uses, so the two passes could disagree.
#include <quor/Platform.h>

#include <pal/testing.h>

#include "bench_util.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

unsigned long g_channelTexts = 0;
void countText(const char*) { ++g_channelTexts; }

int runtimePrintf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = vprintf(format, arguments);
  va_end(arguments);
  return result;
}

typedef int (*PrintfFn)(const char*, ...);
PrintfFn volatile g_platform = &quor::Platform::printf;
PrintfFn volatile g_runtime = &runtimePrintf;

char g_long[1501];

struct Case {
  const char* label;
  int (*call)(PrintfFn);
};

int shortText(PrintfFn f) { return f("region stack ready\n"); }
int numbers(PrintfFn f) {
  return f("%d blocks, %u bytes at %p (%s) %08x\n", 42, 65536u, static_cast<void*>(g_long), "heap",
           0xBEEFu);
}
int text1000(PrintfFn f) { return f("%.1000s\n", g_long); }
int text1500(PrintfFn f) { return f("%s\n", g_long); }

// Seconds per call, averaged over one batch.
double secondsPerCall(int (*call)(PrintfFn), PrintfFn f, int repeats) {
  double start = bench::nowSeconds();
  int sum = 0;
  for (int i = 0; i < repeats; ++i) sum += call(f);
  fflush(stdout);
  bench::keep(sum);
  return (bench::nowSeconds() - start) / repeats;
}

}  // namespace

int main() {
  memset(g_long, 'q', sizeof g_long - 1);
  const Case cases[] = {{"short text", shortText},
                        {"numbers", numbers},
                        {"1000 chars", text1000},
                        {"1500 chars", text1500}};
  const int kCases = sizeof cases / sizeof cases[0];
  const bool emulated = bench::underEmulation();
  const int repeats = emulated ? 4000 : 40000;
  double platformTimes[kCases];
  double runtimeTimes[kCases];

  pal_set_debug_sink(&countText);
  // Standard output goes to /dev/null while measuring; the table goes to the saved descriptor.
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int null = open("/dev/null", O_WRONLY);
  if (saved < 0 || null < 0) {
    fprintf(stderr, "bench_printf: cannot redirect standard output\n");
    return 1;
  }
  dup2(null, STDOUT_FILENO);
  close(null);
  for (int c = 0; c < kCases; ++c) {
    platformTimes[c] = runtimeTimes[c] = 1e30;
    for (int sample = 0; sample < 5; ++sample) {
      double p = secondsPerCall(cases[c].call, g_platform, repeats);
      double r = secondsPerCall(cases[c].call, g_runtime, repeats);
      if (p < platformTimes[c]) platformTimes[c] = p;
      if (r < runtimeTimes[c]) runtimeTimes[c] = r;
    }
  }
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  pal_set_debug_sink(nullptr);

  printf(
      "Platform::printf vs C runtime vprintf to /dev/null, best of 5 alternating samples of %d "
      "calls\n",
      repeats);
  printf("ratio = vprintf time / Platform::printf time (below 1: Platform::printf is slower)\n");
  printf("debugger channel: a counting sink (%lu texts received)\n", g_channelTexts);
  bench::printRunNote();
  printf("\n%-12s %16s %16s %8s\n", "format", "Platform ns/call", "vprintf ns/call", "ratio");
  for (int c = 0; c < kCases; ++c) {
    printf("%-12s %16.0f %16.0f %8.2f\n", cases[c].label, platformTimes[c] * 1e9,
           runtimeTimes[c] * 1e9, runtimeTimes[c] / platformTimes[c]);
  }
  return 0;
}
