// Randomised use of the heap against a shadow model, and threads that free each other's blocks.
// Seeded and bounded: the same run every time, sized to finish within two minutes under
// qemu-i386.
#include "HeapChecker.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace quor;

namespace {

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }

unsigned char patternByte(uint32_t seed, size_t i) {
  return static_cast<unsigned char>(seed + i * 7 + (i >> 8));
}

// Small blocks are covered whole; large ones at both ends and every 1021st byte between, which
// still catches any overlap (regions are far longer than the stride) without filling megabytes.
template <typename F>
void forEachCovered(size_t n, F f) {
  if (n <= 1024) {
    for (size_t i = 0; i < n; ++i) f(i);
    return;
  }
  for (size_t i = 0; i < 256; ++i) f(i);
  for (size_t i = 256; i < n - 256; i += 1021) f(i);
  for (size_t i = n - 256; i < n; ++i) f(i);
}

void fill(unsigned char* p, size_t n, uint32_t seed) {
  forEachCovered(n, [&](size_t i) { p[i] = patternByte(seed, i); });
}

// Checks the bytes a block of `n` bytes was filled at, up to `upTo` (what a resize kept).
bool intact(const unsigned char* p, size_t n, uint32_t seed,
            size_t upTo = static_cast<size_t>(-1)) {
  bool ok = true;
  forEachCovered(n, [&](size_t i) { ok = ok && (i >= upTo || p[i] == patternByte(seed, i)); });
  return ok;
}

struct Block {
  unsigned char* p = nullptr;
  size_t size = 0;
  uint32_t seed = 0;
};

class Shadow {
 public:
  explicit Shadow(uint32_t seed) : rng_(seed) {}

  // Sizes from 0 to 1 MiB, uniform in the logarithm.
  size_t drawSize() {
    unsigned e = rng_() % 21;
    return e == 0 ? 0 : rng_() % ((size_t{1} << e) + 1);
  }

  void step() {
    Block& b = slots_[rng_() % kSlots];
    unsigned r = rng_() % 10;
    if (!b.p) {
      size_t n = drawSize();
      size_t alignment = 8;
      unsigned char* p;
      if (r < 6) {
        p = static_cast<unsigned char*>(heap_malloc(n));
      } else if (r < 8) {
        p = static_cast<unsigned char*>(heap_calloc(n / 4 + 1, 4));
        ASSERT_NE(p, nullptr);
        size_t nonzero = 0;
        forEachCovered(n, [&](size_t i) { nonzero += p[i] != 0; });
        ASSERT_EQ(nonzero, 0u) << "calloc of " << n;
      } else {
        static const size_t kAlignments[] = {16, 24, 64, 256, 4096, 0x10000};
        size_t asked = kAlignments[rng_() % 6];
        alignment = asked == 24 ? 32 : asked;
        p = static_cast<unsigned char*>(heap_memalign(asked, n));
      }
      ASSERT_NE(p, nullptr) << n;
      place(b, p, n, alignment);
    } else if (r < 6) {
      ASSERT_TRUE(intact(b.p, b.size, b.seed)) << "block of " << b.size << " damaged before free";
      forget(b);
      heap_free(b.p);
      b.p = nullptr;
    } else {
      size_t n = drawSize();
      ASSERT_TRUE(intact(b.p, b.size, b.seed))
          << "block of " << b.size << " damaged before realloc";
      forget(b);
      unsigned char* p = static_cast<unsigned char*>(heap_realloc(b.p, n));
      ASSERT_NE(p, nullptr) << n;
      const size_t kept = n;
      ASSERT_TRUE(intact(p, b.size, b.seed, kept)) << "realloc lost contents";
      place(b, p, n, 8);
    }
  }

  void verify() {
    size_t mapped = 0;
    for (const Block& b : slots_) {
      if (b.p) mapped += mappedRegionSize(b.p);
    }
    HeapCheck check = checkHeap(mapped);
    ASSERT_TRUE(check.ok) << check.error;
    HeapInfo info = heap_mallinfo();
    const size_t fp = heap_footprint();
    ASSERT_EQ(info.arena + info.hblkhd, fp);
    ASSERT_EQ(info.uordblks + info.fordblks, fp);
    ASSERT_LE(fp, heap_max_footprint());
  }

  void releaseAll() {
    for (Block& b : slots_) {
      if (!b.p) continue;
      ASSERT_TRUE(intact(b.p, b.size, b.seed));
      heap_free(b.p);
      b.p = nullptr;
    }
    live_.clear();
  }

 private:
  static constexpr size_t kSlots = 512;

  void place(Block& b, unsigned char* p, size_t n, size_t alignment) {
    ASSERT_EQ(at(p) % alignment, 0u) << "alignment " << alignment;
    ASSERT_GE(heap_usable_size(p), n);
    const uintptr_t start = at(p), end = start + (n ? n : 1);
    auto next = live_.lower_bound(start);
    ASSERT_TRUE(next == live_.end() || next->first >= end) << "blocks overlap";
    ASSERT_TRUE(next == live_.begin() || std::prev(next)->second <= start) << "blocks overlap";
    live_[start] = end;
    b.p = p;
    b.size = n;
    b.seed = static_cast<uint32_t>(rng_());
    fill(p, n, b.seed);
  }
  void forget(const Block& b) { live_.erase(at(b.p)); }

  std::mt19937 rng_;
  Block slots_[kSlots];
  std::map<uintptr_t, uintptr_t> live_;
};

TEST(HeapStress, MillionRandomOperationsAgreeWithTheShadowModel) {
  constexpr int kOperations = 1000000;
  constexpr int kCheckEvery = 4000;
  Shadow shadow(20240607);
  for (int i = 1; i <= kOperations; ++i) {
    shadow.step();
    if (HasFatalFailure()) return;
    if (i % kCheckEvery == 0) {
      shadow.verify();
      if (HasFatalFailure()) return;
    }
  }
  shadow.releaseAll();
  HeapCheck check = checkHeap(0);
  ASSERT_TRUE(check.ok) << check.error;
  heap_trim(0);
  check = checkHeap(0);
  EXPECT_TRUE(check.ok) << check.error;
}

// Each thread allocates, frees and resizes its own blocks, and hands some to a shared pile from
// which any thread takes and frees them; every block carries a pattern checked at its free.
void runThreads(int threadCount, int operationsPerThread) {
  std::mutex pileLock;
  std::vector<Block> pile;
  std::vector<int> damaged(threadCount, 0);
  auto work = [&](int id) {
    std::mt19937 rng(1000 + id);
    std::vector<Block> own;
    auto release = [&](Block& b) {
      if (!intact(b.p, b.size, b.seed)) ++damaged[id];
      heap_free(b.p);
    };
    for (int i = 0; i < operationsPerThread; ++i) {
      unsigned r = rng() % 10;
      if (r < 4 || own.empty()) {
        size_t n = rng() % 50 == 0 ? 0x48000 + rng() % 0x10000 : rng() % 2000;
        Block b;
        b.p = static_cast<unsigned char*>(heap_malloc(n));
        if (!b.p) {
          ++damaged[id];
          continue;
        }
        b.size = n;
        b.seed = static_cast<uint32_t>(rng());
        fill(b.p, n, b.seed);
        own.push_back(b);
      } else if (r < 6) {
        std::lock_guard<std::mutex> hold(pileLock);
        pile.push_back(own.back());
        own.pop_back();
      } else if (r < 8) {
        Block b;
        {
          std::lock_guard<std::mutex> hold(pileLock);
          if (pile.empty()) continue;
          b = pile.back();
          pile.pop_back();
        }
        release(b);  // most likely another thread's block
      } else if (r < 9) {
        release(own.back());
        own.pop_back();
      } else {
        Block& b = own[rng() % own.size()];
        size_t n = rng() % 4000;
        if (!intact(b.p, b.size, b.seed)) ++damaged[id];
        unsigned char* p = static_cast<unsigned char*>(heap_realloc(b.p, n));
        if (!p) {
          ++damaged[id];
          continue;
        }
        if (!intact(p, b.size, b.seed, n)) ++damaged[id];
        b.p = p;
        b.size = n;
        fill(p, n, b.seed);
      }
    }
    for (Block& b : own) release(b);
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < threadCount; ++id) threads.emplace_back(work, id);
  for (std::thread& t : threads) t.join();
  for (Block& b : pile) {
    EXPECT_TRUE(intact(b.p, b.size, b.seed));
    heap_free(b.p);
  }
  for (int id = 0; id < threadCount; ++id) EXPECT_EQ(damaged[id], 0) << "thread " << id;
  HeapCheck check = checkHeap(0);
  EXPECT_TRUE(check.ok) << check.error;
}

TEST(HeapThreads, TwoThreadsFreeEachOthersBlocks) { runThreads(2, 40000); }

TEST(HeapThreads, FourThreadsFreeEachOthersBlocks) { runThreads(4, 20000); }

}  // namespace
