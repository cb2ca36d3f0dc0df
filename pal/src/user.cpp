// MessageBoxA: a modal box with a caption, a text and an icon style.
//
// Linux has no system message box. In order of preference: a real dialog when a display is
// available (an external dialog program, waited for, so the call blocks like the modal box);
// otherwise the caption and text on the controlling terminal, waiting for Enter; otherwise (no
// display, no terminal: a service or a CI run) nothing blocks and the call answers IDOK at once.
#include <pal/testing.h>

#include "pal_internal.h"

#include <atomic>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::atomic<pal_message_box_fn> g_messageBoxHook{nullptr};

bool isExecutable(const char* directory, const char* program, char* path, size_t size) {
  size_t dirLength = strlen(directory);
  size_t programLength = strlen(program);
  if (dirLength + 1 + programLength + 1 > size) return false;
  memcpy(path, directory, dirLength);
  path[dirLength] = '/';
  memcpy(path + dirLength + 1, program, programLength + 1);
  return access(path, X_OK) == 0;
}

bool findProgram(const char* program, char* path, size_t size) {
  const char* search = getenv("PATH");
  if (search == nullptr) search = "/usr/bin:/bin";
  char directory[512];
  while (*search != '\0') {
    const char* end = strchr(search, ':');
    size_t length = end ? static_cast<size_t>(end - search) : strlen(search);
    if (length > 0 && length < sizeof directory) {
      memcpy(directory, search, length);
      directory[length] = '\0';
      if (isExecutable(directory, program, path, size)) return true;
    }
    if (end == nullptr) break;
    search = end + 1;
  }
  return false;
}

const char* iconName(UINT style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONHAND: return "error";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONASTERISK: return "info";
    default: return nullptr;
  }
}

bool runAndWait(const char* path, char* const argv[]) {
  pid_t child;
  if (posix_spawn(&child, path, nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return true;
}

bool showGraphicalDialog(const char* text, const char* caption, UINT style) {
  if (getenv("DISPLAY") == nullptr && getenv("WAYLAND_DISPLAY") == nullptr) return false;
  char path[600];
  const char* icon = iconName(style);
  if (findProgram("zenity", path, sizeof path)) {
    char kind[32] = "--info";
    if (icon != nullptr && strcmp(icon, "error") == 0) strcpy(kind, "--error");
    if (icon != nullptr && strcmp(icon, "warning") == 0) strcpy(kind, "--warning");
    char titleArg[300];
    char textArg[1200];
    strcpy(titleArg, "--title=");
    strncat(titleArg, caption, sizeof titleArg - strlen(titleArg) - 1);
    strcpy(textArg, "--text=");
    strncat(textArg, text, sizeof textArg - strlen(textArg) - 1);
    char zenity[] = "zenity";
    char noMarkup[] = "--no-markup";
    char* argv[] = {zenity, kind, noMarkup, titleArg, textArg, nullptr};
    return runAndWait(path, argv);
  }
  if (findProgram("xmessage", path, sizeof path)) {
    char xmessage[] = "xmessage";
    char center[] = "-center";
    char title[] = "-title";
    char* argv[] = {xmessage, center, title, const_cast<char*>(caption), const_cast<char*>(text),
                    nullptr};
    return runAndWait(path, argv);
  }
  return false;
}

bool askOnTerminal(const char* text, const char* caption, UINT style) {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  const char* icon = iconName(style);
  auto put = [fd](const char* s) {
    size_t length = strlen(s);
    while (length > 0) {
      ssize_t n = write(fd, s, length);
      if (n <= 0) return;
      s += n;
      length -= static_cast<size_t>(n);
    }
  };
  put("\n[");
  put(caption);
  if (icon != nullptr) {
    put(" : ");
    put(icon);
  }
  put("]\n");
  put(text);
  put("\n[press Enter]");
  char c = 0;
  while (read(fd, &c, 1) == 1 && c != '\n') {
  }
  close(fd);
  return true;
}

}  // namespace

extern "C" pal_message_box_fn pal_set_message_box_hook(pal_message_box_fn hook) {
  return g_messageBoxHook.exchange(hook);
}

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT style) {
  if (text == nullptr) text = "";
  // Windows shows "Error" as the caption when none is given.
  if (caption == nullptr) caption = "Error";
  pal_message_box_fn hook = g_messageBoxHook.load();
  if (hook != nullptr) return hook(text, caption, style);
  if (showGraphicalDialog(text, caption, style)) return IDOK;
  askOnTerminal(text, caption, style);
  return IDOK;
}
