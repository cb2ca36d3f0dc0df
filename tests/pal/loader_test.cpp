// The loader: search order (executable directory, then system directory), module names as
// Windows builds them, reference counts, exports of the module only, built-in kernel32 and
// RtlCaptureContext.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "temp_directory.h"

namespace {

std::string exeDirectory() {
  char path[4096];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  EXPECT_GT(length, 0u);
  std::string full(path, length);
  return full.substr(0, full.rfind('/'));
}

std::string moduleName(HMODULE module) {
  char path[4096];
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  return std::string(path, length);
}

class LoaderTest : public TempDirectoryTest {
 protected:
  void TearDown() override {
    pal_set_system_directory(nullptr);
    TempDirectoryTest::TearDown();
  }
};

TEST_F(LoaderTest, ExecutableDirectoryIsSearchedAndNamedTheWindowsWay) {
  std::string exe = moduleName(nullptr);
  EXPECT_EQ(exe.substr(exe.rfind('/') + 1), "pal_loader_test");

  HMODULE module = LoadLibraryA("loader_fixture.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  EXPECT_EQ(moduleName(module), exeDirectory() + "\\loader_fixture.dll");
  // Without the extension ".dll" is added, and the loaded module is found again.
  EXPECT_EQ(LoadLibraryA("LOADER_FIXTURE"), module);
  std::string byPath = exeDirectory() + "/loader_fixture.dll";
  EXPECT_EQ(LoadLibraryA(byPath.c_str()), module);

  char small[6];
  EXPECT_EQ(GetModuleFileNameA(module, small, sizeof small), 6u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), exeDirectory().substr(0, 5));

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(moduleName(module), exeDirectory() + "\\loader_fixture.dll");  // one reference left
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(LoaderTest, SystemDirectoryComesSecondAndMatchesItsOwnName) {
  std::string copy = "cp '" + exeDirectory() + "/loader_fixture.dll' '" + dir_ + "/sysonly.dll'";
  ASSERT_EQ(system(copy.c_str()), 0);
  EXPECT_EQ(LoadLibraryA("sysonly.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  pal_set_system_directory((dir_ + "/").c_str());
  char system[4096];
  UINT length = GetSystemDirectoryA(system, sizeof system);
  EXPECT_EQ(std::string(system, length), dir_);                // no trailing separator
  EXPECT_EQ(GetSystemDirectoryA(system, length), length + 1);  // too small: the size needed

  HMODULE module = LoadLibraryA("sysonly.dll");
  ASSERT_NE(module, nullptr) << GetLastError();
  // The debug-help module's test for "the system's own copy".
  std::string expected = std::string(system) + "\\" + "sysonly.dll";
  EXPECT_EQ(lstrcmpiA(moduleName(module).c_str(), expected.c_str()), 0);

  typedef int (*Answer)(void);
  Answer answer = reinterpret_cast<Answer>(GetProcAddress(module, "fixture_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_TRUE(FreeLibrary(module));

  // A file that is not a loadable object.
  std::ofstream(dir_ + "/bad.dll") << "not an ELF object";
  EXPECT_EQ(LoadLibraryA("bad.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));

  pal_set_system_directory(nullptr);
  length = GetSystemDirectoryA(system, sizeof system);
  EXPECT_EQ(std::string(system, length).substr(length - 8), "/quorkit");
}

TEST_F(LoaderTest, GetProcAddressGivesTheModulesOwnExportsOnly) {
  HMODULE module = LoadLibraryA("loader_fixture.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "fixture_answer"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "malloc"), nullptr);  // the C library's, not the module's
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(module, "no_such_function"), nullptr);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(1)), nullptr);  // ordinals: none
  EXPECT_TRUE(FreeLibrary(module));

  EXPECT_EQ(GetProcAddress(nullptr, "malloc"), nullptr);  // the executable's own only
  EXPECT_EQ(LoadLibraryA("no_such_module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  pal_inject_failure("LoadLibraryA", 0, 1);
  EXPECT_EQ(LoadLibraryA("loader_fixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(LoaderTest, Kernel32IsBuiltIn) {
  HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  ASSERT_NE(kernel32, nullptr);
  EXPECT_EQ(LoadLibraryA("KERNEL32"), kernel32);
  FARPROC capture = GetProcAddress(kernel32, "RtlCaptureContext");
  EXPECT_EQ(reinterpret_cast<void*>(capture), reinterpret_cast<void*>(&RtlCaptureContext));
  EXPECT_EQ(GetProcAddress(kernel32, "MessageBoxA"), nullptr);  // user32's, not kernel32's
  std::string name = moduleName(kernel32);
  EXPECT_EQ(name.substr(name.size() - 13), "\\kernel32.dll");
  EXPECT_TRUE(FreeLibrary(kernel32));
  EXPECT_TRUE(FreeLibrary(kernel32));
  EXPECT_EQ(reinterpret_cast<intptr_t>(GetCurrentProcess()), -1);
  EXPECT_EQ(reinterpret_cast<intptr_t>(GetCurrentThread()), -2);
}

// Called through a pointer so that the call is real; the context must describe this function
// as it stands right after the call. Kept free of sanitizer code, which would move the call
// beyond the 256 bytes the test allows it from the function's start.
__attribute__((noinline, no_sanitize("address", "undefined"))) void captureHere(CONTEXT* context,
                                                                                DWORD* frame,
                                                                                DWORD* local) {
  volatile DWORD marker = 0;
  *local = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&marker));
  *frame = static_cast<DWORD>(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
  RtlCaptureContext(context);
  marker = 1;
}

TEST(RtlCaptureContext, DescribesTheCallerAfterTheCall) {
  CONTEXT context;
  memset(&context, 0xCC, sizeof context);
  DWORD frame = 0;
  DWORD local = 0;
  captureHere(&context, &frame, &local);
  EXPECT_EQ(context.ContextFlags, static_cast<DWORD>(CONTEXT_FULL));
  uintptr_t start = reinterpret_cast<uintptr_t>(&captureHere);
  EXPECT_GT(context.Eip, start);
  EXPECT_LT(context.Eip, start + 256);
  EXPECT_EQ(context.Ebp, frame);
  // The caller's stack pointer after the call sits below its locals and above the return address
  // slot that the call used.
  EXPECT_LE(context.Esp, local);
  EXPECT_GT(context.Esp + 512, local);
  EXPECT_EQ(context.Esp % 4, 0u);
  EXPECT_EQ(context.Dr0, 0xCCCCCCCCu);  // debug registers are not part of CONTEXT_FULL
}

}  // namespace
