// Replays a log's events: pairs allocations with releases, interns call stacks, and
// keeps the per-operation, per-region, per-stack and size-histogram tallies that the
// reports are drawn from. Its memory grows with the live blocks and the distinct
// stacks, never with the number of events. A long log is worked on by two threads: the
// reader's shapes each event's stack (analysis.cpp), a second one replays the shaped events in
// log order (replay.cpp).
#ifndef QUORKIT_MEMLOG_ANALYSIS_H
#define QUORKIT_MEMLOG_ANALYSIS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame_filter.h"
#include "hand_off.h"
#include "host.h"
#include "live_map.h"
#include "log_format.h"
#include "log_reader.h"
#include "stack_table.h"
#include "zeroed_array.h"

namespace memlog {

struct alignas(64) StackStats {  // one cache line: an event touches one stack's figures
  uint64_t allocCalls = 0;
  uint64_t allocBytes = 0;
  uint64_t liveBlocks = 0;
  uint64_t liveBytes = 0;
  uint64_t peakLiveBytes = 0;  // this stack's own high-water mark
  uint64_t atPeakBlocks = 0;   // live at the moment of the global peak (complete after onEnd)
  uint64_t atPeakBytes = 0;
  uint64_t peaksSeen = 0;  // the global peaks counted when atPeak* were last brought up to date
};

struct RegionStats {
  uint64_t events = 0;
  uint64_t liveBlocks = 0;
  uint64_t liveBytes = 0;
  uint64_t peakBytes = 0;
  uint64_t peakEvent = 0;
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

// An event as the replay takes it: its stack already shaped into a shown stack. Its fields lie as
// the event's do, up to the frame count, so that an event becomes a step in one copy.
struct Step {
  uint64_t number, offset;
  uint32_t code, id, address, size;
  uint16_t region;
  uint32_t stack;
};
static_assert(offsetof(Step, region) == offsetof(Event, region) &&
                  offsetof(Step, stack) == offsetof(Event, frameCount),
              "a step is an event up to the frame count");

// Steps handed from the thread that reads and shapes stacks to the one that replays them.
struct StepBatch {
  static constexpr size_t kSteps = 2048;
  size_t count = 0;
  uint32_t stacks = 0;  // shown stacks known when the batch was handed over
  Step steps[kSteps];
};

class Analysis final : public LogVisitor {
 public:
  static constexpr size_t kAnomaliesKept = 20;

  Analysis() = default;
  ~Analysis() override { settle(); }
  Analysis(const Analysis&) = delete;
  Analysis& operator=(const Analysis&) = delete;

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
  // Every figure is current when this returns, for observers that read them after each event.
  void onEvent(const Event& e) override;
  // Runs are replayed on a second thread while the reader goes on; their figures are complete
  // after onEnd (or the next onEvent).
  void onEvents(const Event* events, size_t count) override;
  void onEnd() override;

  // Live blocks at the end, keyed by address.
  const LiveMap& live() const { return live_; }
  // The regions seen, by id, and their figures.
  std::vector<uint16_t> regionIds() const;
  const RegionStats& regionStats(uint16_t id) const { return regions_[regionSlot_[id] - 1]; }

  std::vector<ModuleInfo> modules_;
  // The stacks as shown (see FrameFilter); every per-stack figure and block refers to these.
  StackTable stacks;
  std::vector<StackStats> stackStats;
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
  // Shaping (the reading thread): each event's logged stack to its shown stack, into steps.
  uint32_t stackOf(const Event& e, uint32_t hash) {
    const uint32_t logged = loggedStacks_.intern(e.frames, e.frameCount, hash);
    return logged < shownOfLogged_.size() ? shownOfLogged_[logged] : addLoggedStack(e);
  }
  uint32_t addLoggedStack(const Event& e);
  uint32_t shownStack(const uint32_t* frames, uint32_t count);
  static constexpr size_t kPiece = 32;  // events whose stack lookups are started together
  void shapePiece(const Event* events, size_t count);
  // Written in place: a step built aside and then copied would be read back whole right after
  // its stack was stored into it, which stalls the processor's store forwarding.
  static void makeStep(Step& step, const Event& e, uint32_t stack) {
    memcpy(&step, &e, offsetof(Step, stack));
    step.stack = stack;
  }
  // Where the next n steps go, n at most kPiece.
  Step* roomFor(size_t n) {
    if (!batch_ || batch_->count + n > StepBatch::kSteps) handOver();
    return batch_->steps + batch_->count;
  }
  void handOver();
  void startReplayThread();
  void settle();
  static void replayOnThread(void* analysis);

  // Replay (the second thread, or the caller's when there is none): the figures, in log order.
  void replay(StepBatch& batch);
  void makeStackStats(uint32_t stacks) {
    if (stackStats.size() < stacks) stackStats.resize(stacks);
  }
  void prefetchStackOf(const Step& e) const;
  [[gnu::always_inline]] void apply(const Step& e);  // inlined into the replay loop
  void watchEvent(const Step& e);
  void allocate(const Step& e, RegionStats& region);
  void release(const Step& e);
  void replaced(const Step& e, const LiveBlock& old);
  void enter(StackStats& s, RegionStats& r, uint32_t size, uint64_t event);
  void leave(const LiveKeys& b);
  RegionStats& region(uint16_t id) {
    const uint32_t slot = regionSlot_[id];
    return slot ? regions_[slot - 1] : addRegion(id);
  }
  RegionStats& addRegion(uint16_t id);
  void keepPeak(StackStats& s);

  // Replay's state.
  LiveMap live_;
  // Region id -> 1 + its index in regions_ (0: not seen): two loads instead of a hash map's probe.
  ZeroedArray<uint32_t> regionSlot_ = ZeroedArray<uint32_t>(size_t(UINT16_MAX) + 1);
  std::vector<RegionStats> regions_;
  std::vector<uint16_t> regionIds_;  // of regions_, in the same order
  uint64_t peaks_ = 0;               // times the global peak has moved
  bool watch_ = false;
  uint32_t watched_ = 0;
  uint64_t lastWatchedRelease_ = 0;  // event that released a watched block, for realloc's move

  // Shaping's state.
  FrameFilter filter_;
  // Stacks as captured, each shaped (logger frames, grouping) once, when first seen.
  StackTable loggedStacks_;
  std::vector<uint32_t> shownOfLogged_;  // logged stack id -> shown stack id
  StackTable functionStacks_;            // grouping keys, when stacks group by function
  std::vector<uint32_t> keys_;

  // Between the two: a ring of batches when the replay has a thread, else one batch replayed
  // whenever it fills.
  using Pipe = HandOff<StepBatch, 4>;
  std::unique_ptr<Pipe> pipe_;
  host::Thread replayer_;
  std::unique_ptr<StepBatch> own_;
  StepBatch* batch_ = nullptr;  // being filled
  bool threadRefused_ = false;
};

inline int histogramBucket(uint32_t size) { return size ? 32 - __builtin_clz(size) : 0; }

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_ANALYSIS_H
