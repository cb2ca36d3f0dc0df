// The fault guard: the four fault signals end the guarded block on the faulting thread, guards
// nest, and faults outside a guard (or on another thread) keep their usual outcome.
#include <fault_guard.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

// The faults are the point: the undefined-behaviour checks must not stop them first.
__attribute__((no_sanitize("undefined"))) int readNull() { return *g_null; }
__attribute__((no_sanitize("undefined"))) int divideByZero() { return 10 / g_zero; }

// Runs fn under a guard; returns 1 when the guarded block ended normally, -1 after a fault.
int guarded(int (*fn)(), volatile int* result) {
  volatile int outcome = 0;
  FAULT_GUARD_TRY {
    *result = fn();
    outcome = 1;
  }
  FAULT_GUARD_EXCEPT { outcome = -1; }
  FAULT_GUARD_END
  return outcome;
}

int returnsSeven() { return 7; }
int illegalInstruction() { __builtin_trap(); }

TEST(FaultGuard, CatchesSegvFpeAndIllAndCarriesOn) {
  volatile int result = 0;
  EXPECT_EQ(guarded(returnsSeven, &result), 1);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(guarded(readNull, &result), -1);
  EXPECT_EQ(guarded(divideByZero, &result), -1);
  EXPECT_EQ(guarded(illegalInstruction, &result), -1);
  // The same thread faults again under a new guard: nothing stayed armed or blocked.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(guarded(readNull, &result), -1);
  EXPECT_EQ(guarded(returnsSeven, &result), 1);
}

TEST(FaultGuard, CatchesSigbusFromATruncatedMapping) {
  char name[] = "/tmp/pal_fault_guard.XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  unlink(name);
  long page = sysconf(_SC_PAGESIZE);
  ASSERT_EQ(ftruncate(fd, page), 0);
  volatile char* map =
      static_cast<volatile char*>(mmap(nullptr, page, PROT_READ, MAP_SHARED, fd, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(ftruncate(fd, 0), 0);  // the page now lies past the end of the file
  volatile int outcome = 0;
  FAULT_GUARD_TRY { outcome = map[0] + 1; }
  FAULT_GUARD_EXCEPT { outcome = -1; }
  FAULT_GUARD_END
  EXPECT_EQ(outcome, -1);
  munmap(const_cast<char*>(map), page);
  close(fd);
}

TEST(FaultGuard, InnermostGuardCatchesAndOuterStaysArmed) {
  volatile int inner = 0;
  volatile int outer = 0;
  volatile int result = 0;
  FAULT_GUARD_TRY {
    inner = guarded(readNull, &result);  // caught inside
    outer = 1;
    readNull();  // caught by this guard
    outer = 2;
  }
  FAULT_GUARD_EXCEPT { outer = -outer; }
  FAULT_GUARD_END
  EXPECT_EQ(inner, -1);
  EXPECT_EQ(outer, -1);
}

// Leaving the guarded block early must disarm it: the fault afterwards is not caught.
int leaveEarly() {
  FAULT_GUARD_TRY { return 5; }
  FAULT_GUARD_EXCEPT { return -1; }
  FAULT_GUARD_END
  return 0;
}

TEST(FaultGuardDeathTest, FaultsOutsideAGuardKeepTheirUsualOutcome) {
  EXPECT_EXIT(
      {
        EXPECT_EQ(leaveEarly(), 5);
        readNull();
      },
      ::testing::KilledBySignal(SIGSEGV), "");

  // A handler that was installed before the first guard still receives unguarded faults.
  EXPECT_EXIT(
      {
        struct sigaction own = {};
        own.sa_handler = [](int) { _exit(42); };
        sigaction(SIGFPE, &own, nullptr);
        volatile int result = 0;
        guarded(divideByZero, &result);  // caught by the guard, not by the handler
        divideByZero();
      },
      ::testing::ExitedWithCode(42), "");

  // Only the armed thread is covered: another thread's fault kills the process.
  EXPECT_EXIT(
      {
        FAULT_GUARD_TRY {
          pthread_t thread;
          pthread_create(
              &thread, nullptr, [](void*) -> void* { return reinterpret_cast<void*>(readNull()); },
              nullptr);
          pthread_join(thread, nullptr);
        }
        FAULT_GUARD_EXCEPT { _exit(3); }
        FAULT_GUARD_END
        _exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
