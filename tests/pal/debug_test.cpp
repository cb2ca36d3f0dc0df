// The debugger channel and the debugger break, through their test controls and by default.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_texts;
int g_breaks = 0;

void collect(const char* text) { g_texts.emplace_back(text); }
void countBreak() { ++g_breaks; }

TEST(DebugChannel, SinkReceivesEachTextUntilRemoved) {
  g_texts.clear();
  EXPECT_EQ(pal_set_debug_sink(collect), nullptr);
  OutputDebugStringA("first");
  OutputDebugStringA("");
  OutputDebugStringA(nullptr);
  EXPECT_EQ(pal_set_debug_sink(nullptr), &collect);
  OutputDebugStringA("not collected");
  ASSERT_EQ(g_texts.size(), 2u);
  EXPECT_EQ(g_texts[0], "first");
  EXPECT_EQ(g_texts[1], "");
}

TEST(DebugChannel, DefaultChannelWithoutDebuggerLeavesStderrAlone) {
  // No tracer in a test run: the text goes to the system log only.
  ASSERT_FALSE(IsDebuggerPresent());
  testing::internal::CaptureStderr();
  OutputDebugStringA("to the system log");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DebugBreak, HookIsCalledAndReturns) {
  g_breaks = 0;
  EXPECT_EQ(pal_set_break_hook(countBreak), nullptr);
  DebugBreak();
  DebugBreak();
  EXPECT_EQ(g_breaks, 2);
  EXPECT_EQ(pal_set_break_hook(nullptr), &countBreak);
}

TEST(DebugBreakDeathTest, WithoutHookTheProcessStopsWithSigtrap) {
  EXPECT_EXIT(DebugBreak(), ::testing::KilledBySignal(SIGTRAP), "");
}

}  // namespace
