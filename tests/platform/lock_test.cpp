// The global lock: recursive for its owner, exclusive against other threads.
#include <quor/Platform.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using quor::Platform;

bool tryLockFromOtherThread() {
  bool got = false;
  std::thread other([&] {
    got = Platform::tryLock();
    if (got) Platform::unlock();
  });
  other.join();
  return got;
}

TEST(GlobalLock, RecursesForTheOwnerAndNeedsBalancedUnlocks) {
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

TEST(GlobalLock, WaitsForTheHolderAndSerialisesWork) {
  std::atomic<bool> released{false};
  std::atomic<bool> entered{false};
  Platform::lock();
  std::thread waiter([&] {
    Platform::lock();
    entered.store(true);
    EXPECT_TRUE(released.load()) << "entered before the holder let go";
    Platform::unlock();
  });
  for (int i = 0; i < 1000 && !entered.load(); ++i) std::this_thread::yield();
  EXPECT_FALSE(entered.load());
  released.store(true);
  Platform::unlock();
  waiter.join();
  EXPECT_TRUE(entered.load());
}

TEST(GlobalLock, SurvivesInitializeAndTerminate) {
  Platform::terminate();
  Platform::lock();
  EXPECT_FALSE(tryLockFromOtherThread());
  Platform::unlock();
  Platform::initialize(nullptr);
  EXPECT_TRUE(tryLockFromOtherThread());
}

}  // namespace
