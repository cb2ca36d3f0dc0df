// The tour's allocation-log stop. A small "document loader" allocates through nested calls and
// logs each event as a debugging build of the memory services would; one block is never freed,
// and the leak report shows where it came from, frame by frame.
#include "tour_memlog.h"

#include <cstdio>
#include <cstdint>

#include "debug/Win32dbghelp.h"

namespace {

DWORD g_nextId = 1;
unsigned g_events = 0;

DWORD addressOf(const void* block) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(block));
}

// The calls are kept out of line so that each shows up as its own frame in the report.
__attribute__((noinline)) char* tourAllocate(const char* op, DWORD size, unsigned short region,
                                             DWORD* id) {
  char* block = new char[size];
  *id = g_nextId++;
  quor::logMemoryEvent(op, *id, addressOf(block), size, region);
  ++g_events;
  return block;
}

__attribute__((noinline)) void tourRelease(char* block, DWORD id, DWORD size) {
  quor::logMemoryEvent("delete_array", id, addressOf(block), size, 0);
  ++g_events;
  delete[] block;
}

__attribute__((noinline)) char* tourParseHeader(DWORD* id) {
  char* header = tourAllocate("new_array", 48, 2, id);
  asm volatile("" ::: "memory");
  return header;
}

__attribute__((noinline)) char* tourLoadDocument(DWORD* headerId) {
  DWORD scratchId = 0;
  char* scratch = tourAllocate("malloc", 256, 1, &scratchId);
  char* header = tourParseHeader(headerId);
  tourRelease(scratch, scratchId, 256);
  return header;
}

}  // namespace

void tourAllocationLog() {
  std::printf("== Allocation log and leak report\n");
  // The very first event starts the module; its own stack is logged empty.
  DWORD warmId = 0;
  char* warm = tourAllocate("malloc", 8, 0, &warmId);
  tourRelease(warm, warmId, 8);

  DWORD headerId = 0;
  char* header = tourLoadDocument(&headerId);  // the header block is "forgotten"
  std::printf("logged %u events to %s\n", g_events, quor::_dbgHelp.logPath);

  quor::reportLeak(headerId, addressOf(header), 48);
  std::printf("report of block {0x%08lX} in %s:\n", static_cast<unsigned long>(headerId),
              quor::_dbgHelp.reportPath);
  if (std::FILE* report = std::fopen(quor::_dbgHelp.reportPath, "r")) {
    char line[1024];
    while (std::fgets(line, sizeof line, report)) std::fputs(line, stdout);
    std::fclose(report);
  } else {
    std::printf("(no report file)\n");
  }
  delete[] header;
  quor::terminateDbgHelp();
}
