// Helpers of the lifecycle, memory and region tests, which share one program: threads run to
// their end (and so to their thread detach), and the releases of the system allocator layer,
// which that program wraps (lifecycle_test.cpp holds the wrapper).
#ifndef QUORKIT_TESTS_PLATFORM_THREAD_SUPPORT_H
#define QUORKIT_TESTS_PLATFORM_THREAD_SUPPORT_H

#include <quor/Platform.h>

#include <functional>
#include <thread>

namespace platformtest {

// How many blocks the system allocator layer has released so far.
int freedCount();

// Whether `block` was released after the first `since` releases (addresses are reused, so
// earlier releases of the same address do not count).
bool wasFreedSince(const void* block, int since);

inline void onNewThread(const std::function<void()>& body) { std::thread(body).join(); }

inline bool tryLockFromOtherThread() {
  bool got = false;
  onNewThread([&got] {
    got = quor::Platform::tryLock();
    if (got) quor::Platform::unlock();
  });
  return got;
}

}  // namespace platformtest

#endif
