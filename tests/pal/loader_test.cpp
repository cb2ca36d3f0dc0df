// What the debug-help module's start-up stands on: the loader, and the fault guard that turns
// fault signals into a guarded block's end.
#include <fault_guard.h>
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include "pal_test.h"

#include <fstream>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

namespace {

using paltest::errorOf;
using paltest::moduleName;

std::string exeDirectory() {
  std::string exe = moduleName(nullptr);
  return exe.substr(0, exe.rfind('/'));
}

class Loader : public paltest::ScratchDirectoryTest {
 protected:
  void TearDown() override {
    pal_set_system_directory(nullptr);
    ScratchDirectoryTest::TearDown();
  }
};

TEST_F(Loader, ExecutableDirectoryIsSearchedAndNamedTheWindowsWay) {
  EXPECT_EQ(moduleName(nullptr), exeDirectory() + "/pal_loader_test");
  HMODULE module = LoadLibraryA("loader_fixture.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  const std::string name = exeDirectory() + "\\loader_fixture.dll";
  EXPECT_EQ(moduleName(module), name);
  EXPECT_EQ(LoadLibraryA("LOADER_FIXTURE"), module) << "\".dll\" added, found again";
  EXPECT_EQ(LoadLibraryA(name.c_str()), module) << "by its Windows path";
  char small[6];
  EXPECT_EQ(GetModuleFileNameA(module, small, sizeof small), 6u);
  EXPECT_EQ(std::string(small), name.substr(0, 5));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(moduleName(module), name) << "one reference left";
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(errorOf(FreeLibrary(module)), ERROR_MOD_NOT_FOUND);
}

TEST_F(Loader, SystemDirectoryComesSecondAndMatchesItsOwnName) {
  ASSERT_EQ(system(("cp " + exeDirectory() + "/loader_fixture.dll " + dir_ + "/sys.dll").c_str()),
            0);
  std::ofstream(dir_ + "/bad.dll") << "not an ELF object";
  EXPECT_EQ(errorOf(LoadLibraryA("sys.dll")), ERROR_MOD_NOT_FOUND);
  pal_set_system_directory((dir_ + "/").c_str());
  char system[4096];
  UINT length = GetSystemDirectoryA(system, sizeof system);
  EXPECT_EQ(std::string(system, length), dir_) << "no trailing separator";
  HMODULE module = LoadLibraryA("sys.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  // The debug-help module's test for "the system's own copy".
  EXPECT_EQ(lstrcmpiA(moduleName(module).c_str(), (dir_ + "\\SYS.dll").c_str()), 0);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(errorOf(LoadLibraryA("bad.dll")), ERROR_BAD_EXE_FORMAT);
}

TEST_F(Loader, GetProcAddressGivesTheModulesOwnExportsOnly) {
  HMODULE module = LoadLibraryA("loader_fixture.dll");
  ASSERT_NE(module, nullptr);
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "fixture_answer"));
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(errorOf(GetProcAddress(module, "malloc")), ERROR_PROC_NOT_FOUND)
      << "the C library's, not the module's";
  EXPECT_TRUE(FreeLibrary(module));
  pal_inject_failure("LoadLibraryA", 0, 1);
  EXPECT_EQ(errorOf(LoadLibraryA("loader_fixture.dll")), ERROR_MOD_NOT_FOUND);

  HMODULE kernel32 = LoadLibraryA("KERNEL32");  // built in
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(kernel32, "RtlCaptureContext")),
            reinterpret_cast<void*>(&RtlCaptureContext));
  EXPECT_EQ(GetProcAddress(kernel32, "MessageBoxA"), nullptr) << "user32's, not kernel32's";
  EXPECT_TRUE(FreeLibrary(kernel32));
}

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

// The faults are the point: the undefined-behaviour checks must not stop them first.
__attribute__((no_sanitize("undefined"))) int readNull() { return *g_null; }
__attribute__((no_sanitize("undefined"))) int divideByZero() { return 10 / g_zero; }
int illegalInstruction() { __builtin_trap(); }
int returnsSeven() { return 7; }

// What fn returned when the guarded block ended normally, -1 after a fault.
int guarded(int (*fn)()) {
  volatile int outcome = 0;
  FAULT_GUARD_TRY { outcome = fn(); }
  FAULT_GUARD_EXCEPT { outcome = -1; }
  FAULT_GUARD_END
  return outcome;
}

TEST(FaultGuard, CatchesSegvFpeAndIllAndCarriesOn) {
  EXPECT_EQ(guarded(returnsSeven), 7);
  for (auto fault : {readNull, divideByZero, illegalInstruction}) EXPECT_EQ(guarded(fault), -1);
  // The same thread faults again under new guards: nothing stayed armed or blocked.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(guarded(readNull), -1);
}

TEST(FaultGuard, InnermostGuardCatchesAndOuterStaysArmed) {
  volatile int inner = 0, outer = 0;
  FAULT_GUARD_TRY {
    inner = guarded(readNull);
    outer = 1;
    readNull();
    outer = 2;
  }
  FAULT_GUARD_EXCEPT { outer = -outer; }
  FAULT_GUARD_END
  EXPECT_EQ(inner, -1);
  EXPECT_EQ(outer, -1);
}

// Leaving the guarded block early must disarm it.
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
  // A handler installed before the first guard still receives unguarded faults.
  EXPECT_EXIT(
      {
        struct sigaction own = {};
        own.sa_handler = [](int) { _exit(42); };
        sigaction(SIGFPE, &own, nullptr);
        EXPECT_EQ(guarded(returnsSeven), 7);  // a guard that ends normally leaves nothing armed
        divideByZero();
      },
      ::testing::ExitedWithCode(42), "");
}

}  // namespace
