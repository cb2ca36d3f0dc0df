// Heap behaviour that depends on an untouched heap. Each case does its heap work in a child
// process, and this process never touches the heap, so every child starts empty however the cases
// are run.
#include "HeapChecker.h"
#include "heap/Heap.h"

#include <pal/testing.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace quor;

namespace {

// Inside a child: report the failed condition on stderr (the parent shows it) and exit with 1.
#define REQUIRE(cond)                                                    \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      _exit(1);                                                          \
    }                                                                    \
  } while (0)

// The checker's verdict, `mapped` bytes of directly mapped regions held; the segments it saw.
size_t requireCheck(size_t mapped) {
  HeapCheck c = checkHeap(mapped);
  if (!c.ok) fprintf(stderr, "checker: %s\n", c.error.c_str());
  REQUIRE(c.ok);
  return c.segments;
}

// Runs `body` in a child whose heap starts empty; passes when every REQUIRE held and standard
// error matched `stderrPattern`.
void inEmptyHeap(void (*body)(), const char* stderrPattern = "") {
  EXPECT_EXIT(
      {
        body();
        _exit(0);
      },
      ::testing::ExitedWithCode(0), stderrPattern);
}

char* base(void* p) { return static_cast<char*>(p); }

bool isFree(const void* p) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(p, &info, sizeof info) == sizeof info &&
         (info.State == MEM_FREE || info.AllocationBase != p);
}

TEST(HeapFresh, UntouchedHeapReportsZeroAndTheFirstSmallAllocationMapsOneGranule) {
  inEmptyHeap(
      [] {
        const HeapInfo empty = heap_mallinfo(), zero = {};
        REQUIRE(memcmp(&empty, &zero, sizeof empty) == 0);
        REQUIRE(heap_footprint() == 0 && heap_max_footprint() == 0 && heap_trim(0) == 0);
        REQUIRE(heap_usable_size(nullptr) == 0);
        heap_free(nullptr);
        heap_stats();
        REQUIRE(heap_usable_size(heap_malloc(1)) == 12);
        REQUIRE(heap_footprint() == 65536 && heap_max_footprint() == 65536);
        REQUIRE(heap_usable_size(heap_malloc(0)) == 12 && heap_usable_size(heap_malloc(12)) == 12);
        REQUIRE(heap_usable_size(heap_malloc(13)) == 20);
        requireCheck(0);
        HeapInfo info = heap_mallinfo();
        REQUIRE(info.arena == 65536 && info.hblkhd == 0);  // one segment, all of it walked
        REQUIRE(info.uordblks == 16 * 3 + 24 && info.ordblks == 1 &&
                info.keepcost == info.fordblks - 40);
        heap_stats();
      },
      "max system bytes =          0\nsystem bytes     =          0\nin use bytes     =          "
      "0\n"
      "max system bytes =      65536\nsystem bytes     =      65536\nin use bytes     =         "
      "72\n");
}

TEST(HeapFresh, FirstLargeAllocationGetsARegionOfItsOwn) {
  inEmptyHeap([] {
    char* p = base(heap_malloc(0x40000));
    REQUIRE(heap_footprint() == 0x50000 && mappedRegionSize(p) == 0x50000);
    REQUIRE(heap_usable_size(p) == 0x50000 - 16 - 8);
    memset(p, 0xAB, heap_usable_size(p));
    REQUIRE(heap_mallinfo().arena == 0);  // no segment yet
    requireCheck(0x50000);
    heap_free(p);
    REQUIRE(heap_footprint() == 0 && heap_max_footprint() == 0x50000);
    REQUIRE(isFree(p - 8));  // no leading alignment bytes on a granule
    // The threshold counts the chunk: a chunk of exactly 0x40000 bytes maps, 8 less does not.
    REQUIRE(mappedRegionSize(heap_malloc(0x40000 - 11)) == 0x50000);
    REQUIRE(mappedRegionSize(heap_malloc(0x40000 - 12)) == 0);
    REQUIRE(heap_footprint() == 0xA0000);
  });
}

TEST(HeapFresh, PageSizeOrGranularityNotAPowerOfTwoAborts) {
  const unsigned int bad[][2] = {{3000, 0x10000}, {4096, 0x18000}};
  for (const auto& b : bad) {
    EXPECT_DEATH(
        {
          pal_set_system_info(b[0], b[1]);
          heap_mallinfo();
        },
        "");
  }
  inEmptyHeap([] {
    pal_set_system_info(8192, 0x20000);
    REQUIRE(heap_malloc(1) != nullptr && heap_footprint() == 0x20000);
    REQUIRE(reinterpret_cast<uintptr_t>(heap_valloc(10)) % 8192 == 0);
  });
}

TEST(HeapFresh, RegionEndingAtASegmentJoinsInFrontAndServesFromItsStart) {
  inEmptyHeap([] {
    char* hole = base(VirtualAlloc(nullptr, 0x20000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    REQUIRE(base(heap_malloc(1)) - 8 == hole + 0x20000);  // the heap's segment follows the hole
    REQUIRE(VirtualFree(hole, 0, MEM_RELEASE));
    char* big = base(heap_malloc(100000));  // asks for 128 KiB: exactly the hole
    REQUIRE(big == hole + 8 && heapStateForTesting().seg.base == hole);
    HeapCheck c = checkHeap(0);
    REQUIRE(c.ok && c.segments == 1 && c.segmentBytes == 0x30000);
    REQUIRE(c.freeChunks == 1);  // the rest of the new region, before the old first chunk
    heap_free(big);
    requireCheck(0);
  });
}

TEST(HeapFresh, DistantRegionBecomesANewSegmentAndAFreeOldSegmentGoesBack) {
  inEmptyHeap([] {
    char* first = base(heap_malloc(1));
    void* blocker = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    REQUIRE(blocker == first - 8 + 0x10000);
    char* big = base(heap_malloc(100000));
    REQUIRE(big < first || big >= first + 0x20000);
    REQUIRE(requireCheck(0) == 2 && heap_footprint() == 0x30000);
    heap_free(first);  // the old segment is now one free chunk
    requireCheck(0);
    REQUIRE(heap_trim(0) == 1 && heap_footprint() == 0x20000 && isFree(first - 8));
    REQUIRE(requireCheck(0) == 1);
    heap_free(big);
    requireCheck(0);
  });
}

TEST(HeapFresh, RefusedSystemMemoryIsNotCountedAndTheHeapRecovers) {
  inEmptyHeap([] {
    pal_inject_failure("VirtualAlloc", 0, 1000);
    REQUIRE(heap_malloc(1) == nullptr && heap_malloc(0x40000) == nullptr);
    REQUIRE(heap_calloc(4, 4) == nullptr && heap_footprint() == 0 && heap_max_footprint() == 0);
    // Only the direct map refused: the request falls back to a segment of its own size.
    pal_clear_failures();
    pal_inject_failure("VirtualAlloc", 0, 1);
    char* p = base(heap_malloc(0x40000));
    REQUIRE(mappedRegionSize(p) == 0 && heap_footprint() == 0x50000);
    pal_clear_failures();
    char* warm = base(heap_malloc(40));
    memset(warm, 0x7E, 40);
    const size_t fp = heap_footprint();
    pal_inject_failure("VirtualAlloc", 0, 1000);
    REQUIRE(heap_realloc(warm, 0x300000) == nullptr && heap_memalign(4096, 0x300000) == nullptr);
    REQUIRE(heap_footprint() == fp && heap_max_footprint() == fp);
    REQUIRE(warm[0] == 0x7E && warm[39] == 0x7E);  // a failed resize keeps the block
    pal_clear_failures();
    requireCheck(0);
  });
}

TEST(HeapFresh, MalloptSetsOnlyValidTuning) {
  inEmptyHeap([] {
    pal_set_system_info(4096, 0x10000);  // a granularity of exactly one page is valid
    const int cases[][3] = {{HEAP_GRANULARITY, 3, 0},        {HEAP_GRANULARITY, 0x18000, 0},
                            {HEAP_GRANULARITY, 4096, 1},     {5, 1, 0},
                            {HEAP_GRANULARITY, 0x100000, 1}, {HEAP_MMAP_THRESHOLD, 0x1000000, 1},
                            {HEAP_TRIM_THRESHOLD, -1, 1}};
    for (const auto& c : cases) REQUIRE(heap_mallopt(c[0], c[1]) == c[2]);
    REQUIRE(heap_malloc(1) != nullptr && heap_footprint() == 0x100000);  // one new granule
    REQUIRE(heapStateForTesting().trimCheck == 0xFFFFFFFFu);
    char* p = base(heap_malloc(0x40000));  // below the raised threshold: from the segment
    REQUIRE(mappedRegionSize(p) == 0 && heap_trim(0xFFFFFFC0u) == 0);
    requireCheck(0);
  });
}

TEST(HeapFresh, FreeTrimsWhenTheTopPassesTheThreshold) {
  inEmptyHeap([] {
    REQUIRE(heap_mallopt(HEAP_MMAP_THRESHOLD, -1) == 1);  // every block from a segment
    REQUIRE(heap_malloc(1) != nullptr);
    char* big = base(heap_malloc(0x300000));  // a region joined behind the first one
    REQUIRE(heap_footprint() == 0x320000 && heapStateForTesting().trimCheck == 0x200000);
    REQUIRE(requireCheck(0) == 1);  // one segment, grown
    heap_free(big);  // the top now exceeds 2 MiB: the later region goes back on its own
    REQUIRE(heap_footprint() == 0x10000 && heap_max_footprint() == 0x320000);
    REQUIRE(heapStateForTesting().trimCheck == 0x200000);
    REQUIRE(heap_trim(0) == 0);  // nothing to give back: releases stop trimming
    REQUIRE(heapStateForTesting().trimCheck == 0xFFFFFFFFu);
    requireCheck(0);
  });
}

}  // namespace
