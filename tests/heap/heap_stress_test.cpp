// Randomised use of the heap against a shadow model of the blocks it handed out. Seeded and
// bounded: the same run every time.
#include "HeapChecker.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace quor;

namespace {

// A block and the seed of the pattern it holds. Small blocks are covered whole, large ones at
// both ends and every 1021st byte between, which still catches any overlap.
struct Block {
  unsigned char* p;
  size_t size;
  uint32_t seed;

  template <typename F>
  void forEachCovered(size_t upTo, F f) const {
    for (size_t i = 0; i < size && i < upTo; i += (i < 256 || i + 256 >= size) ? 1 : 1021) f(i);
  }
  unsigned char expected(size_t i) const { return static_cast<unsigned char>(seed + i * 7); }
  bool intact(size_t upTo = SIZE_MAX) const {
    bool ok = true;
    forEachCovered(upTo, [&](size_t i) { ok = ok && p[i] == expected(i); });
    return ok;
  }
};

// One random operation on a slot: an empty one gets a block of up to 1 MiB from malloc, calloc or
// memalign; a full one is checked, then freed or resized. False when a block was damaged or a
// request failed or came back misaligned or short.
bool step(Block& b, std::mt19937& rng) {
  const unsigned r = rng() % 10, e = rng() % 21;
  const size_t n = e == 0 ? 0 : rng() % ((size_t{1} << e) + 1);
  if (b.p && !b.intact()) return false;
  size_t alignment = 8;
  void* p;
  if (b.p && r < 6) {
    heap_free(b.p);
    b.p = nullptr;
    return true;
  } else if (b.p) {
    p = heap_realloc(b.p, n);
    if (p == nullptr || !Block{static_cast<unsigned char*>(p), b.size, b.seed}.intact(n)) {
      return false;
    }
  } else if (r < 6) {
    p = heap_malloc(n);
  } else if (r < 8) {
    p = heap_calloc(n / 4 + 1, 4);
    for (size_t i = 0; p && i < n; i += 97) {
      if (static_cast<unsigned char*>(p)[i] != 0) return false;
    }
  } else {
    const size_t kAlignments[] = {16, 24, 64, 256, 4096, 0x10000};
    alignment = kAlignments[rng() % 6];
    p = heap_memalign(alignment, n);
    alignment = alignment == 24 ? 32 : alignment;
  }
  if (p == nullptr || reinterpret_cast<uintptr_t>(p) % alignment || heap_usable_size(p) < n) {
    return false;
  }
  b = Block{static_cast<unsigned char*>(p), n, static_cast<uint32_t>(rng())};
  b.forEachCovered(n, [&b](size_t i) { b.p[i] = b.expected(i); });
  return true;
}

TEST(HeapStress, RandomOperationsAgreeWithTheShadowModel) {
  std::mt19937 rng(20240607);
  std::vector<Block> slots(512, Block{nullptr, 0, 0});
  for (int i = 1; i <= 200000; ++i) {
    ASSERT_TRUE(step(slots[rng() % slots.size()], rng)) << "operation " << i;
    if (i % 1000 == 0) {
      size_t mapped = 0;
      for (const Block& b : slots) mapped += b.p ? mappedRegionSize(b.p) : 0;
      HeapCheck check = checkHeap(mapped);
      ASSERT_TRUE(check.ok) << check.error << " after operation " << i;
    }
  }
  for (const Block& b : slots) heap_free(b.p);
  heap_trim(0);
  HeapCheck check = checkHeap(0);
  EXPECT_TRUE(check.ok) << check.error;
}

// Threads pick slots of one table at random, so a block is most often freed or resized by
// another thread than the one that allocated it.
TEST(HeapThreads, FourThreadsFreeAndResizeEachOthersBlocks) {
  std::vector<Block> slots(256, Block{nullptr, 0, 0});
  std::vector<std::mutex> locks(slots.size());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) {
    threads.emplace_back([&, id] {
      std::mt19937 rng(1000 + id);
      for (int i = 0; i < 20000; ++i) {
        const size_t k = rng() % slots.size();
        std::lock_guard<std::mutex> hold(locks[k]);
        if (!step(slots[k], rng)) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (const Block& b : slots) heap_free(b.p);
  HeapCheck check = checkHeap(0);
  EXPECT_TRUE(check.ok) << check.error;
}

}  // namespace
