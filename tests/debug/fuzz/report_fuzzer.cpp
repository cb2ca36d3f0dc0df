// libFuzzer harness: the leak report over arbitrary log bytes. The report must end its search
// on anything without reading past its buffers. An input is the 12 bytes that name the block
// searched for (id, address, size), then the log. Runs without a dbghelp.dll beside it, so each
// frame symbolises to nothing and the search itself is what gets exercised. A run in which no
// input matched a record fails: the match-and-print path is the one worth reaching.
#include <pal/testing.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "debug/Win32dbghelp.h"

namespace {

void quiet(const char*) {}

bool startModule() {
  pal_set_debug_sink(quiet);
  quor::initializeDbgHelp();
  quor::openMemLog();  // builds the paths
  quor::closeMemLog();
  return quor::_dbgHelp.pRecord != nullptr;
}

// The report file is written only when a record matched.
bool reportWritten() {
  std::FILE* report = std::fopen(quor::_dbgHelp.reportPath, "rb");
  if (report == nullptr) return false;
  const bool written = std::fgetc(report) != EOF;
  std::fclose(report);
  return written;
}

struct MatchTally {
  bool matched = false;
  ~MatchTally() {
    if (matched) return;
    std::fputs("report fuzzer: no input reached a matching record\n", stderr);
    _exit(1);
  }
} g_tally;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = startModule();
  if (!started) return 0;
  uint32_t key[3] = {};
  const size_t keySize = size < sizeof key ? size : sizeof key;
  if (keySize > 0) std::memcpy(key, data, keySize);
  std::FILE* log = std::fopen(quor::_dbgHelp.logPath, "wb");
  if (!log) return 0;
  if (size > keySize) std::fwrite(data + keySize, 1, size - keySize, log);
  std::fclose(log);
  quor::_dbgHelp.firstReport = true;
  quor::reportLeak(key[0], key[1], key[2]);
  if (!g_tally.matched) g_tally.matched = reportWritten();
  return 0;
}
