// Library lifecycle, the configuration record and the global lock. (A thread's record freed at
// its own exit: regions_test.cpp.)
#include <quor/Platform.h>

#include <windows.h>
#include <pal/testing.h>

#include "PlatformInternal.h"
#include "platform/thread_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdlib.h>
#include <string.h>

// Every release of the system allocator layer passes here.
extern "C" void __real__aligned_free(void* block);
namespace {
constexpr int kFreedCapacity = 4096;
std::atomic<const void*> g_freed[kFreedCapacity];
std::atomic<int> g_freedCount{0};
}  // namespace
extern "C" void __wrap__aligned_free(void* block) {
  if (block != nullptr) {
    int slot = g_freedCount.fetch_add(1);
    if (slot < kFreedCapacity) g_freed[slot].store(block);
  }
  __real__aligned_free(block);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace platformtest {
int freedCount() { return g_freedCount.load(); }
bool wasFreedSince(const void* block, int since) {
  for (int i = since; i < std::min(g_freedCount.load(), kFreedCapacity); ++i) {
    if (g_freed[i].load() == block) return true;
  }
  return false;
}
}  // namespace platformtest

namespace {

using platformtest::freedCount;
using platformtest::tryLockFromOtherThread;
using quor::Platform;

TEST(Lifecycle, InitializeTwiceAndLoaderReasonsOtherThanAttachAndDetachChangeNothing) {
  ASSERT_TRUE(quor::isThreadSlotAllocated());
  int marker = 0;
  quor::setThreadSlot(&marker);
  quor::PlatformConfig config;
  Platform::initialize(&config);
  EXPECT_EQ(quor::getThreadSlot(), &marker) << "a second initialize must not replace the slot";
  EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);
  EXPECT_EQ(DllMain(nullptr, 17, nullptr), TRUE);
  EXPECT_EQ(quor::getThreadSlot(), &marker) << "nor does the loader entry for other reasons";
  quor::setThreadSlot(nullptr);
}

TEST(Lifecycle, TerminateTwiceThenInitializeGivesAFreshSlot) {
  void* record = quor::sysMalloc(32);
  quor::setThreadSlot(record);
  int since = freedCount();
  Platform::terminate();
  EXPECT_FALSE(quor::isThreadSlotAllocated());
  EXPECT_TRUE(platformtest::wasFreedSince(record, since)) << "the calling thread's record";
  Platform::terminate();
  EXPECT_EQ(freedCount(), since + 1) << "the second terminate frees nothing";
  quor::setThreadSlot(&since);  // dropped: there is no slot
  EXPECT_EQ(quor::getThreadSlot(), nullptr);
  Platform::lock();
  EXPECT_FALSE(tryLockFromOtherThread()) << "the lock outlives terminate";
  Platform::unlock();

  Platform::initialize(nullptr);
  EXPECT_TRUE(quor::isThreadSlotAllocated());
  EXPECT_EQ(quor::getThreadSlot(), nullptr) << "the new slot holds nothing for this thread";
}

TEST(Lifecycle, AThreadExitingAfterTerminateFreesNothing) {
  std::atomic<int> stage{0};
  void* record = nullptr;
  std::thread worker([&] {
    record = quor::sysMalloc(16);
    quor::setThreadSlot(record);
    stage.store(1);
    while (stage.load() != 2) std::this_thread::yield();
  });
  while (stage.load() != 1) std::this_thread::yield();
  Platform::terminate();
  int since = freedCount();
  stage.store(2);
  worker.join();
  EXPECT_EQ(freedCount(), since) << "no slot: the detach has nothing to release";
  quor::sysFree(record);
  Platform::initialize(nullptr);
}

TEST(LifecycleDeathTest, DetachFreesNoRecordAndAFailedSlotAtLoadLeavesALibraryThatWorks) {
  EXPECT_EXIT(
      {
        // An unload and a new load with TlsAlloc failing, as the loader would make them.
        quor::setThreadSlot(quor::sysMalloc(16));
        int since = freedCount();
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        bool ok = !quor::isThreadSlotAllocated() && freedCount() == since;
        pal_inject_failure("TlsAlloc", 0, 1);
        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        ok = ok && !quor::isThreadSlotAllocated();
        quor::setThreadSlot(&ok);
        ok = ok && quor::getThreadSlot() == nullptr;
        Platform::lock();
        ok = ok && Platform::tryLock() && !tryLockFromOtherThread();
        Platform::unlock();
        Platform::unlock();
        Platform::initialize(nullptr);  // a later initialize gets the slot
        exit(ok && quor::isThreadSlotAllocated() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PlatformConfig, DefaultsInFieldOrderAndAssignmentCopiesAll) {
  quor::PlatformConfig config;
  config.byte0 = config.byte1 = config.byte2 = config.byte3 = 7;
  EXPECT_EQ(&(config = quor::PlatformConfig()), &config);
  const unsigned char expected[] = {1, 0xDD, 0x55, 0x99};
  EXPECT_EQ(0, memcmp(&config, expected, sizeof expected));
}

TEST(GlobalLock, RecursesForTheOwnerAndNeedsBalancedUnlocks) {
  EXPECT_TRUE(tryLockFromOtherThread());
  Platform::lock();
  Platform::lock();
  EXPECT_TRUE(Platform::tryLock()) << "true for the thread that already holds it";
  EXPECT_FALSE(tryLockFromOtherThread());
  Platform::unlock();
  Platform::unlock();
  EXPECT_FALSE(tryLockFromOtherThread()) << "one hold is left";
  Platform::unlock();
  EXPECT_TRUE(tryLockFromOtherThread());
}

}  // namespace
