// The replay of shaped events: pairs allocations with releases and keeps every figure in log
// order; see analysis.h.
#include "analysis.h"

#include <algorithm>

namespace memlog {

RegionStats& Analysis::addRegion(uint16_t id) {
  regions_.emplace_back();
  regionIds_.push_back(id);
  regionSlot_[id] = uint32_t(regions_.size());
  return regions_.back();
}

std::vector<uint16_t> Analysis::regionIds() const {
  std::vector<uint16_t> ids = regionIds_;
  std::sort(ids.begin(), ids.end());
  return ids;
}

// A stack's figures at the global peak are its live figures then, which hold until it next
// changes. So they are copied at that change (or at the end), never when the peak moves: keeping
// them costs one comparison per change however often the peak moves.
inline void Analysis::keepPeak(StackStats& s) {
  if (s.peaksSeen == peaks_) return;
  s.atPeakBlocks = s.liveBlocks;
  s.atPeakBytes = s.liveBytes;
  s.peaksSeen = peaks_;
}

void Analysis::onEnd() {
  settle();
  makeStackStats(stacks.size());
  for (StackStats& s : stackStats) keepPeak(s);
}

void Analysis::onEvent(const Event& e) {
  settle();
  Step step;
  makeStep(step, e, stackOf(e, StackTable::hash(e.frames, e.frameCount)));
  makeStackStats(stacks.size());
  ++events;
  apply(step);
}

void Analysis::replayOnThread(void* analysis) {
  Analysis& a = *static_cast<Analysis*>(analysis);
  while (StepBatch* batch = a.pipe_->next()) {
    a.replay(*batch);
    a.pipe_->release();
  }
}

// The live map outgrows the caches, and so do the stacks' figures behind it: each step asks for the
// address bucket of a step further on, and, once that has come, for the figures of the stack the
// step will change, so that the misses overlap instead of following one another.
void Analysis::replay(StepBatch& batch) {
  makeStackStats(batch.stacks);
  const Step* steps = batch.steps;
  const size_t count = batch.count;
  events += count;
  constexpr size_t kBucketAhead = 16, kStackAhead = 8;
  for (size_t i = 0; i < count && i < kBucketAhead; ++i) live_.prefetch(steps[i].address);
  for (size_t i = 0; i < count; ++i) {
    if (i + kBucketAhead < count) live_.prefetch(steps[i + kBucketAhead].address);
    if (i + kStackAhead < count) prefetchStackOf(steps[i + kStackAhead]);
    apply(steps[i]);
  }
}

// A release changes the figures of its block's stack, an allocation those of its own; the address
// is live for the one and (nearly always) not for the other, so no test of the operation is needed.
inline void Analysis::prefetchStackOf(const Step& e) const {
  const uint32_t* live = live_.stackHint(e.address);
  const uint32_t stack = live ? *live : e.stack;
  if (stack < stackStats.size()) __builtin_prefetch(&stackStats[stack], 1);
}

// A block enters the live set: its stack's, region's and the run's live figures, and their
// high-water marks.
inline void Analysis::enter(StackStats& s, RegionStats& r, uint32_t size, uint64_t event) {
  keepPeak(s);
  s.liveBlocks += 1;
  s.liveBytes += size;
  if (s.liveBytes > s.peakLiveBytes) s.peakLiveBytes = s.liveBytes;
  r.liveBlocks += 1;
  r.liveBytes += size;
  if (r.liveBytes > r.peakBytes) {
    r.peakBytes = r.liveBytes;
    r.peakEvent = event;
  }
  liveBlocks += 1;
  liveBytes += size;
}

inline void Analysis::leave(const LiveKeys& b) {
  StackStats& s = stackStats[b.stack];
  RegionStats& r = region(b.region);
  keepPeak(s);
  s.liveBlocks -= 1;
  s.liveBytes -= b.size;
  r.liveBlocks -= 1;
  r.liveBytes -= b.size;
  liveBlocks -= 1;
  liveBytes -= b.size;
}

// The history of the blocks that contain the watched address: their allocation, release, and
// the reallocation that moved one away (the writer logs a moving realloc as the old block's
// release followed at once by the new block's allocation).
void Analysis::watchEvent(const Step& e) {
  bool sighted = e.address == watched_;
  if (isAllocation(e.code)) {
    const bool moved =
        e.code == MEMOP_REALLOC && lastWatchedRelease_ && e.number == lastWatchedRelease_ + 1;
    const bool contains =
        e.address <= watched_ && uint64_t(watched_) < uint64_t(e.address) + e.size;
    for (size_t i = 0; i < watchedLive.size(); ++i)
      if (watchedLive[i] == e.address) watchedLive.erase(watchedLive.begin() + long(i--));
    if (contains) watchedLive.push_back(e.address);
    sighted |= moved || contains;
  } else if (isRelease(e.code)) {
    for (size_t i = 0; i < watchedLive.size(); ++i) {
      if (watchedLive[i] != e.address) continue;
      watchedLive.erase(watchedLive.begin() + long(i));
      lastWatchedRelease_ = e.number;
      sighted = true;
      break;
    }
  }
  if (sighted)
    sightings.push_back({e.number, e.offset, e.code, e.id, e.address, e.size, e.region, e.stack});
}

inline void Analysis::apply(const Step& e) {
  ++opCounts[e.code < kOpCount ? e.code : 0];
  RegionStats& r = region(e.region);
  r.events += 1;
  if (watch_) watchEvent(e);
  if (isAllocation(e.code))
    allocate(e, r);
  else if (isRelease(e.code))
    release(e);
}

inline void Analysis::allocate(const Step& e, RegionStats& r) {
  StackStats& s = stackStats[e.stack];
  s.allocCalls += 1;
  s.allocBytes += e.size;
  const int bucket = histogramBucket(e.size);
  histCount[bucket] += 1;
  histBytes[bucket] += e.size;
  LiveBlock block, old;
  block.event = e.number;
  block.size = e.size;
  block.stack = e.stack;
  block.id = e.id;
  block.region = e.region;
  block.code = uint8_t(e.code);
  if (live_.put(e.address, block, old)) replaced(e, old);
  enter(s, r, e.size, e.number);
  if (liveBytes > peakBytes) {
    peakBytes = liveBytes;
    peakEvent = e.number;
    peakBlocks = liveBlocks;
    ++peaks_;
  }
}

// An allocation at an address still live: the newer block replaces the older.
void Analysis::replaced(const Step& e, const LiveBlock& old) {
  ++doubleAllocations;
  if (anomalies.size() < kAnomaliesKept)
    anomalies.push_back(
        {Anomaly::DoubleAllocation, e.number, e.offset, e.code, e.address, old.event});
  leave({old.size, old.stack, old.region});
}

inline void Analysis::release(const Step& e) {
  LiveKeys gone;
  if (live_.remove(e.address, gone)) {
    leave(gone);
  } else {
    ++unknownReleases;
    if (anomalies.size() < kAnomaliesKept)
      anomalies.push_back({Anomaly::UnknownRelease, e.number, e.offset, e.code, e.address, 0});
  }
}

}  // namespace memlog
