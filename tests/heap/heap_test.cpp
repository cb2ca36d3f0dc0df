// Heap operations on a heap that earlier cases may have used. Kept contents are the shadow
// model's (heap_stress_test.cpp); exact footprints are heap_fresh_test.cpp's.
#include "HeapChecker.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

using namespace quor;

namespace {

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }

size_t chunkRule(size_t n) { return n < 11 ? 16 : (n + 11) & ~size_t{7}; }

#define EXPECT_HEAP_OK()            \
  do {                              \
    HeapCheck c_ = checkHeap();     \
    EXPECT_TRUE(c_.ok) << c_.error; \
  } while (0)

TEST(HeapSizes, UsableSizeCoversTheRequestByTheChunkRule) {
  std::vector<void*> blocks;
  for (size_t n = 0; n <= 1200; n += (n < 300 ? 1 : 37)) {
    void* p = heap_malloc(n);
    ASSERT_NE(p, nullptr) << n;
    const size_t chunk = heap_usable_size(p) + 4;
    EXPECT_EQ(at(p) % 8, 0u);
    EXPECT_EQ(chunk % 8, 0u) << n;
    EXPECT_GE(chunk, chunkRule(n)) << n;
    EXPECT_LT(chunk, chunkRule(n) + 16) << n << ": only a remainder below a minimum chunk is kept";
    memset(p, 0x11, chunk - 4);
    blocks.push_back(p);
  }
  EXPECT_HEAP_OK();
  for (void* p : blocks) heap_free(p);
  EXPECT_HEAP_OK();
}

// Includes sizes that wrap while being rounded: an alignment with no power of two above it in 32
// bits (the rounding loop never ended), and a count in the last page (pvalloc gave 12 bytes).
TEST(HeapSizes, RequestsAtOrNearTheLimitFailAndLeaveTheHeapAsItWas) {
  const size_t before = heap_footprint();
  void* const failures[] = {heap_malloc(0xFFFFFFC0u),       heap_malloc(0xFFFFFFBFu),
                            heap_malloc(0xFFFFFFFFu),       heap_calloc(0x10000, 0x10000),
                            heap_calloc(0x10001, 0xFFFF),   heap_memalign(64, 0xFFFFFFC0u - 64),
                            heap_memalign(0x80000001u, 16), heap_memalign(0xFFFFFFFFu, 16),
                            heap_pvalloc(0xFFFFF000u),      heap_pvalloc(0xFFFFF001u),
                            heap_pvalloc(0xFFFFFFFFu)};
  for (void* p : failures) EXPECT_EQ(p, nullptr);
  EXPECT_EQ(heap_footprint(), before);
  char* p = static_cast<char*>(heap_malloc(40));
  memset(p, 0x7E, 40);
  EXPECT_EQ(heap_realloc(p, 0xFFFFFFC0u), nullptr);
  EXPECT_EQ(p[39], 0x7E) << "the block stays as it was";
  void* none = heap_calloc(0, 100);
  EXPECT_EQ(heap_usable_size(none), 12u);
  heap_free(none);
  heap_free(p);
  EXPECT_HEAP_OK();
}

TEST(HeapRealloc, ShrinkingKeepsTheAddressAndGivesBackASurplusOfAMinimumChunk) {
  void* fresh = heap_realloc(nullptr, 50);
  EXPECT_GE(heap_usable_size(fresh), 50u);
  // Shrinking keeps the address; a surplus of 16 bytes or more becomes a chunk of its own, a
  // smaller one stays with the block (chunks of 1008, 32 and 24 bytes).
  void* shrunk[3] = {heap_malloc(1000), heap_malloc(28), heap_malloc(20)};
  void* guard = heap_malloc(16);
  for (void* p : shrunk) {
    const size_t chunk = heap_usable_size(p) + 4;
    EXPECT_EQ(heap_realloc(p, 0), p);
    EXPECT_EQ(heap_usable_size(p), chunk - 16 >= 16 ? 12u : chunk - 4) << "chunk of " << chunk;
  }
  EXPECT_HEAP_OK();
  for (void* p : {fresh, guard, shrunk[0], shrunk[1], shrunk[2]}) {
    heap_free(p);
  }
  EXPECT_HEAP_OK();
}

TEST(HeapMemalign, AlignsAndGivesBackWhatLiesAroundTheBlock) {
  const size_t cases[][2] = {{4, 8},   {8, 8},     {16, 16},     {24, 32},
                             {64, 64}, {100, 128}, {4096, 4096}, {0x20000, 0x20000}};
  std::vector<void*> blocks;
  for (const auto& c : cases) {
    for (size_t n : {1u, 100u, 3000u, 400000u}) {
      void* p = heap_memalign(c[0], n);
      ASSERT_NE(p, nullptr) << c[0] << " " << n;
      EXPECT_EQ(at(p) % c[1], 0u) << c[0] << " " << n;
      EXPECT_GE(heap_usable_size(p), n);
      if (mappedRegionSize(p) == 0) {
        EXPECT_LE(heap_usable_size(p) + 4, chunkRule(n) + 16) << c[0] << " " << n << ": tail kept";
      }
      memset(p, 0x33, n);
      blocks.push_back(p);
    }
  }
  EXPECT_HEAP_OK();
  void* v = heap_valloc(10);  // sets the parameters up
  const size_t page = heapParamsForTesting().pageSize;
  void* pv = heap_pvalloc(page + 1);
  EXPECT_EQ(at(v) % page, 0u);
  EXPECT_EQ(at(pv) % page, 0u);
  EXPECT_GE(heap_usable_size(pv), 2 * page) << "pvalloc rounds the size up to whole pages";
  blocks.push_back(v);
  blocks.push_back(pv);
  for (void* p : blocks) heap_free(p);
  EXPECT_HEAP_OK();
}

TEST(HeapIndependent, ElementsAreSeparateBlocksInOneRun) {
  void* given[5];
  ASSERT_EQ(heap_independent_calloc(5, 40, given), given);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(std::string(static_cast<char*>(given[i]), 40), std::string(40, '\0'));
    EXPECT_EQ(at(given[i]) - at(given[0]), 48u * i) << "carved back to back";
  }
  size_t sizes[3] = {10, 0x48000, 0};
  void** own = heap_independent_comalloc(3, sizes, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_GE(heap_usable_size(own[i]), sizes[i]);
  EXPECT_EQ(mappedRegionSize(own[1]), 0u) << "above the direct-map threshold, yet in a segment";
  EXPECT_GE(heap_usable_size(own), 3 * sizeof(void*)) << "the pointer array is a block too";
  heap_free(given[2]);
  heap_free(own[1]);
  EXPECT_HEAP_OK();
  for (void* p :
       {given[0], given[1], given[3], given[4], own[0], own[2], static_cast<void*>(own)}) {
    heap_free(p);
  }
  EXPECT_HEAP_OK();
}

TEST(HeapStatistics, MallinfoAgreesWithTheFootprint) {
  std::vector<void*> blocks;
  for (int i = 0; i < 300; ++i) blocks.push_back(heap_malloc(static_cast<size_t>(i * 37 % 2000)));
  for (size_t i = 0; i < blocks.size(); i += 3) heap_free(blocks[i]);
  void* mapped = heap_malloc(0x80000);
  HeapInfo info = heap_mallinfo();
  const size_t fp = heap_footprint();
  EXPECT_EQ(info.arena + info.hblkhd, fp);
  EXPECT_EQ(info.uordblks + info.fordblks, fp);
  EXPECT_GE(info.hblkhd, mappedRegionSize(mapped));
  EXPECT_EQ(info.usmblks, heap_max_footprint());
  EXPECT_EQ(info.keepcost, heapStateForTesting().topSize);
  EXPECT_EQ(info.smblks + info.hblks + info.fsmblks, 0u);
  HeapCheck check = checkHeap();
  ASSERT_TRUE(check.ok) << check.error;
  EXPECT_EQ(info.ordblks, check.freeChunks + 1 + (heapStateForTesting().dv ? 1 : 0));
  heap_free(mapped);
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i % 3) heap_free(blocks[i]);
  }
}

// Two free chunks of the same bin, each walled off by a block in use.
std::array<void*, 2> twoFreeInOneBin(size_t n) {
  std::array<void*, 2> blocks;
  for (void*& block : blocks) {
    block = heap_malloc(n);
    heap_malloc(16);  // the wall
  }
  for (void* block : blocks) heap_free(block);
  return blocks;
}

char* g_below;  // an address below the heap's least address

TEST(HeapAbort, MisuseAndCorruptionEndTheProcess) {
  void* keep = heap_malloc(32);
  g_below = heapStateForTesting().leastAddr - 0x1000;
  void (*const misuses[])() = {
      [] { heap_free(g_below + 8); },
      [] { heap_realloc(g_below + 8, 100); },
      [] { heap_free(twoFreeInOneBin(40)[0]); },          // freed twice
      [] { heap_realloc(twoFreeInOneBin(40)[1], 100); },  // no longer in use
      [] {
        std::array<void*, 2> p = twoFreeInOneBin(200);  // a small bin: links bent below the heap
        *static_cast<void**>(p[0]) = *static_cast<void**>(p[1]) = g_below;
        heap_malloc(200);
        heap_malloc(200);
      },
      [] {
        for (void* p : twoFreeInOneBin(5000)) {  // equal sizes share a tree node's ring
          reinterpret_cast<HeapTreeChunk*>(static_cast<char*>(p) - 8)->fd =
              reinterpret_cast<HeapTreeChunk*>(g_below);
        }
        heap_malloc(4990);
      },
  };
  for (auto misuse : misuses) EXPECT_DEATH(misuse(), "");
  heap_free(keep);
}

}  // namespace
