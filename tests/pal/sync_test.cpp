// Critical sections: recursive for the owner, exclusive against other threads.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

bool tryFromOtherThread(CRITICAL_SECTION* section) {
  bool entered = false;
  std::thread other([&] {
    entered = TryEnterCriticalSection(section) != FALSE;
    if (entered) LeaveCriticalSection(section);
  });
  other.join();
  return entered;
}

TEST(CriticalSection, OwnerReentersAndMustLeaveOnceForEachEntry) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  EXPECT_EQ(section.RecursionCount, 3);
  EXPECT_FALSE(tryFromOtherThread(&section));
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  EXPECT_FALSE(tryFromOtherThread(&section)) << "still held once";
  LeaveCriticalSection(&section);
  EXPECT_TRUE(tryFromOtherThread(&section)) << "released after balanced leaves";
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, SerialisesIncrementsAcrossThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      EnterCriticalSection(&section);
      EnterCriticalSection(&section);
      long seen = counter;
      counter = seen + 1;
      LeaveCriticalSection(&section);
      LeaveCriticalSection(&section);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, LeaveByNonOwnerDoesNotReleaseTheOwnersHold) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  std::thread intruder([&] { LeaveCriticalSection(&section); });
  intruder.join();
  EXPECT_FALSE(tryFromOtherThread(&section));
  LeaveCriticalSection(&section);
  EXPECT_TRUE(tryFromOtherThread(&section));
  DeleteCriticalSection(&section);
}

}  // namespace
