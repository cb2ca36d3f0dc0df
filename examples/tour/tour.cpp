// A tour of quorkit: install a diagnosis handler, report at each level, print through the
// library, echo through two sockets on loopback, and log allocations with their stacks into a
// leak report.
#include <quor/Platform.h>

#include <stdio.h>

#include "tour_memlog.h"
#include "tour_socket.h"

namespace {

using quor::Platform;

void section(const char* title) {
  Platform::printf("\n== %s\n", title);
  fflush(stdout);
}

// An application's own handler: count reports and pass them on to the console handler.
int g_reports = 0;
void countingHandler(quor::ErrorLevel level, const char* message) {
  ++g_reports;
  quor::defaultDiagnosisHandler(level, message);
  Platform::printf("\n");
}

void tourDiagnosis() {
  section("diagnosis");
  Platform::printf("no handler installed: the bare message, no label:\n");
  Platform::diagnosis(quor::LEVEL_INFO, "  free space %d%%\n", 42);

  quor::DiagnosisHandler previous = Platform::setDiagnosisHandler(countingHandler);
  Platform::printf("handler installed (previous was %s):\n", previous ? "set" : "none");
  Platform::diagnosis(quor::LEVEL_INFO, "cache warmed in %d ms", 12);
  Platform::diagnosis(quor::LEVEL_WARNING, "disk %d low", 3);
  Platform::diagnosis(quor::LEVEL_ERROR, "retrying %s", "upload");
  // LEVEL_FATAL would end in a debugger break (SIGTRAP on Linux); the tour stops short of it.
  Platform::setDiagnosisHandler(nullptr);
  Platform::printf("%d reports went through the handler\n", g_reports);
}

void tourPrintf() {
  section("formatted output");
  int written = Platform::printf("%s|%5d|%-6s|%#x\n", "columns", 42, "left", 255u);
  Platform::printf("printf returned %d; the same text also went to the debugger channel\n",
                   written);
  char line[64];
  Platform::sprintf(line, "%08.3f", 3.14159);
  Platform::printf("sprintf made \"%s\"\n", line);
}

}  // namespace

int main() {
  quor::PlatformConfig config;
  Platform::initialize(&config);
  tourDiagnosis();
  tourPrintf();
  tourSocketEcho();
  tourAllocationLog();
  Platform::terminate();
  Platform::printf("\ntour finished\n");
  return 0;
}
