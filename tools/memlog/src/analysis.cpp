// Event replay behind every report; see analysis.h.
#include "analysis.h"

#include <algorithm>
#include <cstring>

namespace memlog {

namespace {

uint64_t pairAt(const uint32_t* f) {
  uint64_t pair;
  memcpy(&pair, f, sizeof pair);
  return pair;
}

}  // namespace

// Four frames a step into two independent multiply chains; the high half of a product depends on
// every bit below it. Equal hashes are always confirmed against the frames.
uint32_t StackTable::hash(const uint32_t* f, uint32_t n) {
  constexpr uint64_t kOdd = 0x9e3779b97f4a7c15ull, kOther = 0xc2b2ae3d27d4eb4full;
  uint64_t a = n, b = 0;
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    a = (a + pairAt(f + i)) * kOdd;
    b = (b + pairAt(f + i + 2)) * kOther;
  }
  if (i + 2 <= n) {
    b = (b + pairAt(f + i)) * kOther;
    i += 2;
  }
  if (i < n) a = (a + f[i]) * kOdd;
  return uint32_t((a ^ (b >> 32 | b << 32)) * kOdd >> 32);
}

bool StackTable::matchesLong(const Slot& slot, const uint32_t* frames, uint32_t count) const {
  const uint32_t* stored = pool_.data() + stacks_[slot.idPlus1 - 1].start;
  return sameFrames(slot.head, frames, kInline) &&
         sameFrames(stored + kInline, frames + kInline, count - kInline);
}

uint32_t StackTable::add(const uint32_t* frames, uint32_t count, uint32_t h) {
  if ((stacks_.size() + 1) * 4 > slots_.size() * 3) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = h & mask;
  while (slots_[i].idPlus1 != 0) i = (i + 1) & mask;
  const uint32_t id = uint32_t(stacks_.size());
  stacks_.push_back({pool_.size(), count});
  pool_.insert(pool_.end(), frames, frames + count);
  Slot& slot = slots_[i];
  slot.hash = h;
  slot.idPlus1 = id + 1;
  slot.count = count;
  std::copy(frames, frames + std::min(count, kInline), slot.head);
  return id;
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
  ZeroedArray<Slot> slots(slots_.size() * 2);  // every slot empty
  const size_t mask = slots.size() - 1;
  for (const Slot& s : slots_) {
    if (s.idPlus1 == 0) continue;
    size_t i = s.hash & mask;
    while (slots[i].idPlus1 != 0) i = (i + 1) & mask;
    slots[i] = s;
  }
  slots_.swap(slots);
}

LiveBlock* LiveMap::find(uint32_t address) {
  Slot& s = slots_[probe(address)];
  return s.used ? &s.block : nullptr;
}

void LiveMap::insert(uint32_t address, const LiveBlock& block) {
  bool fresh;
  findOrAdd(address, fresh) = block;
}

void LiveMap::erase(uint32_t address) { eraseSlot(probe(address)); }

// Pulls later members of the probe run back over the hole, so that no search stops short of its
// key: a member may move when its home is not after the hole (cyclically).
void LiveMap::eraseSlot(size_t i) {
  for (size_t j = (i + 1) & mask_; slots_[j].used; j = (j + 1) & mask_) {
    const size_t fromHome = (j - home(slots_[j].address)) & mask_;
    if (fromHome >= ((j - i) & mask_)) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i].used = false;
  --count_;
}

LiveBlock& LiveMap::findOrAdd(uint32_t address, bool& fresh) {
  if (count_ == limit_) grow();
  Slot& s = slots_[probe(address)];
  fresh = !s.used;
  if (fresh) {
    s.used = true;
    s.address = address;
    ++count_;
  }
  return s.block;
}

bool LiveMap::take(uint32_t address, LiveBlock& out) {
  const size_t i = probe(address);
  if (!slots_[i].used) return false;
  out = slots_[i].block;
  eraseSlot(i);
  return true;
}

void LiveMap::grow() {
  ZeroedArray<Slot> old(slots_.size() * 2);  // every slot empty
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  limit_ = slots_.size() * 7 / 10;
  --shift_;
  for (const Slot& s : old)
    if (s.used) slots_[probe(s.address)] = s;
}

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

int histogramBucket(uint32_t size) { return size ? 32 - __builtin_clz(size) : 0; }

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
  for (StackStats& s : stackStats) keepPeak(s);
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

inline void Analysis::leave(const LiveBlock& b) {
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

// A stack's shown frames and group; run once per distinct shown stack.
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

// The first sighting of a logged stack: shaped once, its figures made ready.
uint32_t Analysis::addLoggedStack(const Event& e) {
  const uint32_t shown = shownStack(e.frames, e.frameCount);
  shownOfLogged_.push_back(shown);
  if (shown >= stackStats.size()) stackStats.resize(shown + 1);
  return shown;
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

void Analysis::onEvent(const Event& e) { take(e); }

void Analysis::onEvents(const Event* events, size_t count) {
  for (; count > kPiece; events += kPiece, count -= kPiece) applyPiece(events, kPiece);
  applyPiece(events, count);
}

// Each event's lookups miss the caches (the stack table, the stack's figures, the live map): a
// piece of events is applied in passes that ask for the lines of every event's next lookup before
// the first of them is needed, so that the misses overlap instead of following one another.
void Analysis::applyPiece(const Event* events, size_t count) {
  uint32_t stacks[kPiece];  // each event's hash, then its shown stack
  for (size_t i = 0; i < count; ++i) {
    stacks[i] = StackTable::hash(events[i].frames, events[i].frameCount);
    loggedStacks_.prefetch(stacks[i]);
  }
  for (size_t i = 0; i < count; ++i) {
    stacks[i] = stackOf(events[i], stacks[i]);
    __builtin_prefetch(&stackStats[stacks[i]], 1);
  }
  constexpr size_t kAhead = 8;  // the live map is the biggest table; its lines come last
  for (size_t i = 0; i < count && i < kAhead; ++i) live_.prefetch(events[i].address);
  for (size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) live_.prefetch(events[i + kAhead].address);
    apply(events[i], stacks[i]);
  }
}

inline void Analysis::apply(const Event& e, uint32_t stack) {
  ++events;
  ++opCounts[e.code < kOpCount ? e.code : 0];
  RegionStats& r = region(e.region);
  r.events += 1;
  if (watch_) watchEvent(e, stack);
  if (isAllocation(e.code))
    allocate(e, stack, r);
  else if (isRelease(e.code))
    release(e);
}

inline void Analysis::allocate(const Event& e, uint32_t stack, RegionStats& r) {
  StackStats& s = stackStats[stack];
  s.allocCalls += 1;
  s.allocBytes += e.size;
  const int bucket = histogramBucket(e.size);
  histCount[bucket] += 1;
  histBytes[bucket] += e.size;
  bool fresh;
  LiveBlock& b = live_.findOrAdd(e.address, fresh);
  if (!fresh) replaced(e, b);
  b.event = e.number;
  b.size = e.size;
  b.stack = stack;
  b.id = e.id;
  b.code = uint8_t(e.code);
  b.region = e.region;
  enter(s, r, e.size, e.number);
  if (liveBytes > peakBytes) {
    peakBytes = liveBytes;
    peakEvent = e.number;
    peakBlocks = liveBlocks;
    ++peaks_;
  }
}

// An allocation at an address still live: the newer block replaces the older.
void Analysis::replaced(const Event& e, const LiveBlock& old) {
  ++doubleAllocations;
  if (anomalies.size() < kAnomaliesKept)
    anomalies.push_back(
        {Anomaly::DoubleAllocation, e.number, e.offset, e.code, e.address, old.event});
  leave(old);
}

inline void Analysis::release(const Event& e) {
  LiveBlock gone;
  if (live_.take(e.address, gone)) {
    leave(gone);
  } else {
    ++unknownReleases;
    if (anomalies.size() < kAnomaliesKept)
      anomalies.push_back({Anomaly::UnknownRelease, e.number, e.offset, e.code, e.address, 0});
  }
}

}  // namespace memlog
