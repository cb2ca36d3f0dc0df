// Debug region stacks: the overflow and underflow sequence on the process-wide and the per-thread
// stacks together and on the process-wide stack alone, threads keeping their own ids, the
// thread's stack created on first use (retried after a failed allocation) and freed at thread
// exit, and the reports made under the global lock.
//
// Every test leaves the process-wide stack as it found it (depth 0, base 0), so the cases hold
// whether they run one per process (ctest) or all in one.
#include <quor/Platform.h>

#include <pal/testing.h>

#include "DebugRegions.h"
#include "PlatformInternal.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Every block the system allocator layer releases, in order.
extern "C" void __real__aligned_free(void* block);
namespace {
constexpr int kFreedCapacity = 256;
std::atomic<void*> g_freed[kFreedCapacity];
std::atomic<int> g_freedCount{0};
}  // namespace
extern "C" void __wrap__aligned_free(void* block) {
  if (block != nullptr) {
    int slot = g_freedCount.fetch_add(1);
    if (slot < kFreedCapacity) g_freed[slot].store(block);
  }
  __real__aligned_free(block);
}

namespace {

using quor::Platform;

// Whether `block` was released since the `since`-th release (addresses are reused, so earlier
// releases of the same address do not count).
bool wasFreed(void* block, int since) {
  int count = std::min(g_freedCount.load(), kFreedCapacity);
  for (int i = since; i < count; ++i) {
    if (g_freed[i].load() == block) return true;
  }
  return false;
}

// What each report said, and the depth of the reporting thread's own stack at that moment:
// reports about the process-wide stack come before the thread's stack has been touched.
struct Report {
  quor::ErrorLevel level;
  std::string message;
  int threadTop;
};

std::mutex g_reportsMutex;
std::vector<Report> g_reports;

void recordReport(quor::ErrorLevel level, const char* message) {
  // Runs under the global lock, on the reporting thread, so this lookup re-enters it safely.
  quor::ThreadRegionStack* stack = quor::getThreadRegionStack();
  std::lock_guard<std::mutex> guard(g_reportsMutex);
  g_reports.push_back({level, message, stack != nullptr ? stack->top : 999});
}

std::vector<Report> takeReports() {
  std::lock_guard<std::mutex> guard(g_reportsMutex);
  std::vector<Report> all;
  all.swap(g_reports);
  return all;
}

class DebugRegions : public ::testing::Test {
 protected:
  void SetUp() override {
    takeReports();
    previous_ = Platform::setDiagnosisHandler(&recordReport);
  }
  void TearDown() override {
    Platform::setDiagnosisHandler(previous_);
    pal_clear_failures();
  }

 private:
  quor::DiagnosisHandler previous_ = nullptr;
};

// Runs `body` on a new thread and waits for it to end (and so for its thread detach).
void onNewThread(const std::function<void()>& body) {
  std::thread thread(body);
  thread.join();
}

// Expects `count` reports of `message` at LEVEL_ERROR and returns them.
std::vector<Report> expectReports(size_t count, const char* message) {
  std::vector<Report> reports = takeReports();
  EXPECT_EQ(count, reports.size()) << "reports of " << message;
  for (const Report& report : reports) {
    EXPECT_EQ(quor::LEVEL_ERROR, report.level);
    EXPECT_EQ(message, report.message);
  }
  return reports;
}

// The whole overflow/underflow walk, starting and ending at depth 0 with base 0. With a thread
// stack each event is reported twice (process-wide first, while the thread's stack is still
// untouched); on the process-wide stack alone, once.
void walkOverflowAndUnderflow(bool withThreadStack) {
  const size_t perEvent = withThreadStack ? 2 : 1;

  for (unsigned short id = 1; id <= 63; ++id) Platform::pushDebugRegion(id);
  expectReports(0, "");
  EXPECT_EQ(63, Platform::getCurrentDebugRegion());

  // The 64th push has no room: reported, not stored.
  Platform::pushDebugRegion(64);
  std::vector<Report> overflow = expectReports(perEvent, "stack overflow.");
  if (withThreadStack && overflow.size() == 2) {
    EXPECT_EQ(63, overflow[0].threadTop);
    EXPECT_EQ(64, overflow[1].threadTop);
  }
  EXPECT_EQ(63, Platform::getCurrentDebugRegion());

  // Its pop reads the clamped entry 63 silently, and so does the next; then 62.
  EXPECT_EQ(63, Platform::popDebugRegion());
  EXPECT_EQ(63, Platform::popDebugRegion());
  EXPECT_EQ(62, Platform::popDebugRegion());
  for (unsigned short id = 61; id >= 1; --id) ASSERT_EQ(id, Platform::popDebugRegion());
  expectReports(0, "");
  EXPECT_EQ(0, Platform::getCurrentDebugRegion());

  // Two pops past the bottom: the base each time, reported each time.
  EXPECT_EQ(0, Platform::popDebugRegion());
  std::vector<Report> underflow = expectReports(perEvent, "stack underflow.");
  if (withThreadStack && underflow.size() == 2) {
    EXPECT_EQ(0, underflow[0].threadTop);
    EXPECT_EQ(-1, underflow[1].threadTop);
  }
  EXPECT_EQ(0, Platform::popDebugRegion());
  expectReports(perEvent, "stack underflow.");

  // At top -2 a push lands at -1: out of range, reported, not stored.
  Platform::pushDebugRegion(5);
  expectReports(perEvent, "stack overflow.");
  EXPECT_EQ(0, Platform::getCurrentDebugRegion());
  // The next one lands on the base itself.
  Platform::pushDebugRegion(9);
  expectReports(0, "");
  EXPECT_EQ(9, Platform::getCurrentDebugRegion());
  EXPECT_EQ(9, Platform::popDebugRegion());
  expectReports(perEvent, "stack underflow.");

  // Back to depth 0 with base 0.
  Platform::pushDebugRegion(0);
  expectReports(0, "");
  EXPECT_EQ(0, Platform::getCurrentDebugRegion());
}

}  // namespace

TEST_F(DebugRegions, PushPopAndCurrentOnAThreadOfItsOwn) {
  onNewThread([] {
    EXPECT_EQ(0, Platform::getCurrentDebugRegion());
    Platform::pushDebugRegion(7);
    EXPECT_EQ(7, Platform::getCurrentDebugRegion());

    // The thread's own record: base entry and the pushed one, `extra` 0 in both.
    quor::ThreadRegionStack* stack = quor::getThreadRegionStack();
    ASSERT_NE(nullptr, stack);
    EXPECT_EQ(stack, quor::getThreadSlot());
    EXPECT_EQ(1, stack->top);
    EXPECT_EQ(0, stack->entries[0].region);
    EXPECT_EQ(0u, stack->entries[0].extra);
    EXPECT_EQ(7, stack->entries[1].region);
    EXPECT_EQ(0u, stack->entries[1].extra);

    Platform::pushDebugRegion(0xFFFF);
    EXPECT_EQ(0xFFFF, Platform::popDebugRegion());
    EXPECT_EQ(7, Platform::popDebugRegion());
    EXPECT_EQ(0, Platform::getCurrentDebugRegion());
  });
  expectReports(0, "");
}

TEST_F(DebugRegions, OverflowAndUnderflowOnBothStacks) {
  onNewThread([] { walkOverflowAndUnderflow(true); });
}

TEST_F(DebugRegions, PopOnAFreshThreadReportsProcessWideFirst) {
  onNewThread([] {
    EXPECT_EQ(0, Platform::popDebugRegion());
    std::vector<Report> reports = expectReports(2, "stack underflow.");
    // The first report came before the thread's stack was popped (it may have been created by
    // the lookup in the handler, at depth 0); the second after.
    if (reports.size() == 2) {
      EXPECT_EQ(0, reports[0].threadTop);
      EXPECT_EQ(-1, reports[1].threadTop);
    }
    Platform::pushDebugRegion(0);  // both stacks back to depth 0, base 0
    expectReports(0, "");
  });
}

TEST_F(DebugRegions, WithoutAHandlerReportsGoToTheConsoleAndTheDebuggerChannel) {
  Platform::setDiagnosisHandler(nullptr);
  onNewThread([] {
    quortest::StdoutCapture out;
    quortest::DebugChannelCapture debug;
    EXPECT_EQ(0, Platform::popDebugRegion());
    Platform::pushDebugRegion(0);
    EXPECT_EQ("stack underflow.stack underflow.", out.text());
    EXPECT_EQ("stack underflow.stack underflow.", debug.joined());
  });
}

TEST_F(DebugRegions, ThreadsKeepTheirOwnIds) {
  // Two threads take turns in a fixed order; each step waits at most a few seconds.
  std::mutex mutex;
  std::condition_variable changed;
  int turn = 0;
  std::atomic<bool> stuck{false};
  auto step = [&](int mine, const std::function<void()>& body) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return turn == mine || stuck; }))
      stuck = true;
    if (stuck) return;
    body();
    ++turn;
    changed.notify_all();
  };

  std::thread first([&] {
    step(0, [] { Platform::pushDebugRegion(100); });
    step(2, [] { EXPECT_EQ(100, Platform::getCurrentDebugRegion()); });
    step(4, [] { Platform::pushDebugRegion(101); });
    step(6, [] { EXPECT_EQ(101, Platform::getCurrentDebugRegion()); });
    step(8, [] {
      EXPECT_EQ(101, Platform::popDebugRegion());
      EXPECT_EQ(100, Platform::popDebugRegion());
      EXPECT_EQ(0, Platform::getCurrentDebugRegion());
    });
  });
  std::thread second([&] {
    step(1, [] { Platform::pushDebugRegion(200); });
    step(3, [] { EXPECT_EQ(200, Platform::getCurrentDebugRegion()); });
    step(5, [] { EXPECT_EQ(200, Platform::popDebugRegion()); });
    step(7, [] {
      EXPECT_EQ(0, Platform::getCurrentDebugRegion());
      Platform::pushDebugRegion(201);
      EXPECT_EQ(201, Platform::getCurrentDebugRegion());
    });
    step(9, [] { EXPECT_EQ(201, Platform::popDebugRegion()); });
  });
  first.join();
  second.join();
  EXPECT_FALSE(stuck.load());
  expectReports(0, "");
}

TEST_F(DebugRegions, AfterTerminateOnlyTheProcessWideStack) {
  Platform::pushDebugRegion(3);  // this thread now has a stack of its own
  void* mainStack = quor::getThreadSlot();
  ASSERT_NE(nullptr, mainStack);

  int since = g_freedCount.load();
  Platform::terminate();
  EXPECT_TRUE(wasFreed(mainStack, since));
  EXPECT_EQ(nullptr, quor::getThreadRegionStack());

  // The process-wide stack answers now: it still holds the 3.
  EXPECT_EQ(3, Platform::getCurrentDebugRegion());
  Platform::pushDebugRegion(4);
  EXPECT_EQ(4, Platform::getCurrentDebugRegion());
  onNewThread([] {
    EXPECT_EQ(4, Platform::getCurrentDebugRegion());
    EXPECT_EQ(4, Platform::popDebugRegion());
    EXPECT_EQ(nullptr, quor::getThreadRegionStack());
  });
  EXPECT_EQ(3, Platform::popDebugRegion());
  expectReports(0, "");

  walkOverflowAndUnderflow(false);

  // A new slot brings per-thread stacks back, starting from their base.
  Platform::initialize(nullptr);
  Platform::pushDebugRegion(12);
  EXPECT_NE(nullptr, quor::getThreadRegionStack());
  EXPECT_EQ(12, Platform::getCurrentDebugRegion());
  EXPECT_EQ(12, Platform::popDebugRegion());
  expectReports(0, "");
}

TEST_F(DebugRegions, FailedAllocationWorksOnTheProcessWideStackAndIsRetried) {
  onNewThread([] {
    pal_inject_failure("_aligned_malloc", 0, 1);
    Platform::pushDebugRegion(5);  // no thread stack: the process-wide one alone
    EXPECT_EQ(nullptr, quor::getThreadSlot());
    expectReports(0, "");  // a failed allocation is not reported

    // The next operation allocates again and gets the thread's fresh stack at its base.
    EXPECT_EQ(0, Platform::getCurrentDebugRegion());
    EXPECT_NE(nullptr, quor::getThreadSlot());
  });
  onNewThread([] {
    // Without a stack of its own this thread gets the process-wide value: the 5 left above.
    pal_inject_failure("_aligned_malloc", 0, 1);
    EXPECT_EQ(5, Platform::popDebugRegion());
    EXPECT_EQ(nullptr, quor::getThreadSlot());
  });
  expectReports(0, "");
}

TEST_F(DebugRegions, ThreadStackIsFreedAtThreadExit) {
  void* stack = nullptr;
  int since = g_freedCount.load();
  onNewThread([&stack, since] {
    Platform::pushDebugRegion(1);
    stack = quor::getThreadSlot();
    EXPECT_EQ(1, Platform::popDebugRegion());
    EXPECT_FALSE(wasFreed(stack, since));
  });
  ASSERT_NE(nullptr, stack);
  EXPECT_TRUE(wasFreed(stack, since));

  // A thread that never used a region has nothing to free.
  int freedBefore = g_freedCount.load();
  onNewThread([] { EXPECT_EQ(nullptr, quor::getThreadSlot()); });
  EXPECT_EQ(freedBefore, g_freedCount.load());
}

TEST_F(DebugRegions, ReportsRunUnderTheGlobalLock) {
  static std::atomic<int> otherThreadGotLock{-1};
  quor::DiagnosisHandler probe = [](quor::ErrorLevel, const char*) {
    std::thread other([] {
      bool got = Platform::tryLock();
      if (got) Platform::unlock();
      otherThreadGotLock.store(got ? 1 : 0);
    });
    other.join();
  };
  Platform::setDiagnosisHandler(probe);
  onNewThread([] {
    EXPECT_EQ(0, Platform::popDebugRegion());
    EXPECT_EQ(0, otherThreadGotLock.load());
    Platform::pushDebugRegion(0);
  });

  // And the operation let go of it afterwards.
  onNewThread([] {
    ASSERT_TRUE(Platform::tryLock());
    Platform::unlock();
  });
}
