// Event replay behind every report; see analysis.h.
#include "analysis.h"

#include <algorithm>

namespace memlog {

namespace {

uint64_t hashFrames(const uint32_t* f, uint32_t n) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ n;
  for (uint32_t i = 0; i < n; ++i) {
    h ^= f[i];
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 29;
  }
  return h;
}

}  // namespace

uint32_t StackTable::intern(const uint32_t* frames, uint32_t count) {
  if ((stacks_.size() + 1) * 4 > slots_.size() * 3) grow();
  const uint64_t h = hashFrames(frames, count);
  const size_t mask = slots_.size() - 1;
  for (size_t i = size_t(h) & mask;; i = (i + 1) & mask) {
    const uint32_t slot = slots_[i];
    if (slot == 0) {
      const uint32_t id = uint32_t(stacks_.size());
      stacks_.push_back({pool_.size(), count, h});
      pool_.insert(pool_.end(), frames, frames + count);
      slots_[i] = id + 1;
      return id;
    }
    const Entry& e = stacks_[slot - 1];
    if (e.hash == h && e.count == count) {
      const uint32_t* stored = pool_.data() + e.start;
      uint32_t k = 0;
      while (k < count && stored[k] == frames[k]) ++k;
      if (k == count) return slot - 1;
    }
  }
}

std::vector<uint32_t> distinctFrames(const StackTable& stacks) {
  std::vector<uint32_t> v;
  for (uint32_t id = 0; id < stacks.size(); ++id)
    v.insert(v.end(), stacks.frames(id), stacks.frames(id) + stacks.frameCount(id));
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

void StackTable::grow() {
  std::vector<uint32_t> slots(slots_.empty() ? 1024 : slots_.size() * 2, 0);
  const size_t mask = slots.size() - 1;
  for (uint32_t id = 0; id < stacks_.size(); ++id) {
    size_t i = size_t(stacks_[id].hash) & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = id + 1;
  }
  slots_.swap(slots);
}

LiveBlock* LiveMap::find(uint32_t address) {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = home(address);; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (!s.used) return nullptr;
    if (s.address == address) return &s.block;
  }
}

void LiveMap::insert(uint32_t address, const LiveBlock& block) {
  if ((count_ + 1) * 10 > slots_.size() * 7) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = home(address);
  while (slots_[i].used) i = (i + 1) & mask;
  slots_[i].used = true;
  slots_[i].address = address;
  slots_[i].block = block;
  ++count_;
}

void LiveMap::erase(uint32_t address) {
  const size_t mask = slots_.size() - 1;
  size_t i = home(address);
  while (slots_[i].address != address || !slots_[i].used) i = (i + 1) & mask;
  // Pull later members of the probe run back over the hole so that no search stops
  // short of its key.
  for (size_t j = (i + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
    const size_t h = home(slots_[j].address);
    const bool between = i <= j ? (i < h && h <= j) : (i < h || h <= j);
    if (!between) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i].used = false;
  --count_;
}

void LiveMap::grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  const size_t n = old.empty() ? 1024 : old.size() * 2;
  slots_.assign(n, Slot());
  shift_ = 64;
  for (size_t k = n; k > 1; k >>= 1) --shift_;
  count_ = 0;
  for (const Slot& s : old)
    if (s.used) insert(s.address, s.block);
}

RegionStats& Analysis::region(uint16_t id) {
  if (!lastRegion_ || lastRegionId_ != id) {
    lastRegion_ = &regions[id];  // element references survive rehashing
    lastRegionId_ = id;
  }
  return *lastRegion_;
}

int histogramBucket(uint32_t size) {
  int b = 0;
  while (size) {
    ++b;
    size >>= 1;
  }
  return b;
}

void Analysis::touch(uint32_t stack) {
  StackStats& s = stackStats[stack];
  if (!s.dirty) {
    s.dirty = true;
    dirty_.push_back(stack);
  }
}

// Only the stacks that changed since the previous peak need copying, so keeping the
// at-peak picture costs O(1) amortised per event however often the peak moves.
void Analysis::takePeakSnapshot() {
  for (uint32_t id : dirty_) {
    StackStats& s = stackStats[id];
    s.atPeakBlocks = s.liveBlocks;
    s.atPeakBytes = s.liveBytes;
    s.dirty = false;
  }
  dirty_.clear();
}

void Analysis::addLive(uint32_t address, const LiveBlock& b) {
  live_.insert(address, b);
  StackStats& s = stackStats[b.stack];
  s.liveBlocks += 1;
  s.liveBytes += b.size;
  if (s.liveBytes > s.peakLiveBytes) s.peakLiveBytes = s.liveBytes;
  touch(b.stack);
  RegionStats& r = region(b.region);
  r.liveBlocks += 1;
  r.liveBytes += b.size;
  if (r.liveBytes > r.peakBytes) {
    r.peakBytes = r.liveBytes;
    r.peakEvent = b.event;
  }
  liveBlocks += 1;
  liveBytes += b.size;
}

void Analysis::removeLive(uint32_t address, const LiveBlock& b) {
  StackStats& s = stackStats[b.stack];
  s.liveBlocks -= 1;
  s.liveBytes -= b.size;
  touch(b.stack);
  RegionStats& r = region(b.region);
  r.liveBlocks -= 1;
  r.liveBytes -= b.size;
  liveBlocks -= 1;
  liveBytes -= b.size;
  live_.erase(address);
}

// A stack's shown frames and group; run once per distinct logged stack.
uint32_t Analysis::shownStack(const uint32_t* frames, uint32_t count) {
  const uint32_t first = filter_.firstShown(frames, count);
  frames += first;
  count -= first;
  if (!filter_.groupsByFunction()) return stacks.intern(frames, count);
  keys_.resize(count);
  for (uint32_t i = 0; i < count; ++i) keys_[i] = filter_.groupKey(frames[i]);
  const uint32_t group = functionStacks_.intern(keys_.data(), count);
  // A new group is a new shown stack (equal frames have equal keys), so the ids keep in step;
  // the group shows the frames of its first stack.
  if (group == stacks.size()) stacks.intern(frames, count);
  return group;
}

// The history of the blocks that contain the watched address: their allocation, release, and
// the reallocation that moved one away (the writer logs a moving realloc as the old block's
// release followed at once by the new block's allocation).
void Analysis::watchEvent(const Event& e, uint32_t stack) {
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
    sightings.push_back({e.number, e.offset, e.code, e.id, e.address, e.size, e.region, stack});
}

void Analysis::onEvent(const Event& e) {
  ++events;
  ++opCounts[e.code < kOpCount ? e.code : 0];
  region(e.region).events += 1;
  const uint32_t logged = loggedStacks_.intern(e.frames, e.frameCount);
  if (logged == shownOfLogged_.size()) shownOfLogged_.push_back(shownStack(e.frames, e.frameCount));
  const uint32_t stack = shownOfLogged_[logged];
  if (stack >= stackStats.size()) {
    stackStats.resize(stack + 1);
    stackStats[stack].firstEvent = e.number;
  }
  if (watch_) watchEvent(e, stack);

  if (isAllocation(e.code)) {
    StackStats& s = stackStats[stack];
    s.allocCalls += 1;
    s.allocBytes += e.size;
    const int bucket = histogramBucket(e.size);
    histCount[bucket] += 1;
    histBytes[bucket] += e.size;
    if (const LiveBlock* old = live_.find(e.address)) {
      ++doubleAllocations;
      if (anomalies.size() < kAnomaliesKept)
        anomalies.push_back(
            {Anomaly::DoubleAllocation, e.number, e.offset, e.code, e.address, old->event});
      const LiveBlock copy = *old;
      removeLive(e.address, copy);
    }
    LiveBlock b;
    b.event = e.number;
    b.size = e.size;
    b.stack = stack;
    b.id = e.id;
    b.code = uint8_t(e.code);
    b.region = e.region;
    addLive(e.address, b);
    if (liveBytes > peakBytes) {
      peakBytes = liveBytes;
      peakEvent = e.number;
      peakBlocks = liveBlocks;
      takePeakSnapshot();
    }
  } else if (isRelease(e.code)) {
    if (const LiveBlock* old = live_.find(e.address)) {
      const LiveBlock copy = *old;
      removeLive(e.address, copy);
    } else {
      ++unknownReleases;
      if (anomalies.size() < kAnomaliesKept)
        anomalies.push_back({Anomaly::UnknownRelease, e.number, e.offset, e.code, e.address, 0});
    }
  }
}

}  // namespace memlog
