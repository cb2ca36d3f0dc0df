// fopen_s with the Microsoft runtime's contract: the stream pointer is always written (null on
// failure) once it can be, and the result is the errno value of the failure. _vsnprintf with its
// result: the length while the text fits, -1 beyond.
#include <stdio.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <stdarg.h>
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

namespace {

int formatBounded(char* buffer, size_t count, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = _vsnprintf(buffer, count, format, arguments);
  va_end(arguments);
  return result;
}

}  // namespace

// The library's output path counts on these results: 1024 characters in 1024 bytes is a length,
// not -1. The buffer's last byte is the caller's to terminate (Windows leaves it unterminated).
TEST(PalVsnprintf, GivesTheLengthWhileTheTextFitsTheCountAndMinusOneBeyond) {
  struct Case {
    size_t count;
    int result;
    const char* kept;  // up to the terminator this PAL writes
  } const cases[] = {{8, 5, "abcde"}, {6, 5, "abcde"}, {5, 5, "abcd"}, {4, -1, "abc"}, {1, -1, ""}};
  for (const Case& c : cases) {
    char buffer[9];  // one byte more than the largest count, to see nothing written past it
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(c.result, formatBounded(buffer, c.count, "%s%c", "abcd", 'e')) << c.count;
    EXPECT_STREQ(c.kept, buffer) << c.count;
    EXPECT_EQ('#', buffer[c.count]) << c.count;
  }
  char untouched = '#';
  EXPECT_EQ(-1, formatBounded(&untouched, 0, "x"));
  EXPECT_EQ('#', untouched);
  EXPECT_EQ(0, formatBounded(&untouched, 0, "%s", ""));
}
