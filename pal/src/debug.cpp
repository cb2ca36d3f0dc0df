// The debugger output channel and the debugger break.
//
// Where Linux differs from Windows, on purpose:
// - OutputDebugStringA has no system-wide debug monitor to talk to. Each text goes to the system
//   log at debug priority (a datagram straight to /dev/log, formatted here, because syslog(3) may
//   allocate and the callers' output paths must not), and to stderr while a debugger (a tracer)
//   is attached, which is where a developer running gdb looks.
// - DebugBreak raises SIGTRAP: a debugger stops there; without one the process ends, as an
//   unhandled breakpoint exception ends it on Windows.
#include <pal/testing.h>

#include "pal_internal.h"

#include <atomic>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

std::atomic<pal_debug_sink_fn> g_debugSink{nullptr};
std::atomic<pal_break_fn> g_breakHook{nullptr};
std::atomic<int> g_logSocket{-2};  // -2: not tried yet, -1: no system log here

int systemLogSocket() {
  int fd = g_logSocket.load(std::memory_order_acquire);
  if (fd != -2) return fd;
  int created = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (created >= 0) {
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (connect(created, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(created);
      created = -1;
    }
  }
  int expected = -2;
  if (!g_logSocket.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    if (created >= 0) close(created);  // another thread won the race; use its socket
    return expected;
  }
  return created;
}

// Reads TracerPid from /proc/self/status into a stack buffer: no allocation, no stdio.
bool tracerAttached() {
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[2048];
  ssize_t length = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (length <= 0) return false;
  buffer[length] = '\0';
  const char* field = strstr(buffer, "TracerPid:");
  if (field == nullptr) return false;
  field += strlen("TracerPid:");
  while (*field == ' ' || *field == '\t') ++field;
  return *field != '0' && *field >= '1' && *field <= '9';
}

// The output path asks on every text; reading /proc each time would cost an open and a read per
// printf. The answer is kept for a tenth of a second, so a debugger that attaches mid-run sees
// the texts from then on, a moment late at worst.
bool tracerAttachedRecently() {
  static std::atomic<long long> s_checkedAt{-1};
  static std::atomic<bool> s_attached{false};
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nowNs = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
  long long checkedAt = s_checkedAt.load(std::memory_order_relaxed);
  if (checkedAt < 0 || nowNs - checkedAt >= 100000000LL) {
    s_attached.store(tracerAttached(), std::memory_order_relaxed);
    s_checkedAt.store(nowNs, std::memory_order_relaxed);
  }
  return s_attached.load(std::memory_order_relaxed);
}

void writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written <= 0) return;
    data += written;
    length -= static_cast<size_t>(written);
  }
}

void sendToSystemLog(const char* text) {
  int fd = systemLogSocket();
  if (fd < 0) return;
  // <15> is facility user (1) * 8 + priority debug (7).
  char record[1200];
  int header = snprintf(record, sizeof record, "<15>quorkit[%d]: ", static_cast<int>(getpid()));
  if (header < 0) return;
  size_t room = sizeof record - static_cast<size_t>(header);
  size_t length = strnlen(text, room);
  memcpy(record + header, text, length);
  send(fd, record, static_cast<size_t>(header) + length, MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

extern "C" pal_debug_sink_fn pal_set_debug_sink(pal_debug_sink_fn sink) {
  return g_debugSink.exchange(sink);
}

extern "C" pal_break_fn pal_set_break_hook(pal_break_fn hook) { return g_breakHook.exchange(hook); }

extern "C" BOOL WINAPI IsDebuggerPresent(void) { return tracerAttached() ? TRUE : FALSE; }

extern "C" void WINAPI OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  pal_debug_sink_fn sink = g_debugSink.load();
  if (sink != nullptr) {
    sink(text);
    return;
  }
  sendToSystemLog(text);
  if (tracerAttachedRecently()) writeAll(STDERR_FILENO, text, strlen(text));
}

extern "C" void WINAPI DebugBreak(void) {
  pal_break_fn hook = g_breakHook.load();
  if (hook != nullptr) {
    hook();
    return;
  }
  raise(SIGTRAP);
}
