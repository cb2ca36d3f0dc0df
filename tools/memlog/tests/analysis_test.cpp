// What the reports cannot show on their own: which frames are the logger's, the live map against a
// reference under long probe runs, and the threaded replay against the replay of each event.
// Pairing, anomalies and peaks are in the goldens.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "analysis.h"
#include "log_writer.h"

using memlog_test::LogWriter;

namespace {

void replay(memlog::Analysis& a, const LogWriter& w) {
  memlog::MemorySource src(reinterpret_cast<const uint8_t*>(w.bytes().data()), w.bytes().size());
  ASSERT_EQ(memlog::readLog(src, a).status, memlog::ReadStatus::Ok);
}

}  // namespace

TEST(Analysis, HidesTheLoggersFramesAndGroupsByWhatIsShown) {
  LogWriter w;
  w.modules({{0x00400000, "/bin/app"}, {0x10000000, "/lib/libquorkit.so.1"}});
  w.event(2, 1, 0x1000, 8, 0, {0x10000100, 0x10000200, 0x00401000, 0x00402000});
  w.event(2, 2, 0x2000, 8, 0, {0x10000300, 0x00401000, 0x00402000});  // another way in
  w.event(2, 3, 0x3000, 8, 0, {0x10000100, 0x10000200});              // the library's own block
  for (const bool keep : {false, true}) {
    memlog::Analysis a;
    a.setFrameFilter(memlog::FrameFilter(keep, nullptr));
    replay(a, w);
    SCOPED_TRACE(keep);
    ASSERT_EQ(a.stacks.size(), keep ? 3u : 2u);
    EXPECT_EQ(a.stacks.frameCount(0), keep ? 4u : 2u);
    EXPECT_EQ(a.stacks.frames(0)[0], keep ? 0x10000100u : 0x00401000u);
    EXPECT_EQ(a.stackStats[0].liveBlocks, keep ? 1u : 2u);
    EXPECT_EQ(a.stacks.frameCount(keep ? 2 : 1), 2u);  // nothing but logger frames: shown whole
  }
  const struct {
    const char* name;
    bool library;
  } modules[] = {{"/usr/lib/libquorkit.so", true}, {"libquorkit.so.1.0.0", true},
                 {"C:\\app\\QUORKIT.DLL", true},   {"/lib/libquorkitx.a", false},
                 {"quorkit.exe", false},           {"/lib/libc.so.6", false}};
  for (const auto& m : modules)
    EXPECT_EQ(memlog::FrameFilter::isLibraryModule(m.name), m.library) << m.name;
  const struct {
    const char* function;
    bool logger;
  } functions[] = {
      {"quor::captureStack(unsigned int*, unsigned int)", true},
      {"quor::logMemoryEvent(char const*, unsigned int, unsigned int, unsigned int, short)", true},
      {"quor::(anonymous namespace)::recordAllocation(unsigned short, void*)", true},
      {"quor::trackReallocation(void*, unsigned int, void* (*)(void*, unsigned int))", true},
      {"quor::Platform::operator new[](unsigned int)", true},
      {"quor::Platform::initialize(quor::Platform::Config const*)", false},
      {"(anonymous namespace)::makeBuckets(unsigned int)", false},
  };
  for (const auto& f : functions)
    EXPECT_EQ(memlog::FrameFilter::isLoggerFunction(f.function), f.logger) << f.function;
}

TEST(Analysis, LiveMapAgreesWithAReferenceMap) {
  // Random puts, replacements and removals over a small key space, address 0 among them, so that
  // buckets overflow into their neighbours, wrap around the table's end and empty again.
  memlog::LiveMap m;
  std::map<uint32_t, memlog::LiveBlock> ref;
  std::mt19937 rng(7);
  const auto same = [](const memlog::LiveBlock& a, const memlog::LiveBlock& b) {
    return a.event == b.event && a.size == b.size && a.stack == b.stack && a.id == b.id &&
           a.region == b.region && a.code == b.code;
  };
  const auto agrees = [&] {
    size_t visited = 0;
    m.forEach([&](uint32_t key, const memlog::LiveBlock& b) {
      ++visited;
      EXPECT_TRUE(ref.count(key) && same(b, ref[key])) << key;
    });
    memlog::LiveBlock b;
    for (uint32_t key = 0; key < 3000 * 16; key += 16)
      EXPECT_EQ(m.find(key, b), ref.count(key) == 1) << key;
    return visited == ref.size() && m.size() == ref.size();
  };
  for (uint32_t step = 0; step < 200000; ++step) {
    const uint32_t key = (rng() % 3000) * 16;
    const auto it = ref.find(key);
    if (it == ref.end() || rng() % 3 == 0) {
      memlog::LiveBlock b, old;
      b.event = step;
      b.size = step * 3;
      b.stack = step % 7;
      b.id = ~step;
      b.region = uint16_t(step);
      b.code = uint8_t(step % 9);
      ASSERT_EQ(m.put(key, b, old), it != ref.end()) << key;
      ASSERT_TRUE(it == ref.end() || same(old, it->second)) << key;
      ref[key] = b;
    } else {
      memlog::LiveKeys gone{};
      ASSERT_TRUE(m.remove(key, gone)) << key;
      ASSERT_TRUE(gone.size == it->second.size && gone.stack == it->second.stack &&
                  gone.region == it->second.region)
          << key;
      ref.erase(it);
    }
    ASSERT_TRUE(step % 9973 != 0 || agrees()) << step;
  }
  EXPECT_TRUE(agrees());
}

namespace {

// Every figure of an analysis as text, the live blocks in address order.
std::string figures(const memlog::Analysis& a) {
  std::ostringstream o;
  o << a.events << ' ' << a.liveBlocks << ' ' << a.liveBytes << ' ' << a.peakBytes << ' '
    << a.peakEvent << ' ' << a.peakBlocks << ' ' << a.unknownReleases << ' ' << a.doubleAllocations
    << " ops";
  for (uint64_t n : a.opCounts) o << ' ' << n;
  for (int b = 0; b < memlog::kHistogramBuckets; ++b)
    o << " h" << a.histCount[b] << '/' << a.histBytes[b];
  for (const memlog::Anomaly& an : a.anomalies)
    o << " a" << an.kind << ',' << an.event << ',' << an.offset << ',' << an.previousEvent;
  for (uint32_t id = 0; id < a.stacks.size(); ++id) {
    const memlog::StackStats& s = a.stackStats[id];
    o << "\ns" << a.stacks.frameCount(id) << ' ' << s.allocCalls << ' ' << s.allocBytes << ' '
      << s.liveBlocks << ' ' << s.liveBytes << ' ' << s.peakLiveBytes << ' ' << s.atPeakBlocks
      << ' ' << s.atPeakBytes;
  }
  for (uint16_t id : a.regionIds()) {
    const memlog::RegionStats& r = a.regionStats(id);
    o << "\nr" << id << ' ' << r.events << ' ' << r.liveBlocks << ' ' << r.liveBytes << ' '
      << r.peakBytes << ' ' << r.peakEvent;
  }
  std::map<uint32_t, memlog::LiveBlock> live;
  a.live().forEach([&](uint32_t address, const memlog::LiveBlock& b) { live[address] = b; });
  for (const auto& kv : live)
    o << "\nl" << kv.first << ' ' << kv.second.event << ' ' << kv.second.size << ' '
      << kv.second.stack << ' ' << kv.second.id << ' ' << kv.second.region << ' '
      << int(kv.second.code);
  return o.str();
}

}  // namespace

TEST(Analysis, ReplayOnItsThreadMatchesTheReplayOfEachEvent) {
  // A log of many batches, read in runs (replayed on the second thread) and event by event (an
  // observer makes the reader hand them over singly, replayed at once). Addresses repeat, so there
  // are double allocations and unknown releases, and some stacks outgrow a stack's head.
  LogWriter w;
  w.modules({{0x00400000, "C:\\app.exe"}, {0x10000000, "C:\\quorkit.dll"}});
  std::mt19937 rng(11);
  for (uint32_t i = 0; i < 20000; ++i) {
    std::vector<uint32_t> frames(1 + rng() % 20);
    for (uint32_t& f : frames) f = 0x00401000 + (rng() % 8) * 16;
    frames[0] = 0x10001000;  // the logger's
    const uint32_t code = rng() % 2 ? 2 + rng() % 3 : 5 + rng() % 3;
    w.event(code, i, (rng() % 2048) * 16, rng() % 5000, uint16_t(rng() % 3), frames);
  }
  memlog::Analysis runs, single;
  replay(runs, w);
  struct Observer final : memlog::LogVisitor {
    void onModules(const std::vector<memlog::ModuleInfo>&) override {}
    void onEvent(const memlog::Event&) override {}
  } observer;
  memlog::MemorySource src(reinterpret_cast<const uint8_t*>(w.bytes().data()), w.bytes().size());
  ASSERT_EQ(memlog::readLog(src, single, &observer).status, memlog::ReadStatus::Ok);
  EXPECT_GT(runs.doubleAllocations, 0u);
  EXPECT_GT(runs.unknownReleases, 0u);
  EXPECT_EQ(figures(runs), figures(single));
}
