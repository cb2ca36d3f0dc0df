// Heap operations on a heap that earlier cases may have used: sizes, limits, resizing,
// alignment, aggregate allocation, statistics and the aborts on misuse. What needs exact
// footprints (growth, release, exhaustion) is in heap_fresh_test.cpp.
#include "HeapChecker.h"
#include "heap/Heap.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(at(p) % 8, 0u);
    size_t usable = heap_usable_size(p);
    size_t chunk = usable + 4;
    EXPECT_GE(usable, n);
    EXPECT_EQ(chunk % 8, 0u) << n;
    EXPECT_GE(chunk, chunkRule(n)) << n;
    EXPECT_LT(chunk, chunkRule(n) + 16) << n << ": only a remainder below a minimum chunk is kept";
    memset(p, 0x11, usable);
    blocks.push_back(p);
  }
  EXPECT_HEAP_OK();
  for (void* p : blocks) heap_free(p);
  EXPECT_HEAP_OK();
}

TEST(HeapSizes, RequestsAtOrNearTheLimitFail) {
  size_t before = heap_footprint();
  EXPECT_EQ(heap_malloc(0xFFFFFFC0u), nullptr);
  EXPECT_EQ(heap_malloc(0xFFFFFFBFu), nullptr);
  EXPECT_EQ(heap_malloc(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(heap_calloc(0x10000, 0x10000), nullptr);
  EXPECT_EQ(heap_calloc(0x10001, 0xFFFF), nullptr);
  EXPECT_EQ(heap_memalign(64, 0xFFFFFFC0u - 64), nullptr);
  EXPECT_EQ(heap_pvalloc(0xFFFFF000u), nullptr);
  EXPECT_EQ(heap_footprint(), before);
  void* p = heap_malloc(40);
  ASSERT_NE(p, nullptr);
  memset(p, 0x7E, 40);
  EXPECT_EQ(heap_realloc(p, 0xFFFFFFC0u), nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(p)[39], 0x7E) << "the block stays as it was";
  void* none = heap_calloc(0, 100);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(heap_usable_size(none), 12u);
  heap_free(none);
  heap_free(p);
  EXPECT_HEAP_OK();
}

TEST(HeapCalloc, ClearsEvenReusedMemory) {
  std::vector<unsigned char*> dirty;
  for (size_t n : {24u, 100u, 300u, 5000u, 70000u, 300000u}) {
    unsigned char* p = static_cast<unsigned char*>(heap_malloc(n));
    ASSERT_NE(p, nullptr);
    memset(p, 0xFF, heap_usable_size(p));
    dirty.push_back(p);
  }
  for (unsigned char* p : dirty) heap_free(p);
  for (size_t n : {24u, 100u, 300u, 5000u, 70000u, 300000u}) {
    unsigned char* p = static_cast<unsigned char*>(heap_calloc(n / 4, 4));
    ASSERT_NE(p, nullptr);
    size_t nonzero = 0;
    for (size_t i = 0; i < n; ++i) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u) << n;
    heap_free(p);
  }
  EXPECT_HEAP_OK();
}

TEST(HeapRealloc, KeepsTheAddressWhereItCanAndTheContentsAlways) {
  void* fresh = heap_realloc(nullptr, 50);
  ASSERT_NE(fresh, nullptr);
  EXPECT_GE(heap_usable_size(fresh), 50u);

  // Shrinking keeps the address; a surplus of 16 bytes or more becomes a chunk of its own, a
  // smaller one stays with the block.
  void* shrunk[3] = {heap_malloc(1000), heap_malloc(28),
                     heap_malloc(20)};  // chunks 1008, 32, 24 when cut from the top
  void* guard = heap_malloc(16);
  for (void* p : shrunk) {
    const size_t chunk = heap_usable_size(p) + 4;
    EXPECT_EQ(heap_realloc(p, 0), p);
    EXPECT_EQ(heap_usable_size(p), chunk - 16 >= 16 ? 12u : chunk - 4) << "chunk of " << chunk;
  }
  EXPECT_HEAP_OK();

  // Growing moves when the neighbour is taken, and keeps the contents.
  char* q = static_cast<char*>(heap_malloc(100));
  void* wall = heap_malloc(16);
  for (int i = 0; i < 100; ++i) q[i] = static_cast<char>(i);
  char* moved = static_cast<char*>(heap_realloc(q, 5000));
  ASSERT_NE(moved, nullptr);
  EXPECT_NE(moved, q);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(moved[i], static_cast<char>(i));
  EXPECT_HEAP_OK();

  // A block followed by the top chunk grows into it in place.
  std::vector<void*> filler;
  void* last = nullptr;
  for (int i = 0; i < 4000 && !last; ++i) {
    void* p = heap_malloc(64);
    ASSERT_NE(p, nullptr);
    if (at(p) + 64 == at(heapStateForTesting().top))
      last = p;
    else
      filler.push_back(p);
  }
  ASSERT_NE(last, nullptr) << "no block came from the top";
  EXPECT_EQ(heap_realloc(last, 2000), last);
  EXPECT_GE(heap_usable_size(last), 2000u);
  EXPECT_HEAP_OK();

  for (void* p : filler) heap_free(p);
  for (void* p : shrunk) heap_free(p);
  for (void* p : {last, static_cast<void*>(moved), wall, guard, fresh}) heap_free(p);
  EXPECT_HEAP_OK();
}

TEST(HeapMemalign, AlignsAndGivesBackWhatLiesAroundTheBlock) {
  struct Case {
    size_t alignment, effective;
  };
  const Case cases[] = {{4, 8},   {8, 8},     {16, 16},     {24, 32},
                        {64, 64}, {100, 128}, {4096, 4096}, {0x20000, 0x20000}};
  std::vector<void*> blocks;
  for (const Case& c : cases) {
    for (size_t n : {1u, 100u, 3000u, 400000u}) {
      void* p = heap_memalign(c.alignment, n);
      ASSERT_NE(p, nullptr) << c.alignment << " " << n;
      EXPECT_EQ(at(p) % c.effective, 0u) << c.alignment << " " << n;
      EXPECT_GE(heap_usable_size(p), n);
      if (mappedRegionSize(p) == 0) {
        EXPECT_LE(heap_usable_size(p) + 4, chunkRule(n) + 16)
            << c.alignment << " " << n << ": tail not given back";
      }
      memset(p, 0x33, n);
      blocks.push_back(p);
    }
  }
  EXPECT_HEAP_OK();

  void* v = heap_valloc(10);  // sets the parameters up
  const size_t page = heapParamsForTesting().pageSize;
  ASSERT_GT(page, 0u);
  void* pv = heap_pvalloc(page + 1);
  ASSERT_NE(v, nullptr);
  ASSERT_NE(pv, nullptr);
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
  void** same = heap_independent_calloc(5, 40, given);
  ASSERT_EQ(same, given);
  for (int i = 0; i < 5; ++i) {
    unsigned char* e = static_cast<unsigned char*>(given[i]);
    for (int j = 0; j < 40; ++j) ASSERT_EQ(e[j], 0);
    EXPECT_GE(heap_usable_size(e), 40u);
    if (i > 0) {
      EXPECT_EQ(at(given[i]) - at(given[i - 1]), 48u) << "carved back to back";
    }
    EXPECT_EQ(mappedRegionSize(e), 0u);
  }
  size_t sizes[4] = {10, 300, 0, 70000};
  void** own = heap_independent_comalloc(4, sizes, nullptr);
  ASSERT_NE(own, nullptr);
  for (int i = 0; i < 4; ++i) {
    EXPECT_GE(heap_usable_size(own[i]), sizes[i]);
    memset(own[i], 0x44, sizes[i]);
  }
  EXPECT_GE(heap_usable_size(own), 4 * sizeof(void*)) << "the pointer array is a block too";
  // Larger than the direct-map threshold, yet carved from a segment.
  void** huge = heap_independent_calloc(2, 0x30000, nullptr);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(mappedRegionSize(huge[0]), 0u);
  EXPECT_EQ(heap_independent_calloc(0, 8, given), given);
  void** empty = heap_independent_comalloc(0, sizes, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(heap_usable_size(empty), 12u);
  EXPECT_HEAP_OK();

  heap_free(given[2]);
  heap_free(own[1]);
  EXPECT_HEAP_OK();
  for (int i : {0, 1, 3, 4}) heap_free(given[i]);
  for (int i : {0, 2, 3}) heap_free(own[i]);
  heap_free(own);
  heap_free(huge[1]);
  heap_free(huge[0]);
  heap_free(huge);
  heap_free(empty);
  EXPECT_HEAP_OK();
}

TEST(HeapStatistics, MallinfoAndStatsAgreeWithTheFootprint) {
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
  EXPECT_LE(fp, heap_max_footprint());
  EXPECT_EQ(info.keepcost, heapStateForTesting().topSize);
  EXPECT_EQ(info.smblks + info.hblks + info.fsmblks, 0u);
  HeapCheck check = checkHeap();
  ASSERT_TRUE(check.ok) << check.error;
  EXPECT_EQ(info.ordblks, check.freeChunks + 1 + (heapStateForTesting().dv ? 1 : 0));

  testing::internal::CaptureStderr();
  heap_stats();
  std::string text = testing::internal::GetCapturedStderr();
  char expected[200];
  snprintf(expected, sizeof expected,
           "max system bytes = %10lu\nsystem bytes     = %10lu\nin use bytes     = %10lu\n",
           static_cast<unsigned long>(heap_max_footprint()), static_cast<unsigned long>(fp),
           static_cast<unsigned long>(info.uordblks));
  EXPECT_EQ(text, expected);

  heap_free(mapped);
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i % 3) heap_free(blocks[i]);
  }
}

TEST(HeapChecker, NoticesABrokenChunkHeader) {
  void* a = heap_malloc(100);
  void* b = heap_malloc(100);
  void* c = heap_malloc(100);
  heap_free(b);
  ASSERT_TRUE(checkHeap().ok);
  HeapChunk* chunk = reinterpret_cast<HeapChunk*>(static_cast<char*>(c) - 8);
  const size_t saved = chunk->head;
  chunk->head |= 1;  // claims its free neighbour is in use
  HeapCheck broken = checkHeap();
  chunk->head = saved;
  EXPECT_FALSE(broken.ok);
  EXPECT_FALSE(broken.error.empty());
  EXPECT_TRUE(checkHeap().ok);
  heap_free(a);
  heap_free(c);
}

// Two free chunks of the same bin, each walled off by a block in use; returns their blocks.
void twoFreeInOneBin(size_t n, void** a, void** b) {
  *a = heap_malloc(n);
  heap_malloc(16);
  *b = heap_malloc(n);
  heap_malloc(16);
  heap_free(*a);
  heap_free(*b);
}

TEST(HeapAbort, MisuseAndCorruptionEndTheProcess) {
  void* keep = heap_malloc(32);
  ASSERT_NE(keep, nullptr);
  char* below = heapStateForTesting().leastAddr - 0x1000;
  EXPECT_DEATH(heap_free(below + 8), "");
  EXPECT_DEATH(heap_realloc(below + 8, 100), "");
  void* a;
  void* b;
  EXPECT_DEATH(
      {
        twoFreeInOneBin(40, &a, &b);
        heap_free(a);  // freed twice
      },
      "");
  EXPECT_DEATH(
      {
        twoFreeInOneBin(40, &a, &b);
        heap_realloc(b, 100);  // no longer in use
      },
      "");
  EXPECT_DEATH(
      {
        twoFreeInOneBin(200, &a, &b);  // a small bin: forward links bent below the heap
        *static_cast<void**>(a) = *static_cast<void**>(b) = below;
        heap_malloc(200);
        heap_malloc(200);
      },
      "");
  EXPECT_DEATH(
      {
        twoFreeInOneBin(5000, &a, &b);  // equal sizes share a tree node's ring: links bent
        for (void* p : {a, b}) {
          reinterpret_cast<HeapTreeChunk*>(static_cast<char*>(p) - 8)->fd =
              reinterpret_cast<HeapTreeChunk*>(below);
        }
        heap_malloc(4990);
      },
      "");
  heap_free(keep);
}

// Sizes near 2^32 that wrap while being rounded: an alignment with no power of two above it in 32
// bits (the rounding loop never ended), and a count in the last page (pvalloc gave 12 bytes).
TEST(HeapSizes, RoundingThatWouldWrapFails) {
  for (size_t alignment : {0x80000001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(heap_memalign(alignment, 16), nullptr) << alignment;
  }
  for (size_t bytes : {0xFFFFF001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(heap_pvalloc(bytes), nullptr) << bytes;
  }
  EXPECT_HEAP_OK();
}

}  // namespace
