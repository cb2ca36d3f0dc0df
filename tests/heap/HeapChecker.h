// Walks every segment, chunk and small bin of the heap and checks the invariants the allocator
// keeps. Written from the layout the heap documents, not from its helpers, so that a slip in one
// is not repeated in the other. Call it while no other thread is inside the heap (it takes the
// lock).
#ifndef QUORKIT_TESTS_HEAP_CHECKER_H
#define QUORKIT_TESTS_HEAP_CHECKER_H

#include <cstddef>
#include <string>

struct HeapCheck {
  bool ok = true;
  std::string error;  // the first violation found
  size_t segments = 0;
  size_t segmentBytes = 0;
  size_t freeChunks = 0;  // besides the top chunk and the designated victim
};

constexpr size_t kMappedBytesUnknown = static_cast<size_t>(-1);

// `mappedBytes`: the total size of the regions of the directly mapped blocks the caller holds;
// when given, the footprint must equal the segments plus these regions exactly.
HeapCheck checkHeap(size_t mappedBytes = kMappedBytesUnknown);

// The size of the region a directly mapped block occupies, or 0 for a block inside a segment.
size_t mappedRegionSize(void* block);

#endif
