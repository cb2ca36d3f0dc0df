// Pairing of allocations and releases, anomalies, peak bookkeeping and stack interning.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "analysis.h"
#include "log_writer.h"

using memlog_test::LogWriter;

namespace {

void replay(memlog::Analysis& a, const LogWriter& w) {
  memlog::MemorySource src(reinterpret_cast<const uint8_t*>(w.bytes().data()), w.bytes().size());
  ASSERT_EQ(memlog::readLog(src, a).status, memlog::ReadStatus::Ok);
}

}  // namespace

TEST(Analysis, PairsEveryAllocationCodeWithEveryReleaseCode) {
  LogWriter w;
  uint32_t address = 0x1000;
  for (uint32_t alloc : {2u, 3u, 4u, 6u, 8u})
    for (uint32_t release : {5u, 7u, 9u}) {
      w.event(alloc, 0, address, 10, 0, {1});
      w.event(release, 0, address, 0, 0, {2});
      address += 0x10;
    }
  w.event(0, 0, 0x9000, 5, 0, {3});  // "none" neither allocates nor releases
  memlog::Analysis a;
  replay(a, w);
  EXPECT_EQ(a.events, 31u);
  EXPECT_EQ(a.liveBlocks, 0u);
  EXPECT_EQ(a.liveBytes, 0u);
  EXPECT_EQ(a.unknownReleases, 0u);
  EXPECT_EQ(a.doubleAllocations, 0u);
  EXPECT_EQ(a.peakBytes, 10u);
  EXPECT_EQ(a.opCounts[2], 3u);
  EXPECT_EQ(a.opCounts[8], 3u);
  EXPECT_EQ(a.opCounts[5], 5u);
  EXPECT_EQ(a.opCounts[0], 1u);
  EXPECT_EQ(a.histCount[memlog::histogramBucket(10)], 15u);
  EXPECT_EQ(a.histCount[0], 0u);
}

TEST(Analysis, CountsStrayReleasesAndDoubleAllocationsAndCarriesOn) {
  LogWriter w;
  w.event(2, 1, 0x1000, 100, 0, {1});
  w.event(2, 2, 0x1000, 40, 0, {2});  // still live: the newer block replaces it
  w.event(5, 3, 0x2000, 0, 0, {});    // never allocated
  for (uint32_t i = 0; i < 30; ++i) w.event(7, 4 + i, 0x3000 + i, 0, 0, {});
  w.event(2, 99, 0x4000, 8, 0, {1});
  memlog::Analysis a;
  replay(a, w);
  EXPECT_EQ(a.doubleAllocations, 1u);
  EXPECT_EQ(a.unknownReleases, 31u);
  ASSERT_EQ(a.anomalies.size(), memlog::Analysis::kAnomaliesKept);
  EXPECT_EQ(a.anomalies[0].kind, memlog::Anomaly::DoubleAllocation);
  EXPECT_EQ(a.anomalies[0].event, 2u);
  EXPECT_EQ(a.anomalies[0].previousEvent, 1u);
  EXPECT_EQ(a.anomalies[1].kind, memlog::Anomaly::UnknownRelease);
  EXPECT_EQ(a.anomalies[1].address, 0x2000u);
  EXPECT_EQ(a.liveBlocks, 2u);
  EXPECT_EQ(a.liveBytes, 48u);
  ASSERT_NE(a.live().find(0x1000), nullptr);
  EXPECT_EQ(a.live().find(0x1000)->size, 40u);
  EXPECT_EQ(a.live().find(0x1000)->event, 2u);
  EXPECT_EQ(a.live().find(0x2000), nullptr);
  EXPECT_EQ(a.stackStats[0].liveBytes, 8u);  // stack {1}: the 100-byte block went
  EXPECT_EQ(a.stackStats[1].liveBytes, 40u);
}

TEST(Analysis, RemembersThePeakPerStackAndPerRegion) {
  LogWriter w;
  w.event(2, 1, 0xA0, 100, 1, {0xA});  // 100
  w.event(2, 2, 0xB0, 50, 2, {0xB});   // 150
  w.event(5, 3, 0xA0, 0, 1, {});       // 50
  w.event(2, 4, 0xC0, 120, 1, {0xA});  // 170: the peak, event 4
  w.event(5, 5, 0xB0, 0, 2, {});       // 120
  w.event(2, 6, 0xD0, 30, 2, {0xB});   // 150
  w.event(5, 7, 0xC0, 0, 1, {});       // 30
  memlog::Analysis a;
  replay(a, w);
  EXPECT_EQ(a.peakBytes, 170u);
  EXPECT_EQ(a.peakEvent, 4u);
  EXPECT_EQ(a.peakBlocks, 2u);
  const uint32_t sa = 0, sb = 1;
  EXPECT_EQ(a.stackStats[sa].atPeakBytes, 120u);
  EXPECT_EQ(a.stackStats[sb].atPeakBytes, 50u);
  EXPECT_EQ(a.stackStats[sa].peakLiveBytes, 120u);
  EXPECT_EQ(a.stackStats[sa].liveBytes, 0u);
  EXPECT_EQ(a.stackStats[sb].liveBytes, 30u);
  EXPECT_EQ(a.stackStats[sb].allocCalls, 2u);
  EXPECT_EQ(a.stackStats[sb].allocBytes, 80u);
  EXPECT_EQ(a.regions.at(1).peakBytes, 120u);
  EXPECT_EQ(a.regions.at(1).peakEvent, 4u);
  EXPECT_EQ(a.regions.at(1).liveBytes, 0u);
  EXPECT_EQ(a.regions.at(2).peakBytes, 50u);
  EXPECT_EQ(a.regions.at(2).peakEvent, 2u);
  EXPECT_EQ(a.regions.at(2).liveBlocks, 1u);
  EXPECT_EQ(a.regions.at(2).events, 3u);
}

TEST(Analysis, StateGrowsWithDistinctStacksNotWithEvents) {
  memlog::StackTable t;
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint32_t frames[3] = {i, i * 7, 42};
    ids.push_back(t.intern(frames, 1 + i % 3));
  }
  EXPECT_EQ(t.size(), 5000u);
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint32_t frames[3] = {i, i * 7, 42};
    EXPECT_EQ(t.intern(frames, 1 + i % 3), ids[i]);
  }
  EXPECT_EQ(t.size(), 5000u);
  const uint32_t empty = t.intern(nullptr, 0);
  EXPECT_EQ(t.intern(nullptr, 0), empty);
  EXPECT_EQ(t.frameCount(ids[4]), 2u);
  EXPECT_EQ(t.frames(ids[4])[1], 28u);

  LogWriter w;
  for (uint32_t i = 0; i < 20000; ++i)
    w.event(i % 2 ? 5 : 2, i, 0x1000 + (i / 2) * 16, 8, 0, {1, 2, 3});
  memlog::Analysis a;
  replay(a, w);
  EXPECT_EQ(a.stacks.size(), 1u);
  EXPECT_EQ(a.live().size(), 0u);
  EXPECT_EQ(a.regions.size(), 1u);

  EXPECT_EQ(memlog::histogramBucket(0), 0);
  EXPECT_EQ(memlog::histogramBucket(1), 1);
  EXPECT_EQ(memlog::histogramBucket(3), 2);
  EXPECT_EQ(memlog::histogramBucket(4), 3);
  EXPECT_EQ(memlog::histogramBucket(0xffffffffu), 32);
}

TEST(Analysis, LiveMapAgreesWithAReferenceMap) {
  // Random inserts and erases over a small key space, so that probe runs get long,
  // wrap around the table's end and have holes punched into them.
  memlog::LiveMap m;
  std::map<uint32_t, uint32_t> ref;
  std::mt19937 rng(7);
  for (int step = 0; step < 200000; ++step) {
    const uint32_t key = (rng() % 3000) * 16;
    auto it = ref.find(key);
    if (it == ref.end()) {
      memlog::LiveBlock b;
      b.size = uint32_t(step);
      m.insert(key, b);
      ref[key] = uint32_t(step);
    } else if (rng() % 2) {
      m.erase(key);
      ref.erase(it);
    }
    if (step % 9973 == 0) {
      ASSERT_EQ(m.size(), ref.size());
      for (const auto& kv : ref) {
        const memlog::LiveBlock* b = m.find(kv.first);
        ASSERT_NE(b, nullptr) << kv.first;
        ASSERT_EQ(b->size, kv.second);
      }
      size_t seen = 0;
      m.forEach([&](uint32_t key2, const memlog::LiveBlock& b) {
        ++seen;
        EXPECT_EQ(ref.at(key2), b.size);
      });
      EXPECT_EQ(seen, ref.size());
    }
  }
  for (uint32_t k = 0; k < 3000 * 16; k += 16) EXPECT_EQ(m.find(k) != nullptr, ref.count(k) == 1);
}
