// libFuzzer harness: the leak report over arbitrary log bytes. The report must end its search
// on anything without reading past its buffers. Runs without a dbghelp.dll beside it, so each
// frame symbolises to nothing and the search itself is what gets exercised.
#include <pal/testing.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = startModule();
  if (!started) return 0;
  std::FILE* log = std::fopen(quor::_dbgHelp.logPath, "wb");
  if (!log) return 0;
  if (size > 0) std::fwrite(data, 1, size, log);
  std::fclose(log);
  // The searched block is the one named by the input's first record, so that matches happen.
  uint32_t fields[4] = {};
  std::memcpy(fields, data, size < sizeof fields ? size : sizeof fields);
  quor::_dbgHelp.firstReport = true;
  quor::reportLeak(fields[1], fields[2], fields[3]);
  return 0;
}
