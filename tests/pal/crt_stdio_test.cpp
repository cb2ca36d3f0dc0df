// fopen_s with the Microsoft runtime's contract: the stream pointer is always written (null on
// failure) once it can be, and the result is the errno value of the failure.
#include <stdio.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

std::string scratchPath(const char* leaf) {
  return std::string("/tmp/quorkit-crt-") + std::to_string(getpid()) + "-" + leaf;
}

FILE* const kPoison = reinterpret_cast<FILE*>(0x1234);

}  // namespace

TEST(PalFopenS, OpensAndReportsZero) {
  std::string path = scratchPath("ok");
  FILE* stream = kPoison;
  ASSERT_EQ(0, fopen_s(&stream, path.c_str(), "wb"));
  ASSERT_NE(nullptr, stream);
  ASSERT_NE(kPoison, stream);
  EXPECT_EQ(5u, fwrite("hello", 1, 5, stream));
  fclose(stream);

  // The Microsoft mode letter 't' (text) is accepted.
  stream = kPoison;
  ASSERT_EQ(0, fopen_s(&stream, path.c_str(), "rt"));
  char text[8] = {};
  EXPECT_EQ(5u, fread(text, 1, sizeof text, stream));
  EXPECT_STREQ("hello", text);
  fclose(stream);
  unlink(path.c_str());
}

TEST(PalFopenS, FailuresClearTheStreamAndReturnErrno) {
  FILE* stream = kPoison;
  EXPECT_EQ(ENOENT, fopen_s(&stream, scratchPath("missing").c_str(), "rb"));
  EXPECT_EQ(nullptr, stream);

  stream = kPoison;
  EXPECT_EQ(EISDIR, fopen_s(&stream, "/tmp", "wb"));
  EXPECT_EQ(nullptr, stream);

  stream = kPoison;
  EXPECT_EQ(ENOENT, fopen_s(&stream, "/nonexistent-quorkit-dir/file", "wb"));
  EXPECT_EQ(nullptr, stream);

  stream = kPoison;
  EXPECT_EQ(EINVAL, fopen_s(&stream, nullptr, "rb"));
  EXPECT_EQ(nullptr, stream);

  stream = kPoison;
  EXPECT_EQ(EINVAL, fopen_s(&stream, "/tmp/x", nullptr));
  EXPECT_EQ(nullptr, stream);

  errno = 0;
  EXPECT_EQ(EINVAL, fopen_s(nullptr, "/tmp/x", "rb"));
  EXPECT_EQ(EINVAL, errno);
}
