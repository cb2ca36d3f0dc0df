// The heap checker: see HeapChecker.h.
#include "HeapChecker.h"

#include "heap/Heap.h"

#include <cstdint>
#include <set>

using quor::HeapChunk;
using quor::HeapSegment;

namespace {

constexpr size_t kFencepostHead = 7;
constexpr size_t kTopReserve = 40;

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }
size_t sizeOf(const HeapChunk* c) { return c->head & ~size_t{3}; }
bool inUse(const HeapChunk* c) { return (c->head & 2) != 0; }
const HeapChunk* plus(const void* p, size_t n) {
  return reinterpret_cast<const HeapChunk*>(at(p) + n);
}

class Checker {
 public:
  explicit Checker(size_t mapped) : mapped_(mapped), s_(quor::heapStateForTesting()) {}

  HeapCheck run() {
    const HeapSegment& head = s_.seg;
    if (s_.top) {
      expect(at(s_.top) + s_.topSize + kTopReserve == at(head.base) + head.size &&
                 s_.top->head == (s_.topSize | 1) && plus(s_.top, s_.topSize)->head == kTopReserve,
             "top is not its size, in use before it, and 40 bytes short of its segment's end");
      for (const HeapSegment* sp = &head; sp && result_.ok; sp = sp->next) walkSegment(sp);
      expect(dvSeen_ == (s_.dv != nullptr), "designated victim out of place");
      checkSmallBins();
    }
    expect(s_.top || (s_.smallMap == 0 && s_.treeMap == 0), "bins without a segment");
    expect(s_.maxFootprint >= s_.footprint, "footprint above its maximum");
    expect(mapped_ == kMappedBytesUnknown ? s_.footprint >= result_.segmentBytes
                                          : s_.footprint == result_.segmentBytes + mapped_,
           "footprint differs from segments plus mapped regions");
    return result_;
  }

 private:
  bool expect(bool condition, const char* what) {
    if (!condition && result_.ok) {
      result_.ok = false;
      result_.error = what;
    }
    return result_.ok;
  }

  // Chunk by chunk from the segment's base to the top chunk or, in an older segment, to its own
  // record (a 24-byte chunk in use) followed by fenceposts.
  void walkSegment(const HeapSegment* sp) {
    const uintptr_t end = at(sp->base) + sp->size;
    if (!expect(sp->flags == quor::HEAP_SEGMENT_FROM_SYSTEM && sp->base >= s_.leastAddr &&
                    ++result_.segments < 100000,
                "bad segment record"))
      return;
    result_.segmentBytes += sp->size;
    const HeapChunk* q = reinterpret_cast<const HeapChunk*>(sp->base);
    const HeapChunk* last = nullptr;
    bool previousInUse = true;
    while (expect(at(q) + 8 <= end, "chunk walk left its segment") && q != s_.top) {
      if (q->head == kFencepostHead) {
        expect(sp != &s_.seg && last && sizeOf(last) == 24 && inUse(last) &&
                   reinterpret_cast<const HeapSegment*>(at(last) + 8) == sp &&
                   end - at(q) <= kTopReserve,
               "segment does not end in its record and fenceposts");
        return;
      }
      const size_t size = sizeOf(q);
      const HeapChunk* next = plus(q, size);
      if (!expect(size >= 16 && size % 8 == 0 && at(q) + size + 8 <= end &&
                      ((q->head & 1) != 0) == previousInUse,
                  "bad chunk size or previous-in-use bit"))
        return;
      if (!inUse(q)) {
        expect(previousInUse && next != s_.top && inUse(next) && next->prevFoot == size,
               "free chunk beside a free one, or its size not repeated after it");
        if (q == s_.dv) {
          dvSeen_ = expect(size == s_.dvSize, "victim size disagrees with its chunk");
        } else {
          free_.insert(q);
        }
      }
      expect(!inUse(q) || q != s_.dv, "designated victim is in use");
      previousInUse = inUse(q);
      last = q;
      q = next;
    }
    expect(q != s_.top || (sp == &s_.seg && previousInUse), "top out of place or after a free one");
    result_.freeChunks = free_.size();
  }

  // A marked bin holds free chunks of its size, each once; an emptied bin keeps a stale link, so
  // only its map bit says it is empty.
  void checkSmallBins() {
    std::set<const HeapChunk*> binned;
    for (unsigned i = 0; i < quor::HEAP_SMALL_BINS && result_.ok; ++i) {
      if (!((s_.smallMap >> i) & 1)) continue;
      const HeapChunk* bin = reinterpret_cast<const HeapChunk*>(&s_.smallBins[2 * i]);
      expect(i >= 2 && bin->fd != bin, "a marked small bin is empty");
      for (const HeapChunk* c = bin->fd; c != bin && result_.ok; c = c->fd) {
        expect(c->fd->bk == c && c->bk->fd == c && free_.count(c) && sizeOf(c) == i * 8 &&
                   binned.insert(c).second,
               "a small bin holds a chunk that is not free, of another size, or twice");
      }
    }
  }

  size_t mapped_;
  const quor::HeapState& s_;
  HeapCheck result_;
  std::set<const HeapChunk*> free_;
  bool dvSeen_ = false;
};

}  // namespace

HeapCheck checkHeap(size_t mappedBytes) {
  quor::heapLockForTesting();
  HeapCheck result = Checker(mappedBytes).run();
  quor::heapUnlockForTesting();
  return result;
}

size_t mappedRegionSize(void* block) {
  const HeapChunk* c = reinterpret_cast<const HeapChunk*>(static_cast<char*>(block) - 8);
  if ((c->head & 1) || !(c->prevFoot & 1)) return 0;
  return (c->prevFoot & ~size_t{1}) + sizeOf(c) + 16;
}
