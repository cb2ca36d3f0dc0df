// A fixture for PAL tests that need files of their own: a fresh directory under /tmp per test,
// removed with its contents afterwards, and the failure injections cleared.
#ifndef QUORKIT_TESTS_PAL_TEMP_DIRECTORY_H
#define QUORKIT_TESTS_PAL_TEMP_DIRECTORY_H

#include <pal/testing.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

class TempDirectoryTest : public ::testing::Test {
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

#endif
