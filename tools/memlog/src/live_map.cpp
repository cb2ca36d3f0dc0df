// Live blocks by address; see live_map.h.
#include "live_map.h"


namespace memlog {

// The first free way from the address's home on, flagging the full buckets passed. The table is
// never full (see findOrAddFurther), so there is one.
size_t LiveMap::place(uint32_t address) {
  for (size_t b = home(address);; b = (b + 1) & mask_) {
    Bucket& bucket = buckets_[b];
    if (const uint32_t free = waysHolding(bucket, 0)) {
      const uint32_t way = uint32_t(__builtin_ctz(free));
      bucket.word[way] = address;
      ++count_;
      return b * kWays + way;
    }
    if (!bucket.word[kWays]) {
      bucket.word[kWays] = 1;
      ++overflowed_;
    }
  }
}

void LiveMap::insert(uint32_t address, const LiveBlock& block) {
  bool fresh;
  findOrAdd(address, fresh) = block;
}

void LiveMap::erase(uint32_t address) { remove(address); }

// Everything the quick path of findOrAdd leaves: the block at address 0, a table to grow, an
// address whose home bucket overflowed. Flags stay set after their addresses go, so when many
// buckets carry one the table is rebuilt at its size, to keep searches to their home bucket.
LiveBlock& LiveMap::findOrAddFurther(uint32_t address, bool& fresh) {
  if (address == 0) {
    fresh = !hasZero_;
    hasZero_ = true;
    return zeroBlock_;
  }
  const size_t found = locate(address);
  fresh = found == kNone;
  if (!fresh) return blocks_[found];
  if (count_ >= growAt_)
    rebuild(buckets_.size() * 2);
  else if (overflowed_ * 8 > buckets_.size())
    rebuild(buckets_.size());
  return blocks_[place(address)];
}

const LiveBlock* LiveMap::removeZero() {
  if (!hasZero_) return nullptr;
  hasZero_ = false;
  return &zeroBlock_;
}

void LiveMap::rebuild(size_t buckets) {
  ZeroedArray<Bucket> oldBuckets(buckets);  // every way free, no flag
  ZeroedArray<LiveBlock> oldBlocks(buckets * kWays);
  oldBuckets.swap(buckets_);
  oldBlocks.swap(blocks_);
  for (size_t grown = buckets / oldBuckets.size(); grown > 1; grown /= 2) --shift_;
  mask_ = buckets - 1;
  growAt_ = buckets * kWays * 3 / 5;
  count_ = 0;
  overflowed_ = 0;
  for (size_t b = 0; b < oldBuckets.size(); ++b)
    for (uint32_t w = 0; w < kWays; ++w)
      if (const uint32_t address = oldBuckets[b].word[w])
        blocks_[place(address)] = oldBlocks[b * kWays + w];
}

}  // namespace memlog
