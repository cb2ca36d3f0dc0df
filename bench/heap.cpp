// Benchmark of the general-purpose heap against the C runtime's malloc, measured side by side in
// the same process and run: operations per second and peak footprint, each as a ratio
// (heap / C runtime; above 1 means more operations per second, or more memory held). The
// footprints come from a second, untimed pass of each workload that samples the memory each
// allocator holds from the system (heap_footprint; mallinfo2 arena + mapped bytes).
#include "heap/Heap.h"

#include "bench_util.h"

#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

struct Allocator {
  const char* name;
  void* (*alloc)(size_t);
  void (*release)(void*);
  void* (*resize)(void*, size_t);
  size_t (*footprint)();
  void (*trim)();
};

size_t crtFootprint() {
  struct mallinfo2 info = mallinfo2();
  return info.arena + info.hblkhd;
}

const Allocator kHeap = {
    "heap", quor::heap_malloc, quor::heap_free, quor::heap_realloc, quor::heap_footprint, [] {
      quor::heap_trim(0);
    }};
const Allocator kCrt = {"crt", malloc, free, realloc, crtFootprint, [] { malloc_trim(0); }};

// Peak sampling: off in the timed pass, on in the footprint pass.
struct Sampler {
  const Allocator* a;
  bool on;
  size_t peak = 0;
  unsigned tick = 0;
  void sample() {
    if (!on || (++tick & 63) != 0) return;
    size_t fp = a->footprint();
    if (fp > peak) peak = fp;
  }
};

void touch(void* p, size_t n) {
  if (n == 0) return;
  unsigned char* c = static_cast<unsigned char*>(p);
  c[0] = 1;
  c[n - 1] = 2;
}

// Each workload returns the number of allocator calls it made.
typedef long (*Workload)(const Allocator&, Sampler&);

long smallRandom(const Allocator& a, Sampler& s) {
  constexpr int kBlocks = 10000, kRounds = 200000;
  std::mt19937 rng(1);
  std::vector<void*> set(kBlocks, nullptr);
  long calls = 0;
  for (void*& p : set) {
    size_t n = 8 + rng() % 249;
    p = a.alloc(n);
    touch(p, n);
    ++calls;
  }
  for (int i = 0; i < kRounds; ++i) {
    void*& p = set[rng() % kBlocks];
    a.release(p);
    size_t n = 8 + rng() % 249;
    p = a.alloc(n);
    touch(p, n);
    calls += 2;
    s.sample();
  }
  for (void* p : set) a.release(p);
  return calls + kBlocks;
}

// Replaces a random member of a set of `blocks` blocks `rounds` times with a block of draw() bytes.
template <typename Draw>
long churn(const Allocator& a, Sampler& s, int blocks, int rounds, std::mt19937& rng, Draw draw) {
  std::vector<void*> set(blocks, nullptr);
  long calls = 0;
  for (int i = 0; i < rounds; ++i) {
    void*& p = set[rng() % blocks];
    if (p) {
      a.release(p);
      ++calls;
    }
    size_t n = draw();
    p = a.alloc(n);
    touch(p, n);
    ++calls;
    s.sample();
  }
  for (void* p : set) {
    if (p) {
      a.release(p);
      ++calls;
    }
  }
  return calls;
}

long mixedSizes(const Allocator& a, Sampler& s) {
  std::mt19937 rng(2);
  return churn(a, s, 2000, 60000, rng,
               [&] { return size_t{1} + rng() % (size_t{1} << (rng() % 17)); });  // up to 64 KiB
}

long reallocGrowth(const Allocator& a, Sampler& s) {
  constexpr int kBlocks = 8, kRounds = 40;
  long calls = 0;
  for (int round = 0; round < kRounds; ++round) {
    void* blocks[kBlocks];
    size_t sizes[kBlocks];
    for (int b = 0; b < kBlocks; ++b) {
      sizes[b] = 16;
      blocks[b] = a.alloc(16);
      ++calls;
    }
    bool growing = true;
    while (growing) {
      growing = false;
      for (int b = 0; b < kBlocks; ++b) {
        if (sizes[b] >= (1u << 20)) continue;
        sizes[b] += sizes[b] / 4 + 16;
        blocks[b] = a.resize(blocks[b], sizes[b]);
        touch(blocks[b], sizes[b]);
        ++calls;
        growing = true;
        s.sample();
      }
    }
    for (void* p : blocks) a.release(p);
    calls += kBlocks;
  }
  return calls;
}

long directMapped(const Allocator& a, Sampler& s) {
  std::mt19937 rng(4);
  return churn(a, s, 16, 3000, rng, [&] {
    return (size_t{256} << 10) + rng() % (size_t{15} << 18);
  });  // 256 KiB to 4 MiB
}

// Two threads, each allocating blocks that the other one frees, through single-producer rings.
long crossThreads(const Allocator& a, Sampler& s) {
  constexpr int kPerThread = 100000;
  constexpr unsigned kRing = 1024;
  struct Ring {
    void* slot[kRing];
    std::atomic<unsigned> head{0}, tail{0};
  };
  static Ring rings[2];
  for (Ring& r : rings) r.head = r.tail = 0;
  std::atomic<size_t> peak{0};
  auto work = [&](int id) {
    Ring& out = rings[id];
    Ring& in = rings[1 - id];
    std::mt19937 rng(10 + id);
    int made = 0, freed = 0;
    unsigned tick = 0;
    while (made < kPerThread || freed < kPerThread) {
      if (made < kPerThread &&
          out.head.load(std::memory_order_relaxed) - out.tail.load(std::memory_order_acquire) <
              kRing) {
        size_t n = 8 + rng() % 505;
        void* p = a.alloc(n);
        touch(p, n);
        unsigned h = out.head.load(std::memory_order_relaxed);
        out.slot[h % kRing] = p;
        out.head.store(h + 1, std::memory_order_release);
        ++made;
      }
      unsigned t = in.tail.load(std::memory_order_relaxed);
      if (t != in.head.load(std::memory_order_acquire)) {
        a.release(in.slot[t % kRing]);
        in.tail.store(t + 1, std::memory_order_release);
        ++freed;
      }
      if (s.on && (++tick & 255) == 0) {
        size_t fp = a.footprint();
        size_t seen = peak.load();
        while (fp > seen && !peak.compare_exchange_weak(seen, fp)) {
        }
      }
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  if (peak > s.peak) s.peak = peak;
  return 4L * kPerThread;
}

struct Result {
  double opsPerSecond;
  size_t peak;
};

Result measure(const Allocator& a, Workload w) {
  a.trim();
  Sampler timed{&a, false};
  double start = bench::nowSeconds();
  long calls = w(a, timed);
  double seconds = bench::nowSeconds() - start;
  a.trim();
  Sampler sampled{&a, true};
  sampled.peak = a.footprint();
  w(a, sampled);
  return {calls / seconds, sampled.peak};
}

}  // namespace

int main() {
  struct Row {
    const char* name;
    Workload w;
  };
  const Row rows[] = {
      {"small 8-256 B, 10000 live", smallRandom}, {"mixed up to 64 KiB", mixedSizes},
      {"realloc 16 B -> 1 MiB", reallocGrowth},   {"direct map 256 KiB-4 MiB", directMapped},
      {"2 threads, cross free", crossThreads},
  };
  printf("heap (dlmalloc-style, VirtualAlloc) against the C runtime's malloc, same process\n");
  bench::printRunNote();
  printf("%-28s %12s %12s %8s %12s %12s %8s\n", "workload", "heap Mop/s", "crt Mop/s", "speed",
         "heap peak K", "crt peak K", "memory");
  for (const Row& row : rows) {
    Result heap = measure(kHeap, row.w);
    Result crt = measure(kCrt, row.w);
    printf("%-28s %12.3f %12.3f %8.2f %12zu %12zu %8.2f\n", row.name, heap.opsPerSecond / 1e6,
           crt.opsPerSecond / 1e6, heap.opsPerSecond / crt.opsPerSecond, heap.peak / 1024,
           crt.peak / 1024,
           static_cast<double>(heap.peak) / static_cast<double>(crt.peak ? crt.peak : 1));
  }
  return 0;
}
