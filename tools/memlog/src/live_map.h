// The blocks live at a moment of a replay, by address. On a big log this table outgrows the caches
// and takes an insertion or a removal per event, so it is built for that: the addresses sit in
// buckets of one cache line (fifteen addresses and a flag word), searched with a few vector
// compares, and a removal only clears its address: nothing moves. The blocks lie apart, one per
// address way, so a lookup reads one line of addresses and, when found, one block.
#ifndef QUORKIT_MEMLOG_LIVE_MAP_H
#define QUORKIT_MEMLOG_LIVE_MAP_H

#include <cstddef>
#include <cstdint>

#include "zeroed_array.h"

#ifdef __SSE2__  // every x86-64 host, and 32-bit builds that enable it
#include <emmintrin.h>
#endif

namespace memlog {

struct LiveBlock {  // kept small: one per live block
  uint64_t event = 0;
  uint32_t size = 0;
  uint32_t stack = 0;
  uint32_t id = 0;
  uint16_t region = 0;
  uint8_t code = 0;
};

class LiveMap {
 public:
  LiveMap() : buckets_(kFirstBuckets), blocks_(kFirstBuckets * kWays) {}
  LiveBlock* find(uint32_t address) {
    if (address == 0) return hasZero_ ? &zeroBlock_ : nullptr;
    const size_t slot = locate(address);
    return slot == kNone ? nullptr : &blocks_[slot];
  }
  const LiveBlock* find(uint32_t address) const {
    return const_cast<LiveMap*>(this)->find(address);
  }
  void insert(uint32_t address, const LiveBlock& block);  // the address must not be present
  void erase(uint32_t address);                           // the address must be present
  // The block at the address, or with fresh set a new one there for the caller to fill. The
  // usual case, an address absent and its home bucket with a free way, is settled here with one
  // look at that bucket.
  LiveBlock& findOrAdd(uint32_t address, bool& fresh) {
    if (address != 0) {
      const size_t b = home(address);
      Bucket& bucket = buckets_[b];
      if (const uint32_t ways = waysHolding(bucket, address)) {
        fresh = false;
        return blocks_[b * kWays + size_t(__builtin_ctz(ways))];
      }
      const uint32_t free = waysHolding(bucket, 0);
      if (free && !bucket.word[kWays] && count_ < growAt_) {
        fresh = true;
        const uint32_t way = uint32_t(__builtin_ctz(free));
        bucket.word[way] = address;
        ++count_;
        return blocks_[b * kWays + way];
      }
    }
    return findOrAddFurther(address, fresh);
  }
  // Removes the block at the address and returns it, or null when there is none. The block stays
  // readable until the next insertion.
  const LiveBlock* remove(uint32_t address) {
    const size_t slot = address ? locate(address) : kNone;
    if (slot == kNone) return address == 0 ? removeZero() : nullptr;
    buckets_[slot / kWays].word[slot % kWays] = 0;
    --count_;
    return &blocks_[slot];
  }
  size_t size() const { return count_ + (hasZero_ ? 1 : 0); }

  // For a lookup some events later: the line of the address's home bucket.
  void prefetch(uint32_t address) const { __builtin_prefetch(&buckets_[home(address)]); }

  template <typename F>
  void forEach(F f) const {
    if (hasZero_) f(uint32_t{0}, zeroBlock_);
    for (size_t b = 0; b < buckets_.size(); ++b)
      for (uint32_t w = 0; w < kWays; ++w)
        if (buckets_[b].word[w]) f(buckets_[b].word[w], blocks_[b * kWays + w]);
  }

 private:
  static constexpr uint32_t kWays = 15;  // addresses to a bucket; its 16th word is the flag
  static constexpr size_t kFirstBuckets = 64;
  static constexpr size_t kNone = ~size_t{0};
  struct alignas(64) Bucket {
    // Addresses, 0 for a free way; word[kWays] is nonzero once an address whose home is this
    // bucket was placed further on, so a search goes on past it.
    uint32_t word[kWays + 1];
  };
  size_t home(uint32_t address) const {
    return size_t((address * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  static uint32_t waysHolding(const Bucket& bucket, uint32_t address);
  // bucket * kWays + way of a nonzero address, or kNone.
  size_t locate(uint32_t address) const {
    size_t b = home(address);
    for (size_t seen = 0; seen < buckets_.size(); ++seen, b = (b + 1) & mask_) {
      const Bucket& bucket = buckets_[b];
      if (const uint32_t ways = waysHolding(bucket, address))
        return b * kWays + size_t(__builtin_ctz(ways));
      if (!bucket.word[kWays]) break;
    }
    return kNone;
  }
  LiveBlock& findOrAddFurther(uint32_t address, bool& fresh);
  size_t place(uint32_t address);  // a free way for an absent address
  const LiveBlock* removeZero();
  void rebuild(size_t buckets);

  ZeroedArray<Bucket> buckets_;
  ZeroedArray<LiveBlock> blocks_;  // kWays per bucket, in step with their addresses
  // Address 0 marks a free way, so a block at address 0 (only a damaged log has one) is kept
  // apart.
  LiveBlock zeroBlock_;
  bool hasZero_ = false;
  size_t count_ = 0;       // addresses in buckets
  size_t overflowed_ = 0;  // buckets whose flag is set
  // Grown at three fifths of the ways: a bucket then rarely overflows.
  size_t growAt_ = kFirstBuckets * kWays * 3 / 5;
  size_t mask_ = kFirstBuckets - 1;
  unsigned shift_ = 64 - 6;  // keeps the top log2(buckets) bits of the product
  static_assert(kFirstBuckets == size_t(1) << 6, "shift_ starts at 64 - log2(kFirstBuckets)");
};

// A bit per way whose address is the one asked for (0 asks for the free ways).
inline uint32_t LiveMap::waysHolding(const Bucket& bucket, uint32_t address) {
  static_assert(kWays == 15, "four vectors of four words hold the ways and the flag");
  constexpr uint32_t kWayBits = (1u << kWays) - 1;  // drops the flag word's bit
#ifdef __SSE2__
  // Sixteen compares in four instructions, packed to one bit per word.
  const __m128i wanted = _mm_set1_epi32(int(address));
  const __m128i* words = reinterpret_cast<const __m128i*>(bucket.word);
  const __m128i low = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_load_si128(words), wanted),
                                      _mm_cmpeq_epi32(_mm_load_si128(words + 1), wanted));
  const __m128i high = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_load_si128(words + 2), wanted),
                                       _mm_cmpeq_epi32(_mm_load_si128(words + 3), wanted));
  return uint32_t(_mm_movemask_epi8(_mm_packs_epi16(low, high))) & kWayBits;
#else
  uint32_t ways = 0;
  for (uint32_t w = 0; w < kWays; ++w) ways |= uint32_t(bucket.word[w] == address) << w;
  return ways & kWayBits;
#endif
}

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_LIVE_MAP_H
