// Heap behaviour that depends on an untouched heap: exact footprints of the first allocations,
// the direct-map threshold, joining of adjacent regions, release and trimming, refused system
// memory, tuning and initialisation checks. Each case does its heap work in a child
// process (EXPECT_EXIT), and this process never touches the heap, so every child starts empty
// however the cases are run.
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
      fflush(stderr);                                                    \
      _exit(1);                                                          \
    }                                                                    \
  } while (0)

#define REQUIRE_CHECK(mapped)                                       \
  do {                                                              \
    HeapCheck c_ = checkHeap(mapped);                               \
    if (!c_.ok) fprintf(stderr, "checker: %s\n", c_.error.c_str()); \
    REQUIRE(c_.ok);                                                 \
  } while (0)

// Runs the statements in a child whose heap starts empty; the case passes when every REQUIRE
// held and the child exited with 0.
#define IN_EMPTY_HEAP(...) EXPECT_EXIT({ __VA_ARGS__ _exit(0); }, ::testing::ExitedWithCode(0), "")

char* base(void* p) { return static_cast<char*>(p); }

bool isFree(const void* p) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(p, &info, sizeof info) == sizeof info &&
         (info.State == MEM_FREE || info.AllocationBase != p);
}

TEST(HeapFresh, UntouchedHeapReportsZeroEverywhere) {
  EXPECT_EXIT(
      {
        HeapInfo info = heap_mallinfo();
        const uint32_t* field = reinterpret_cast<const uint32_t*>(&info);
        for (size_t i = 0; i < sizeof info / sizeof *field; ++i) REQUIRE(field[i] == 0);
        REQUIRE(heap_footprint() == 0 && heap_max_footprint() == 0);
        REQUIRE(heap_trim(0) == 0);
        REQUIRE(heap_usable_size(nullptr) == 0);
        heap_free(nullptr);
        heap_stats();
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "max system bytes =          0\nsystem bytes     =          0\nin use bytes     =          "
      "0\n");
}

TEST(HeapFresh, FirstSmallAllocationMapsOneGranuleWithExactSizes) {
  EXPECT_EXIT(
      {
        void* one = heap_malloc(1);
        REQUIRE(one != nullptr);
        REQUIRE(heap_footprint() == 65536);
        REQUIRE(heap_max_footprint() == 65536);
        REQUIRE(heap_usable_size(one) == 12);
        void* zero = heap_malloc(0);
        void* twelve = heap_malloc(12);
        void* thirteen = heap_malloc(13);
        REQUIRE(heap_usable_size(zero) == 12);
        REQUIRE(heap_usable_size(twelve) == 12);
        REQUIRE(heap_usable_size(thirteen) == 20);
        REQUIRE(reinterpret_cast<uintptr_t>(thirteen) % 8 == 0);
        REQUIRE_CHECK(0);
        HeapInfo info = heap_mallinfo();
        REQUIRE(info.arena == 65536 && info.hblkhd == 0);  // one segment, all of it walked
        REQUIRE(info.uordblks == 16 * 3 + 24 && info.ordblks == 1 &&
                info.keepcost == info.fordblks - 40);
        heap_stats();
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "max system bytes =      65536\nsystem bytes     =      65536\nin use bytes     =         "
      "72\n");
}

TEST(HeapFresh, FirstLargeAllocationGetsARegionOfItsOwn) {
  IN_EMPTY_HEAP(
      char* p = base(heap_malloc(0x40000)); REQUIRE(p != nullptr);
      REQUIRE(heap_footprint() == 0x50000); REQUIRE(mappedRegionSize(p) == 0x50000);
      REQUIRE(heap_usable_size(p) >= 0x40000 && heap_usable_size(p) == 0x50000 - 16 - 8);
      memset(p, 0xAB, heap_usable_size(p)); HeapInfo info = heap_mallinfo();
      REQUIRE(info.arena == 0 && info.hblkhd == 0);  // no segment yet
      REQUIRE_CHECK(0x50000); char* region = p - 8;  // no leading alignment bytes on a granule
      heap_free(p); REQUIRE(heap_footprint() == 0 && heap_max_footprint() == 0x50000);
      REQUIRE(isFree(region));
      // The threshold counts the chunk: a chunk of exactly 0x40000 bytes maps, 8 less does not.
      void* atThreshold = heap_malloc(0x40000 - 11);
      void* below = heap_malloc(0x40000 - 12); REQUIRE(mappedRegionSize(atThreshold) == 0x50000);
      REQUIRE(below != nullptr && mappedRegionSize(below) == 0);
      REQUIRE(heap_footprint() == 0xA0000););
}

TEST(HeapFresh, PageSizeOrGranularityNotAPowerOfTwoAborts) {
  EXPECT_DEATH(
      {
        pal_set_system_info(3000, 0x10000);
        heap_malloc(1);
      },
      "");
  EXPECT_DEATH(
      {
        pal_set_system_info(4096, 0x18000);
        heap_mallinfo();
      },
      "");
  IN_EMPTY_HEAP(pal_set_system_info(8192, 0x20000); REQUIRE(heap_malloc(1) != nullptr);
                REQUIRE(heap_footprint() == 0x20000);
                REQUIRE(reinterpret_cast<uintptr_t>(heap_valloc(10)) % 8192 == 0););
}

TEST(HeapFresh, AdjacentRegionJoinTheSegmentBehindAndGoBackOneByOne) {
  IN_EMPTY_HEAP(
      char* first = base(heap_malloc(1)); REQUIRE(first != nullptr); char* segmentBase = first - 8;
      REQUIRE(heap_footprint() == 0x10000);
      char* big = base(heap_malloc(100000));  // beyond the top: 128 KiB more, placed right after
      REQUIRE(big != nullptr); REQUIRE(heap_footprint() == 0x30000); MEMORY_BASIC_INFORMATION info;
      REQUIRE(VirtualQuery(segmentBase + 0x10000, &info, sizeof info) == sizeof info);
      REQUIRE(info.AllocationBase == segmentBase + 0x10000); HeapCheck c = checkHeap(0);
      REQUIRE(c.ok && c.segments == 1 && c.segmentBytes == 0x30000);
      REQUIRE(big > first && big < segmentBase + 0x30000); memset(big, 1, 100000);

      heap_free(big); heap_free(first);
      REQUIRE(heap_trim(0) == 1);  // the later region goes, the first stays
      REQUIRE(heap_footprint() == 0x10000); REQUIRE(isFree(segmentBase + 0x10000));
      c = checkHeap(0); REQUIRE(c.ok && c.segments == 1 && c.segmentBytes == 0x10000);
      REQUIRE(heap_trim(0) == 0);  // one granule is all that is left to keep
  );
}

TEST(HeapFresh, RegionEndingAtASegmentJoinsInFrontAndServesFromItsStart) {
  IN_EMPTY_HEAP(
      char* hole = base(VirtualAlloc(nullptr, 0x20000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
      REQUIRE(hole != nullptr); char* first = base(heap_malloc(1));
      REQUIRE(first - 8 == hole + 0x20000);  // the heap's segment follows the hole
      REQUIRE(VirtualFree(hole, 0, MEM_RELEASE));
      char* big = base(heap_malloc(100000));  // asks for 128 KiB: exactly the hole
      REQUIRE(big == hole + 8); HeapCheck c = checkHeap(0);
      REQUIRE(c.ok && c.segments == 1 && c.segmentBytes == 0x30000);
      REQUIRE(heapStateForTesting().seg.base == hole);
      REQUIRE(c.freeChunks == 1);  // the rest of the new region, before the old first chunk
      heap_free(big); REQUIRE_CHECK(0););
}

TEST(HeapFresh, DistantRegionBecomesANewSegmentAndAFreeOldSegmentGoesBack) {
  IN_EMPTY_HEAP(
      char* first = base(heap_malloc(1)); char* segmentBase = first - 8;
      void* blocker = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
      REQUIRE(blocker == segmentBase + 0x10000); char* big = base(heap_malloc(100000));
      REQUIRE(big != nullptr && (big < segmentBase || big >= segmentBase + 0x20000));
      HeapCheck c = checkHeap(0); REQUIRE(c.ok && c.segments == 2 && c.segmentBytes == 0x30000);
      REQUIRE(heap_footprint() == 0x30000);

      heap_free(first);  // the old segment is now one free chunk
      REQUIRE_CHECK(0); REQUIRE(heap_trim(0) == 1); REQUIRE(heap_footprint() == 0x20000);
      REQUIRE(isFree(segmentBase)); c = checkHeap(0); REQUIRE(c.ok && c.segments == 1);
      heap_free(big); REQUIRE_CHECK(0););
}

TEST(HeapFresh, RefusedSystemMemoryIsNotCountedAndTheHeapRecovers) {
  IN_EMPTY_HEAP(
      pal_inject_failure("VirtualAlloc", 0, 1000); REQUIRE(heap_malloc(1) == nullptr);
      REQUIRE(heap_malloc(0x40000) == nullptr); REQUIRE(heap_calloc(4, 4) == nullptr);
      REQUIRE(heap_footprint() == 0 && heap_max_footprint() == 0);
      REQUIRE(heap_mallinfo().arena == 0); pal_clear_failures();
      // Only the direct map refused: the request falls back to a segment of its own size.
      pal_inject_failure("VirtualAlloc", 0, 1); char* p = base(heap_malloc(0x40000));
      REQUIRE(p != nullptr && mappedRegionSize(p) == 0); REQUIRE(heap_footprint() == 0x50000);
      pal_clear_failures(); char* warm = base(heap_malloc(40)); REQUIRE(warm != nullptr);
      memset(warm, 0x7E, 40); const size_t fp = heap_footprint();
      pal_inject_failure("VirtualAlloc", 0, 1000); REQUIRE(heap_realloc(warm, 0x300000) == nullptr);
      REQUIRE(heap_memalign(4096, 0x300000) == nullptr);
      REQUIRE(heap_footprint() == fp && heap_max_footprint() == fp);
      REQUIRE(warm[0] == 0x7E && warm[39] == 0x7E);  // a failed resize keeps the block
      pal_clear_failures(); warm = base(heap_realloc(warm, 0x300000));
      REQUIRE(warm != nullptr && warm[39] == 0x7E); REQUIRE_CHECK(mappedRegionSize(warm)););
}

TEST(HeapFresh, MalloptSetsOnlyValidTuning) {
  IN_EMPTY_HEAP(
      REQUIRE(heap_mallopt(HEAP_GRANULARITY, 3) == 0);
      REQUIRE(heap_mallopt(HEAP_GRANULARITY, 0x18000) == 0); REQUIRE(heap_mallopt(5, 1) == 0);
      REQUIRE(heap_mallopt(HEAP_GRANULARITY, 0x100000) == 1);
      REQUIRE(heapParamsForTesting().granularity == 0x100000);
      REQUIRE(heap_mallopt(HEAP_MMAP_THRESHOLD, 0x1000000) == 1);
      REQUIRE(heap_mallopt(HEAP_TRIM_THRESHOLD, -1) == 1);
      REQUIRE(heapParamsForTesting().trimThreshold == 0xFFFFFFFFu);
      REQUIRE(heap_malloc(1) != nullptr);
      REQUIRE(heap_footprint() == 0x100000);  // one granule of the new size
      REQUIRE(heapStateForTesting().trimCheck == 0xFFFFFFFFu);
      char* p = base(heap_malloc(0x40000));  // below the raised threshold: from the segment
      REQUIRE(p != nullptr && mappedRegionSize(p) == 0); REQUIRE(heap_trim(0xFFFFFFC0u) == 0);
      REQUIRE_CHECK(0););
}

TEST(HeapFresh, FreeTrimsWhenTheTopPassesTheThreshold) {
  IN_EMPTY_HEAP(REQUIRE(heap_mallopt(HEAP_MMAP_THRESHOLD, -1) == 1);  // every block from a segment
                REQUIRE(heap_malloc(1) != nullptr);
                char* big = base(heap_malloc(0x300000));  // a region joined behind the first one
                REQUIRE(big != nullptr && heap_footprint() == 0x320000);
                REQUIRE(heapStateForTesting().trimCheck == 0x200000);
                heap_free(big);  // the top now exceeds 2 MiB: the later region goes back on its own
                REQUIRE(heap_footprint() == 0x10000 && heap_max_footprint() == 0x320000);
                REQUIRE(heapStateForTesting().trimCheck == 0x200000);
                REQUIRE(heap_trim(0) == 0);  // nothing to give back: releases stop trimming
                REQUIRE(heapStateForTesting().trimCheck == 0xFFFFFFFFu); REQUIRE_CHECK(0););
}

TEST(HeapFresh, MappedBlockStaysInPlaceOnlyWithinItsRules) {
  IN_EMPTY_HEAP(REQUIRE(heap_mallopt(HEAP_MMAP_THRESHOLD, 0x1000) == 1);
                char* p = base(heap_malloc(0x1000));  // an empty heap: a region of one granule
                REQUIRE(mappedRegionSize(p) == 0x10000); const size_t usable = heap_usable_size(p);
                REQUIRE(usable == 0x10000 - 16 - 8);
                REQUIRE(heap_realloc(p, 0x800) == p);  // surplus well within twice the granularity
                REQUIRE(heap_usable_size(p) == usable); p[0] = 9;
                char* same =
                    base(heap_realloc(p, usable));  // the old chunk is not 4 bytes larger: moves
                REQUIRE(same != nullptr && same != p && same[0] == 9);
                char* q = base(heap_malloc(0x1000)); REQUIRE(mappedRegionSize(q) == 0x10000);
                char* small = base(heap_realloc(q, 100));  // a mapped chunk never shrinks below 256
                REQUIRE(small != nullptr && small != q && mappedRegionSize(small) == 0);
                heap_free(same); heap_free(small); REQUIRE_CHECK(0););
}

}  // namespace
