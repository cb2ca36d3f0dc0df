// Block walking: truncation at every byte, the kinds of damage the goldens do not show, and the
// bound on what the reader allocates for lengths the file cannot back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "log_format.h"
#include "log_reader.h"
#include "log_writer.h"

using memlog_test::LogWriter;

// Largest single allocation while `tracking` is set, to bound the reader's appetite.
static std::atomic<bool> tracking{false};
static std::atomic<size_t> largestAllocation{0};

// The replacement pairs malloc with free by construction; the compiler cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  if (tracking && n > largestAllocation) largestAllocation = n;
  if (void* p = malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

struct Collected : memlog::LogVisitor {
  size_t events = 0;
  void onModules(const std::vector<memlog::ModuleInfo>&) override {}
  void onEvent(const memlog::Event&) override { ++events; }
};

memlog::ReadResult read(const std::string& bytes, Collected& c) {
  memlog::MemorySource src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return memlog::readLog(src, c);
}

}  // namespace

TEST(Reader, TruncationAtEveryOffsetStopsAtTheLastCompleteBlock) {
  LogWriter w;
  w.modules({{0x00400000, "a.exe"}, {0x10000000, "b.dll"}});
  std::vector<size_t> ends{w.bytes().size()};
  for (uint32_t i = 0; i < 6; ++i) {
    w.event(2 + i % 4, i, 0x1000 * i, i, 0, std::vector<uint32_t>(i * 3, 0x00401000 + i));
    ends.push_back(w.bytes().size());
  }
  const std::string full = w.bytes();
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    Collected c;
    const memlog::ReadResult r = read(full.substr(0, cut), c);
    size_t complete = 0;  // blocks wholly before the cut
    while (complete < ends.size() && ends[complete] <= cut) ++complete;
    const uint64_t lastEnd = complete ? ends[complete - 1] : 0;
    SCOPED_TRACE(cut);
    EXPECT_EQ(c.events, complete ? complete - 1 : 0);
    EXPECT_EQ(r.bytes, lastEnd);
    // Less than a record is no log at all; a log needs an event to be whole.
    const memlog::ReadStatus want = cut < 32 ? memlog::ReadStatus::Corrupt
                                    : cut == lastEnd && complete > 1
                                        ? memlog::ReadStatus::Ok
                                        : memlog::ReadStatus::Truncated;
    EXPECT_EQ(r.status, want);
    EXPECT_EQ(r.problemOffset, want == memlog::ReadStatus::Ok ? 0 : lastEnd);
  }
}

TEST(Reader, ClassifiesDamageAndNamesItsOffset) {
  auto withCount = [](uint32_t count) {
    LogWriter m;
    m.modules({});
    for (int i = 0; i < 4; ++i) m.mutableBytes()[32 + i] = char(count >> (8 * i));
    return m.mutableBytes().append(2052 * 2, 'x');
  };
  LogWriter most, shifted, late;
  most.event(2, 1, 1, 1, 0, std::vector<uint32_t>(memlog::kMaxFrames, 0x401000));
  shifted.event(2, 1, 1, 1, 0, {}).event(2, 1, 1, 1, 0, {});
  shifted.mutableBytes()[48 + 31] = 1;  // record padding is zero: the walk lost the blocks
  late.event(2, 1, 1, 1, 0, {}).modules({});
  const struct {
    const char* what;
    std::string bytes;
    memlog::ReadStatus status;
    uint64_t offset, events;
  } cases[] = {
      {"the writer's largest frame count", most.bytes(), memlog::ReadStatus::Ok, 0, 1},
      {"non-zero record padding", shifted.bytes(), memlog::ReadStatus::Corrupt, 48, 1},
      {"a module block after an event", late.bytes(), memlog::ReadStatus::Corrupt, 48, 1},
      {"2^32-1 modules", withCount(0xffffffffu), memlog::ReadStatus::Corrupt, 32, 0},
      {"128 modules, a table cut short", withCount(128), memlog::ReadStatus::Truncated, 0, 0},
      {"text", std::string(64, 'x'), memlog::ReadStatus::Corrupt, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Collected got;
    const memlog::ReadResult r = read(c.bytes, got);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.events, c.events);
    EXPECT_EQ(r.problemOffset, c.offset);
  }
}

TEST(Reader, AllocatesNoMoreThanTheFileBacks) {
  // Small files whose length fields claim far more than they hold.
  LogWriter frames;
  frames.rawEvent(2, memlog::kMaxFrames);
  frames.mutableBytes().append(60, '\0');
  LogWriter modules;
  modules.modules({});
  modules.mutableBytes()[32] = char(128);
  modules.mutableBytes().append(100, '\0');
  for (const std::string& bytes : {frames.bytes(), modules.bytes()}) {
    Collected c;
    largestAllocation = 0;
    tracking = true;
    const memlog::ReadResult r = read(bytes, c);
    tracking = false;
    EXPECT_EQ(r.status, memlog::ReadStatus::Truncated);
    EXPECT_LE(largestAllocation.load(), 2 * bytes.size() + 64);
  }
}
