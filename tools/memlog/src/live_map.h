// The blocks live at a moment of a replay, by address. On a big log this table outgrows the caches
// and takes an insertion or a removal per event, so it is laid out for that. A bucket is one cache
// line holding four addresses with what a removal needs of their blocks (size, stack, region), so
// a release costs one line, found with one vector compare. The rest of a block (event, id,
// operation), needed only for the reports, lies apart and is only written during a replay.
#ifndef QUORKIT_MEMLOG_LIVE_MAP_H
#define QUORKIT_MEMLOG_LIVE_MAP_H

#include <cstddef>
#include <cstdint>

#include "zeroed_array.h"

#ifdef __SSE2__  // every x86-64 host, and 32-bit builds that enable it
#include <emmintrin.h>
#endif

namespace memlog {

struct LiveBlock {
  uint64_t event = 0;
  uint32_t size = 0;
  uint32_t stack = 0;
  uint32_t id = 0;
  uint16_t region = 0;
  uint8_t code = 0;
};

// What a block's removal needs of it: where its figures are kept.
struct LiveKeys {
  uint32_t size;
  uint32_t stack;
  uint16_t region;
};

class LiveMap {
 public:
  LiveMap() : buckets_(kFirstBuckets), rest_(kFirstBuckets * kWays) {}

  // The block at the address into out; false when there is none.
  bool find(uint32_t address, LiveBlock& out) const;
  // Puts the block at the address. When one was there already it is replaced, and handed back in
  // old with true.
  bool put(uint32_t address, const LiveBlock& block, LiveBlock& old) {
    const size_t b = home(address);
    Bucket& bucket = buckets_[b];
    const uint32_t free = waysHolding(bucket, 0);
    if (address == 0 || waysHolding(bucket, address) || !free || bucket.further ||
        count_ >= growAt_)
      return putFurther(address, block, old);
    fill(b, uint32_t(__builtin_ctz(free)), address, block);
    ++count_;
    return false;
  }
  // Removes the block at the address, handing back what its figures need; false when there is
  // none.
  bool remove(uint32_t address, LiveKeys& out) {
    const size_t b = home(address);
    Bucket& bucket = buckets_[b];
    const uint32_t ways = waysHolding(bucket, address);
    if (address == 0 || !ways) return removeFurther(address, out);
    const uint32_t w = uint32_t(__builtin_ctz(ways));
    out = {bucket.size[w], bucket.stack[w], bucket.region[w]};
    bucket.address[w] = 0;
    --count_;
    return true;
  }
  size_t size() const { return count_ + (hasZero_ ? 1 : 0); }

  // For a step some events later, whose lookups would miss the caches: its address's bucket...
  void prefetch(uint32_t address) const { __builtin_prefetch(&buckets_[home(address)]); }
  // ...and once that has come, the stack of the block at the address when it lies in its home
  // bucket (null otherwise: a hint, not an answer).
  const uint32_t* stackHint(uint32_t address) const {
    const Bucket& bucket = buckets_[home(address)];
    const uint32_t ways = address ? waysHolding(bucket, address) : 0;
    return ways ? &bucket.stack[__builtin_ctz(ways)] : nullptr;
  }

  template <typename F>
  void forEach(F f) const {
    if (hasZero_) f(uint32_t{0}, zeroBlock_);
    for (size_t b = 0; b < buckets_.size(); ++b)
      for (uint32_t w = 0; w < kWays; ++w)
        if (buckets_[b].address[w]) f(buckets_[b].address[w], blockAt(b, w));
  }

 private:
  static constexpr uint32_t kWays = 4;
  static constexpr size_t kFirstBuckets = 256;
  static constexpr uint8_t kFurtherStuck = UINT8_MAX;  // a count that no longer goes down
  struct alignas(64) Bucket {
    uint32_t address[kWays];  // 0: a free way
    uint32_t size[kWays];
    uint32_t stack[kWays];
    uint16_t region[kWays];
    // Addresses that went past this bucket, full when they came, to a later one: a search goes
    // on past a bucket only while this is nonzero.
    uint8_t further;
  };
  static_assert(sizeof(Bucket) == 64, "a bucket is one cache line");
  struct Rest {  // the rest of a block
    uint64_t event;
    uint32_t id;
    uint8_t code;
  };
  size_t home(uint32_t address) const {
    return size_t((address * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  static uint32_t waysHolding(const Bucket& bucket, uint32_t address);
  // The bucket and way of a nonzero address, false when it is absent.
  bool locate(uint32_t address, size_t& bucket, uint32_t& way) const;
  void fill(size_t bucket, uint32_t way, uint32_t address, const LiveBlock& block);
  LiveBlock blockAt(size_t bucket, uint32_t way) const;
  static LiveBlock blockOf(const Bucket& bucket, const Rest& rest, uint32_t way);
  bool putFurther(uint32_t address, const LiveBlock& block, LiveBlock& old);
  bool removeFurther(uint32_t address, LiveKeys& out);
  void place(uint32_t address, const LiveBlock& block);
  void countFurther(uint32_t address, size_t bucket, int change);
  void rebuild(size_t buckets);

  ZeroedArray<Bucket> buckets_;
  ZeroedArray<Rest> rest_;  // kWays per bucket, in step with their ways
  // Address 0 marks a free way, so a block at address 0 (only a damaged log has one) is kept
  // apart.
  LiveBlock zeroBlock_;
  bool hasZero_ = false;
  size_t count_ = 0;  // addresses in buckets
  size_t stuck_ = 0;  // buckets whose further count no longer goes down
  // Grown at half the ways: few buckets then overflow.
  size_t growAt_ = kFirstBuckets * kWays / 2;
  size_t mask_ = kFirstBuckets - 1;
  unsigned shift_ = 64 - 8;  // keeps the top log2(buckets) bits of the product
  static_assert(kFirstBuckets == size_t(1) << 8, "shift_ starts at 64 - log2(kFirstBuckets)");
};

inline void LiveMap::fill(size_t b, uint32_t w, uint32_t address, const LiveBlock& block) {
  Bucket& bucket = buckets_[b];
  bucket.address[w] = address;
  bucket.size[w] = block.size;
  bucket.stack[w] = block.stack;
  bucket.region[w] = block.region;
  rest_[b * kWays + w] = {block.event, block.id, block.code};
}
// A bit per way whose address is the one asked for (0 asks for the free ways).
inline uint32_t LiveMap::waysHolding(const Bucket& bucket, uint32_t address) {
  static_assert(kWays == 4, "one vector holds a bucket's addresses");
#ifdef __SSE2__
  const __m128i addresses = _mm_load_si128(reinterpret_cast<const __m128i*>(bucket.address));
  const __m128i equal = _mm_cmpeq_epi32(addresses, _mm_set1_epi32(int(address)));
  return uint32_t(_mm_movemask_ps(_mm_castsi128_ps(equal)));
#else
  uint32_t ways = 0;
  for (uint32_t w = 0; w < kWays; ++w) ways |= uint32_t(bucket.address[w] == address) << w;
  return ways;
#endif
}

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_LIVE_MAP_H
