// Library lifecycle: the thread slot across initialize/terminate, a thread exiting after
// terminate, process detach and a failed slot allocation at load, and the configuration record.
// (A thread's record freed at its own exit is seen in regions_test.cpp.)
#include <quor/Platform.h>

#include <malloc.h>
#include <windows.h>
#include <pal/testing.h>

#include "PlatformInternal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdlib.h>
#include <thread>

// Every release of the system allocator layer passes here, so a test can see what was freed.
extern "C" void __real__aligned_free(void* block);
static std::atomic<void*> g_lastFreed{nullptr};
static std::atomic<int> g_freeCount{0};
extern "C" void __wrap__aligned_free(void* block) {
  if (block != nullptr) {
    g_lastFreed.store(block);
    g_freeCount.fetch_add(1);
  }
  __real__aligned_free(block);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

namespace {

using quor::Platform;

TEST(Lifecycle, SlotExistsAfterLoadAndInitializeTwiceChangesNothing) {
  ASSERT_TRUE(quor::isThreadSlotAllocated());
  int marker = 0;
  quor::setThreadSlot(&marker);
  Platform::initialize(nullptr);
  quor::PlatformConfig config;
  Platform::initialize(&config);
  EXPECT_TRUE(quor::isThreadSlotAllocated());
  EXPECT_EQ(quor::getThreadSlot(), &marker) << "a second initialize must not replace the slot";
  quor::setThreadSlot(nullptr);
}

TEST(Lifecycle, TerminateTwiceThenInitializeGivesAFreshSlot) {
  void* record = quor::sysMalloc(32);
  quor::setThreadSlot(record);
  int freesBefore = g_freeCount.load();
  Platform::terminate();
  EXPECT_FALSE(quor::isThreadSlotAllocated());
  EXPECT_EQ(g_lastFreed.load(), record) << "terminate releases the calling thread's record";
  EXPECT_EQ(quor::getThreadSlot(), nullptr);
  Platform::terminate();
  EXPECT_FALSE(quor::isThreadSlotAllocated());
  EXPECT_EQ(g_freeCount.load(), freesBefore + 1) << "the second terminate frees nothing";
  quor::setThreadSlot(&freesBefore);  // dropped: there is no slot
  EXPECT_EQ(quor::getThreadSlot(), nullptr);

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
  int freesBefore = g_freeCount.load();
  stage.store(2);
  worker.join();
  EXPECT_EQ(g_freeCount.load(), freesBefore) << "no slot: the detach has nothing to release";
  quor::sysFree(record);
  Platform::initialize(nullptr);
}

TEST(LifecycleDeathTest, DetachFreesNoRecordAndAFailedSlotAtLoadLeavesALibraryThatWorks) {
  EXPECT_EXIT(
      {
        // Replay an unload and a new load with TlsAlloc failing, as if the loader had done it.
        // Process detach frees the slot but no record, not even the detaching thread's.
        quor::setThreadSlot(quor::sysMalloc(16));
        int freesBefore = g_freeCount.load();
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        bool ok = !quor::isThreadSlotAllocated() && g_freeCount.load() == freesBefore;
        pal_inject_failure("TlsAlloc", 0, 1);
        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        ok = ok && !quor::isThreadSlotAllocated();
        quor::setThreadSlot(&ok);
        ok = ok && quor::getThreadSlot() == nullptr;
        Platform::lock();
        ok = ok && Platform::tryLock();
        Platform::unlock();
        Platform::unlock();
        Platform::initialize(nullptr);  // a later initialize gets the slot
        ok = ok && quor::isThreadSlotAllocated();
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Lifecycle, LoaderEntryAnswersTrueForEveryReason) {
  EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);
  EXPECT_EQ(DllMain(nullptr, 17, nullptr), TRUE);
  EXPECT_TRUE(quor::isThreadSlotAllocated()) << "unknown reasons change nothing";
}

TEST(PlatformConfig, DefaultsInFieldOrderAndAssignmentCopiesAll) {
  quor::PlatformConfig config;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&config);
  static_assert(sizeof(quor::PlatformConfig) == 4, "four bytes and nothing else");
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[1], 0xDD);
  EXPECT_EQ(bytes[2], 0x55);
  EXPECT_EQ(bytes[3], 0x99);
  quor::PlatformConfig other;
  other.byte0 = 9;
  other.byte3 = 7;
  quor::PlatformConfig& result = (other = config);
  EXPECT_EQ(&result, &other);
  EXPECT_EQ(other.byte0, 1);
  EXPECT_EQ(other.byte1, 0xDD);
  EXPECT_EQ(other.byte2, 0x55);
  EXPECT_EQ(other.byte3, 0x99);
}

}  // namespace
