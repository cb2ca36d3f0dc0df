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
using quor::HeapState;
using quor::HeapTreeChunk;

namespace {

constexpr size_t kFencepostHead = 7;
constexpr size_t kTopReserve = 40;

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }
size_t sizeOf(const HeapChunk* c) { return c->head & ~size_t{3}; }
bool inUse(const HeapChunk* c) { return (c->head & 2) != 0; }
bool prevInUse(const HeapChunk* c) { return (c->head & 1) != 0; }
const HeapChunk* plus(const void* p, size_t n) {
  return reinterpret_cast<const HeapChunk*>(at(p) + n);
}

// Smallest size a tree bin holds: bins come in pairs per power of two, split at one and a half.
size_t treeBinMin(unsigned i) {
  unsigned k = (i >> 1) + 8;
  return (size_t{1} << k) | (size_t{i & 1} << (k - 1));
}
unsigned treeBinFor(size_t s) {
  for (unsigned i = 31; i > 0; --i) {
    if (s >= treeBinMin(i)) return i;
  }
  return 0;
}
// The size bit a trie of bin i branches on at depth d (-1 when no bits are left).
int branchBit(unsigned i, unsigned d) {
  int top = i == 31 ? 31 : static_cast<int>((i >> 1) + 6);
  return top - static_cast<int>(d);
}

class Checker {
 public:
  explicit Checker(size_t mappedBytes) : mapped_(mappedBytes), s_(quor::heapStateForTesting()) {}

  HeapCheck run() {
    if (!s_.top) {
      expect(s_.smallMap == 0 && s_.treeMap == 0, "bin maps set while the heap holds no segment");
      expect(s_.dv == nullptr && s_.dvSize == 0 && s_.topSize == 0,
             "victim or top size without a segment");
      if (mapped_ != kMappedBytesUnknown) {
        expect(s_.footprint == mapped_, "footprint differs from the mapped regions held");
      }
      return result_;
    }
    checkSegments();
    if (!result_.ok) return result_;
    checkTop();
    for (const HeapSegment* sp = &s_.seg; sp && result_.ok; sp = sp->next) walkSegment(sp);
    if (!result_.ok) return result_;
    if (s_.dv) {
      expect(dvSeen_, "designated victim not met in any segment");
    } else {
      expect(s_.dvSize == 0, "victim size without a victim");
    }
    checkSmallBins();
    checkTreeBins();
    if (!result_.ok) return result_;
    for (const auto& entry : free_) {
      if (!binned_.count(entry.first)) return fail("free chunk in no bin", entry.first);
    }
    expect(binned_.size() == free_.size(), "bins hold chunks the segments do not");
    expect(s_.maxFootprint >= s_.footprint, "footprint above its maximum");
    if (mapped_ != kMappedBytesUnknown) {
      expect(s_.footprint == result_.segmentBytes + mapped_,
             "footprint differs from segments plus mapped regions");
    } else {
      expect(s_.footprint >= result_.segmentBytes, "footprint below the segments");
    }
    return result_;
  }

 private:
  HeapCheck fail(const char* what, const void* where = nullptr) {
    if (result_.ok) {
      std::ostringstream text;
      text << what;
      if (where) text << " at 0x" << std::hex << at(where);
      result_.ok = false;
      result_.error = text.str();
    }
    return result_;
  }
  bool expect(bool condition, const char* what, const void* where = nullptr) {
    if (!condition) fail(what, where);
    return condition;
  }

  void checkSegments() {
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
    for (const HeapSegment* sp = &s_.seg; sp; sp = sp->next) {
      if (!expect(ranges.size() < 100000, "segment list does not end")) return;
      if (!expect(sp->flags == quor::HEAP_SEGMENT_FROM_SYSTEM, "segment flags", sp->base)) return;
      if (!expect(sp->base >= s_.leastAddr && sp->size > 0, "segment below the least address",
                  sp->base))
        return;
      ranges.emplace_back(at(sp->base), at(sp->base) + sp->size);
      result_.segmentBytes += sp->size;
      // The segment is made of whole committed allocations, each starting where the last ended.
      for (uintptr_t a = at(sp->base); a < at(sp->base) + sp->size;) {
        MEMORY_BASIC_INFORMATION info;
        if (!expect(VirtualQuery(reinterpret_cast<void*>(a), &info, sizeof info) == sizeof info,
                    "query failed"))
          return;
        if (!expect(info.State == MEM_COMMIT && at(info.AllocationBase) == a &&
                        info.RegionSize <= at(sp->base) + sp->size - a,
                    "segment is not made of whole allocations", reinterpret_cast<void*>(a))) {
          return;
        }
        a += info.RegionSize;
      }
    }
    result_.segments = ranges.size();
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) {
      if (!expect(ranges[i - 1].second <= ranges[i].first, "segments overlap")) return;
    }
  }

  void checkTop() {
    const HeapSegment& head = s_.seg;
    const HeapChunk* top = s_.top;
    expect(at(top) % 8 == 0 && s_.topSize % 8 == 0, "top misaligned", top);
    expect(
        at(top) >= at(head.base) && at(top) + s_.topSize + kTopReserve == at(head.base) + head.size,
        "top does not end 40 bytes before its segment's end", top);
    expect(top->head == (s_.topSize | 1), "top head is not its size with the previous-in-use bit",
           top);
    expect(plus(top, s_.topSize)->head == kTopReserve, "word after the top does not hold 40", top);
  }

  void walkSegment(const HeapSegment* sp) {
    const bool isHead = sp == &s_.seg;
    const uintptr_t end = at(sp->base) + sp->size;
    const HeapChunk* q = reinterpret_cast<const HeapChunk*>(sp->base);
    bool previousInUse = true;
    const HeapChunk* last = nullptr;
    for (size_t n = 0;; ++n) {
      if (!expect(n <= sp->size / 16, "chunk walk does not end", sp->base)) return;
      if (at(q) + 8 > end) {
        fail("chunk walk left its segment", q);
        return;
      }
      if (q == s_.top) {
        expect(isHead, "top outside the newest segment", q);
        expect(previousInUse, "free chunk before the top", q);
        return;
      }
      if (q->head == kFencepostHead) {
        if (!expect(!isHead, "fencepost in the newest segment", q)) return;
        // The segment's own record closes it, in a 24-byte in-use chunk before the fenceposts.
        if (!expect(last && sizeOf(last) == 24 && inUse(last),
                    "no record chunk before the fenceposts", q))
          return;
        const HeapSegment* record = reinterpret_cast<const HeapSegment*>(at(last) + 8);
        expect(record == sp, "segment record is not at its segment's end", last);
        for (uintptr_t h = at(q) + 4; h < end; h += 4) {
          if (!expect(*reinterpret_cast<const size_t*>(h) == kFencepostHead,
                      "fenceposts do not reach the end", q))
            return;
        }
        expect(end - at(q) <= kTopReserve, "fenceposts start too early", q);
        return;
      }
      const size_t size = sizeOf(q);
      if (!expect(size >= 16 && size % 8 == 0 && at(q) + size + 8 <= end, "bad chunk size", q))
        return;
      if (!expect(prevInUse(q) == previousInUse, "previous-in-use bit disagrees with the neighbour",
                  q))
        return;
      const HeapChunk* next = plus(q, size);
      if (!inUse(q)) {
        if (!expect(previousInUse, "two free chunks side by side", q)) return;
        if (!expect(next != s_.top && inUse(next), "free chunk not followed by a chunk in use", q))
          return;
        if (!expect(next->prevFoot == size, "free chunk's size not repeated after it", q)) return;
        if (q == s_.dv) {
          dvSeen_ = true;
          expect(size == s_.dvSize, "victim size disagrees with its chunk", q);
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

  bool claim(const HeapChunk* c, size_t expectedSize, const char* what) {
    auto found = free_.find(c);
    if (!expect(found != free_.end(), what, c)) return false;
    if (!expect(found->second == expectedSize || expectedSize == 0,
                "binned chunk has the wrong size", c))
      return false;
    return expect(binned_.insert(c).second, "chunk in two bins", c);
  }

  void checkSmallBins() {
    for (unsigned i = 0; i < quor::HEAP_SMALL_BINS && result_.ok; ++i) {
      const bool marked = (s_.smallMap >> i) & 1;
      if (!marked) continue;
      if (!expect(i >= 2, "small-bin map marks a bin below the minimum chunk")) return;
      const HeapChunk* bin = reinterpret_cast<const HeapChunk*>(&s_.smallBins[2 * i]);
      if (!expect(bin->fd != bin, "marked small bin is empty")) return;
      size_t count = 0;
      for (const HeapChunk* c = bin->fd; c != bin; c = c->fd) {
        if (!expect(++count <= free_.size(), "small-bin list does not close")) return;
        if (!claim(c, size_t{i} * 8, "small bin holds a chunk that is not free")) return;
        if (!expect(c->fd->bk == c && c->bk->fd == c, "small-bin links disagree", c)) return;
      }
    }
  }

  void checkTreeBins() {
    for (unsigned i = 0; i < quor::HEAP_TREE_BINS && result_.ok; ++i) {
      const HeapTreeChunk* root = s_.treeBins[i];
      const bool marked = (s_.treeMap >> i) & 1;
      if (!expect(marked == (root != nullptr), "tree-bin map disagrees with the bin")) return;
      if (!root) continue;
      expect(root->parent == reinterpret_cast<const HeapTreeChunk*>(&s_.treeBins[i]),
             "tree root's parent", root);
      struct Item {
        const HeapTreeChunk* node;
        unsigned depth;
        uint32_t path;
      };
      std::vector<Item> stack{{root, 0, 0}};
      while (!stack.empty() && result_.ok) {
        Item item = stack.back();
        stack.pop_back();
        const HeapTreeChunk* t = item.node;
        const HeapChunk* c = reinterpret_cast<const HeapChunk*>(t);
        const size_t size = sizeOf(c);
        if (!claim(c, 0, "tree holds a chunk that is not free")) return;
        if (!expect(size >= 256 && treeBinFor(size) == i && t->index == i,
                    "chunk in the wrong tree bin", t))
          return;
        for (unsigned d = 0; d < item.depth; ++d) {
          int bit = branchBit(i, d);
          if (bit < 0) break;
          if (!expect(((size >> bit) & 1) == ((item.path >> d) & 1), "trie order broken", t))
            return;
        }
        size_t ring = 0;
        for (const HeapTreeChunk* m = t->fd; m != t; m = m->fd) {
          if (!expect(++ring <= free_.size(), "tree ring does not close", t)) return;
          const HeapChunk* mc = reinterpret_cast<const HeapChunk*>(m);
          if (!expect(sizeOf(mc) == size && m->parent == nullptr,
                      "ring member differs from its node", m))
            return;
          if (!expect(m->fd->bk == m && m->bk->fd == m, "tree ring links disagree", m)) return;
          if (!claim(mc, size, "tree ring holds a chunk that is not free")) return;
        }
        expect(t->fd->bk == t && t->bk->fd == t, "tree node ring links disagree", t);
        if (!expect(item.depth < 31, "trie too deep", t)) return;
        for (unsigned side = 0; side < 2; ++side) {
          if (const HeapTreeChunk* child = t->child[side]) {
            if (!expect(child->parent == t, "child's parent link", child)) return;
            stack.push_back({child, item.depth + 1, item.path | (uint32_t{side} << item.depth)});
          }
        }
      }
    }
  }

  size_t mapped_;
  const HeapState& s_;
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
