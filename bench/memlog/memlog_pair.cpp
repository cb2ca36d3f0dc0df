// Cost of one tracked allocate/release pair of the leak-tracking build (Platform::malloc then
// Platform::free: table, counters, two log events each with a full stack walk through the PAL's
// dbghelp.dll), against two peers measured in the same run:
// - the default build's pair: its Platform::malloc/free only forward, through the raw_ layer, to
//   the system allocator layer, so sysMalloc/sysFree are that pair's work (minus two forwarding
//   calls), linked here from the same objects;
// - what a hand-made logger on glibc would do for the same two events: malloc/free, and for each
//   event backtrace() and one write() of a 32-byte record plus the stack block, the same bytes
//   in the same layout as the log's.
// Rounds alternate the three and the ratio is the median of the rounds' ratios, which holds up on
// a busy machine. Only the ratios travel between machines.
#include <quor/Platform.h>

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "PlatformInternal.h"
#include "debug/Win32dbghelp.h"
#include "bench_util.h"

namespace {

constexpr double kRoundSeconds = 0.25;
constexpr int kRounds = 5;

int g_peerFd = -1;
void* g_frames[128];
uint32_t g_block[4 + 128 + 4];

// One peer event: capture the stack, write record and stack block as the log lays them out.
__attribute__((noinline)) void peerEvent(uint32_t code, uint32_t id, const void* address,
                                         uint32_t size) {
  const int frames = backtrace(g_frames, 128);
  uint32_t record[8] = {
      code, id, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address)), size, 0, 0, 0, 0};
  g_block[0] = static_cast<uint32_t>(frames);
  for (int i = 0; i < frames; ++i)
    g_block[1 + i] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_frames[i]));
  const size_t stackBytes = (4 * static_cast<size_t>(frames) + 4 + 15) & ~size_t(15);
  std::memset(reinterpret_cast<char*>(g_block) + 4 + 4 * frames, 0,
              stackBytes - 4 - 4 * static_cast<size_t>(frames));
  // One write per event, as a logger that builds the block in memory first would do.
  char buffer[32 + sizeof g_block];
  std::memcpy(buffer, record, 32);
  std::memcpy(buffer + 32, g_block, stackBytes);
  if (write(g_peerFd, buffer, 32 + stackBytes) < 0) std::abort();
}

__attribute__((noinline)) void trackedPair(unsigned int size) {
  void* block = quor::Platform::malloc(size);
  bench::keep(block);
  quor::Platform::free(block);
}

__attribute__((noinline)) void defaultPair(unsigned int size) {
  void* block = quor::sysMalloc(size);
  bench::keep(block);
  quor::sysFree(block);
}

__attribute__((noinline)) void peerPair(unsigned int size) {
  static uint32_t id = 0;
  void* block = std::malloc(size);
  bench::keep(block);
  peerEvent(2, ++id, block, size);
  peerEvent(5, id, block, size);
  std::free(block);
}

// Nanoseconds per pair, run for about kRoundSeconds.
template <typename F>
double nanosPerPair(F pair, unsigned int size) {
  const double start = bench::nowSeconds();
  double elapsed = 0;
  long pairs = 0;
  do {
    for (int i = 0; i < 16; ++i) pair(size);
    pairs += 16;
    elapsed = bench::nowSeconds() - start;
  } while (elapsed < kRoundSeconds);
  return elapsed * 1e9 / static_cast<double>(pairs);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  const std::string peerLog = "bench_memlog_pair.peer.bin";
  g_peerFd = open(peerLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (g_peerFd < 0) {
    std::perror(peerLog.c_str());
    return 1;
  }
  trackedPair(8);  // starts the debug-help module and opens the log outside the timing
  peerPair(8);

  std::printf(
      "tracked allocate/release pair (leak-tracking build) against the default build's pair\n"
      "and against glibc malloc/free + backtrace() + write() of the same record and stack bytes\n");
  std::printf("%8s %14s %14s %14s %12s %12s\n", "size", "tracked ns", "default ns", "glibc+bt ns",
              "x default", "x glibc+bt");
  const unsigned int sizes[] = {16, 256, 4096};
  for (unsigned int size : sizes) {
    std::vector<double> tracked, plain, peer, overDefault, overPeer;
    for (int round = 0; round < kRounds; ++round) {
      tracked.push_back(nanosPerPair(trackedPair, size));
      plain.push_back(nanosPerPair(defaultPair, size));
      peer.push_back(nanosPerPair(peerPair, size));
      overDefault.push_back(tracked.back() / plain.back());
      overPeer.push_back(tracked.back() / peer.back());
    }
    std::printf("%8u %14.0f %14.0f %14.0f %11.1fx %11.2fx\n", size, median(tracked), median(plain),
                median(peer), median(overDefault), median(overPeer));
  }
  trackedPair(8);
  peerPair(8);
  std::printf(
      "frames per event: tracked %u (the walk through dbghelp.dll), glibc+bt %u (backtrace)\n",
      static_cast<unsigned int>(quor::_dbgHelp.captureBuffer[0]), g_block[0]);
  bench::printRunNote();
  close(g_peerFd);
  std::remove(peerLog.c_str());
  return 0;
}
