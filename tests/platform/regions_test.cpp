// Debug region stacks, process-wide and per thread. Every test leaves the process-wide stack as it
// found it (depth 0, base 0), so the cases hold whether they run one per process (ctest) or all in
// one.
#include <quor/Platform.h>

#include <pal/testing.h>

#include "DebugRegions.h"
#include "PlatformInternal.h"
#include "platform/thread_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platformtest::onNewThread;
using quor::Platform;
using Reports = std::vector<std::string>;

Reports g_reports;  // made and taken under the global lock or after the reporting thread ended

// Each report as its message and the depth of the reporting thread's own stack at that moment
// ("stack overflow.@63"), or the message alone while the thread has no stack.
void recordReport(quor::ErrorLevel level, const char* message) {
  // Runs under the global lock, on the reporting thread, so this lookup re-enters it.
  quor::ThreadRegionStack* stack = quor::getThreadRegionStack();
  std::string report = std::string(level == quor::LEVEL_ERROR ? "" : "not an error: ") + message;
  if (stack != nullptr) report += "@" + std::to_string(stack->top);
  g_reports.push_back(report);
}

Reports takeReports() {
  Reports all;
  all.swap(g_reports);
  return all;
}

// One event's reports: with a thread stack, the process-wide one first (made while the thread's
// stack is still at `before`), then the thread's own (at `after`); without, one.
Reports event(bool withThreadStack, const std::string& message, int before, int after) {
  if (!withThreadStack) return {message};
  return {message + "@" + std::to_string(before), message + "@" + std::to_string(after)};
}

// Every test must have taken the reports it caused.
class DebugRegions : public ::testing::Test {
 protected:
  void SetUp() override {
    takeReports();
    previous_ = Platform::setDiagnosisHandler(&recordReport);
  }
  void TearDown() override {
    Platform::setDiagnosisHandler(previous_);
    pal_clear_failures();
    EXPECT_EQ(takeReports(), Reports{});
  }

 private:
  quor::DiagnosisHandler previous_ = nullptr;
};

// The whole overflow/underflow walk, starting and ending at depth 0 with base 0.
void walkOverflowAndUnderflow(bool both) {
  for (unsigned short id = 1; id <= 63; ++id) Platform::pushDebugRegion(id);
  EXPECT_EQ(takeReports(), Reports{});
  EXPECT_EQ(63, Platform::getCurrentDebugRegion());
  // The 64th push has no room: reported, not stored. Its pop reads the clamped entry 63
  // silently, and so does the next.
  Platform::pushDebugRegion(64);
  EXPECT_EQ(takeReports(), event(both, "stack overflow.", 63, 64));
  EXPECT_EQ(63, Platform::getCurrentDebugRegion());
  EXPECT_EQ(63, Platform::popDebugRegion());
  EXPECT_EQ(63, Platform::popDebugRegion());
  for (unsigned short id = 62; id >= 1; --id) ASSERT_EQ(id, Platform::popDebugRegion());
  EXPECT_EQ(takeReports(), Reports{});
  EXPECT_EQ(0, Platform::getCurrentDebugRegion());
  // Two pops past the bottom: the base each time, reported each time.
  EXPECT_EQ(0, Platform::popDebugRegion());
  EXPECT_EQ(takeReports(), event(both, "stack underflow.", 0, -1));
  EXPECT_EQ(0, Platform::popDebugRegion());
  EXPECT_EQ(takeReports(), event(both, "stack underflow.", -1, -2));
  // At top -2 a push lands at -1: out of range, reported, not stored. The next lands on the base.
  Platform::pushDebugRegion(5);
  EXPECT_EQ(takeReports(), event(both, "stack overflow.", -2, -1));
  EXPECT_EQ(0, Platform::getCurrentDebugRegion());
  Platform::pushDebugRegion(9);
  EXPECT_EQ(9, Platform::getCurrentDebugRegion());
  EXPECT_EQ(9, Platform::popDebugRegion());
  EXPECT_EQ(takeReports(), event(both, "stack underflow.", 0, -1));
  Platform::pushDebugRegion(0);  // back to depth 0 with base 0
}

}  // namespace

TEST_F(DebugRegions, OverflowAndUnderflowOnAThreadOfItsOwn) {
  onNewThread([] {
    EXPECT_EQ(0, Platform::getCurrentDebugRegion());
    Platform::pushDebugRegion(7);
    Platform::pushDebugRegion(0xFFFF);
    quor::ThreadRegionStack* stack = quor::getThreadRegionStack();
    ASSERT_EQ(stack, quor::getThreadSlot());
    for (int i = 0; i <= 2; ++i) EXPECT_EQ(0u, stack->entries[i].extra);
    EXPECT_EQ(0xFFFF, Platform::popDebugRegion());
    EXPECT_EQ(7, Platform::popDebugRegion());
    walkOverflowAndUnderflow(true);
  });
}

TEST_F(DebugRegions, ThreadsKeepTheirOwnIdsAndAThreadWithoutAStackUsesTheProcessWideOne) {
  onNewThread([] {
    Platform::pushDebugRegion(100);
    onNewThread([] {
      EXPECT_EQ(0, Platform::getCurrentDebugRegion());
      Platform::pushDebugRegion(200);
    });
    EXPECT_EQ(100, Platform::getCurrentDebugRegion()) << "the process-wide stack holds 200";
    EXPECT_EQ(100, Platform::popDebugRegion());
  });
  onNewThread([] {
    pal_inject_failure("_aligned_malloc", 0, 1);  // not reported; tried again next time
    EXPECT_EQ(100, Platform::popDebugRegion());
    EXPECT_EQ(nullptr, quor::getThreadSlot());
    EXPECT_EQ(0, Platform::getCurrentDebugRegion());
    EXPECT_NE(nullptr, quor::getThreadSlot());
  });
}

TEST_F(DebugRegions, AfterTerminateOnlyTheProcessWideStack) {
  Platform::pushDebugRegion(3);  // this thread now has a stack of its own, which terminate frees
  Platform::terminate();
  EXPECT_EQ(3, Platform::getCurrentDebugRegion());
  onNewThread([] {
    Platform::pushDebugRegion(4);
    EXPECT_EQ(nullptr, quor::getThreadRegionStack());
  });
  EXPECT_EQ(4, Platform::popDebugRegion());
  EXPECT_EQ(3, Platform::popDebugRegion());
  walkOverflowAndUnderflow(false);

  // A new slot brings per-thread stacks back, starting from their base.
  Platform::initialize(nullptr);
  Platform::pushDebugRegion(12);
  EXPECT_NE(nullptr, quor::getThreadRegionStack());
  EXPECT_EQ(12, Platform::popDebugRegion());
}

TEST_F(DebugRegions, ThreadStackIsFreedAtThreadExit) {
  void* stack = nullptr;
  int since = platformtest::freedCount();
  onNewThread([&stack, &since] {
    Platform::pushDebugRegion(1);
    stack = quor::getThreadSlot();
    EXPECT_EQ(1, Platform::popDebugRegion());
    EXPECT_FALSE(platformtest::wasFreedSince(stack, since));
  });
  EXPECT_TRUE(platformtest::wasFreedSince(stack, since));
}

TEST_F(DebugRegions, ReportsRunUnderTheGlobalLockWhichIsReleasedAfterwards) {
  static bool otherThreadGotLock = true;
  Platform::setDiagnosisHandler([](quor::ErrorLevel, const char*) {
    otherThreadGotLock = platformtest::tryLockFromOtherThread();
  });
  onNewThread([] {
    EXPECT_EQ(0, Platform::popDebugRegion());
    EXPECT_FALSE(otherThreadGotLock);
    Platform::pushDebugRegion(0);
  });
  EXPECT_TRUE(platformtest::tryLockFromOtherThread());
}
