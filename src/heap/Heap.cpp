// The general-purpose heap: chunk bookkeeping, bins, growth, release and the public operations.
//
// Every block is the payload of a chunk that starts 8 bytes before it. A chunk's head word holds
// its size and two bits: whether the chunk itself and whether the chunk before it are in use.
// A free chunk repeats its size in the first word of the next chunk, so a release can find the
// start of a free predecessor and merge with it; an in-use chunk lends that word to its payload
// (4 bytes of overhead, no footers). Free chunks below 256 bytes sit in 32 exact-size lists;
// larger ones in 32 bitwise tries keyed by size, whose nodes hold rings of equal-size chunks.
// The remainder of the last split for a small request is kept apart as the designated victim
// and tried first, and the free end of the newest segment is the top chunk, split last.
//
// Every check that can fail on a bad pointer or a damaged structure calls abort(): after that,
// nothing the heap holds can be trusted, and carrying on would spread the damage.
#include "heap/Heap.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace quor {

namespace {

typedef HeapChunk Chunk;
typedef HeapTreeChunk TreeChunk;

constexpr size_t kChunkAlignMask = 7;
constexpr size_t kChunkOverhead = 4;   // the head word of an in-use chunk
constexpr size_t kMappedOverhead = 8;  // a directly mapped chunk also keeps its offset word
constexpr size_t kMinChunk = 16;
constexpr size_t kMinRequest = kMinChunk - kChunkOverhead - 1;
constexpr size_t kMaxRequest = 0xFFFFFFC0u;  // (-kMinChunk) << 2: sizes stay clear of wrapping
constexpr size_t kMaxSize = 0xFFFFFFFFu;
constexpr size_t kMaxAlignment = 0x80000000u;  // the largest power of two in a size

constexpr size_t kPrevInUse = 1;
constexpr size_t kInUse = 2;
constexpr size_t kInUseBits = kPrevInUse | kInUse;
constexpr size_t kFencepost = kInUseBits | 4;  // head of the words that close an old segment
constexpr size_t kMappedBit = 1;               // in prevFoot of a directly mapped chunk
constexpr size_t kMappedFoot = 16;             // trailing bytes of a directly mapped region

// A segment's record, padded to a chunk, plus a minimum chunk: what the top chunk always leaves
// free at the end of its segment, so a newer segment's arrival can store the record there.
constexpr size_t kSegmentRecordChunk = 24;
constexpr size_t kTopFoot = kSegmentRecordChunk + kMinChunk;

constexpr unsigned kSmallShift = 3;
constexpr unsigned kTreeShift = 8;
constexpr size_t kMinLargeSize = size_t{1} << kTreeShift;
constexpr size_t kMaxSmallRequest = kMinLargeSize - 1 - kChunkAlignMask - kChunkOverhead;  // 244

constexpr uint32_t kMagic = 0x58585858u;
constexpr uint32_t kDefaultMmapThreshold = 0x40000;
constexpr uint32_t kDefaultTrimThreshold = 0x200000;

static_assert(kTopFoot == 40, "the top chunk's reserve");
static_assert(kMaxSmallRequest == 244, "largest small request");

HeapParams _heapParams;
LONG volatile _heapInitLock;
HeapState _heap;

// ---- aborting checks ----------------------------------------------------------------------

[[noreturn]] void corruptionFound() { abort(); }
[[noreturn]] void usageError() { abort(); }

inline bool okAddress(const void* p) { return static_cast<const char*>(p) >= _heap.leastAddr; }
inline bool okNext(const void* p, const void* next) { return p < next; }

// ---- chunk arithmetic ---------------------------------------------------------------------

inline Chunk* memToChunk(void* mem) {
  return reinterpret_cast<Chunk*>(static_cast<char*>(mem) - 8);
}
inline void* chunkToMem(void* p) { return static_cast<char*>(p) + 8; }
inline Chunk* chunkAt(void* p, size_t offset) {
  return reinterpret_cast<Chunk*>(static_cast<char*>(p) + offset);
}
inline Chunk* chunkBefore(void* p, size_t offset) {
  return reinterpret_cast<Chunk*>(static_cast<char*>(p) - offset);
}

inline size_t chunkSize(const void* p) { return static_cast<const Chunk*>(p)->head & ~kInUseBits; }
inline bool inUse(const void* p) { return (static_cast<const Chunk*>(p)->head & kInUse) != 0; }
inline bool prevInUse(const void* p) {
  return (static_cast<const Chunk*>(p)->head & kPrevInUse) != 0;
}
inline Chunk* nextChunk(void* p) { return chunkAt(p, chunkSize(p)); }

inline bool isMapped(const Chunk* p) {
  return !(p->head & kPrevInUse) && (p->prevFoot & kMappedBit);
}
inline size_t overheadFor(const Chunk* p) { return isMapped(p) ? kMappedOverhead : kChunkOverhead; }

inline size_t alignOffset(const void* mem) {
  size_t a = reinterpret_cast<size_t>(mem) & kChunkAlignMask;
  return a == 0 ? 0 : (8 - a) & kChunkAlignMask;
}
inline Chunk* alignAsChunk(char* base) {
  return reinterpret_cast<Chunk*>(base + alignOffset(base + 8));
}

inline size_t padRequest(size_t n) {
  return (n + kChunkOverhead + kChunkAlignMask) & ~kChunkAlignMask;
}
inline size_t requestToSize(size_t n) { return n < kMinRequest ? kMinChunk : padRequest(n); }

inline void setFreeWithPrevInUse(Chunk* p, size_t s, Chunk* next) {
  next->head &= ~kPrevInUse;
  p->head = s | kPrevInUse;
  chunkAt(p, s)->prevFoot = s;
}
inline void setFreeSize(Chunk* p, size_t s) {
  p->head = s | kPrevInUse;
  chunkAt(p, s)->prevFoot = s;
}
// Keeps the chunk's own "previous in use" bit and tells the successor this chunk is in use.
inline void setInUse(Chunk* p, size_t s) {
  p->head = (p->head & kPrevInUse) | s | kInUse;
  chunkAt(p, s)->head |= kPrevInUse;
}
inline void setInUseAndPrevInUse(Chunk* p, size_t s) {
  p->head = s | kPrevInUse | kInUse;
  chunkAt(p, s)->head |= kPrevInUse;
}
inline void setInUseSize(Chunk* p, size_t s) { p->head = s | kPrevInUse | kInUse; }

// ---- bins ---------------------------------------------------------------------------------

inline bool isSmall(size_t s) { return (s >> kSmallShift) < HEAP_SMALL_BINS; }
inline uint32_t smallIndex(size_t s) { return static_cast<uint32_t>(s >> kSmallShift); }
inline size_t smallIndexToSize(uint32_t i) { return size_t{i} << kSmallShift; }
inline Chunk* smallBinAt(uint32_t i) { return reinterpret_cast<Chunk*>(&_heap.smallBins[i << 1]); }
inline TreeChunk** treeBinAt(uint32_t i) { return &_heap.treeBins[i]; }

inline uint32_t bitOf(uint32_t i) { return uint32_t{1} << i; }
inline uint32_t bitsLeftOf(uint32_t x) { return (x << 1) | (0u - (x << 1)); }
inline uint32_t lowestBit(uint32_t x) { return x & (0u - x); }
inline uint32_t bitIndex(uint32_t x) { return static_cast<uint32_t>(__builtin_ctz(x)); }

// Tree bins split each power of two in halves: bin 2k covers [2^(k+8), 1.5 * 2^(k+8)) and bin
// 2k+1 the rest up to 2^(k+9); the last bin takes everything from 2^24 * 1.5 on.
uint32_t treeIndex(size_t s) {
  size_t x = s >> kTreeShift;
  if (x == 0) return 0;
  if (x > 0xFFFF) return HEAP_TREE_BINS - 1;
  uint32_t k = 31 - static_cast<uint32_t>(__builtin_clz(static_cast<unsigned>(x)));
  return (k << 1) + static_cast<uint32_t>((s >> (k + kTreeShift - 1)) & 1);
}
// Shift that brings the first size bit below the bin's own leading bits to the top: the trie
// branches on successive bits from there.
inline unsigned treeShiftFor(uint32_t i) {
  return i == HEAP_TREE_BINS - 1 ? 0 : 31 - ((i >> 1) + kTreeShift - 2);
}
inline TreeChunk* leftmostChild(TreeChunk* t) { return t->child[0] ? t->child[0] : t->child[1]; }

void insertSmall(Chunk* p, size_t s) {
  uint32_t i = smallIndex(s);
  Chunk* bin = smallBinAt(i);
  Chunk* f = bin;
  if (!(_heap.smallMap & bitOf(i))) {
    _heap.smallMap |= bitOf(i);
  } else if (okAddress(bin->fd)) {
    f = bin->fd;
  } else {
    corruptionFound();
  }
  bin->fd = p;
  f->bk = p;
  p->fd = f;
  p->bk = bin;
}

void unlinkSmall(Chunk* p, size_t s) {
  Chunk* f = p->fd;
  Chunk* b = p->bk;
  uint32_t i = smallIndex(s);
  Chunk* bin = smallBinAt(i);
  if (f == b) {
    _heap.smallMap &= ~bitOf(i);
  } else if ((f == bin || okAddress(f)) && (b == bin || okAddress(b))) {
    f->bk = b;
    b->fd = f;
  } else {
    corruptionFound();
  }
}

void unlinkFirstSmall(Chunk* bin, Chunk* p, uint32_t i) {
  Chunk* f = p->fd;
  if (bin == f) {
    _heap.smallMap &= ~bitOf(i);
  } else if (okAddress(f)) {
    bin->fd = f;
    f->bk = bin;
  } else {
    corruptionFound();
  }
}

void insertLarge(TreeChunk* x, size_t s) {
  uint32_t i = treeIndex(s);
  TreeChunk** root = treeBinAt(i);
  x->index = i;
  x->child[0] = x->child[1] = nullptr;
  if (!(_heap.treeMap & bitOf(i))) {
    _heap.treeMap |= bitOf(i);
    *root = x;
    x->parent = reinterpret_cast<TreeChunk*>(root);
    x->fd = x->bk = x;
    return;
  }
  TreeChunk* t = *root;
  size_t bits = s << treeShiftFor(i);
  for (;;) {
    if (chunkSize(t) != s) {
      TreeChunk** c = &t->child[(bits >> 31) & 1];
      bits <<= 1;
      if (*c) {
        t = *c;
      } else if (okAddress(c)) {
        *c = x;
        x->parent = t;
        x->fd = x->bk = x;
        return;
      } else {
        corruptionFound();
      }
    } else {
      // Equal size: joins the node's ring and stays out of the trie itself.
      TreeChunk* f = t->fd;
      if (!(okAddress(t) && okAddress(f))) corruptionFound();
      t->fd = f->bk = x;
      x->fd = f;
      x->bk = t;
      x->parent = nullptr;
      return;
    }
  }
}

void unlinkLarge(TreeChunk* x) {
  TreeChunk* xp = x->parent;
  TreeChunk* r;
  if (x->bk != x) {
    TreeChunk* f = x->fd;
    r = x->bk;
    if (!okAddress(f)) corruptionFound();
    f->bk = r;
    r->fd = f;
  } else {
    // Alone in its ring: the replacement in the trie is any leaf below it, detached.
    TreeChunk** rp;
    if ((r = *(rp = &x->child[1])) != nullptr || (r = *(rp = &x->child[0])) != nullptr) {
      TreeChunk** cp;
      while (*(cp = &r->child[1]) != nullptr || *(cp = &r->child[0]) != nullptr) r = *(rp = cp);
      if (!okAddress(rp)) corruptionFound();
      *rp = nullptr;
    }
  }
  if (xp == nullptr) return;  // a ring member that was not the trie node
  TreeChunk** root = treeBinAt(x->index);
  if (x == *root) {
    if ((*root = r) == nullptr) _heap.treeMap &= ~bitOf(x->index);
  } else if (okAddress(xp)) {
    if (xp->child[0] == x)
      xp->child[0] = r;
    else
      xp->child[1] = r;
  } else {
    corruptionFound();
  }
  if (r == nullptr) return;
  if (!okAddress(r)) corruptionFound();
  r->parent = xp;
  for (int side = 0; side < 2; ++side) {
    if (TreeChunk* c = x->child[side]) {
      if (!okAddress(c)) corruptionFound();
      r->child[side] = c;
      c->parent = r;
    }
  }
}

inline void insertChunk(Chunk* p, size_t s) {
  if (isSmall(s))
    insertSmall(p, s);
  else
    insertLarge(reinterpret_cast<TreeChunk*>(p), s);
}
inline void unlinkChunk(Chunk* p, size_t s) {
  if (isSmall(s))
    unlinkSmall(p, s);
  else
    unlinkLarge(reinterpret_cast<TreeChunk*>(p));
}

// The new chunk becomes the designated victim; the old one goes to its bin.
void replaceVictim(Chunk* p, size_t s) {
  if (_heap.dvSize != 0) insertChunk(_heap.dv, _heap.dvSize);
  _heap.dvSize = s;
  _heap.dv = p;
}

// ---- segments and the top chunk -----------------------------------------------------------

inline bool segmentHolds(const HeapSegment* sp, const void* a) {
  const char* c = static_cast<const char*>(a);
  return c >= sp->base && c < sp->base + sp->size;
}

HeapSegment* segmentHolding(const void* a) {
  for (HeapSegment* sp = &_heap.seg; sp; sp = sp->next) {
    if (segmentHolds(sp, a)) return sp;
  }
  return nullptr;
}

// Whether the record of any segment lives inside `ss` (then `ss` cannot shrink).
bool holdsSegmentRecord(const HeapSegment* ss) {
  for (HeapSegment* sp = &_heap.seg; sp; sp = sp->next) {
    if (segmentHolds(ss, sp)) return true;
  }
  return false;
}

inline bool joinable(const HeapSegment* sp) {
  return (sp->flags & HEAP_SEGMENT_EXTERNAL) == 0 && (sp->flags & HEAP_SEGMENT_FROM_SYSTEM) != 0;
}

void initTop(Chunk* p, size_t psize) {
  size_t offset = alignOffset(chunkToMem(p));
  p = chunkAt(p, offset);
  psize -= offset;
  _heap.top = p;
  _heap.topSize = psize;
  p->head = psize | kPrevInUse;
  chunkAt(p, psize)->head = kTopFoot;
  _heap.trimCheck = _heapParams.trimThreshold;
}

void initBins() {
  for (uint32_t i = 0; i < HEAP_SMALL_BINS; ++i) {
    Chunk* bin = smallBinAt(i);
    bin->fd = bin->bk = bin;
  }
}

inline void countFootprint(size_t added) {
  if ((_heap.footprint += added) > _heap.maxFootprint) _heap.maxFootprint = _heap.footprint;
}

// Serves a chunk of nb bytes from the start of the top chunk; the caller made sure it fits.
void* takeFromTop(size_t nb) {
  size_t rsize = _heap.topSize -= nb;
  Chunk* p = _heap.top;
  Chunk* r = _heap.top = chunkAt(p, nb);
  r->head = rsize | kPrevInUse;
  setInUseSize(p, nb);
  return chunkToMem(p);
}

// Gives a range back to the system. Windows releases whole allocations only, so the range is
// first checked to consist of nothing else, and only then released: a range that fails the check
// stays mapped whole rather than half released.
bool releaseRegion(char* start, size_t length) {
  MEMORY_BASIC_INFORMATION info;
  for (char* at = start; at != start + length; at += info.RegionSize) {
    if (VirtualQuery(at, &info, sizeof info) == 0) return false;
    if (info.BaseAddress != at || info.AllocationBase != at || info.State != MEM_COMMIT ||
        info.RegionSize > static_cast<size_t>(start + length - at)) {
      return false;
    }
  }
  for (char* at = start; at != start + length; at += info.RegionSize) {
    if (VirtualQuery(at, &info, sizeof info) == 0) return false;
    if (!VirtualFree(at, 0, MEM_RELEASE)) return false;
  }
  return true;
}

// A region of its own for one large chunk: leading alignment bytes (their count is kept in the
// chunk's first word, marked as mapped), the chunk, and a 16-byte tail with a fencepost head and
// a zero head, so that the chunk's successor reads as in use.
void* mapChunk(size_t nb) {
  const size_t g = _heapParams.granularity;
  size_t size = (nb + 6 * sizeof(size_t) + kChunkAlignMask + g) & ~(g - 1);
  if (size <= nb) return nullptr;  // wrapped
  char* region = static_cast<char*>(
      VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
  if (!region) return nullptr;
  size_t offset = alignOffset(region + 8);
  size_t psize = size - offset - kMappedFoot;
  Chunk* p = reinterpret_cast<Chunk*>(region + offset);
  p->prevFoot = offset | kMappedBit;
  p->head = psize | kInUse;
  chunkAt(p, psize)->head = kFencepost;
  chunkAt(p, psize + sizeof(size_t))->head = 0;
  if (_heap.leastAddr == nullptr || region < _heap.leastAddr) _heap.leastAddr = region;
  countFootprint(size);
  return chunkToMem(p);
}

// A new region that ends where an existing segment begins: the request is served from its start
// and the rest is merged with whatever the segment's old first chunk is.
void* prependChunk(char* newBase, char* oldBase, size_t nb) {
  Chunk* p = alignAsChunk(newBase);
  Chunk* oldFirst = alignAsChunk(oldBase);
  size_t psize = reinterpret_cast<char*>(oldFirst) - reinterpret_cast<char*>(p);
  Chunk* q = chunkAt(p, nb);
  size_t qsize = psize - nb;
  setInUseSize(p, nb);
  if (oldFirst == _heap.top) {
    size_t tsize = _heap.topSize += qsize;
    _heap.top = q;
    q->head = tsize | kPrevInUse;
  } else if (oldFirst == _heap.dv) {
    size_t dsize = _heap.dvSize += qsize;
    _heap.dv = q;
    setFreeSize(q, dsize);
  } else {
    if (!inUse(oldFirst)) {
      size_t nsize = chunkSize(oldFirst);
      unlinkChunk(oldFirst, nsize);
      oldFirst = chunkAt(oldFirst, nsize);
      qsize += nsize;
    }
    setFreeWithPrevInUse(q, qsize, oldFirst);
    insertChunk(q, qsize);
  }
  return chunkToMem(p);
}

// A region that touches no segment becomes the newest segment. The record of the segment that
// held the top moves into a chunk at the end of that segment (inside the top's reserve), closed
// by fenceposts; what is left of the old top becomes an ordinary free chunk.
void addSegment(char* base, size_t size) {
  char* oldTop = reinterpret_cast<char*>(_heap.top);
  HeapSegment* oldSeg = segmentHolding(oldTop);
  char* oldEnd = oldSeg->base + oldSeg->size;
  char* raw = oldEnd - (kSegmentRecordChunk + 4 * sizeof(size_t) + kChunkAlignMask);
  char* aligned = raw + alignOffset(raw + 8);
  char* recordChunk = aligned < oldTop + kMinChunk ? oldTop : aligned;
  Chunk* sp = reinterpret_cast<Chunk*>(recordChunk);
  HeapSegment* record = static_cast<HeapSegment*>(chunkToMem(sp));
  Chunk* fence = chunkAt(sp, kSegmentRecordChunk);

  initTop(reinterpret_cast<Chunk*>(base), size - kTopFoot);

  setInUseSize(sp, kSegmentRecordChunk);
  *record = _heap.seg;
  _heap.seg.base = base;
  _heap.seg.size = size;
  _heap.seg.flags = HEAP_SEGMENT_FROM_SYSTEM;
  _heap.seg.next = record;

  for (;;) {
    Chunk* next = chunkAt(fence, sizeof(size_t));
    fence->head = kFencepost;
    if (reinterpret_cast<char*>(&next->head) < oldEnd)
      fence = next;
    else
      break;
  }

  if (recordChunk != oldTop) {
    Chunk* q = reinterpret_cast<Chunk*>(oldTop);
    size_t psize = recordChunk - oldTop;
    setFreeWithPrevInUse(q, psize, chunkAt(q, psize));
    insertChunk(q, psize);
  }
}

void* growAndAllocate(size_t nb) {
  if ((_heap.flags & HEAP_FLAG_USE_MMAP) && nb >= _heapParams.mmapThreshold) {
    if (void* mem = mapChunk(nb)) return mem;
  }
  const size_t g = _heapParams.granularity;
  size_t size = (nb + kTopFoot + 1 + g) & ~(g - 1);
  if (size <= nb) return nullptr;
  char* base =
      static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (!base) return nullptr;
  countFootprint(size);

  if (_heap.top == nullptr) {
    _heap.seg.base = base;
    _heap.seg.size = size;
    _heap.seg.flags = HEAP_SEGMENT_FROM_SYSTEM;
    _heap.seg.next = nullptr;
    if (_heap.leastAddr == nullptr || base < _heap.leastAddr) _heap.leastAddr = base;
    _heap.magic = _heapParams.magic;
    initBins();
    initTop(reinterpret_cast<Chunk*>(base), size - kTopFoot);
  } else {
    HeapSegment* sp = &_heap.seg;
    while (sp && base != sp->base + sp->size) sp = sp->next;
    if (sp && joinable(sp) && segmentHolds(sp, _heap.top)) {
      sp->size += size;
      initTop(_heap.top, _heap.topSize + size);
    } else {
      if (base < _heap.leastAddr) _heap.leastAddr = base;
      sp = &_heap.seg;
      while (sp && sp->base != base + size) sp = sp->next;
      if (sp && joinable(sp)) {
        char* oldBase = sp->base;
        sp->base = base;
        sp->size += size;
        return prependChunk(base, oldBase, nb);
      }
      addSegment(base, size);
    }
  }

  return nb < _heap.topSize ? takeFromTop(nb) : nullptr;
}

// Older segments whose whole space is one free chunk go back to the system.
size_t releaseUnusedSegments() {
  size_t released = 0;
  HeapSegment* pred = &_heap.seg;
  HeapSegment* sp = pred->next;
  while (sp) {
    char* base = sp->base;
    size_t size = sp->size;
    HeapSegment* next = sp->next;
    if (joinable(sp)) {
      Chunk* p = alignAsChunk(base);
      size_t psize = chunkSize(p);
      if (!inUse(p) && reinterpret_cast<char*>(p) + psize >= base + size - kTopFoot) {
        bool wasVictim = p == _heap.dv;
        if (wasVictim) {
          _heap.dv = nullptr;
          _heap.dvSize = 0;
        } else {
          unlinkChunk(p, psize);
        }
        if (releaseRegion(base, size)) {
          released += size;
          _heap.footprint -= size;
          pred->next = next;  // the record lived in the released segment
          sp = next;
          continue;
        }
        insertChunk(p, psize);
      }
    }
    pred = sp;
    sp = next;
  }
  return released;
}

int trimLocked(size_t pad) {
  size_t released = 0;
  if (pad >= kMaxRequest || _heap.top == nullptr) return 0;
  pad += kTopFoot;
  if (_heap.topSize > pad) {
    const size_t unit = _heapParams.granularity;
    size_t extra = ((_heap.topSize - pad + (unit - 1)) / unit - 1) * unit;
    HeapSegment* sp = segmentHolding(_heap.top);
    if (extra != 0 && joinable(sp) && sp->size >= extra && !holdsSegmentRecord(sp)) {
      if (releaseRegion(sp->base + sp->size - extra, extra)) released = extra;
    }
    if (released != 0) {
      sp->size -= released;
      _heap.footprint -= released;
      initTop(_heap.top, _heap.topSize - released);
    }
  }
  released += releaseUnusedSegments();
  if (released == 0) _heap.trimCheck = kMaxSize;
  return released != 0 ? 1 : 0;
}

// ---- allocation from the bins -------------------------------------------------------------

// Serves nb bytes from tree chunk v, which is rsize bytes larger. A remainder too small to be a
// chunk stays with the block; a larger one becomes the designated victim (for small requests,
// whose next neighbours are likely to want it) or goes to its bin.
void* takeTreeChunk(TreeChunk* v, size_t nb, size_t rsize, bool remainderToVictim) {
  Chunk* r = chunkAt(v, nb);
  if (!okAddress(v) || !okNext(v, r)) corruptionFound();
  unlinkLarge(v);
  Chunk* vc = reinterpret_cast<Chunk*>(v);
  if (rsize < kMinChunk) {
    setInUseAndPrevInUse(vc, rsize + nb);
  } else {
    setInUseSize(vc, nb);
    setFreeSize(r, rsize);
    if (remainderToVictim)
      replaceVictim(r, rsize);
    else
      insertChunk(r, rsize);
  }
  return chunkToMem(v);
}

// Best fit among the tree bins for a large request; null when the designated victim fits better.
void* allocateLarge(size_t nb) {
  TreeChunk* v = nullptr;
  size_t rsize = 0u - nb;
  uint32_t idx = treeIndex(nb);
  TreeChunk* t = *treeBinAt(idx);
  if (t) {
    size_t bits = nb << treeShiftFor(idx);
    TreeChunk* deepestRight = nullptr;  // least subtree holding sizes above nb, if any
    for (;;) {
      size_t trem = chunkSize(t) - nb;
      if (trem < rsize) {
        v = t;
        if ((rsize = trem) == 0) break;
      }
      TreeChunk* rt = t->child[1];
      t = t->child[(bits >> 31) & 1];
      if (rt && rt != t) deepestRight = rt;
      if (!t) {
        t = deepestRight;
        break;
      }
      bits <<= 1;
    }
  }
  if (!t && !v) {
    uint32_t left = bitsLeftOf(bitOf(idx)) & _heap.treeMap;
    if (left) t = *treeBinAt(bitIndex(lowestBit(left)));
  }
  while (t) {
    size_t trem = chunkSize(t) - nb;
    if (trem < rsize) {
      rsize = trem;
      v = t;
    }
    t = leftmostChild(t);
  }
  if (!v || rsize >= _heap.dvSize - nb) return nullptr;
  return takeTreeChunk(v, nb, rsize, false);
}

// A small request that no small bin can serve: the smallest tree chunk, remainder to the victim.
void* allocateSmallFromTree(size_t nb) {
  uint32_t i = bitIndex(lowestBit(_heap.treeMap));
  TreeChunk* v = *treeBinAt(i);
  TreeChunk* t = v;
  size_t rsize = chunkSize(t) - nb;
  while ((t = leftmostChild(t)) != nullptr) {
    size_t trem = chunkSize(t) - nb;
    if (trem < rsize) {
      rsize = trem;
      v = t;
    }
  }
  return takeTreeChunk(v, nb, rsize, true);
}

void* mallocLocked(size_t bytes) {
  size_t nb;
  if (bytes <= kMaxSmallRequest) {
    nb = requestToSize(bytes);
    uint32_t idx = smallIndex(nb);
    uint32_t smallBits = _heap.smallMap >> idx;
    if (smallBits & 3u) {
      // An exact fit, or one 8 bytes larger: no remainder worth keeping.
      idx += ~smallBits & 1u;
      Chunk* bin = smallBinAt(idx);
      Chunk* p = bin->fd;
      unlinkFirstSmall(bin, p, idx);
      setInUseAndPrevInUse(p, smallIndexToSize(idx));
      return chunkToMem(p);
    }
    if (nb > _heap.dvSize) {
      if (smallBits != 0) {
        uint32_t left = (smallBits << idx) & bitsLeftOf(bitOf(idx));
        uint32_t i = bitIndex(lowestBit(left));
        Chunk* bin = smallBinAt(i);
        Chunk* p = bin->fd;
        unlinkFirstSmall(bin, p, i);
        size_t rsize = smallIndexToSize(i) - nb;  // at least 16: bins idx and idx+1 were empty
        setInUseSize(p, nb);
        Chunk* r = chunkAt(p, nb);
        setFreeSize(r, rsize);
        replaceVictim(r, rsize);
        return chunkToMem(p);
      }
      if (_heap.treeMap != 0) {
        if (void* mem = allocateSmallFromTree(nb)) return mem;
      }
    }
  } else if (bytes >= kMaxRequest) {
    nb = kMaxSize;  // fails below: nothing is that large
  } else {
    nb = padRequest(bytes);
    if (_heap.treeMap != 0) {
      if (void* mem = allocateLarge(nb)) return mem;
    }
  }

  if (nb <= _heap.dvSize) {
    size_t rsize = _heap.dvSize - nb;
    Chunk* p = _heap.dv;
    if (rsize >= kMinChunk) {
      Chunk* r = _heap.dv = chunkAt(p, nb);
      _heap.dvSize = rsize;
      setFreeSize(r, rsize);
      setInUseSize(p, nb);
    } else {
      size_t dvs = _heap.dvSize;
      _heap.dvSize = 0;
      _heap.dv = nullptr;
      setInUseAndPrevInUse(p, dvs);
    }
    return chunkToMem(p);
  }
  if (nb < _heap.topSize) return takeFromTop(nb);
  return growAndAllocate(nb);
}

void freeLocked(void* mem) {
  Chunk* p = memToChunk(mem);
  if (!okAddress(p) || !inUse(p)) usageError();
  size_t psize = chunkSize(p);
  Chunk* next = chunkAt(p, psize);
  if (!prevInUse(p)) {
    size_t prevSize = p->prevFoot;
    if (prevSize & kMappedBit) {
      prevSize &= ~kMappedBit;
      psize += prevSize + kMappedFoot;
      if (releaseRegion(reinterpret_cast<char*>(p) - prevSize, psize)) _heap.footprint -= psize;
      return;
    }
    Chunk* prev = chunkBefore(p, prevSize);
    psize += prevSize;
    p = prev;
    if (!okAddress(prev)) usageError();
    if (p != _heap.dv) {
      unlinkChunk(p, prevSize);
    } else if ((next->head & kInUseBits) == kInUseBits) {
      _heap.dvSize = psize;
      setFreeWithPrevInUse(p, psize, next);
      return;
    }
  }
  if (!okNext(p, next) || !prevInUse(next)) usageError();
  if (!inUse(next)) {
    if (next == _heap.top) {
      size_t tsize = _heap.topSize += psize;
      _heap.top = p;
      p->head = tsize | kPrevInUse;
      if (p == _heap.dv) {
        _heap.dv = nullptr;
        _heap.dvSize = 0;
      }
      if (tsize > _heap.trimCheck) trimLocked(0);
      return;
    }
    if (next == _heap.dv) {
      size_t dsize = _heap.dvSize += psize;
      _heap.dv = p;
      setFreeSize(p, dsize);
      return;
    }
    size_t nsize = chunkSize(next);
    psize += nsize;
    unlinkChunk(next, nsize);
    setFreeSize(p, psize);
    if (p == _heap.dv) {
      _heap.dvSize = psize;
      return;
    }
  } else {
    setFreeWithPrevInUse(p, psize, next);
  }
  insertChunk(p, psize);
}

// ---- initialisation and locking -----------------------------------------------------------

void spinAcquire(LONG volatile* word) {
  while (InterlockedCompareExchange(word, 1, 0) != 0) Sleep(0);
}
void spinRelease(LONG volatile* word) { InterlockedExchange(word, 0); }

void initParams() {
  _heapParams.mmapThreshold = kDefaultMmapThreshold;
  _heapParams.trimThreshold = kDefaultTrimThreshold;
  _heapParams.defaultFlags = HEAP_FLAG_USE_MMAP | HEAP_FLAG_USE_LOCK | HEAP_FLAG_NONCONTIGUOUS;
  spinAcquire(&_heapInitLock);
  if (_heapParams.magic == 0) {
    _heapParams.magic = kMagic;
    _heap.lock = 0;
    _heap.flags = _heapParams.defaultFlags;
  }
  spinRelease(&_heapInitLock);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  _heapParams.granularity = info.dwAllocationGranularity;
  // Last: a non-zero page size is what marks the parameters as ready.
  _heapParams.pageSize = info.dwPageSize;
  const uint32_t g = _heapParams.granularity, page = _heapParams.pageSize;
  if ((g & (g - 1)) != 0 || (page & (page - 1)) != 0) abort();
}

inline void ensureInit() {
  if (_heapParams.pageSize == 0) initParams();
}

// Every locking operation starts here: parameters first, outside the lock, so that the two spin
// locks are never held together.
inline void enter() {
  ensureInit();
  if (_heap.flags & HEAP_FLAG_USE_LOCK) spinAcquire(&_heap.lock);
}
inline void leave() {
  if (_heap.flags & HEAP_FLAG_USE_LOCK) spinRelease(&_heap.lock);
}

// Cuts an in-use chunk of `size` bytes down to nb and makes the rest an in-use chunk of its own;
// returns that rest's block, for the caller to free once it has released the lock.
void* splitOffTail(Chunk* p, size_t nb, size_t size) {
  Chunk* rest = chunkAt(p, nb);
  setInUse(p, nb);
  setInUse(rest, size - nb);
  return chunkToMem(rest);
}

// Carves the elements (and, without a caller's array, the pointer array) out of one chunk taken
// from a segment: each element then frees and resizes as a block of its own.
void** allocateIndependent(size_t count, const size_t* sizes, bool sameSize, bool clear,
                           void** chunks) {
  void** array;
  size_t arraySize;
  if (chunks) {
    if (count == 0) return chunks;
    array = chunks;
    arraySize = 0;
  } else {
    if (count == 0) return static_cast<void**>(heap_malloc(0));
    array = nullptr;
    if (count >= kMaxRequest / sizeof(void*)) return nullptr;
    arraySize = requestToSize(count * sizeof(void*));
  }
  // The element sizes are added up in 64 bits so that a total beyond the largest request is
  // refused instead of wrapping into a small allocation.
  size_t elementSize = 0;
  unsigned long long contents;
  if (sameSize) {
    if (sizes[0] >= kMaxRequest) return nullptr;
    elementSize = requestToSize(sizes[0]);
    contents = static_cast<unsigned long long>(count) * elementSize;
  } else {
    contents = 0;
    for (size_t i = 0; i != count; ++i) {
      if (sizes[i] >= kMaxRequest) return nullptr;
      contents += requestToSize(sizes[i]);
    }
  }
  if (contents + arraySize >= kMaxRequest) return nullptr;
  const size_t contentsSize = static_cast<size_t>(contents);
  const size_t total = contentsSize + arraySize;

  enter();
  const uint32_t savedFlags = _heap.flags;
  _heap.flags &= ~HEAP_FLAG_USE_MMAP;  // a mapped aggregate could not be freed piecewise
  void* mem = mallocLocked(total - kChunkOverhead);
  _heap.flags = savedFlags;
  if (!mem) {
    leave();
    return nullptr;
  }
  Chunk* p = memToChunk(mem);
  size_t remaining = chunkSize(p);
  if (clear) memset(mem, 0, remaining - sizeof(size_t) - arraySize);
  if (!array) {
    Chunk* arrayChunk = chunkAt(p, contentsSize);
    array = static_cast<void**>(chunkToMem(arrayChunk));
    setInUseSize(arrayChunk, remaining - contentsSize);
    remaining = contentsSize;
  }
  for (size_t i = 0;; ++i) {
    array[i] = chunkToMem(p);
    if (i == count - 1) {
      setInUseSize(p, remaining);  // the last element takes any slack
      break;
    }
    size_t size = elementSize ? elementSize : requestToSize(sizes[i]);
    remaining -= size;
    setInUseSize(p, size);
    p = chunkAt(p, size);
  }
  leave();
  return array;
}

// Statistics walk over every chunk of every segment; returns false while the heap holds nothing.
struct Totals {
  size_t total;
  size_t free;
  size_t freeChunks;
};
bool walkTotals(Totals* out) {
  if (_heap.top == nullptr) return false;
  out->free = out->total = _heap.topSize + kTopFoot;
  out->freeChunks = 1;
  for (HeapSegment* s = &_heap.seg; s; s = s->next) {
    Chunk* q = alignAsChunk(s->base);
    while (segmentHolds(s, q) && q != _heap.top && q->head != kFencepost) {
      size_t sz = chunkSize(q);
      out->total += sz;
      if (!inUse(q)) {
        out->free += sz;
        ++out->freeChunks;
      }
      q = nextChunk(q);
    }
  }
  return true;
}

}  // namespace

// ---- the operations -------------------------------------------------------------------------

void* heap_malloc(size_t bytes) {
  enter();
  void* mem = mallocLocked(bytes);
  leave();
  return mem;
}

void heap_free(void* mem) {
  if (!mem) return;
  enter();
  freeLocked(mem);
  leave();
}

void* heap_calloc(size_t count, size_t elementSize) {
  size_t request = 0;
  if (count != 0) {
    request = count * elementSize;
    if (((count | elementSize) & ~size_t{0xFFFF}) && request / count != elementSize)
      request = kMaxSize;
  }
  void* mem = heap_malloc(request);
  if (mem) memset(mem, 0, request);  // fresh regions are not assumed to be zero
  return mem;
}

void* heap_realloc(void* oldMem, size_t bytes) {
  if (!oldMem) return heap_malloc(bytes);
  if (bytes >= kMaxRequest) return nullptr;
  enter();
  Chunk* oldp = memToChunk(oldMem);
  if (!okAddress(oldp) || !inUse(oldp)) usageError();
  size_t oldSize = chunkSize(oldp);
  Chunk* next = chunkAt(oldp, oldSize);
  if (!okNext(oldp, next) || !prevInUse(next)) usageError();

  size_t nb = requestToSize(bytes);
  bool inPlace = false;
  void* surplus = nullptr;
  if (isMapped(oldp)) {
    // A mapped block keeps its region while the region stays a sensible fit.
    inPlace = !isSmall(nb) && oldSize >= nb + sizeof(size_t) &&
              oldSize - nb <= (_heapParams.granularity << 1);
  } else if (oldSize >= nb) {
    inPlace = true;
    if (oldSize - nb >= kMinChunk) surplus = splitOffTail(oldp, nb, oldSize);
  } else if (next == _heap.top && oldSize + _heap.topSize > nb) {
    size_t newTopSize = oldSize + _heap.topSize - nb;
    Chunk* newTop = chunkAt(oldp, nb);
    setInUse(oldp, nb);
    newTop->head = newTopSize | kPrevInUse;
    _heap.top = newTop;
    _heap.topSize = newTopSize;
    inPlace = true;
  }
  leave();

  if (inPlace) {
    heap_free(surplus);
    return oldMem;
  }
  void* newMem = heap_malloc(bytes);
  if (newMem) {
    size_t usable = oldSize - overheadFor(oldp);
    memcpy(newMem, oldMem, usable < bytes ? usable : bytes);
    heap_free(oldMem);
  }
  return newMem;
}

void* heap_memalign(size_t alignment, size_t bytes) {
  if (alignment <= 8) return heap_malloc(bytes);
  if (alignment < kMinChunk) alignment = kMinChunk;
  // No power of two above 2^31 fits in 32 bits: the rounding below would wrap to 0 and never end.
  if (alignment > kMaxAlignment) return nullptr;
  if ((alignment & (alignment - 1)) != 0) {
    size_t a = kMinChunk;
    while (a < alignment) a <<= 1;
    alignment = a;
  }
  if (bytes >= kMaxRequest - alignment) return nullptr;
  size_t nb = requestToSize(bytes);
  size_t request = nb + alignment + kMinChunk - kChunkOverhead;
  char* mem = static_cast<char*>(heap_malloc(request));
  if (!mem) return nullptr;

  void* leader = nullptr;
  void* trailer = nullptr;
  Chunk* p = memToChunk(mem);
  enter();
  if (reinterpret_cast<size_t>(mem) % alignment != 0) {
    // First aligned spot that leaves room for a free chunk before it.
    char* spot = reinterpret_cast<char*>(memToChunk(reinterpret_cast<void*>(
        (reinterpret_cast<size_t>(mem) + alignment - 1) & (0u - alignment))));
    char* pos = static_cast<size_t>(spot - reinterpret_cast<char*>(p)) >= kMinChunk
                    ? spot
                    : spot + alignment;
    Chunk* newp = reinterpret_cast<Chunk*>(pos);
    size_t leadSize = pos - reinterpret_cast<char*>(p);
    size_t newSize = chunkSize(p) - leadSize;
    if (isMapped(p)) {
      newp->prevFoot = p->prevFoot + leadSize;
      newp->head = newSize | kInUse;
    } else {
      setInUse(newp, newSize);
      setInUse(p, leadSize);
      leader = chunkToMem(p);
    }
    p = newp;
  }
  if (!isMapped(p)) {
    size_t size = chunkSize(p);
    if (size > nb + kMinChunk) trailer = splitOffTail(p, nb, size);
  }
  leave();
  heap_free(leader);
  heap_free(trailer);
  return chunkToMem(p);
}

void** heap_independent_calloc(size_t count, size_t elementSize, void** chunks) {
  size_t size = elementSize;
  return allocateIndependent(count, &size, true, true, chunks);
}

void** heap_independent_comalloc(size_t count, size_t* sizes, void** chunks) {
  return allocateIndependent(count, sizes, false, false, chunks);
}

void* heap_valloc(size_t bytes) {
  ensureInit();
  return heap_memalign(_heapParams.pageSize, bytes);
}

void* heap_pvalloc(size_t bytes) {
  ensureInit();
  const size_t page = _heapParams.pageSize;
  // Rounding a count in the last page of the address space up to whole pages would wrap to a
  // small size.
  if (bytes > 0u - page) return nullptr;
  return heap_memalign(page, (bytes + page - 1) & ~(page - 1));
}

int heap_trim(size_t pad) {
  enter();
  int result = trimLocked(pad);
  leave();
  return result;
}

size_t heap_footprint() { return _heap.footprint; }

size_t heap_max_footprint() { return _heap.maxFootprint; }

HeapInfo heap_mallinfo() {
  HeapInfo info;
  memset(&info, 0, sizeof info);
  enter();
  Totals t;
  if (walkTotals(&t)) {
    info.arena = t.total;
    info.ordblks = t.freeChunks;
    info.hblkhd = _heap.footprint - t.total;
    info.usmblks = _heap.maxFootprint;
    info.uordblks = _heap.footprint - t.free;
    info.fordblks = t.free;
    info.keepcost = _heap.topSize;
  }
  leave();
  return info;
}

void heap_stats() {
  enter();
  size_t maxFp = 0, fp = 0, used = 0;
  Totals t;
  if (walkTotals(&t)) {
    maxFp = _heap.maxFootprint;
    fp = _heap.footprint;
    used = fp - t.free;
  }
  fprintf(stderr, "max system bytes = %10lu\n", static_cast<unsigned long>(maxFp));
  fprintf(stderr, "system bytes     = %10lu\n", static_cast<unsigned long>(fp));
  fprintf(stderr, "in use bytes     = %10lu\n", static_cast<unsigned long>(used));
  leave();
}

int heap_mallopt(int parameter, int value) {
  const uint32_t v = static_cast<uint32_t>(value);
  ensureInit();
  switch (parameter) {
    case HEAP_TRIM_THRESHOLD: _heapParams.trimThreshold = v; return 1;
    case HEAP_GRANULARITY:
      if (v >= _heapParams.pageSize && (v & (v - 1)) == 0) {
        _heapParams.granularity = v;
        return 1;
      }
      return 0;
    case HEAP_MMAP_THRESHOLD: _heapParams.mmapThreshold = v; return 1;
    default: return 0;
  }
}

size_t heap_usable_size(void* mem) {
  if (mem) {
    Chunk* p = memToChunk(mem);
    if (inUse(p)) return chunkSize(p) - overheadFor(p);
  }
  return 0;
}

const HeapState& heapStateForTesting() { return _heap; }
const HeapParams& heapParamsForTesting() { return _heapParams; }
void heapLockForTesting() { enter(); }
void heapUnlockForTesting() { leave(); }

}  // namespace quor
