// The printf family: lengths at the buffer's edge, the debugger channel's cut, the argument list
// walked twice, streams, and setOutputStream's ownership rule.
#include <quor/Platform.h>

#include "support/capture.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using quor::Platform;
using quortest::DebugChannelCapture;
using quortest::StdoutCapture;

// Calls a member that takes an argument list (vfprintf, vsprintf) with its first argument.
template <typename First>
int callWithList(int (*member)(First, const char*, va_list), First first, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = member(first, format, arguments);
  va_end(arguments);
  return result;
}

TEST(Printf, LengthsAroundTheBufferAndTheChannelsCut) {
  const struct {
    size_t length;
    int result;
    size_t onChannel;
  } cases[] = {{0, 0, 0},          {1, 1, 1},        {1023, 1023, 1023},
               {1024, 1024, 1023}, {1025, -1, 1023}, {1500, -1, 1023}};
  for (const auto& c : cases) {
    std::string text(c.length, 'a');
    for (size_t i = 0; i < c.length; ++i) text[i] = static_cast<char>('a' + i % 26);
    DebugChannelCapture channel;
    StdoutCapture out;
    EXPECT_EQ(Platform::printf("%s", text.c_str()), c.result) << c.length;
    EXPECT_EQ(out.text(), text) << "stdout gets the whole text, length " << c.length;
    ASSERT_EQ(channel.texts().size(), 1u);
    EXPECT_EQ(channel.texts()[0], text.substr(0, c.onChannel)) << c.length;
  }
}

// The debugger channel's texts, each with the bytes standard output held when it arrived.
std::vector<std::pair<std::string, off_t>> g_channelAndStdout;
void noteChannelAndStdout(const char* text) {
  fflush(stdout);
  struct stat info;
  g_channelAndStdout.emplace_back(text, fstat(STDOUT_FILENO, &info) == 0 ? info.st_size : -1);
}

TEST(Printf, ChannelFirstThenStdoutEachWalkingTheArgumentListFromTheStart) {
  StdoutCapture out;
  g_channelAndStdout.clear();
  pal_debug_sink_fn previous = pal_set_debug_sink(noteChannelAndStdout);
  long long big = 1234567890123LL;
  int result = Platform::printf("%d|%s|%lld|%c|%.3f|%x|%p", -42, "str", big, 'k', 2.5, 0xBEEFu,
                                reinterpret_cast<void*>(0x1000));
  pal_set_debug_sink(previous);
  char expected[256];
  int length = snprintf(expected, sizeof expected, "%d|%s|%lld|%c|%.3f|%x|%p", -42, "str", big, 'k',
                        2.5, 0xBEEFu, reinterpret_cast<void*>(0x1000));
  EXPECT_EQ(result, length);
  EXPECT_EQ(out.text(), expected);
  ASSERT_EQ(g_channelAndStdout.size(), 1u);
  EXPECT_EQ(g_channelAndStdout[0].first, expected);
  EXPECT_EQ(g_channelAndStdout[0].second, 0)
      << "standard output was written before the debugger channel";
}

TEST(Printf, VfprintfWritesEverythingAndReportsTheBoundedLength) {
  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  DebugChannelCapture channel;
  std::string text(1500, 'z');
  EXPECT_EQ(callWithList(&Platform::vfprintf, stream, "%s", text.c_str()), -1);
  EXPECT_EQ(callWithList(&Platform::vfprintf, stream, "<%d>", 77), 4);
  fflush(stream);
  EXPECT_EQ(ftell(stream), 1504L);
  EXPECT_TRUE(channel.texts().empty()) << "vfprintf does not feed the debugger channel";
  fclose(stream);
}

TEST(Printf, SprintfIsUnboundedAndReturnsTheStoredLength) {
  char buffer[3000];
  std::string text(2000, 'y');
  EXPECT_EQ(Platform::sprintf(buffer, "%s-%d", text.c_str(), 9), 2002);
  EXPECT_EQ(std::string(buffer), text + "-9");
  EXPECT_EQ(callWithList<char*>(&Platform::vsprintf, buffer, "%05d", 42), 5);
  EXPECT_STREQ(buffer, "00042");
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

TEST(OutputStream, ReplacingClosesThePreviousNullLeavesNoneSameStreamStaysOpen) {
  FILE* first = tmpfile();
  FILE* second = tmpfile();
  ASSERT_TRUE(first && second);
  int firstFd = fileno(first);
  int secondFd = fileno(second);
  Platform::setOutputStream(first);
  Platform::setOutputStream(first);
  EXPECT_TRUE(isOpen(firstFd)) << "registering the same stream again must not close it";
  Platform::setOutputStream(second);
  EXPECT_FALSE(isOpen(firstFd)) << "replaced stream is closed";
  EXPECT_TRUE(isOpen(secondFd));
  Platform::setOutputStream(nullptr);
  EXPECT_FALSE(isOpen(secondFd));
  Platform::setOutputStream(nullptr);  // nothing registered: nothing to close

  StdoutCapture out;
  Platform::printf("still %s", "stdout");
  EXPECT_EQ(out.text(), "still stdout");
}

}  // namespace
