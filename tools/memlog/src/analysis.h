// Replays a log's events: pairs allocations with releases, interns call stacks, and
// keeps the per-operation, per-region, per-stack and size-histogram tallies that the
// reports are drawn from. Its memory grows with the live blocks and the distinct
// stacks, never with the number of events.
#ifndef QUORKIT_MEMLOG_ANALYSIS_H
#define QUORKIT_MEMLOG_ANALYSIS_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame_filter.h"
#include "log_format.h"
#include "log_reader.h"

namespace memlog {

// Distinct call stacks, each stored once; id 0.. in order of first appearance.
class StackTable {
 public:
  uint32_t intern(const uint32_t* frames, uint32_t count);
  uint32_t size() const { return uint32_t(stacks_.size()); }
  const uint32_t* frames(uint32_t id) const { return pool_.data() + stacks_[id].start; }
  uint32_t frameCount(uint32_t id) const { return stacks_[id].count; }

 private:
  struct Entry {
    size_t start;
    uint32_t count;
    uint64_t hash;
  };
  void grow();
  std::vector<uint32_t> pool_;
  std::vector<Entry> stacks_;
  std::vector<uint32_t> slots_;  // stack id + 1, 0 = empty
};

// Every frame address of every stack, sorted, each once: what symbolisation resolves.
std::vector<uint32_t> distinctFrames(const StackTable& stacks);

struct StackStats {
  uint64_t allocCalls = 0;
  uint64_t allocBytes = 0;
  uint64_t liveBlocks = 0;
  uint64_t liveBytes = 0;
  uint64_t peakLiveBytes = 0;  // this stack's own high-water mark
  uint64_t atPeakBlocks = 0;   // live at the moment of the global peak
  uint64_t atPeakBytes = 0;
  uint64_t firstEvent = 0;
  bool dirty = false;
};

struct RegionStats {
  uint64_t events = 0;
  uint64_t liveBlocks = 0;
  uint64_t liveBytes = 0;
  uint64_t peakBytes = 0;
  uint64_t peakEvent = 0;
};

struct LiveBlock {  // kept small: one per live block
  uint64_t event = 0;
  uint32_t size = 0;
  uint32_t stack = 0;
  uint32_t id = 0;
  uint16_t region = 0;
  uint8_t code = 0;
};

// Live blocks by address: open addressing with linear probing and backward-shift
// deletion. The node-based standard map spent most of a summary's time chasing
// pointers; this keeps each probe within one or two cache lines.
class LiveMap {
 public:
  LiveBlock* find(uint32_t address);
  const LiveBlock* find(uint32_t address) const {
    return const_cast<LiveMap*>(this)->find(address);
  }
  void insert(uint32_t address, const LiveBlock& block);  // the address must not be present
  void erase(uint32_t address);                           // the address must be present
  size_t size() const { return count_; }
  template <typename F>
  void forEach(F f) const {
    for (const Slot& s : slots_)
      if (s.used) f(s.address, s.block);
  }

 private:
  struct Slot {
    uint32_t address = 0;
    bool used = false;
    LiveBlock block;
  };
  size_t home(uint32_t address) const {
    return size_t((address * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void grow();
  std::vector<Slot> slots_;
  size_t count_ = 0;
  unsigned shift_ = 64;
};

struct Anomaly {
  enum Kind { UnknownRelease, DoubleAllocation } kind;
  uint64_t event;
  uint64_t offset;
  uint32_t code;
  uint32_t address;
  uint64_t previousEvent;  // for DoubleAllocation: the allocation still live
};

// One event of the history asked for with find.
struct Sighting {
  uint64_t event, offset;
  uint32_t code, id, address, size;
  uint16_t region;
  uint32_t stack;
};

constexpr int kHistogramBuckets = 34;  // bucket 0: size 0; bucket k: [2^(k-1), 2^k)

class Analysis final : public LogVisitor {
 public:
  static constexpr size_t kAnomaliesKept = 20;

  // Ask for the history of one address before reading (find).
  void watchAddress(uint32_t address) {
    watch_ = true;
    watched_ = address;
  }
  // Which frames are shown and how stacks group; set before reading. The default hides the
  // library's module.
  void setFrameFilter(const FrameFilter& filter) { filter_ = filter; }

  void onModules(const std::vector<ModuleInfo>& modules) override {
    modules_ = modules;
    filter_.setModules(modules);
  }
  void onEvent(const Event& e) override;

  // Live blocks at the end, keyed by address.
  const LiveMap& live() const { return live_; }

  std::vector<ModuleInfo> modules_;
  // The stacks as shown (see FrameFilter); every per-stack figure and block refers to these.
  StackTable stacks;
  std::vector<StackStats> stackStats;
  std::unordered_map<uint16_t, RegionStats> regions;
  uint64_t opCounts[kOpCount] = {};
  uint64_t events = 0;
  uint64_t liveBlocks = 0;
  uint64_t liveBytes = 0;
  uint64_t peakBytes = 0;
  uint64_t peakEvent = 0;
  uint64_t peakBlocks = 0;
  uint64_t unknownReleases = 0;
  uint64_t doubleAllocations = 0;
  std::vector<Anomaly> anomalies;  // the first kAnomaliesKept of both kinds
  uint64_t histCount[kHistogramBuckets] = {};
  uint64_t histBytes[kHistogramBuckets] = {};
  std::vector<Sighting> sightings;    // find: every event of the blocks containing the address
  std::vector<uint32_t> watchedLive;  // find: bases of those blocks still live

 private:
  void addLive(uint32_t address, const LiveBlock& b);
  void removeLive(uint32_t address, const LiveBlock& b);
  RegionStats& region(uint16_t id);
  void touch(uint32_t stack);
  void takePeakSnapshot();
  uint32_t shownStack(const uint32_t* frames, uint32_t count);
  void watchEvent(const Event& e, uint32_t stack);

  LiveMap live_;
  RegionStats* lastRegion_ = nullptr;  // events come in runs of one region
  uint16_t lastRegionId_ = 0;
  std::vector<uint32_t> dirty_;  // stacks changed since the last global peak
  bool watch_ = false;
  uint32_t watched_ = 0;
  uint64_t lastWatchedRelease_ = 0;  // event that released a watched block, for realloc's move
  FrameFilter filter_;
  StackTable loggedStacks_;              // as captured, to shape each distinct stack once
  std::vector<uint32_t> shownOfLogged_;  // logged stack id -> shown stack id
  StackTable functionStacks_;            // grouping keys, when stacks group by function
  std::vector<uint32_t> keys_;
};

int histogramBucket(uint32_t size);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_ANALYSIS_H
