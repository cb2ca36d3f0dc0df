// Sleep and the performance counter: the frequency current Windows reports, a counter that never
// runs backwards and that agrees with the time actually slept, and the test control that
// replaces both values.
#include <windows.h>

#include <pal/testing.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

long long monotonicMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

LONGLONG counterNow() {
  LARGE_INTEGER value;
  value.QuadPart = -1;
  EXPECT_TRUE(QueryPerformanceCounter(&value));
  return value.QuadPart;
}

void ignoreSignal(int) {}

}  // namespace

TEST(PalPerformanceCounter, CountsTenMillionTicksPerSecondAndNeverRunsBackwards) {
  LARGE_INTEGER frequency;
  frequency.QuadPart = 0;
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(10000000, frequency.QuadPart);

  LONGLONG previous = counterNow();
  EXPECT_GT(previous, 0);
  for (int i = 0; i < 10000; ++i) {
    LONGLONG next = counterNow();
    ASSERT_GE(next, previous) << "at read " << i;
    previous = next;
  }

  // 30 ms slept is at least 300,000 ticks of 100 ns: the unit is right, not merely monotonic.
  LONGLONG before = counterNow();
  Sleep(30);
  EXPECT_GE(counterNow() - before, 300000);
}

TEST(PalPerformanceCounter, RefusesNullPointers) {
  SetLastError(0);
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
  SetLastError(0);
  EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
}

TEST(PalPerformanceCounter, TestControlReplacesBothValuesUntilFrequencyZero) {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;

  pal_set_performance_counter(123456789012LL, 3579545);
  ASSERT_TRUE(QueryPerformanceCounter(&counter));
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(123456789012LL, counter.QuadPart);
  EXPECT_EQ(3579545, frequency.QuadPart);
  // Fixed, not counting on from the value set.
  ASSERT_TRUE(QueryPerformanceCounter(&counter));
  EXPECT_EQ(123456789012LL, counter.QuadPart);

  // Values beyond 32 bits survive whole.
  pal_set_performance_counter(-5, 0x123456789LL);
  ASSERT_TRUE(QueryPerformanceCounter(&counter));
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(-5, counter.QuadPart);
  EXPECT_EQ(0x123456789LL, frequency.QuadPart);

  // Frequency 0 returns to the real clock, whatever counter is passed with it.
  pal_set_performance_counter(7, 0);
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(10000000, frequency.QuadPart);
  LONGLONG first = counterNow();
  Sleep(2);
  EXPECT_GT(counterNow(), first);
  EXPECT_NE(7, first);
}

TEST(PalSleep, SleepsAtLeastTheTimeAskedEvenAcrossSignals) {
  long long start = monotonicMilliseconds();
  Sleep(0);  // yields and returns
  Sleep(1);
  EXPECT_GE(monotonicMilliseconds() - start, 1);

  // A signal arriving mid-sleep must not cut it short, as it would cut nanosleep short.
  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: nanosleep would return EINTR
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  itimerval timer = {};
  timer.it_value.tv_usec = 10000;
  timer.it_interval.tv_usec = 10000;
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
  start = monotonicMilliseconds();
  Sleep(60);
  long long slept = monotonicMilliseconds() - start;
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(slept, 60);
}

TEST(PalSleepDeathTest, InfiniteNeverReturns) {
  // The alarm's default action ends the child; had Sleep returned, the child would exit 0.
  EXPECT_EXIT(
      {
        alarm(1);
        Sleep(INFINITE);
        _exit(0);
      },
      ::testing::KilledBySignal(SIGALRM), "");
}
