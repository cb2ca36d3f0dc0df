// Block walking: layout, truncation at every byte, classification of damage and the
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
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  if (tracking && n > largestAllocation) largestAllocation = n;
  return malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

struct Collected : memlog::LogVisitor {
  std::vector<memlog::ModuleInfo> modules;
  std::vector<memlog::Event> events;
  std::vector<std::vector<uint32_t>> frames;
  void onModules(const std::vector<memlog::ModuleInfo>& m) override { modules = m; }
  void onEvent(const memlog::Event& e) override {
    events.push_back(e);
    frames.emplace_back(e.frames, e.frames + e.frameCount);
  }
};

memlog::ReadResult read(const std::string& bytes, Collected& c) {
  memlog::MemorySource src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return memlog::readLog(src, c);
}

}  // namespace

TEST(Reader, DecodesModuleBlockAndEventsAtTheirOffsets) {
  LogWriter w;
  w.modules({{0x00400000, "C:\\app\\app.exe"}})
      .event(2, 0x11223344, 0x00501000, 4096, 0xBEEF,
             {0x00401000, 0x00402000, 0x00403000, 0x00404000, 0x00405000})
      .event(5, 7, 0x00501000, 0, 1, {});
  // One module: 32 + 4 + 2064 bytes; five frames: a 32-byte stack block.
  ASSERT_EQ(w.bytes().size(), 2100u + 64u + 48u);
  Collected c;
  const memlog::ReadResult r = read(w.bytes(), c);
  EXPECT_EQ(r.status, memlog::ReadStatus::Ok);
  EXPECT_EQ(r.events, 2u);
  EXPECT_EQ(r.bytes, w.bytes().size());
  ASSERT_EQ(c.modules.size(), 1u);
  EXPECT_EQ(c.modules[0].base, 0x00400000u);
  EXPECT_EQ(c.modules[0].name, "C:\\app\\app.exe");
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[0].offset, 2100u);
  EXPECT_EQ(c.events[0].number, 1u);
  EXPECT_EQ(c.events[0].code, 2u);
  EXPECT_EQ(c.events[0].id, 0x11223344u);
  EXPECT_EQ(c.events[0].address, 0x00501000u);
  EXPECT_EQ(c.events[0].size, 4096u);
  EXPECT_EQ(c.events[0].region, 0xBEEF);
  EXPECT_EQ(c.frames[0],
            (std::vector<uint32_t>{0x00401000, 0x00402000, 0x00403000, 0x00404000, 0x00405000}));
  EXPECT_EQ(c.events[1].offset, 2164u);
  EXPECT_EQ(c.events[1].code, 5u);
  EXPECT_TRUE(c.frames[1].empty());

  // Without a module block, events start at 0 and no module table is reported.
  LogWriter bare;
  bare.event(4, 1, 2, 3, 4, {9, 8, 7});
  Collected b;
  EXPECT_EQ(read(bare.bytes(), b).status, memlog::ReadStatus::Ok);
  EXPECT_TRUE(b.modules.empty());
  ASSERT_EQ(b.events.size(), 1u);
  EXPECT_EQ(b.frames[0], (std::vector<uint32_t>{9, 8, 7}));

  // A module name filling all 2048 characters with no NUL is cut at the field.
  LogWriter longName;
  longName.modules({{1, std::string(3000, 'x')}});
  Collected l;
  EXPECT_EQ(read(longName.bytes(), l).status, memlog::ReadStatus::Ok);
  ASSERT_EQ(l.modules.size(), 1u);
  EXPECT_EQ(l.modules[0].name.size(), 2047u);
}

TEST(Reader, TruncationAtEveryOffsetStopsAtTheLastCompleteBlock) {
  LogWriter w;
  w.modules({{0x00400000, "a.exe"}, {0x10000000, "b.dll"}});
  std::vector<size_t> ends{w.bytes().size()};
  for (uint32_t i = 0; i < 6; ++i) {
    std::vector<uint32_t> frames(i * 3, 0x00401000 + i);
    w.event(2 + i % 4, i, 0x1000 * i, i, 0, frames);
    ends.push_back(w.bytes().size());
  }
  const std::string full = w.bytes();
  for (size_t cut = 0; cut < full.size(); ++cut) {
    Collected c;
    const memlog::ReadResult r = read(full.substr(0, cut), c);
    size_t complete = 0;  // blocks wholly before the cut
    while (complete < ends.size() && ends[complete] <= cut) ++complete;
    const uint64_t lastEnd = complete ? ends[complete - 1] : 0;
    const uint64_t eventsBefore = complete ? complete - 1 : 0;
    SCOPED_TRACE(cut);
    EXPECT_EQ(r.events, eventsBefore);
    EXPECT_EQ(c.events.size(), eventsBefore);
    EXPECT_EQ(r.bytes, lastEnd);
    EXPECT_EQ(c.modules.size(), complete ? 2u : 0u);
    if (cut == lastEnd) {
      EXPECT_EQ(r.status, memlog::ReadStatus::Ok);
    } else {
      EXPECT_EQ(r.status, memlog::ReadStatus::Truncated);
      EXPECT_EQ(r.problemOffset, lastEnd);
    }
  }
}

TEST(Reader, ReportsCorruptionWithItsOffset) {
  // The largest frame count the writer can produce is accepted, one more is not.
  LogWriter most;
  most.event(2, 1, 1, 1, 0, std::vector<uint32_t>(memlog::kMaxFrames, 0x401000));
  Collected c;
  EXPECT_EQ(read(most.bytes(), c).status, memlog::ReadStatus::Ok);
  ASSERT_EQ(c.frames.size(), 1u);
  EXPECT_EQ(c.frames[0].size(), memlog::kMaxFrames);

  LogWriter tooMany;
  tooMany.event(2, 1, 1, 1, 0, {1}).rawEvent(2, memlog::kMaxFrames + 1);
  tooMany.mutableBytes().append(4096, '\0');
  Collected c2;
  memlog::ReadResult r = read(tooMany.bytes(), c2);
  EXPECT_EQ(r.status, memlog::ReadStatus::Corrupt);
  EXPECT_EQ(r.problemOffset, 48u + 32u);  // the count word
  EXPECT_EQ(r.events, 1u);
  EXPECT_NE(r.message.find("32768"), std::string::npos);

  // Codes above the table; code 9 is still known.
  LogWriter code;
  code.event(9, 1, 1, 1, 0, {}).event(10, 1, 1, 1, 0, {});
  Collected c3;
  r = read(code.bytes(), c3);
  EXPECT_EQ(r.status, memlog::ReadStatus::Corrupt);
  EXPECT_EQ(r.problemOffset, 48u);
  EXPECT_EQ(c3.events.size(), 1u);

  // Non-zero record padding means the reader lost the block boundaries.
  LogWriter shifted;
  shifted.event(2, 1, 1, 1, 0, {}).event(2, 1, 1, 1, 0, {});
  shifted.mutableBytes()[48 + 31] = 1;
  r = read(shifted.bytes(), c3);
  EXPECT_EQ(r.status, memlog::ReadStatus::Corrupt);
  EXPECT_EQ(r.problemOffset, 48u);

  // A module block only ever heads the log.
  LogWriter late;
  late.event(2, 1, 1, 1, 0, {}).modules({});
  r = read(late.bytes(), c3);
  EXPECT_EQ(r.status, memlog::ReadStatus::Corrupt);
  EXPECT_EQ(r.problemOffset, 48u);

  // A module count past the writer's table that runs off the file is corrupt; one
  // the writer could have written is a cut file.
  for (uint32_t count : {129u, 0xffffffffu, 128u}) {
    LogWriter m;
    m.modules({});
    for (int i = 0; i < 4; ++i) m.mutableBytes()[32 + i] = char(count >> (8 * i));
    m.mutableBytes().append(2052 * 2, 'x');
    r = read(m.bytes(), c3);
    SCOPED_TRACE(count);
    if (count > memlog::kWriterModuleCapacity) {
      EXPECT_EQ(r.status, memlog::ReadStatus::Corrupt);
      EXPECT_EQ(r.problemOffset, 32u);
    } else {
      EXPECT_EQ(r.status, memlog::ReadStatus::Truncated);
      EXPECT_EQ(r.problemOffset, 0u);
    }
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
