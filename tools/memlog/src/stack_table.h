// Distinct call stacks, each stored once, with the hash that finds them.
#ifndef QUORKIT_MEMLOG_STACK_TABLE_H
#define QUORKIT_MEMLOG_STACK_TABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zeroed_array.h"

namespace memlog {

// Distinct call stacks, each stored once; id 0.. in order of first appearance. A lookup probes a
// compact index of hashes and ids, kept at most a quarter full so that probes rarely go past their
// home, and confirms a matching hash against the stack's head: its length and first frames on one
// cache line, so a stack of up to kInline frames needs no visit to the pool.
class StackTable {
 public:
  static constexpr uint32_t kInline = 15;  // frames a head holds itself

  StackTable() : index_(kFirstSlots) {}
  static inline uint32_t hash(const uint32_t* frames, uint32_t count);
  uint32_t intern(const uint32_t* frames, uint32_t count) {
    return intern(frames, count, hash(frames, count));
  }
  uint32_t intern(const uint32_t* frames, uint32_t count, uint32_t hash) {
    const size_t mask = index_.size() - 1;  // kept apart: the loop reads no member
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const uint64_t slot = index_[i];
      if (slot == 0) return add(frames, count, hash);
      const uint32_t id = uint32_t(slot >> 32) - 1;
      if (uint32_t(slot) == hash && matches(id, frames, count)) return id;
    }
  }
  uint32_t size() const { return uint32_t(starts_.size()); }
  // Starts loading the home slot of a hash, for an intern some events later.
  void prefetch(uint32_t hash) const { __builtin_prefetch(&index_[hash & (index_.size() - 1)]); }
  const uint32_t* frames(uint32_t id) const { return pool_.data() + starts_[id]; }
  uint32_t frameCount(uint32_t id) const { return heads_[id].count; }

 private:
  static constexpr size_t kFirstSlots = 1024;
  struct alignas(64) Head {
    uint32_t count;
    uint32_t frame[kInline];
  };
  static_assert(sizeof(Head) == 64, "a head is one cache line");
  bool matches(uint32_t id, const uint32_t* frames, uint32_t count) const {
    const Head& head = heads_[id];
    if (head.count != count) return false;
    return count <= kInline ? sameFrames(head.frame, frames, count)
                            : matchesLong(id, frames, count);
  }
  bool matchesLong(uint32_t id, const uint32_t* frames, uint32_t count) const;
  static uint64_t pairAt(const uint32_t* f) {
    uint64_t pair;
    memcpy(&pair, f, sizeof pair);
    return pair;
  }
  // Equality in fixed-size pieces, which the compiler turns into vector compares: no call, and
  // no branch per frame.
  static bool sameFrames(const uint32_t* x, const uint32_t* y, uint32_t n) {
    for (; n >= 8; n -= 8, x += 8, y += 8)
      if (memcmp(x, y, 32) != 0) return false;
    if (n & 4) {
      if (memcmp(x, y, 16) != 0) return false;
      x += 4;
      y += 4;
    }
    if (n & 2) {
      if (memcmp(x, y, 8) != 0) return false;
      x += 2;
      y += 2;
    }
    return !(n & 1) || *x == *y;
  }
  uint32_t add(const uint32_t* frames, uint32_t count, uint32_t hash);
  void grow();
  std::vector<uint32_t> pool_;
  std::vector<size_t> starts_;   // of each stack's frames in pool_, by id
  std::vector<Head> heads_;      // by id
  ZeroedArray<uint64_t> index_;  // hash | (id + 1) << 32, 0 when free; a power of two
};

// Frames in pairs into two independent multiply chains; the high half of a product depends on
// every bit below it. Equal hashes are always confirmed against the frames.
inline uint32_t StackTable::hash(const uint32_t* f, uint32_t n) {
  constexpr uint64_t kOdd = 0x9e3779b97f4a7c15ull, kOther = 0xc2b2ae3d27d4eb4full;
  uint64_t a = n, b = 0;
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {  // the usual stack, eight frames, in one round
    a = (a + pairAt(f + i)) * kOdd;
    b = (b + pairAt(f + i + 2)) * kOther;
    a = (a + pairAt(f + i + 4)) * kOdd;
    b = (b + pairAt(f + i + 6)) * kOther;
  }
  if (i + 4 <= n) {
    a = (a + pairAt(f + i)) * kOdd;
    b = (b + pairAt(f + i + 2)) * kOther;
    i += 4;
  }
  if (i + 2 <= n) {
    b = (b + pairAt(f + i)) * kOther;
    i += 2;
  }
  if (i < n) a = (a + f[i]) * kOdd;
  return uint32_t((a ^ (b >> 32 | b << 32)) * kOdd >> 32);
}

// Every frame address of every stack, sorted, each once: what symbolisation resolves.
std::vector<uint32_t> distinctFrames(const StackTable& stacks);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_STACK_TABLE_H
