// pushDebugRegion + popDebugRegion pairs per second on one and on two threads, side by side with
// two peers measured in the same run: the bare global lock (one lock/unlock per pair), and a
// minimal region stack of one's own (an array and a std::mutex, no per-thread state). The ratio
// says what the two stacks, the thread-slot lookup and the second lock entry per operation cost.
#include <quor/Platform.h>

#include "bench_util.h"

#include <atomic>
#include <mutex>
#include <stdio.h>
#include <thread>
#include <vector>

namespace {

using quor::Platform;

void regionPair(unsigned short id) {
  Platform::pushDebugRegion(id);
  bench::keep(Platform::popDebugRegion());
}

void lockPair(unsigned short) {
  Platform::lock();
  Platform::unlock();
}

std::mutex g_minimalMutex;
unsigned short g_minimalStack[64];
int g_minimalTop = 0;

void minimalPair(unsigned short id) {
  {
    std::lock_guard<std::mutex> guard(g_minimalMutex);
    if (++g_minimalTop < 64) g_minimalStack[g_minimalTop] = id;
  }
  std::lock_guard<std::mutex> guard(g_minimalMutex);
  unsigned short value = g_minimalStack[g_minimalTop < 64 ? g_minimalTop : 63];
  --g_minimalTop;
  bench::keep(value);
}

// Pairs per second of `pair` on `threads` threads together, over about `seconds`.
double pairsPerSecond(void (*pair)(unsigned short), int threads, double seconds) {
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<long long> total{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      while (!go.load()) {
      }
      long long count = 0;
      unsigned short id = static_cast<unsigned short>(t + 1);
      while (!stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 64; ++i) pair(id);
        count += 64;
      }
      total += count;
    });
  }
  double start = bench::nowSeconds();
  go = true;
  while (bench::nowSeconds() - start < seconds)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop = true;
  for (std::thread& worker : workers) worker.join();
  double elapsed = bench::nowSeconds() - start;
  return static_cast<double>(total.load()) / elapsed;
}

}  // namespace

int main() {
  const double kSeconds = 0.5;
  printf("pushDebugRegion+popDebugRegion pairs per second, best of 3 alternating samples\n");
  printf("peers: one Platform::lock/unlock per pair; a minimal stack (array + std::mutex)\n");
  bench::printRunNote();
  printf("\n%-8s %14s %14s %14s %10s %10s\n", "threads", "regions/s", "lock/s", "minimal/s",
         "vs lock", "vs minimal");
  double regionsByThreads[3] = {0, 0, 0};
  for (int threads = 1; threads <= 2; ++threads) {
    double regions = 0;
    double lock = 0;
    double minimal = 0;
    for (int sample = 0; sample < 3; ++sample) {
      double r = pairsPerSecond(&regionPair, threads, kSeconds);
      double l = pairsPerSecond(&lockPair, threads, kSeconds);
      double m = pairsPerSecond(&minimalPair, threads, kSeconds);
      if (r > regions) regions = r;
      if (l > lock) lock = l;
      if (m > minimal) minimal = m;
    }
    regionsByThreads[threads] = regions;
    printf("%-8d %14.0f %14.0f %14.0f %10.3f %10.3f\n", threads, regions, lock, minimal,
           regions / lock, regions / minimal);
  }
  printf("\nregions, 2 threads / 1 thread: %.3f (all threads share the one global lock)\n",
         regionsByThreads[2] / regionsByThreads[1]);
  return 0;
}
