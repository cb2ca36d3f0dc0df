// Loader notifications: process attach before main, thread detach for threads that used the PAL
// (with their TLS values still readable), process detach at exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> g_attachCount{0};
std::atomic<int> g_threadDetachCount{0};
std::atomic<int> g_threadAttachCount{0};
DWORD g_slot = TLS_OUT_OF_INDEXES;
std::atomic<void*> g_valueSeenAtDetach{nullptr};
// Set only in the death test's child, so that an ordinary run says nothing at its exit.
std::atomic<bool> g_announceDetach{false};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_attachCount.fetch_add(1);
      g_slot = TlsAlloc();
      break;
    case DLL_THREAD_ATTACH: g_threadAttachCount.fetch_add(1); break;
    case DLL_THREAD_DETACH:
      g_valueSeenAtDetach.store(TlsGetValue(g_slot));
      g_threadDetachCount.fetch_add(1);
      break;
    case DLL_PROCESS_DETACH: {
      if (!g_announceDetach.load()) break;
      static const char text[] = "process detach delivered\n";
      ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
      (void)ignored;
      break;
    }
  }
  return TRUE;
}

namespace {

TEST(DllEntry, ProcessAttachRanOnceBeforeMain) {
  EXPECT_EQ(g_attachCount.load(), 1);
  EXPECT_NE(g_slot, TLS_OUT_OF_INDEXES);
}

TEST(DllEntry, EachUsingThreadGetsOneDetachThatSeesItsOwnSlotValue) {
  static int markers[3];
  int before = g_threadDetachCount.load();
  for (int& marker : markers) {
    std::thread worker([&marker] {
      TlsSetValue(g_slot, nullptr);
      TlsGetValue(g_slot);
      TlsSetValue(g_slot, &marker);
    });
    worker.join();
    EXPECT_EQ(g_valueSeenAtDetach.load(), &marker);
  }
  EXPECT_EQ(g_threadDetachCount.load(), before + 3);
  EXPECT_EQ(g_threadAttachCount.load(), 0)
      << "thread attach is not delivered (the library ignores it)";
}

TEST(DllEntryDeathTest, ProcessDetachRunsAtExit) {
  EXPECT_EXIT(
      {
        g_announceDetach.store(true);
        exit(3);
      },
      ::testing::ExitedWithCode(3), "process detach delivered");
}

}  // namespace
