// Diagnosis and the printf family, and setOutputStream's ownership rule.
#include <quor/Platform.h>

#include <windows.h>
#include <pal/testing.h>

#include "support/capture.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string>
#include <vector>

namespace {

using quor::Platform;
using quortest::BreakCounter;
using quortest::DebugChannelCapture;
using quortest::StdoutCapture;

// What a handler or a message box received; with the breaks made and the debugger channel's
// text so far, to see what came first.
struct Seen {
  int level;
  std::string text;
  int breaksSoFar;
  unsigned int style;
  std::string caption, channelSoFar;
};
std::vector<Seen> g_seen;

void recordingHandler(quor::ErrorLevel level, const char* text) {
  g_seen.push_back({level, text, BreakCounter::count(), 0, "", ""});
}
int recordBox(const char* text, const char* caption, unsigned int style) {
  std::string channel;
  for (const std::string& line : DebugChannelCapture::texts()) channel += line;
  g_seen.push_back({-1, text, BreakCounter::count(), style, caption, channel});
  return IDOK;
}

// Every test leaves no handler installed, as the library starts.
class Diagnosis : public ::testing::Test {
 protected:
  void SetUp() override { g_seen.clear(); }
  void TearDown() override {
    Platform::setDiagnosisHandler(nullptr);
    pal_set_message_box_hook(nullptr);
  }
  BreakCounter breaks_;
};

TEST_F(Diagnosis, HandlerGetsTheFormattedTextCutToTheBufferAndHaltFollowsOnlyAtLevelZero) {
  EXPECT_EQ(Platform::setDiagnosisHandler(recordingHandler), nullptr);
  StdoutCapture out;
  Platform::diagnosis(quor::LEVEL_WARNING, "%s %d %c %.2f %%", "mixed", -3, 'z', 1.5);
  Platform::diagnosis(quor::LEVEL_FATAL, "fatal %u", 7u);
  Platform::diagnosis(static_cast<quor::ErrorLevel>(4), "%s", std::string(3000, 'q').c_str());
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[0].text, "mixed -3 z 1.50 %");
  EXPECT_EQ(g_seen[0].level, quor::LEVEL_WARNING);
  EXPECT_EQ(g_seen[1].text, "fatal 7");
  EXPECT_EQ(g_seen[1].breaksSoFar, 0) << "the break comes after the handler returned";
  EXPECT_EQ(g_seen[2].text, std::string(1023, 'q'));
  EXPECT_EQ(breaks_.count(), 1) << "only level 0 halts, not 4";
  EXPECT_EQ(out.text(), "") << "a handler replaces the console path";
  EXPECT_EQ(Platform::setDiagnosisHandler(nullptr), &recordingHandler);
}

// Each handler prints the labelled line on stdout and the debugger channel; the message-box one
// then shows a box with the icon of the level. Only level 0 halts.
TEST_F(Diagnosis, HandlersPrintTheLabelledLineAndTheBoxShowsTheIconOfTheLevel) {
  const struct {
    int level;
    const char* label;
    unsigned int style;
  } cases[] = {{0, "FATAL", 0x10}, {1, "ERROR", 0x10}, {2, "WARNING", 0x30}, {3, "INFO", 0x40},
               {4, "FATAL", 0},    {5, "ERROR", 0},    {6, "WARNING", 0},    {-1, "INFO", 0}};
  pal_set_message_box_hook(recordBox);
  for (auto handler : {quor::diagnosisHandlerWin32CUI, quor::defaultDiagnosisHandler,
                       quor::diagnosisHandlerWin32GUI}) {
    Platform::setDiagnosisHandler(handler);
    for (const auto& c : cases) {
      DebugChannelCapture channel;
      StdoutCapture out;
      g_seen.clear();
      Platform::diagnosis(static_cast<quor::ErrorLevel>(c.level), "disk %d low %s", 3, "100%");
      std::string expected = std::string("quorPlatform : ") + c.label + " : disk 3 low 100%";
      EXPECT_EQ(out.text(), expected) << "level " << c.level;
      EXPECT_EQ(channel.joined(), expected) << "level " << c.level;
      if (handler != quor::diagnosisHandlerWin32GUI) continue;
      ASSERT_EQ(g_seen.size(), 1u);
      EXPECT_EQ(g_seen[0].style, c.style) << "level " << c.level;
      EXPECT_EQ(g_seen[0].caption, "quorPlatform");
      EXPECT_EQ(g_seen[0].text, "disk 3 low 100%");
      EXPECT_EQ(g_seen[0].channelSoFar, expected) << "the console line comes first";
    }
  }
  EXPECT_EQ(breaks_.count(), 3) << "one halt per handler, for level 0 only";
}

TEST_F(Diagnosis, AssertFailPrintsFileLineExpressionAndReturnsZeroAfterTheBreak) {
  StdoutCapture out;
  Platform::setDiagnosisHandler(quor::defaultDiagnosisHandler);
  EXPECT_EQ(Platform::_assert_fail("p != 0", "main", 12), 0);
  EXPECT_EQ(out.text(), "quorPlatform : FATAL : assert failed : main, line 12 : p != 0\n");
  EXPECT_EQ(breaks_.count(), 1);
  // Without a handler: the bare text, unlabelled, on stdout and the debugger channel.
  Platform::setDiagnosisHandler(nullptr);
  DebugChannelCapture channel;
  StdoutCapture bare;
  Platform::_assert_fail("a %s b", "file.cpp", -4);
  const char* expected = "assert failed : file.cpp, line -4 : a %s b\n";
  EXPECT_EQ(bare.text(), expected) << "texts are arguments, not formats";
  EXPECT_EQ(channel.joined(), expected);
}

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
  FILE* stream = tmpfile();
  for (const auto& c : cases) {
    std::string text(c.length, 'a');
    for (size_t i = 0; i < c.length; ++i) text[i] = static_cast<char>('a' + i % 26);
    DebugChannelCapture channel;
    StdoutCapture out;
    EXPECT_EQ(Platform::printf("%s", text.c_str()), c.result) << c.length;
    EXPECT_EQ(out.text(), text) << "stdout gets the whole text, length " << c.length;
    ASSERT_EQ(channel.texts().size(), 1u);
    EXPECT_EQ(channel.texts()[0], text.substr(0, c.onChannel)) << c.length;
    // vfprintf: the same result, the whole text in the stream, nothing on the channel.
    EXPECT_EQ(callWithList(&Platform::vfprintf, stream, "%s", text.c_str()), c.result);
    EXPECT_EQ(channel.texts().size(), 1u);
    fflush(stream);
    EXPECT_EQ(static_cast<size_t>(ftell(stream)), c.length);
    rewind(stream);
  }
  fclose(stream);
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
  StdoutCapture out;
  Platform::printf("still %s", "stdout");
  EXPECT_EQ(out.text(), "still stdout") << "printf never writes to the registered stream";
  Platform::setOutputStream(nullptr);
  EXPECT_FALSE(isOpen(secondFd));
  Platform::setOutputStream(nullptr);  // nothing registered: nothing to close
}

}  // namespace
