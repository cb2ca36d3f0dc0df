// What the library's lifecycle and timing stand on: locks, TLS slots, loader notifications, Sleep.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include "pal_test.h"

#include <atomic>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> g_attaches{0}, g_threadDetaches{0};
std::atomic<void*> g_valueAtDetach{nullptr};
DWORD g_slot = TLS_OUT_OF_INDEXES;
bool g_reportDetach = false;  // only the death test's child says so

}  // namespace

// Takes one TLS slot at process attach, as the library does.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_attaches.fetch_add(1);
    g_slot = TlsAlloc();
  } else if (reason == DLL_THREAD_DETACH) {
    g_valueAtDetach.store(TlsGetValue(g_slot));
    g_threadDetaches.fetch_add(1);
  } else if (reason == DLL_PROCESS_DETACH && g_reportDetach) {
    ssize_t ignored = write(STDERR_FILENO, "process detach\n", 15);
    (void)ignored;
  }
  return TRUE;
}

namespace {

using paltest::errorOf;

bool tryFromOtherThread(CRITICAL_SECTION* section) {
  bool entered = false;
  std::thread([&] {
    entered = TryEnterCriticalSection(section) != FALSE;
    if (entered) LeaveCriticalSection(section);
  }).join();
  return entered;
}

TEST(CriticalSection, OwnerReentersAndHoldsUntilItsLastLeave) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  std::thread([&] { LeaveCriticalSection(&section); }).join();  // not the owner: ignored
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  EXPECT_FALSE(tryFromOtherThread(&section)) << "still held once";
  LeaveCriticalSection(&section);
  EXPECT_TRUE(tryFromOtherThread(&section));
  DeleteCriticalSection(&section);
}

TEST(Tls, ValuesArePerThreadAReusedSlotReadsNullAndBadIndicesFail) {
  DWORD slot = TlsAlloc();
  int mine = 1;
  EXPECT_TRUE(TlsSetValue(slot, &mine));
  void* seenByOther = &mine;
  std::thread([&] { seenByOther = TlsGetValue(slot); }).join();
  EXPECT_EQ(seenByOther, nullptr);
  EXPECT_EQ(TlsGetValue(slot), &mine);
  EXPECT_TRUE(TlsFree(slot));
  ASSERT_EQ(TlsAlloc(), slot) << "lowest free index is handed out again";
  EXPECT_EQ(TlsGetValue(slot), nullptr);
  EXPECT_TRUE(TlsFree(slot));
  EXPECT_FALSE(TlsFree(slot)) << "freed already";
  EXPECT_EQ(errorOf(TlsSetValue(TLS_MINIMUM_AVAILABLE, nullptr)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(errorOf(TlsGetValue(TLS_MINIMUM_AVAILABLE)), ERROR_INVALID_PARAMETER);
}

TEST(DllEntry, AttachBeforeMainAndOneDetachPerThreadSeeingItsOwnValue) {
  EXPECT_EQ(g_attaches.load(), 1);
  const int before = g_threadDetaches.load();
  static int markers[2];
  for (int& marker : markers) {
    std::thread([&marker] { TlsSetValue(g_slot, &marker); }).join();
    EXPECT_EQ(g_valueAtDetach.load(), &marker);
  }
  EXPECT_EQ(g_threadDetaches.load(), before + 2);
  EXPECT_EXIT((g_reportDetach = true, exit(3)), ::testing::ExitedWithCode(3), "process detach");
}

// Skip, count, one request per name: a new one replaces it.
TEST(FailureInjection, SkipsThenFailsCountTimesPerFunction) {
  pal_inject_failure("TlsAlloc", 0, 5);
  pal_inject_failure("TlsAlloc", 1, 1);
  EXPECT_NE(TlsAlloc(), TLS_OUT_OF_INDEXES);
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  EXPECT_NE(TlsAlloc(), TLS_OUT_OF_INDEXES);
}

LONGLONG counterNow() {
  LARGE_INTEGER value = {};
  EXPECT_TRUE(QueryPerformanceCounter(&value));
  return value.QuadPart;
}

// A signal arriving mid-sleep must not cut it short, as it cuts nanosleep short.
TEST(Sleep, LastsTheTimeAskedAcrossSignalsCountedInTenMillionTicksPerSecond) {
  LARGE_INTEGER frequency = {};
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(10000000, frequency.QuadPart);
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) {};  // no SA_RESTART: nanosleep would return EINTR
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  itimerval timer = {}, off = {};
  timer.it_value.tv_usec = timer.it_interval.tv_usec = 10000;
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
  LONGLONG start = counterNow();
  Sleep(60);
  LONGLONG slept = counterNow() - start;
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(slept, 600000) << "60 ms are 600,000 ticks of 100 ns";
}

}  // namespace
