// InterlockedCompareExchange and InterlockedExchange, alone and as the spin lock the heap builds.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Interlocked, CompareExchangeStoresOnlyOnMatchAndReturnsTheOldValue) {
  LONG volatile word = 5;
  EXPECT_EQ(InterlockedCompareExchange(&word, 9, 4), 5);
  EXPECT_EQ(word, 5);
  EXPECT_EQ(InterlockedCompareExchange(&word, 9, 5), 5);
  EXPECT_EQ(word, 9);
  EXPECT_EQ(InterlockedExchange(&word, -1), 9);
  EXPECT_EQ(word, -1);
  EXPECT_EQ(InterlockedCompareExchange(&word, 0, -1), -1);
  EXPECT_EQ(word, 0);
}

TEST(Interlocked, SpinLockBuiltOnThemExcludesOtherThreads) {
  LONG volatile lock = 0;
  long counter = 0;  // plain: only the lock protects it
  constexpr int kRounds = 20000;
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      while (InterlockedCompareExchange(&lock, 1, 0) != 0) std::this_thread::yield();
      long seen = counter;
      counter = seen + 1;
      InterlockedExchange(&lock, 0);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2L * kRounds);
  EXPECT_EQ(lock, 0);
}

}  // namespace
