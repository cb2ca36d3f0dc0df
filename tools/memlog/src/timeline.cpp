#include "timeline.h"

#include <algorithm>

namespace memlog {

void Timeline::add(uint64_t liveBytes) {
  if (!buckets_.empty() && inLast_ < span_) {
    Bucket& b = buckets_.back();
    b.low = std::min(b.low, liveBytes);
    b.high = std::max(b.high, liveBytes);
    ++inLast_;
    return;
  }
  if (buckets_.size() == kMaxBuckets) mergePairs();
  buckets_.push_back(Bucket{liveBytes, liveBytes});
  inLast_ = 1;
}

// kMaxBuckets is even and every bucket is full when this runs, so the pairs are whole.
void Timeline::mergePairs() {
  for (size_t i = 0; i < buckets_.size() / 2; ++i) {
    const Bucket& x = buckets_[2 * i];
    const Bucket& y = buckets_[2 * i + 1];
    buckets_[i] = Bucket{std::min(x.low, y.low), std::max(x.high, y.high)};
  }
  buckets_.resize(buckets_.size() / 2);
  span_ *= 2;
}

}  // namespace memlog
