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
  StdoutCapture() : saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);
    char name[] = "/tmp/quorkit-stdout-XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    dup2(file_, STDOUT_FILENO);
  }
  ~StdoutCapture() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(file_);
  }

  std::string text() {
    fflush(stdout);
    std::string all(static_cast<size_t>(lseek(file_, 0, SEEK_END)), '\0');
    if (pread(file_, &all[0], all.size(), 0) != static_cast<ssize_t>(all.size())) all.clear();
    return all;
  }

 private:
  int file_;
  const int saved_;
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
