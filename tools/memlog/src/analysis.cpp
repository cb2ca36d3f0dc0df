// Event replay behind every report; see analysis.h.
#include "analysis.h"

#include <algorithm>
#include <cstring>

namespace memlog {

// Two frames a step: half the dependent multiplications of a frame-at-a-time hash.
uint64_t StackTable::hash(const uint32_t* f, uint32_t n) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ n;
  uint32_t i = 0;
  for (; i + 1 < n; i += 2) {
    h = (h ^ (f[i] | uint64_t(f[i + 1]) << 32)) * 0xff51afd7ed558ccdull;
    h ^= h >> 29;
  }
  if (i < n) h = (h ^ f[i]) * 0xc4ceb9fe1a85ec53ull;
  return h ^ (h >> 32);
}

bool StackTable::matches(const Slot& slot, const uint32_t* frames, uint32_t count) const {
  if (slot.count != count) return false;
  const uint32_t head = std::min(count, kInline);
  for (uint32_t k = 0; k < head; ++k)
    if (slot.head[k] != frames[k]) return false;
  if (count <= kInline) return true;
  const uint32_t* stored = pool_.data() + stacks_[slot.idPlus1 - 1].start;
  return memcmp(stored + kInline, frames + kInline, 4 * size_t(count - kInline)) == 0;
}

uint32_t StackTable::intern(const uint32_t* frames, uint32_t count, uint64_t h) {
  if ((stacks_.size() + 1) * 4 > slots_.size() * 3) {
    grow();
  }
  const uint32_t tag = uint32_t(h >> 32);
  const size_t mask = slots_.size() - 1;
  for (size_t i = size_t(h) & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.idPlus1 == 0) {
      const uint32_t id = uint32_t(stacks_.size());
      stacks_.push_back({pool_.size(), count, h});
      pool_.insert(pool_.end(), frames, frames + count);
      slot.tag = tag;
      slot.idPlus1 = id + 1;
      slot.count = count;
      std::copy(frames, frames + std::min(count, kInline), slot.head);
      return id;
    }
    if (slot.tag == tag && matches(slot, frames, count)) return slot.idPlus1 - 1;
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
  std::vector<Slot> slots(slots_.empty() ? 1024 : slots_.size() * 2, Slot());
  const size_t mask = slots.size() - 1;
  for (const Slot& s : slots_) {
    if (s.idPlus1 == 0) continue;
    size_t i = size_t(stacks_[s.idPlus1 - 1].hash) & mask;
    while (slots[i].idPlus1 != 0) i = (i + 1) & mask;
    slots[i] = s;
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
  eraseSlot(i);
}

void LiveMap::eraseSlot(size_t i) {
  const size_t mask = slots_.size() - 1;
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

LiveBlock& LiveMap::findOrAdd(uint32_t address, bool& fresh) {
  if ((count_ + 1) * 10 > slots_.size() * 7) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = home(address);
  while (slots_[i].used && slots_[i].address != address) i = (i + 1) & mask;
  Slot& s = slots_[i];
  fresh = !s.used;
  if (fresh) {
    s.used = true;
    s.address = address;
    s.block = LiveBlock();
    ++count_;
  }
  return s.block;
}

bool LiveMap::take(uint32_t address, LiveBlock& out) {
  if (slots_.empty()) return false;
  const size_t mask = slots_.size() - 1;
  for (size_t i = home(address); slots_[i].used; i = (i + 1) & mask) {
    if (slots_[i].address != address) continue;
    out = slots_[i].block;
    eraseSlot(i);
    return true;
  }
  return false;
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

RegionStats& Analysis::regionMiss(uint16_t id) {
  regionCache_[id & 15] = {&regions[id], id};  // element references survive rehashing
  return regions[id];
}

int histogramBucket(uint32_t size) { return size ? 32 - __builtin_clz(size) : 0; }

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

// The tallies of a block entering (sign 1) or leaving (-1) the live set; the live map itself is
// the caller's.
void Analysis::countLive(const LiveBlock& b, int sign) {
  StackStats& s = stackStats[b.stack];
  RegionStats& r = region(b.region);
  const uint64_t blocks = uint64_t(int64_t(sign)), bytes = uint64_t(int64_t(sign) * b.size);
  s.liveBlocks += blocks;
  s.liveBytes += bytes;
  r.liveBlocks += blocks;
  r.liveBytes += bytes;
  liveBlocks += blocks;
  liveBytes += bytes;
  touch(b.stack);
  if (sign < 0) return;
  if (s.liveBytes > s.peakLiveBytes) s.peakLiveBytes = s.liveBytes;
  if (r.liveBytes > r.peakBytes) {
    r.peakBytes = r.liveBytes;
    r.peakEvent = b.event;
  }
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
void Analysis::watchEvent(const Pending& e) {
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

uint32_t Analysis::stackOf(const uint32_t* frames, uint32_t count, uint64_t hash) {
  const uint32_t logged = loggedStacks_.intern(frames, count, hash);
  if (logged == shownOfLogged_.size()) shownOfLogged_.push_back(shownStack(frames, count));
  return shownOfLogged_[logged];
}

void Analysis::onEvent(const Event& e) {
  const uint64_t hash = StackTable::hash(e.frames, e.frameCount);
  if (!lookahead_) {
    Pending p{e.number, e.offset, hash,      e.code,   e.id, e.address,
              e.size,   0,        kInterned, e.region, {}};
    p.stack = stackOf(e.frames, e.frameCount, hash);
    return apply(p);
  }
  live_.prefetch(e.address);
  loggedStacks_.prefetch(hash);
  // Three stages: on arrival the slots of the stack and of the address start loading; half-way
  // the stack is interned and the figures the event will touch start loading; last it is applied.
  if (arrived_ - applied_ == kLookahead) apply(pending_[applied_++ % kLookahead]);
  if (arrived_ - prepared_ == kLookahead / 2) prepare(pending_[prepared_++ % kLookahead]);
  Pending& p = pending_[arrived_++ % kLookahead];
  p.number = e.number;
  p.offset = e.offset;
  p.hash = hash;
  p.code = e.code;
  p.id = e.id;
  p.address = e.address;
  p.size = e.size;
  p.region = e.region;
  if (e.frameCount > StackTable::kInline) {
    p.stack = stackOf(e.frames, e.frameCount, hash);
    p.frameCount = kInterned;
  } else {
    p.frameCount = e.frameCount;
    std::copy(e.frames, e.frames + e.frameCount, p.frames);
  }
}

void Analysis::prepare(Pending& e) {
  if (e.frameCount != kInterned) {
    e.stack = stackOf(e.frames, e.frameCount, e.hash);
    e.frameCount = kInterned;
  }
  uint32_t stack = e.stack;
  if (isRelease(e.code)) {
    const LiveBlock* b = live_.find(e.address);
    stack = b ? b->stack : UINT32_MAX;
  }
  if (stack < stackStats.size()) __builtin_prefetch(&stackStats[stack]);
}

void Analysis::onEnd() {
  while (applied_ < arrived_) {
    if (prepared_ == applied_) prepare(pending_[prepared_++ % kLookahead]);
    apply(pending_[applied_++ % kLookahead]);
  }
}

void Analysis::apply(Pending& e) {
  if (e.frameCount != kInterned) {
    e.stack = stackOf(e.frames, e.frameCount, e.hash);
    e.frameCount = kInterned;
  }
  ++events;
  ++opCounts[e.code < kOpCount ? e.code : 0];
  region(e.region).events += 1;
  if (e.stack >= stackStats.size()) {
    stackStats.resize(e.stack + 1);
    stackStats[e.stack].firstEvent = e.number;
  }
  if (watch_) watchEvent(e);
  if (isAllocation(e.code))
    allocate(e);
  else if (isRelease(e.code))
    release(e);
}

void Analysis::allocate(const Pending& e) {
  StackStats& s = stackStats[e.stack];
  s.allocCalls += 1;
  s.allocBytes += e.size;
  const int bucket = histogramBucket(e.size);
  histCount[bucket] += 1;
  histBytes[bucket] += e.size;
  bool fresh;
  LiveBlock& b = live_.findOrAdd(e.address, fresh);
  if (!fresh) {  // still live: the newer block replaces it
    ++doubleAllocations;
    if (anomalies.size() < kAnomaliesKept)
      anomalies.push_back(
          {Anomaly::DoubleAllocation, e.number, e.offset, e.code, e.address, b.event});
    countLive(b, -1);
  }
  b.event = e.number;
  b.size = e.size;
  b.stack = e.stack;
  b.id = e.id;
  b.code = uint8_t(e.code);
  b.region = e.region;
  countLive(b, +1);
  if (liveBytes > peakBytes) {
    peakBytes = liveBytes;
    peakEvent = e.number;
    peakBlocks = liveBlocks;
    takePeakSnapshot();
  }
}

void Analysis::release(const Pending& e) {
  LiveBlock gone;
  if (live_.take(e.address, gone)) {
    countLive(gone, -1);
  } else {
    ++unknownReleases;
    if (anomalies.size() < kAnomaliesKept)
      anomalies.push_back({Anomaly::UnknownRelease, e.number, e.offset, e.code, e.address, 0});
  }
}

}  // namespace memlog
