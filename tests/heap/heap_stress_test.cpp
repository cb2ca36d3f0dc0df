// Randomised use of the heap against a shadow model of the blocks it handed out, and threads that
// free and resize each other's blocks. Seeded and bounded: the same run every time.
#include "HeapChecker.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace quor;

namespace {

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A block and the seed of the pattern it was filled with. Small blocks are covered whole, large
// ones at both ends and every 1021st byte between, which still catches any overlap.
struct Block {
  unsigned char* p = nullptr;
  size_t size = 0;
  uint32_t seed = 0;

  template <typename F>
  void forEachCovered(size_t upTo, F f) const {
    for (size_t i = 0; i < size && i < upTo; i += (i < 256 || i + 256 >= size) ? 1 : 1021) f(i);
  }
  unsigned char expected(size_t i) const { return static_cast<unsigned char>(seed + i * 7); }
  void fill(uint32_t newSeed) {
    seed = newSeed;
    forEachCovered(size, [this](size_t i) { p[i] = expected(i); });
  }
  bool intact(size_t upTo = SIZE_MAX) const {
    bool ok = true;
    forEachCovered(upTo, [&](size_t i) { ok = ok && p[i] == expected(i); });
    return ok;
  }
};

// Allocates, frees or resizes one of 512 slots at random; every block is checked against its
// pattern before it goes, and against the live blocks for overlap when it comes.
TEST(HeapStress, RandomOperationsAgreeWithTheShadowModel) {
  std::mt19937 rng(20240607);
  Block slots[512];
  std::map<uintptr_t, uintptr_t> live;  // start -> end of every block handed out
  for (int step = 1; step <= 200000; ++step) {
    Block& b = slots[rng() % 512];
    const unsigned r = rng() % 10, e = rng() % 21;
    const size_t n = e == 0 ? 0 : rng() % ((size_t{1} << e) + 1);  // up to 1 MiB, log-uniform
    size_t alignment = 8;
    unsigned char* p;
    if (b.p) {
      ASSERT_TRUE(b.intact()) << "block of " << b.size << " damaged";
      live.erase(at(b.p));
      if (r < 6) {
        heap_free(b.p);
        b.p = nullptr;
        continue;
      }
      p = static_cast<unsigned char*>(heap_realloc(b.p, n));
      ASSERT_NE(p, nullptr) << n;
      b.p = p;
      ASSERT_TRUE(b.intact(n)) << "realloc lost contents";
    } else if (r < 6) {
      p = static_cast<unsigned char*>(heap_malloc(n));
    } else if (r < 8) {
      p = static_cast<unsigned char*>(heap_calloc(n / 4 + 1, 4));
      for (size_t i = 0; p && i < n; i += 97) ASSERT_EQ(p[i], 0) << "calloc of " << n;
    } else {
      const size_t kAlignments[] = {16, 24, 64, 256, 4096, 0x10000};
      alignment = kAlignments[rng() % 6];
      p = static_cast<unsigned char*>(heap_memalign(alignment, n));
      alignment = alignment == 24 ? 32 : alignment;
    }
    ASSERT_NE(p, nullptr) << n;
    ASSERT_EQ(at(p) % alignment, 0u) << "alignment " << alignment;
    ASSERT_GE(heap_usable_size(p), n);
    auto next = live.lower_bound(at(p));
    ASSERT_TRUE(next == live.end() || next->first >= at(p) + std::max<size_t>(n, 1));
    ASSERT_TRUE(next == live.begin() || std::prev(next)->second <= at(p)) << "blocks overlap";
    live[at(p)] = at(p) + std::max<size_t>(n, 1);
    b.p = p;
    b.size = n;
    b.fill(static_cast<uint32_t>(rng()));
    if (step % 1000 == 0) {
      size_t mapped = 0;
      for (const Block& s : slots) mapped += s.p ? mappedRegionSize(s.p) : 0;
      HeapCheck check = checkHeap(mapped);
      ASSERT_TRUE(check.ok) << check.error;
      HeapInfo info = heap_mallinfo();
      ASSERT_EQ(info.arena + info.hblkhd, heap_footprint());
      ASSERT_EQ(info.uordblks + info.fordblks, heap_footprint());
    }
  }
  for (Block& b : slots) {
    if (b.p) heap_free(b.p);
  }
  heap_trim(0);
  HeapCheck check = checkHeap(0);
  EXPECT_TRUE(check.ok) << check.error;
}

// Each thread allocates, frees and resizes its own blocks, and hands some to a shared pile from
// which any thread takes and frees them; every block is checked when it goes.
TEST(HeapThreads, FourThreadsFreeAndResizeEachOthersBlocks) {
  std::mutex pileLock;
  std::vector<Block> pile;
  int damaged[4] = {};
  auto work = [&](int id) {
    std::mt19937 rng(1000 + id);
    std::vector<Block> own;
    for (int i = 0; i < 20000; ++i) {
      const unsigned r = rng() % 10;
      Block b;
      if (r < 4 || own.empty()) {
        b.size = rng() % 50 == 0 ? 0x48000 + rng() % 0x10000 : rng() % 2000;
        b.p = static_cast<unsigned char*>(heap_malloc(b.size));
        damaged[id] += b.p == nullptr;
        if (b.p) b.fill(static_cast<uint32_t>(rng()));
        if (b.p) own.push_back(b);
        continue;
      }
      b = own.back();
      own.pop_back();
      if (r < 8) {
        std::lock_guard<std::mutex> hold(pileLock);
        if (r < 6) {
          pile.push_back(b);  // for another thread, most likely
          continue;
        }
        if (!pile.empty()) std::swap(b, pile.back());
      }
      damaged[id] += !b.intact();
      if (r < 9) {
        heap_free(b.p);
        continue;
      }
      const size_t n = rng() % 4000;
      b.p = static_cast<unsigned char*>(heap_realloc(b.p, n));
      damaged[id] += b.p == nullptr || !b.intact(n);
      if (b.p == nullptr) continue;
      b.size = n;
      b.fill(static_cast<uint32_t>(rng()));
      own.push_back(b);
    }
    for (Block& b : own) heap_free(b.p);
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) threads.emplace_back(work, id);
  for (std::thread& t : threads) t.join();
  for (Block& b : pile) {
    EXPECT_TRUE(b.intact());
    heap_free(b.p);
  }
  for (int id = 0; id < 4; ++id) EXPECT_EQ(damaged[id], 0) << "thread " << id;
  HeapCheck check = checkHeap(0);
  EXPECT_TRUE(check.ok) << check.error;
}

}  // namespace
