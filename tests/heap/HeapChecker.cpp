// The heap checker: see HeapChecker.h.
#include "HeapChecker.h"

#include "heap/Heap.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

using quor::HeapChunk;
using quor::HeapSegment;
using quor::HeapTreeChunk;

namespace {

constexpr size_t kFencepostHead = 7;
constexpr size_t kTopReserve = 40;

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }
size_t sizeOf(const void* c) { return static_cast<const HeapChunk*>(c)->head & ~size_t{3}; }
bool inUse(const HeapChunk* c) { return (c->head & 2) != 0; }
const HeapChunk* plus(const void* p, size_t n) {
  return reinterpret_cast<const HeapChunk*>(at(p) + n);
}

// Tree bins come in pairs per power of two from 256, split at one and a half.
unsigned treeBinFor(size_t s) {
  unsigned i = 31;
  while (i > 0 && s < ((size_t{1} << ((i >> 1) + 8)) | (size_t{i & 1} << ((i >> 1) + 7)))) --i;
  return i;
}

class Checker {
 public:
  explicit Checker(size_t mapped) : mapped_(mapped), s_(quor::heapStateForTesting()) {}

  HeapCheck run() {
    if (s_.top) {
      const HeapSegment& head = s_.seg;
      expect(at(s_.top) + s_.topSize + kTopReserve == at(head.base) + head.size &&
                 s_.top->head == (s_.topSize | 1) && plus(s_.top, s_.topSize)->head == kTopReserve,
             "top is not its size, in use before it, and 40 bytes short of its segment's end");
      for (const HeapSegment* sp = &head; sp && result_.ok; sp = sp->next) walkSegment(sp);
      expect(dvSeen_ == (s_.dv != nullptr) && (s_.dv || s_.dvSize == 0), "victim out of place");
      checkSmallBins();
      checkTreeBins();
      expect(binned_.size() == free_.size(), "a free chunk is in no bin");
    } else {
      expect(s_.smallMap == 0 && s_.treeMap == 0 && s_.topSize == 0, "bins without a segment");
    }
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
          free_[q] = size;
          ++result_.freeChunks;
        }
      }
      expect(!inUse(q) || q != s_.dv, "designated victim is in use");
      previousInUse = inUse(q);
      last = q;
      q = next;
    }
    expect(q != s_.top || (sp == &s_.seg && previousInUse),
           "top out of place or after a free chunk");
  }

  // A chunk met in a bin must be a free chunk of the walk, of the bin's size, in one bin only.
  void claim(const void* c, size_t expectedSize) {
    auto found = free_.find(static_cast<const HeapChunk*>(c));
    expect(found != free_.end() && found->second == expectedSize &&
               binned_.insert(found->first).second,
           "a bin holds a chunk that is not free, of another size, or held by another bin");
  }

  void checkSmallBins() {
    for (unsigned i = 0; i < quor::HEAP_SMALL_BINS && result_.ok; ++i) {
      // An emptied bin keeps a stale link: only its map bit says it is empty.
      if (!((s_.smallMap >> i) & 1)) continue;
      const HeapChunk* bin = reinterpret_cast<const HeapChunk*>(&s_.smallBins[2 * i]);
      expect(i >= 2 && bin->fd != bin, "a marked small bin is empty");
      for (const HeapChunk* c = bin->fd; c != bin && result_.ok; c = c->fd) {
        if (expect(c->fd->bk == c && c->bk->fd == c, "small-bin links disagree")) claim(c, i * 8);
      }
    }
  }

  void checkTreeBins() {
    for (unsigned i = 0; i < quor::HEAP_TREE_BINS && result_.ok; ++i) {
      std::vector<const HeapTreeChunk*> nodes;
      if (const HeapTreeChunk* root = s_.treeBins[i]) nodes.push_back(root);
      expect(((s_.treeMap >> i) & 1) == !nodes.empty() &&
                 (nodes.empty() ||
                  nodes[0]->parent == reinterpret_cast<const HeapTreeChunk*>(&s_.treeBins[i])),
             "tree-bin map or root disagrees with the bin");
      while (!nodes.empty() && result_.ok) {
        const HeapTreeChunk* t = nodes.back();
        nodes.pop_back();
        const size_t size = sizeOf(t);
        expect(size >= 256 && treeBinFor(size) == i && t->index == i,
               "chunk in the wrong tree bin");
        claim(t, size);
        // Chunks of one size hang in a ring off their node, with no place in the tree.
        for (const HeapTreeChunk* m = t->fd; m != t && result_.ok; m = m->fd) {
          expect(m->parent == nullptr && m->fd->bk == m && m->bk->fd == m, "tree ring broken");
          claim(m, size);
        }
        for (const HeapTreeChunk* child : t->child) {
          if (child && expect(child->parent == t, "child's parent link")) nodes.push_back(child);
        }
      }
    }
  }

  size_t mapped_;
  const quor::HeapState& s_;
  HeapCheck result_;
  std::map<const HeapChunk*, size_t> free_;
  std::set<const HeapChunk*> binned_;
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
