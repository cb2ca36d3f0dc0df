// Diagnosis: the bare console path, the handlers and their labels and icons, the halt rule,
// assertions, and the fatal break without a debugger.
#include <quor/Platform.h>

#include <windows.h>
#include <pal/testing.h>

#include "support/capture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using quor::Platform;
using quortest::BreakCounter;
using quortest::DebugChannelCapture;
using quortest::StdoutCapture;

struct Report {
  quor::ErrorLevel level;
  std::string text;
  int breaksSoFar;
};
std::vector<Report> g_reports;
void recordingHandler(quor::ErrorLevel level, const char* text) {
  g_reports.push_back({level, text, BreakCounter::count()});
}

// A box also notes what the debugger channel had received when it was shown.
struct Box {
  std::string text, caption;
  unsigned int style;
  std::string channelSoFar;
};
std::vector<Box> g_boxes;
int recordBox(const char* text, const char* caption, unsigned int style) {
  std::string channel;
  for (const std::string& line : DebugChannelCapture::texts()) channel += line;
  g_boxes.push_back({text, caption, style, channel});
  return IDOK;
}

// Every test starts and ends with no handler installed.
class Diagnosis : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    g_boxes.clear();
    Platform::setDiagnosisHandler(nullptr);
  }
  void TearDown() override {
    Platform::setDiagnosisHandler(nullptr);
    pal_set_message_box_hook(nullptr);
  }
};

TEST_F(Diagnosis, WithoutHandlerTheBareMessageGoesToStdoutAndTheDebuggerChannel) {
  BreakCounter breaks;
  DebugChannelCapture channel;
  StdoutCapture out;
  Platform::diagnosis(quor::LEVEL_INFO, "x=%d\n", 5);
  Platform::diagnosis(quor::LEVEL_ERROR, "no line end %s", "added");
  EXPECT_EQ(out.text(), "x=5\nno line end added");
  EXPECT_EQ(channel.joined(), "x=5\nno line end added");
  EXPECT_EQ(breaks.count(), 0);
}

TEST_F(Diagnosis, SetHandlerReturnsThePreviousOneStartingFromNone) {
  EXPECT_EQ(Platform::setDiagnosisHandler(recordingHandler), nullptr);
  EXPECT_EQ(Platform::setDiagnosisHandler(quor::defaultDiagnosisHandler), &recordingHandler);
  EXPECT_EQ(Platform::setDiagnosisHandler(nullptr), &quor::defaultDiagnosisHandler);
  EXPECT_EQ(Platform::setDiagnosisHandler(nullptr), nullptr);
}

TEST_F(Diagnosis, HandlerGetsTheFormattedTextAndHaltFollowsOnlyAtLevelZero) {
  BreakCounter breaks;
  StdoutCapture out;
  Platform::setDiagnosisHandler(recordingHandler);
  Platform::diagnosis(quor::LEVEL_WARNING, "%s %d %c %.2f %%", "mixed", -3, 'z', 1.5);
  Platform::diagnosis(quor::LEVEL_FATAL, "fatal %u", 7u);
  Platform::diagnosis(static_cast<quor::ErrorLevel>(4), "four");
  Platform::diagnosis(static_cast<quor::ErrorLevel>(-1), "minus one");
  ASSERT_EQ(g_reports.size(), 4u);
  EXPECT_EQ(g_reports[0].text, "mixed -3 z 1.50 %");
  EXPECT_EQ(g_reports[0].level, quor::LEVEL_WARNING);
  EXPECT_EQ(g_reports[1].text, "fatal 7");
  EXPECT_EQ(g_reports[1].breaksSoFar, 0) << "the break comes after the handler returned";
  EXPECT_EQ(breaks.count(), 1) << "only level 0 halts, not 4 or -1";
  EXPECT_EQ(out.text(), "") << "a handler replaces the console path";
}

TEST_F(Diagnosis, LongMessagesThroughAHandlerAreCutNotOverrun) {
  Platform::setDiagnosisHandler(recordingHandler);
  std::string longText(3000, 'q');
  Platform::diagnosis(quor::LEVEL_INFO, "%s", longText.c_str());
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].text, std::string(1023, 'q'));
}

TEST_F(Diagnosis, ConsoleHandlerPrintsTheLabelledLineForEveryLevel) {
  const struct {
    int level;
    const char* label;
  } cases[] = {{0, "FATAL"}, {1, "ERROR"},   {2, "WARNING"}, {3, "INFO"}, {4, "FATAL"},
               {5, "ERROR"}, {6, "WARNING"}, {7, "INFO"},    {-1, "INFO"}};
  BreakCounter breaks;
  for (auto handler : {quor::diagnosisHandlerWin32CUI, quor::defaultDiagnosisHandler}) {
    Platform::setDiagnosisHandler(handler);
    for (const auto& c : cases) {
      DebugChannelCapture channel;
      StdoutCapture out;
      Platform::diagnosis(static_cast<quor::ErrorLevel>(c.level), "disk %d low %s", 3, "100%");
      std::string expected = std::string("quorPlatform : ") + c.label + " : disk 3 low 100%";
      EXPECT_EQ(out.text(), expected) << "level " << c.level;
      EXPECT_EQ(channel.joined(), expected) << "level " << c.level;
    }
  }
  EXPECT_EQ(breaks.count(), 2) << "one halt per handler, for level 0 only";
}

TEST_F(Diagnosis, MessageBoxHandlerShowsTheLineThenABoxWithTheIconOfTheLevel) {
  const struct {
    int level;
    unsigned int style;
  } cases[] = {{0, 0x10}, {1, 0x10}, {2, 0x30}, {3, 0x40}, {4, 0}, {-1, 0}, {7, 0}};
  BreakCounter breaks;
  pal_set_message_box_hook(recordBox);
  Platform::setDiagnosisHandler(quor::diagnosisHandlerWin32GUI);
  for (const auto& c : cases) {
    DebugChannelCapture channel;
    StdoutCapture out;
    Platform::diagnosis(static_cast<quor::ErrorLevel>(c.level), "box %d", c.level);
    EXPECT_EQ(out.text().rfind("quorPlatform : ", 0), 0u);
  }
  ASSERT_EQ(g_boxes.size(), sizeof cases / sizeof cases[0]);
  for (size_t i = 0; i < g_boxes.size(); ++i) {
    std::string message = "box " + std::to_string(cases[i].level);
    EXPECT_EQ(g_boxes[i].style, cases[i].style) << "level " << cases[i].level;
    EXPECT_EQ(g_boxes[i].caption, "quorPlatform");
    EXPECT_EQ(g_boxes[i].text, message);
    EXPECT_NE(g_boxes[i].channelSoFar.find("quorPlatform : "), std::string::npos)
        << "console line before the box";
  }
  EXPECT_EQ(breaks.count(), 1);
}

TEST_F(Diagnosis, AssertFailPrintsFileLineExpressionAndReturnsZeroAfterTheBreak) {
  BreakCounter breaks;
  StdoutCapture out;
  Platform::setDiagnosisHandler(quor::defaultDiagnosisHandler);
  EXPECT_EQ(Platform::_assert_fail("p != 0", "main", 12), 0);
  EXPECT_EQ(out.text(), "quorPlatform : FATAL : assert failed : main, line 12 : p != 0\n");
  EXPECT_EQ(breaks.count(), 1);
  Platform::setDiagnosisHandler(nullptr);
  StdoutCapture bare;
  Platform::_assert_fail("a %s b", "file.cpp", -4);
  EXPECT_EQ(bare.text(), "assert failed : file.cpp, line -4 : a %s b\n")
      << "texts are arguments, not formats";
}

TEST(DiagnosisDeathTest, FatalWithoutDebuggerStopsTheProcessWithSigtrap) {
  EXPECT_EXIT(Platform::diagnosis(quor::LEVEL_FATAL, "the end"), ::testing::KilledBySignal(SIGTRAP),
              "");
  EXPECT_EXIT(
      {
        Platform::diagnosis(quor::LEVEL_ERROR, "survives");
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Levels -1, 4, 5 and 7 must be values of the type, and the interface passes a signed 32-bit int.
static_assert(std::is_same<std::underlying_type<quor::ErrorLevel>::type, int>::value,
              "ErrorLevel is a 32-bit signed integer");

}  // namespace
