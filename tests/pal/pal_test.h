// Helpers shared by the PAL tests.
#ifndef QUORKIT_TESTS_PAL_PAL_TEST_H
#define QUORKIT_TESTS_PAL_PAL_TEST_H

#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

namespace paltest {

// GetLastError after a call that returned `failed`, kSucceeded after any other result: one
// comparison checks both that the call failed and why.
constexpr int kSucceeded = -1;

template <typename T, typename F = T>
int errorOf(T result, F failed = F()) {
  return result == failed ? static_cast<int>(GetLastError()) : kSucceeded;
}

inline std::string moduleName(HMODULE module) {
  char path[4096];
  return std::string(path, GetModuleFileNameA(module, path, sizeof path));
}

// A fresh directory under /tmp per test, removed with its contents afterwards; the failure
// injections are cleared too.
class ScratchDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pal_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    pal_clear_failures();
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace paltest

#endif
