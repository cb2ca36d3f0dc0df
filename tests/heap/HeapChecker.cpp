// The heap checker: see HeapChecker.h.
#include "HeapChecker.h"

#include "heap/Heap.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

using quor::HeapChunk;
using quor::HeapSegment;
using quor::HeapTreeChunk;

namespace {

constexpr size_t kFencepostHead = 7;
constexpr size_t kTopReserve = 40;

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }
size_t sizeOf(const HeapChunk* c) { return c->head & ~size_t{3}; }
bool inUse(const HeapChunk* c) { return (c->head & 2) != 0; }
const HeapChunk* plus(const void* p, size_t n) {
  return reinterpret_cast<const HeapChunk*>(at(p) + n);
}

// Tree bins come in pairs per power of two from 256, split at one and a half.
unsigned treeBinFor(size_t s) {
  for (unsigned i = 31; i > 0; --i) {
    unsigned k = (i >> 1) + 8;
    if (s >= ((size_t{1} << k) | (size_t{i & 1} << (k - 1)))) return i;
  }
  return 0;
}

class Checker {
 public:
  explicit Checker(size_t mapped) : mapped_(mapped), s_(quor::heapStateForTesting()) {}

  HeapCheck run() {
    if (!s_.top) {
      expect(s_.smallMap == 0 && s_.treeMap == 0 && s_.dv == nullptr && s_.topSize == 0,
             "bins, victim or top without a segment");
      expect(mapped_ == kMappedBytesUnknown || s_.footprint == mapped_,
             "footprint differs from the mapped regions held");
      return result_;
    }
    checkSegments();
    checkTop();
    for (const HeapSegment* sp = &s_.seg; sp && result_.ok; sp = sp->next) walkSegment(sp);
    expect(dvSeen_ == (s_.dv != nullptr), "designated victim not met in any segment");
    expect(s_.dv || s_.dvSize == 0, "victim size without a victim");
    checkSmallBins();
    checkTreeBins();
    expect(binned_.size() == free_.size(), "a free chunk is in no bin");
    expect(s_.maxFootprint >= s_.footprint, "footprint above its maximum");
    expect(mapped_ == kMappedBytesUnknown ? s_.footprint >= result_.segmentBytes
                                          : s_.footprint == result_.segmentBytes + mapped_,
           "footprint differs from segments plus mapped regions");
    return result_;
  }

 private:
  bool expect(bool condition, const char* what, const void* where = nullptr) {
    if (!condition && result_.ok) {
      std::ostringstream text;
      text << what;
      if (where) text << " at 0x" << std::hex << at(where);
      result_.ok = false;
      result_.error = text.str();
    }
    return condition && result_.ok;
  }

  void checkSegments() {
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
    for (const HeapSegment* sp = &s_.seg; sp; sp = sp->next) {
      if (!expect(ranges.size() < 100000 && sp->flags == quor::HEAP_SEGMENT_FROM_SYSTEM &&
                      sp->base >= s_.leastAddr && sp->size > 0,
                  "bad segment record", sp->base))
        return;
      const uintptr_t end = at(sp->base) + sp->size;
      ranges.emplace_back(at(sp->base), end);
      result_.segmentBytes += sp->size;
      // A segment is made of whole committed allocations, each starting where the last ended.
      for (uintptr_t a = at(sp->base); a < end;) {
        MEMORY_BASIC_INFORMATION info;
        const void* here = reinterpret_cast<const void*>(a);
        if (!expect(VirtualQuery(here, &info, sizeof info) == sizeof info &&
                        info.State == MEM_COMMIT && at(info.AllocationBase) == a &&
                        info.RegionSize <= end - a,
                    "segment is not made of whole allocations", here))
          return;
        a += info.RegionSize;
      }
    }
    result_.segments = ranges.size();
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) {
      expect(ranges[i - 1].second <= ranges[i].first, "segments overlap");
    }
  }

  void checkTop() {
    const HeapChunk* top = s_.top;
    expect(at(top) % 8 == 0 && s_.topSize % 8 == 0 && at(top) >= at(s_.seg.base) &&
               at(top) + s_.topSize + kTopReserve == at(s_.seg.base) + s_.seg.size,
           "top does not end 40 bytes before its segment's end", top);
    expect(top->head == (s_.topSize | 1), "top head is not its size and previous-in-use", top);
    expect(plus(top, s_.topSize)->head == kTopReserve, "word after the top is not 40", top);
  }

  void walkSegment(const HeapSegment* sp) {
    const bool isHead = sp == &s_.seg;
    const uintptr_t end = at(sp->base) + sp->size;
    const HeapChunk* q = reinterpret_cast<const HeapChunk*>(sp->base);
    const HeapChunk* last = nullptr;
    bool previousInUse = true;
    for (size_t n = 0; expect(n <= sp->size / 16 && at(q) + 8 <= end, "walk leaves segment", q);
         ++n) {
      if (q == s_.top) {
        expect(isHead && previousInUse, "top out of place or after a free chunk", q);
        return;
      }
      if (q->head == kFencepostHead) {
        // An older segment ends in its own record, in a 24-byte chunk before the fenceposts.
        if (!expect(!isHead && last && sizeOf(last) == 24 && inUse(last) &&
                        reinterpret_cast<const HeapSegment*>(at(last) + 8) == sp &&
                        end - at(q) <= kTopReserve,
                    "segment does not end in its record and fenceposts", q))
          return;
        for (uintptr_t h = at(q) + 4; h < end; h += 4) {
          expect(*reinterpret_cast<const size_t*>(h) == kFencepostHead, "fenceposts cut short", q);
        }
        return;
      }
      const size_t size = sizeOf(q);
      const HeapChunk* next = plus(q, size);
      if (!expect(size >= 16 && size % 8 == 0 && at(q) + size + 8 <= end &&
                      ((q->head & 1) != 0) == previousInUse,
                  "bad chunk size or previous-in-use bit", q))
        return;
      if (!inUse(q)) {
        if (!expect(previousInUse && next != s_.top && inUse(next) && next->prevFoot == size,
                    "free chunk beside a free one, or its size not repeated after it", q))
          return;
        if (q == s_.dv) {
          dvSeen_ = expect(size == s_.dvSize, "victim size disagrees with its chunk", q);
        } else {
          free_[q] = size;
          ++result_.freeChunks;
          result_.freeBytes += size;
        }
      } else {
        expect(q != s_.dv, "designated victim is in use", q);
      }
      previousInUse = inUse(q);
      last = q;
      q = next;
    }
  }

  // A chunk met in a bin must be a free chunk of the walk, of the bin's size, in one bin only.
  bool claim(const HeapChunk* c, size_t expectedSize) {
    auto found = free_.find(c);
    return expect(found != free_.end(), "bin holds a chunk that is not free", c) &&
           expect(expectedSize == 0 || found->second == expectedSize, "chunk in the wrong bin",
                  c) &&
           expect(binned_.insert(c).second, "chunk in two bins", c);
  }

  void checkSmallBins() {
    expect((s_.smallMap & 3) == 0, "small-bin map marks a bin below the minimum chunk");
    for (unsigned i = 2; i < quor::HEAP_SMALL_BINS && result_.ok; ++i) {
      const HeapChunk* bin = reinterpret_cast<const HeapChunk*>(&s_.smallBins[2 * i]);
      // An emptied bin keeps a stale link: only its map bit says it is empty.
      if (!((s_.smallMap >> i) & 1)) continue;
      if (!expect(bin->fd != bin, "marked small bin is empty")) return;
      size_t count = 0;
      for (const HeapChunk* c = bin->fd; c != bin && result_.ok; c = c->fd) {
        if (expect(++count <= free_.size() && c->fd->bk == c && c->bk->fd == c,
                   "small-bin list broken", c))
          claim(c, size_t{i} * 8);
      }
    }
  }

  void checkTreeBins() {
    for (unsigned i = 0; i < quor::HEAP_TREE_BINS && result_.ok; ++i) {
      const HeapTreeChunk* root = s_.treeBins[i];
      if (!expect(((s_.treeMap >> i) & 1) == (root != nullptr), "tree-bin map disagrees")) return;
      if (root && !expect(root->parent == reinterpret_cast<const HeapTreeChunk*>(&s_.treeBins[i]),
                          "tree root's parent", root))
        return;
      // Each node: its bin, the size bits it branches on down the path, its ring, its children.
      struct Item {
        const HeapTreeChunk* node;
        unsigned depth;
        uint32_t path;
      };
      std::vector<Item> stack;
      if (root) stack.push_back({root, 0, 0});
      while (!stack.empty() && result_.ok) {
        const Item item = stack.back();
        stack.pop_back();
        const HeapTreeChunk* t = item.node;
        const size_t size = sizeOf(reinterpret_cast<const HeapChunk*>(t));
        const int topBit = i == 31 ? 31 : static_cast<int>((i >> 1) + 6);
        bool ordered = size >= 256 && treeBinFor(size) == i && t->index == i && item.depth < 31;
        for (unsigned d = 0; d < item.depth && topBit >= static_cast<int>(d); ++d) {
          ordered = ordered && ((size >> (topBit - d)) & 1) == ((item.path >> d) & 1);
        }
        if (!expect(ordered, "chunk out of its bin or trie order", t) ||
            !claim(reinterpret_cast<const HeapChunk*>(t), 0))
          return;
        size_t ring = 0;
        for (const HeapTreeChunk* m = t->fd; m != t && result_.ok; m = m->fd) {
          if (expect(++ring <= free_.size() && m->parent == nullptr && m->fd->bk == m &&
                         m->bk->fd == m,
                     "tree ring broken", m))
            claim(reinterpret_cast<const HeapChunk*>(m), size);
        }
        expect(t->fd->bk == t && t->bk->fd == t, "tree node's ring links disagree", t);
        for (unsigned side = 0; side < 2; ++side) {
          if (const HeapTreeChunk* child = t->child[side]) {
            expect(child->parent == t, "child's parent link", child);
            stack.push_back({child, item.depth + 1, item.path | (uint32_t{side} << item.depth)});
          }
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
