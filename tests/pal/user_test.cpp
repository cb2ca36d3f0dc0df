// MessageBoxA: the hook sees text, caption and style; without display or terminal nothing blocks.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

namespace {

std::string g_text, g_caption;
unsigned int g_style = 0;

int answerCancel(const char* text, const char* caption, unsigned int style) {
  g_text = text;
  g_caption = caption;
  g_style = style;
  return IDCANCEL;
}

TEST(MessageBox, HookGetsTheArgumentsAndItsAnswerIsReturned) {
  pal_set_message_box_hook(answerCancel);
  EXPECT_EQ(MessageBoxA(nullptr, "disk low", "quorPlatform", MB_ICONEXCLAMATION), IDCANCEL);
  EXPECT_EQ(g_text, "disk low");
  EXPECT_EQ(g_caption, "quorPlatform");
  EXPECT_EQ(g_style, MB_ICONEXCLAMATION);
  MessageBoxA(nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(g_text, "");
  EXPECT_EQ(g_caption, "Error") << "Windows' caption when none is given";
  pal_set_message_box_hook(nullptr);
}

TEST(MessageBoxDeathTest, WithoutDisplayOrTerminalItAnswersOkAtOnce) {
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        setsid();  // no controlling terminal from here on
        int answer = MessageBoxA(nullptr, "text", "caption", MB_ICONHAND);
        exit(answer == IDOK ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
