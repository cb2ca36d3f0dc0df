// Live blocks by address; see live_map.h.
#include "live_map.h"

namespace memlog {

bool LiveMap::locate(uint32_t address, size_t& bucket, uint32_t& way) const {
  size_t b = home(address);
  for (size_t seen = 0; seen < buckets_.size(); ++seen, b = (b + 1) & mask_) {
    const Bucket& here = buckets_[b];
    if (const uint32_t ways = waysHolding(here, address)) {
      bucket = b;
      way = uint32_t(__builtin_ctz(ways));
      return true;
    }
    if (!here.further) break;
  }
  return false;
}

bool LiveMap::find(uint32_t address, LiveBlock& out) const {
  if (address == 0) {
    if (hasZero_) out = zeroBlock_;
    return hasZero_;
  }
  size_t b;
  uint32_t w;
  if (!locate(address, b, w)) return false;
  out = blockAt(b, w);
  return true;
}

LiveBlock LiveMap::blockAt(size_t b, uint32_t w) const {
  return blockOf(buckets_[b], rest_[b * kWays + w], w);
}

LiveBlock LiveMap::blockOf(const Bucket& bucket, const Rest& rest, uint32_t w) {
  LiveBlock block;
  block.event = rest.event;
  block.size = bucket.size[w];
  block.stack = bucket.stack[w];
  block.id = rest.id;
  block.region = bucket.region[w];
  block.code = rest.code;
  return block;
}

// Everything put's quick path leaves: the block at address 0, an address already live, a table
// to grow, a home bucket that is full or overflowed.
bool LiveMap::putFurther(uint32_t address, const LiveBlock& block, LiveBlock& old) {
  if (address == 0) {
    const bool was = hasZero_;
    old = zeroBlock_;
    zeroBlock_ = block;
    hasZero_ = true;
    return was;
  }
  size_t b;
  uint32_t w;
  if (locate(address, b, w)) {
    old = blockAt(b, w);
    fill(b, w, address, block);
    return true;
  }
  if (count_ >= growAt_)
    rebuild(buckets_.size() * 2);
  else if (stuck_ * 8 > buckets_.size())
    rebuild(buckets_.size());
  place(address, block);
  return false;
}

// Into the first free way from the address's home on, counting it in the full buckets passed. The
// table is never full (see putFurther), so there is one.
void LiveMap::place(uint32_t address, const LiveBlock& block) {
  for (size_t b = home(address);; b = (b + 1) & mask_) {
    Bucket& bucket = buckets_[b];
    if (const uint32_t free = waysHolding(bucket, 0)) {
      fill(b, uint32_t(__builtin_ctz(free)), address, block);
      ++count_;
      return;
    }
    if (bucket.further == kFurtherStuck) continue;
    if (++bucket.further == kFurtherStuck) ++stuck_;
  }
}

// Everything remove's quick path leaves: address 0, an address that is not in its home bucket.
bool LiveMap::removeFurther(uint32_t address, LiveKeys& out) {
  if (address == 0) {
    if (!hasZero_) return false;
    hasZero_ = false;
    out = {zeroBlock_.size, zeroBlock_.stack, zeroBlock_.region};
    return true;
  }
  size_t b;
  uint32_t w;
  if (!locate(address, b, w)) return false;
  Bucket& bucket = buckets_[b];
  out = {bucket.size[w], bucket.stack[w], bucket.region[w]};
  bucket.address[w] = 0;
  --count_;
  // The buckets it went past no longer have it beyond them.
  for (size_t p = home(address); p != b; p = (p + 1) & mask_)
    if (buckets_[p].further != kFurtherStuck) --buckets_[p].further;
  return true;
}

void LiveMap::rebuild(size_t buckets) {
  ZeroedArray<Bucket> oldBuckets(buckets);  // every way free, no count
  ZeroedArray<Rest> oldRest(buckets * kWays);
  oldBuckets.swap(buckets_);
  oldRest.swap(rest_);
  for (size_t grown = buckets / oldBuckets.size(); grown > 1; grown /= 2) --shift_;
  mask_ = buckets - 1;
  growAt_ = buckets * kWays / 2;
  count_ = 0;
  stuck_ = 0;
  for (size_t b = 0; b < oldBuckets.size(); ++b) {
    const Bucket& bucket = oldBuckets[b];
    for (uint32_t w = 0; w < kWays; ++w) {
      if (bucket.address[w]) place(bucket.address[w], blockOf(bucket, oldRest[b * kWays + w], w));
    }
  }
}

}  // namespace memlog
