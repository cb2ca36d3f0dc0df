// What the library's lifecycle, diagnosis and timing stand on: critical sections, TLS slots, the
// loader notifications, the debugger channel and break, MessageBoxA, the failure-injection
// control, Sleep and the performance counter.
#include <malloc.h>
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <atomic>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <sys/time.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<int> g_attaches{0}, g_threadAttaches{0}, g_threadDetaches{0};
std::atomic<void*> g_valueAtDetach{nullptr};
DWORD g_slot = TLS_OUT_OF_INDEXES;

}  // namespace

// Takes one TLS slot at process attach, as the library does.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_attaches.fetch_add(1);
    g_slot = TlsAlloc();
  } else if (reason == DLL_THREAD_ATTACH) {
    g_threadAttaches.fetch_add(1);
  } else if (reason == DLL_THREAD_DETACH) {
    g_valueAtDetach.store(TlsGetValue(g_slot));
    g_threadDetaches.fetch_add(1);
  } else if (reason == DLL_PROCESS_DETACH) {
    static const char text[] = "process detach delivered\n";
    ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
  }
  return TRUE;
}

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

TEST(CriticalSection, OwnerReentersAndHoldsUntilItsLastLeave) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));
  EXPECT_EQ(section.RecursionCount, 3);
  std::thread([&] { LeaveCriticalSection(&section); }).join();  // not the owner: ignored
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  EXPECT_FALSE(tryFromOtherThread(&section)) << "still held once";
  LeaveCriticalSection(&section);
  EXPECT_TRUE(tryFromOtherThread(&section));
  DeleteCriticalSection(&section);
}

TEST(CriticalSection, SerialisesIncrementsAcrossThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      EnterCriticalSection(&section);
      long seen = counter;
      counter = seen + 1;
      LeaveCriticalSection(&section);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  DeleteCriticalSection(&section);
}

TEST(Tls, ValuesArePerThreadAndAReusedSlotReadsNull) {
  DWORD slot = TlsAlloc();
  ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
  int mine = 1;
  EXPECT_TRUE(TlsSetValue(slot, &mine));
  void* seenByOther = &mine;
  DWORD errorInOther = 1234;
  std::thread([&] {
    SetLastError(77);
    seenByOther = TlsGetValue(slot);
    errorInOther = GetLastError();
  }).join();
  EXPECT_EQ(seenByOther, nullptr);
  EXPECT_EQ(errorInOther, static_cast<DWORD>(ERROR_SUCCESS)) << "a null value is not a failure";
  EXPECT_EQ(TlsGetValue(slot), &mine);
  EXPECT_TRUE(TlsFree(slot));
  ASSERT_EQ(TlsAlloc(), slot) << "lowest free index is handed out again";
  EXPECT_EQ(TlsGetValue(slot), nullptr);
  TlsFree(slot);
}

TEST(Tls, ExhaustionAndBadIndices) {
  std::vector<DWORD> taken;
  for (DWORD slot; taken.size() < 200 && (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
    taken.push_back(slot);
  ASSERT_EQ(taken.size() + 1, static_cast<size_t>(TLS_MINIMUM_AVAILABLE)) << "DllMain has one";
  for (DWORD slot : taken) TlsFree(slot);

  EXPECT_FALSE(TlsFree(TLS_OUT_OF_INDEXES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(TlsFree(taken[0])) << "freed already";
  EXPECT_FALSE(TlsSetValue(TLS_MINIMUM_AVAILABLE, nullptr));
  SetLastError(0);
  EXPECT_EQ(TlsGetValue(TLS_MINIMUM_AVAILABLE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(DllEntry, AttachBeforeMainAndOneDetachPerThreadSeeingItsOwnValue) {
  EXPECT_EQ(g_attaches.load(), 1);
  ASSERT_NE(g_slot, TLS_OUT_OF_INDEXES);
  static int markers[3];
  int before = g_threadDetaches.load();
  for (int& marker : markers) {
    std::thread([&marker] {
      TlsSetValue(g_slot, nullptr);
      TlsGetValue(g_slot);
      TlsSetValue(g_slot, &marker);
    }).join();
    EXPECT_EQ(g_valueAtDetach.load(), &marker);
  }
  EXPECT_EQ(g_threadDetaches.load(), before + 3);
  EXPECT_EQ(g_threadAttaches.load(), 0) << "the library ignores thread attach";
}

TEST(DllEntryDeathTest, ProcessDetachRunsAtExit) {
  EXPECT_EXIT(exit(3), ::testing::ExitedWithCode(3), "process detach delivered");
}

std::vector<std::string> g_texts;
int g_breaks = 0;
std::string g_boxText, g_boxCaption;
unsigned int g_boxStyle = 0;

TEST(DebugChannel, SinkReceivesEachTextAndDefaultLeavesStderrAlone) {
  EXPECT_EQ(pal_set_debug_sink([](const char* text) { g_texts.emplace_back(text); }), nullptr);
  OutputDebugStringA("first");
  OutputDebugStringA("");
  OutputDebugStringA(nullptr);
  EXPECT_NE(pal_set_debug_sink(nullptr), nullptr);
  EXPECT_EQ(g_texts, (std::vector<std::string>{"first", ""}));

  // No tracer in a test run: the text goes to the system log only.
  ASSERT_FALSE(IsDebuggerPresent());
  testing::internal::CaptureStderr();
  OutputDebugStringA("to the system log");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(g_texts.size(), 2u);
}

TEST(DebugBreak, HookIsCalledAndReturns) {
  pal_set_break_hook([] { ++g_breaks; });
  DebugBreak();
  DebugBreak();
  EXPECT_EQ(g_breaks, 2);
  pal_set_break_hook(nullptr);
}

TEST(DebugBreakDeathTest, WithoutHookTheProcessStopsWithSigtrap) {
  EXPECT_EXIT(DebugBreak(), ::testing::KilledBySignal(SIGTRAP), "");
}

TEST(MessageBox, HookGetsTheArgumentsAndItsAnswerIsReturned) {
  pal_set_message_box_hook([](const char* text, const char* caption, unsigned int style) {
    g_boxText = text;
    g_boxCaption = caption;
    g_boxStyle = style;
    return IDCANCEL;
  });
  EXPECT_EQ(MessageBoxA(nullptr, "disk low", "quorPlatform", MB_ICONEXCLAMATION), IDCANCEL);
  EXPECT_EQ(g_boxText + "|" + g_boxCaption, "disk low|quorPlatform");
  EXPECT_EQ(g_boxStyle, MB_ICONEXCLAMATION);
  MessageBoxA(nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(g_boxText + "|" + g_boxCaption, "|Error") << "Windows' caption when none is given";
  pal_set_message_box_hook(nullptr);
}

TEST(MessageBoxDeathTest, WithoutDisplayOrTerminalItAnswersOkAtOnce) {
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setsid();  // no controlling terminal from here on
        exit(MessageBoxA(nullptr, "text", "caption", MB_ICONHAND) == IDOK ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Skip, count, one request per name (a new one replaces it), names independent, clearing.
TEST(FailureInjection, SkipsThenFailsCountTimesPerFunction) {
  pal_inject_failure("TlsAlloc", 0, 5);
  pal_inject_failure("TlsAlloc", 1, 1);
  pal_inject_failure("_aligned_malloc", 0, 1);
  pal_inject_failure(nullptr, 0, 1);  // ignored
  pal_inject_failure("", 0, 1);
  DWORD first = TlsAlloc();
  EXPECT_NE(first, TLS_OUT_OF_INDEXES);
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  DWORD third = TlsAlloc();
  EXPECT_NE(third, TLS_OUT_OF_INDEXES);
  EXPECT_EQ(_aligned_malloc(16, 8), nullptr);
  pal_inject_failure("TlsAlloc", 0, 3);
  pal_clear_failures();
  DWORD fourth = TlsAlloc();
  EXPECT_NE(fourth, TLS_OUT_OF_INDEXES);
  for (DWORD slot : {first, third, fourth}) TlsFree(slot);
}

LONGLONG counterNow() {
  LARGE_INTEGER value;
  value.QuadPart = -1;
  EXPECT_TRUE(QueryPerformanceCounter(&value));
  return value.QuadPart;
}

long long monotonicMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TEST(PerformanceCounter, CountsTenMillionTicksPerSecondAndNeverBackwards) {
  LARGE_INTEGER frequency = {};
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(10000000, frequency.QuadPart);
  LONGLONG previous = counterNow();
  for (int i = 0; i < 10000; ++i) {
    LONGLONG next = counterNow();
    ASSERT_GE(next, previous) << "at read " << i;
    previous = next;
  }
  Sleep(30);
  EXPECT_GE(counterNow() - previous, 300000) << "30 ms are 300,000 ticks of 100 ns";
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
  SetLastError(0);
  EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), GetLastError());
}

TEST(PerformanceCounter, TestControlFixesBothValuesUntilFrequencyZero) {
  LARGE_INTEGER frequency;
  pal_set_performance_counter(-0x123456789LL, 0x123456789LL);  // beyond 32 bits, whole
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(0x123456789LL, frequency.QuadPart);
  EXPECT_EQ(-0x123456789LL, counterNow());
  EXPECT_EQ(-0x123456789LL, counterNow()) << "fixed, not counting on";
  pal_set_performance_counter(7, 0);
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(10000000, frequency.QuadPart);
  LONGLONG first = counterNow();
  Sleep(2);
  EXPECT_GT(counterNow(), first);
}

void ignoreSignal(int) {}

// A signal arriving mid-sleep must not cut it short, as it would cut nanosleep short.
TEST(Sleep, SleepsAtLeastTheTimeAskedEvenAcrossSignals) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: nanosleep would return EINTR
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  itimerval timer = {}, off = {};
  timer.it_value.tv_usec = timer.it_interval.tv_usec = 10000;
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
  long long start = monotonicMilliseconds();
  Sleep(0);  // yields and returns
  Sleep(60);
  long long slept = monotonicMilliseconds() - start;
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(slept, 60);
}

TEST(SleepDeathTest, InfiniteNeverReturns) {
  // The alarm's default action ends the child; had Sleep returned, the child would exit 0.
  EXPECT_EXIT(
      {
        alarm(1);
        Sleep(INFINITE);
        _exit(0);
      },
      ::testing::KilledBySignal(SIGALRM), "");
}

}  // namespace
