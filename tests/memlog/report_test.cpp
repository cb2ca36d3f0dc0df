// The leak report of the leak-tracking build: terminate names every block still live in
// "memleak.TXT", then one summary line on the debugger channel; the process's detach, when the
// program ends without another terminate, names the blocks that leaked since, and none twice.
#include <quor/Platform.h>

#include <pal/testing.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/memlog_file.h"

using quor::Platform;
using namespace quortest;

namespace {

// Writes the debugger channel to standard error, where the death test's matcher reads it.
void debugToStderr(const char* text) { fputs(text, stderr); }

// The child leaks a block, releases one, terminates; then leaks another and leaves without
// terminate, telling what it counted just before its exit.
void leakTerminateLeakAndExit() {
  pal_set_debug_sink(&debugToStderr);
  Platform::initialize(nullptr);
  const unsigned liveBefore = Platform::getAllocCount(), bytesBefore = Platform::getAllocSize();
  Platform::malloc(64);
  Platform::free(Platform::realloc(Platform::malloc(65), 650));
  Platform::terminate();
  Platform::operator new[](66);
  fprintf(stderr, "child: quorkit: %u blocks, %u bytes still allocated\n", liveBefore + 2,
          bytesBefore + 130);
  exit(0);
}

// Terminate's summary follows its report; detach's, with the child's count, comes last.
bool summariesFollowTheirReports(const std::string& text) {
  const size_t child = text.find("child: ");
  const size_t first = text.find(", 64 bytes.");
  const size_t terminated = text.find("quorkit: ", first);
  const std::string summary = text.substr(child + 7, text.find('\n', child) - child - 6);
  return first < terminated && terminated < child && child != std::string::npos &&
         text.rfind(summary) > child + 7 && text.rfind(summary) + summary.size() == text.size();
}

TEST(MemLogReport, TerminateAndDetachNameEachLeakOnce) {
  std::remove(reportPath().c_str());
  const unsigned serial = Platform::getTotalAllocCount() + 1;
  EXPECT_EXIT(leakTerminateLeakAndExit(), ::testing::ExitedWithCode(0),
              ::testing::Truly(&summariesFollowTheirReports));
  // The two leaks, each once, in serial order; none of the released blocks, and "new_array"
  // stored as realloc.
  const std::string report = readFile(reportPath());
  char first[48], second[48];
  snprintf(first, sizeof first, "<<malloc>>: {0x%08X} ", serial);
  snprintf(second, sizeof second, "<<realloc>>: {0x%08X} ", serial + 3);
  const size_t at = report.find(first), next = report.find(second);
  EXPECT_TRUE(next != std::string::npos && report.find("<<", at + 1) == next &&
              report.find("<<", next + 1) == std::string::npos)
      << report;
  EXPECT_TRUE(report.find(", 64 bytes.", at) < next &&
              report.find(", 66 bytes.", next) != std::string::npos);
}

}  // namespace
