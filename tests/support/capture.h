// Test helpers that capture what the library writes: the real standard-output file descriptor
// (not just the stdio buffer) and the debugger channel through the PAL's sink.
#ifndef QUORKIT_TESTS_CAPTURE_H
#define QUORKIT_TESTS_CAPTURE_H

#include <pal/testing.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quortest {

// Redirects file descriptor 1 into a temporary file for the object's life; text() flushes stdio
// and returns everything written so far.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    char name[] = "/tmp/quorkit-stdout-XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
  }
  ~StdoutCapture() { restore(); }

  std::string text() {
    fflush(stdout);
    std::string all;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(file_, buffer, sizeof buffer, offset)) > 0) {
      all.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    return all;
  }

  void restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }

 private:
  int file_ = -1;
  int saved_ = -1;
};

// Collects every debugger-channel text while alive.
class DebugChannelCapture {
 public:
  DebugChannelCapture() { previous_ = pal_set_debug_sink(&DebugChannelCapture::collect); }
  ~DebugChannelCapture() {
    pal_set_debug_sink(previous_);
    texts().clear();
  }
  static std::vector<std::string>& texts() {
    static std::vector<std::string> all;
    return all;
  }
  std::string joined() const {
    std::string all;
    for (const std::string& t : texts()) all += t;
    return all;
  }

 private:
  static void collect(const char* text) { texts().emplace_back(text); }
  pal_debug_sink_fn previous_;
};

// Counts DebugBreak calls instead of stopping, while alive.
class BreakCounter {
 public:
  BreakCounter() {
    count() = 0;
    previous_ = pal_set_break_hook(&BreakCounter::hit);
  }
  ~BreakCounter() { pal_set_break_hook(previous_); }
  static int& count() {
    static int n = 0;
    return n;
  }

 private:
  static void hit() { ++count(); }
  pal_break_fn previous_;
};

}  // namespace quortest

#endif
