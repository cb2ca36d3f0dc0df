// What the reports cannot show on their own: which frames are the logger's, and the live map
// against a reference under long probe runs. Pairing, anomalies and peaks are in the goldens.
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
    }
  }
  for (uint32_t k = 0; k < 3000 * 16; k += 16) EXPECT_EQ(m.find(k) != nullptr, ref.count(k) == 1);
}
