// The fixture and helpers of the debug-help module's tests.
#ifndef QUORKIT_TESTS_DEBUG_DBGHELP_FIXTURE_H
#define QUORKIT_TESTS_DEBUG_DBGHELP_FIXTURE_H

#include <gtest/gtest.h>
#include <pal/testing.h>

#include <cstdio>
#include <thread>

#include "debug/Win32dbghelp.h"
#include "support/capture.h"
#include "support/memlog_file.h"

namespace quortest {

// Each case starts and ends with a module that is not started, no injected failure and no files;
// the debugger channel is collected meanwhile.
class DbgHelpTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    quor::terminateDbgHelp();
    quor::_dbgHelp.firstReport = true;
    pal_clear_failures();
    pal_set_system_directory(nullptr);
    std::remove(logPath().c_str());
    std::remove(reportPath().c_str());
    pieces().clear();
  }
  static std::vector<std::string>& pieces() { return DebugChannelCapture::texts(); }
  std::string said() const { return channel_.joined(); }

  DebugChannelCapture channel_;
};

// The labels of start-up's listing, in its order.
inline const char* const kEntryLabels[] = {
    "SymSetOptions",          "SymGetOptions",    "SymInitialize",       "SymCleanup",
    "SymFunctionTableAccess", "SymGetModuleBase", "SymGetSymFromAddr",   "SymGetLineFromAddr",
    "SymGetModuleInfo",       "StackWalk",        "SymEnumerateModules", "MiniDumpWriteDump",
    "RtlCaptureContext"};

inline std::string symbolOf(DWORD address) {
  char text[quor::kReportLineSize];
  quor::symbolizeAddress(address, text, sizeof text);
  return text;
}

// Shutdown returns the module to "not started": its blocks freed (their handles dead), the
// library released, the log closed and the lock deleted.
inline void expectShutDown() {
  const quor::DbgHelpState& s = quor::_dbgHelp;
  const HLOCAL blocks[] = {s.hSymbolBuffer, s.hRecordBuffer, s.hModuleTable};
  EXPECT_TRUE(quor::terminateDbgHelp());
  for (HLOCAL block : blocks) EXPECT_TRUE(block == nullptr || LocalLock(block) == nullptr);
  EXPECT_TRUE(!s.hDbgHelp && !s.api.StackWalk64 && !s.hSymbolBuffer && !s.hRecordBuffer &&
              !s.hModuleTable && s.hLogFile == INVALID_HANDLE_VALUE && !s.lockCreated);
}

// Whether another thread can take the module's lock now, i.e. no operation left it held.
inline bool lockIsFree() {
  bool entered = false;
  std::thread([&] {
    entered = TryEnterCriticalSection(&quor::_dbgHelp.lock) != FALSE;
    if (entered) LeaveCriticalSection(&quor::_dbgHelp.lock);
  }).join();
  return entered;
}

}  // namespace quortest

#endif  // QUORKIT_TESTS_DEBUG_DBGHELP_FIXTURE_H
