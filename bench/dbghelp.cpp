// Benchmark of the allocation log's two costly steps, each against glibc doing the same job in
// the same run:
// - logMemoryEvent per event (stack walk through the PAL's dbghelp.dll, 32-byte record and
//   stack block written to the log) against backtrace() into a buffer of the same capacity plus
//   write() of the same record and stack bytes;
// - symbolizeAddress per frame (symbol, module and source line) against backtrace_symbols_fd()
//   for the same frame (symbol and module only: glibc has no source lines).
// Both are measured at the same call depth. Only the ratios are meant to be compared between
// machines; absolute times under qemu-i386 say little about native speed.
#include "debug/Win32dbghelp.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSeconds = 1.0;

// Under qemu-user the kernel still names the process after the emulator.
bool underEmulation() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Name:", 0) == 0) return line.find("qemu") != std::string::npos;
  }
  return false;
}

// Mean microseconds per call of f, run for at least kSeconds.
template <typename F>
double microsPerCall(F f) {
  f();  // warm: first lookups load symbol tables
  const auto start = Clock::now();
  size_t calls = 0;
  double elapsed = 0;
  do {
    f();
    ++calls;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < kSeconds);
  return elapsed * 1e6 / static_cast<double>(calls);
}

// The peer's buffers match the module's: 32,768 words of stack, zeroed per capture as the
// module's walk zeroes its own.
DWORD g_peerStack[quor::kCaptureBufferWords];
void* g_peerFrames[quor::kCaptureBufferWords];
int g_peerFd = -1;

void peerLogEvent(DWORD id, DWORD address, DWORD size) {
  std::memset(g_peerStack, 0, sizeof g_peerStack);
  const int n = backtrace(g_peerFrames, static_cast<int>(quor::kCaptureBufferWords - 1));
  g_peerStack[0] = static_cast<DWORD>(n);
  for (int i = 0; i < n; ++i)
    g_peerStack[i + 1] = static_cast<DWORD>(reinterpret_cast<uintptr_t>(g_peerFrames[i]));
  unsigned char record[32] = {};
  const DWORD fields[4] = {quor::MEMOP_MALLOC, id, address, size};
  std::memcpy(record, fields, sizeof fields);
  if (write(g_peerFd, record, sizeof record) < 0) return;
  if (write(g_peerFd, g_peerStack, (4 * static_cast<size_t>(n) + 4 + 15) & ~size_t(15)) < 0) return;
}

// The same depth for both sides: a few real frames between main and the measured call.
template <typename F>
__attribute__((noinline)) void atDepth(int depth, F& f) {
  if (depth == 0) {
    f();
  } else {
    atDepth(depth - 1, f);
  }
  asm volatile("" ::: "memory");
}

}  // namespace

int main() {
  const bool emulated = underEmulation();
  std::printf(
      "bench_dbghelp: microseconds per operation, quorkit's debug-help module against glibc "
      "in the same run\n");
  std::printf("ratio = quorkit time / glibc time (below 1: quorkit faster)%s\n\n",
              emulated ? "; ran under qemu-i386 emulation" : "; ran natively");

  if (!quor::initializeDbgHelp() || !quor::_dbgHelp.hDbgHelp) {
    std::printf("dbghelp.dll was not found beside the program: nothing to measure\n");
    return 1;
  }
  const std::string peerPath = std::string(quor::_dbgHelp.logPath) + ".peer";
  g_peerFd = open(peerPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (g_peerFd < 0) {
    std::printf("cannot create %s\n", peerPath.c_str());
    return 1;
  }

  std::printf("| operation | depth | frames | quorkit us | glibc us | ratio |\n");
  std::printf("|-----------|------:|-------:|-----------:|---------:|------:|\n");
  bool ok = true;
  for (int depth : {4, 32}) {
    DWORD id = 0;
    auto logOne = [&] { quor::logMemoryEvent("malloc", ++id, 0x1000, 16, 0); };
    auto peerOne = [&] { peerLogEvent(++id, 0x1000, 16); };
    const double mine = microsPerCall([&] { atDepth(depth, logOne); });
    const double peer = microsPerCall([&] { atDepth(depth, peerOne); });
    const DWORD frames = quor::_dbgHelp.captureBuffer[0];
    ok &= frames > static_cast<DWORD>(depth);
    std::printf("| logMemoryEvent per event | %d | %lu | %.1f | %.1f | %.2f |\n", depth,
                static_cast<unsigned long>(frames), mine, peer, mine / peer);
  }

  // Symbolise the frames of one captured stack, one frame per call, round robin.
  DWORD stack[64];
  auto capture = [&] { quor::captureStack(stack, 64); };
  atDepth(8, capture);
  const DWORD frames = stack[0];
  ok &= frames > 8;
  std::vector<char> text(quor::kReportLineSize);
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  DWORD next = 0;
  const double mine = microsPerCall([&] {
    quor::symbolizeAddress(stack[1 + next++ % frames], text.data(), quor::kReportLineSize);
    if (write(devNull, text.data(), std::strlen(text.data())) < 0) return;
  });
  next = 0;
  const double peer = microsPerCall([&] {
    void* frame = reinterpret_cast<void*>(static_cast<uintptr_t>(stack[1 + next++ % frames]));
    backtrace_symbols_fd(&frame, 1, devNull);
  });
  std::printf("| symbolizeAddress per frame | 8 | %lu | %.1f | %.1f | %.2f |\n",
              static_cast<unsigned long>(frames), mine, peer, mine / peer);

  close(devNull);
  close(g_peerFd);
  std::remove(peerPath.c_str());
  quor::terminateDbgHelp();
  std::remove(quor::_dbgHelp.logPath);
  return ok ? 0 : 1;
}
