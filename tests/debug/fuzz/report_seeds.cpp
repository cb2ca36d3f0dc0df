// Seeds for the report fuzzer: real allocation logs written by the module, one that opens with
// the module block and one without it (a module table that cannot be locked), each behind the 12
// bytes that name its logged allocation, so that the fuzzer starts from inputs whose search
// matches and prints. Runs with the PAL's dbghelp.dll beside it, for the listing and the walk.
#include <pal/testing.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "debug/Win32dbghelp.h"

namespace {

void quiet(const char*) {}

const uint32_t kKey[3] = {7, 0x00A0B0C0, 48};  // id, address and size of the block searched for

bool writeSeed(const std::string& seedPath, bool withModuleBlock) {
  if (!withModuleBlock) pal_inject_failure("LocalLock", 2, 1);  // the module table's lock
  quor::initializeDbgHelp();
  pal_clear_failures();
  quor::logMemoryEvent("malloc", kKey[0] + 1, kKey[1] + 64, 16, 1);
  quor::logMemoryEvent("malloc", kKey[0], kKey[1], kKey[2], 2);
  quor::logMemoryEvent("free", kKey[0] + 1, kKey[1] + 64, 16, 1);
  const std::string logPath = quor::_dbgHelp.logPath;
  quor::terminateDbgHelp();

  std::ifstream file(logPath, std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::remove(logPath.c_str());
  uint32_t firstCode = 0;
  if (log.size() >= sizeof firstCode) std::memcpy(&firstCode, log.data(), sizeof firstCode);
  if ((firstCode == quor::MEMOP_MODULE) != withModuleBlock) {
    std::fprintf(stderr, "%s: log of %zu bytes opens with code %u\n", seedPath.c_str(), log.size(),
                 firstCode);
    return false;
  }
  std::ofstream seed(seedPath, std::ios::binary);
  seed.write(reinterpret_cast<const char*>(kKey), sizeof kKey).write(log.data(), log.size());
  return seed.flush().good();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s seed-directory\n", argv[0]);
    return 2;
  }
  pal_set_debug_sink(quiet);
  const std::string directory = argv[1];
  return writeSeed(directory + "/log-with-modules", true) &&
                 writeSeed(directory + "/log-without-modules", false)
             ? 0
             : 1;
}
