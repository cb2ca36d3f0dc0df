// Live bytes over the events of a run, for the report's chart. However long the log, it keeps at
// most kMaxBuckets buckets: when they fill up, neighbours merge and each bucket spans twice as
// many events, so memory stays fixed and the chart keeps every peak.
#ifndef QUORKIT_MEMLOG_TIMELINE_H
#define QUORKIT_MEMLOG_TIMELINE_H

#include <cstdint>
#include <vector>

#include "analysis.h"
#include "log_reader.h"

namespace memlog {

// Watches the analysis as the log is read and samples its live bytes after every event.
class Timeline final : public LogVisitor {
 public:
  static constexpr size_t kMaxBuckets = 1024;
  struct Bucket {
    uint64_t low = 0;   // least live bytes after an event of the bucket
    uint64_t high = 0;  // most
  };

  explicit Timeline(const Analysis& analysis) : analysis_(analysis) {}
  void onModules(const std::vector<ModuleInfo>&) override {}
  void onEvent(const Event&) override { add(analysis_.liveBytes); }

  // Bucket i covers events i * span() + 1 .. (i + 1) * span().
  uint64_t span() const { return span_; }
  const std::vector<Bucket>& buckets() const { return buckets_; }

 private:
  void add(uint64_t liveBytes);
  void mergePairs();
  const Analysis& analysis_;
  std::vector<Bucket> buckets_;
  uint64_t span_ = 1;
  uint64_t inLast_ = 0;  // events in the last bucket
};

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_TIMELINE_H
