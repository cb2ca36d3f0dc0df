// The memory tracker of the leak-tracking build: the exact events a scripted sequence writes to
// the log, the counters, the handler and the break by serial, releases of blocks that are not
// live, the dumps, the switches, and four threads at once.
#include <quor/Platform.h>

#include <pal/testing.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <thread>

#include "memlog/MemoryTracker.h"
#include "support/capture.h"
#include "support/memlog_file.h"

using quor::Platform;
using namespace quortest;

// The first bytes of each block that reaches the allocator's release.
static std::vector<std::string> g_released;
static bool g_watchReleases = false;
extern "C" void __real__aligned_free(void* block);
extern "C" void __wrap__aligned_free(void* block) {
  if (g_watchReleases && block != nullptr) g_released.emplace_back(static_cast<char*>(block), 8);
  __real__aligned_free(block);
}

namespace {

typedef Platform::DebugMemTag Tag;
typedef std::array<uint32_t, 5> Event;  // code, id, address, size, region
const uint32_t kMalloc = 2, kMemalign = 3, kRealloc = 4, kFree = 5;  // as the log stores them

uint32_t addressOf(const void* block) { return static_cast<uint32_t>(uintptr_t(block)); }

// Once one event has happened the log is open and its end is a block boundary between events.
size_t logEnd() {
  Platform::free(Platform::malloc(1));
  return readFile(logPath()).size();
}

std::vector<Event> eventsSince(size_t start) {
  std::vector<Event> events;
  for (const LogBlock& b : parseLog(readFile(logPath()).substr(start)))
    if (b.code != 1) events.push_back({b.code, b.id, b.address, b.size, b.region});
  return events;
}

std::string g_diagnosis;
void collectDiagnosis(quor::ErrorLevel level, const char* message) {
  g_diagnosis += std::to_string(static_cast<int>(level)) + ":" + message + "\n";
}
std::vector<Tag> g_tags;
void collectTag(const Tag& tag) { g_tags.push_back(tag); }

unsigned int g_liveAtBreak = 0;
void noteBreak() { g_liveAtBreak = Platform::getAllocCount(); }

int g_nestedCalls = 0;
// A handler that allocates: its own events are tracked but not shown to it again.
void allocatingHandler(const Tag&) {
  ++g_nestedCalls;
  Platform::free(Platform::malloc(8));
}

TEST(MemLogEvents, ScriptedSequenceIsLoggedShownToTheHandlerCountedAndWalked) {
  const size_t start = logEnd();
  const uint32_t s = Platform::getTotalAllocCount() + 1;  // the next serial
  Platform::MemInfo before, after;
  Platform::getMemInfo(before, Platform::MemInfo::RESET_PEAK);
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(&collectTag));
  pal_set_break_hook(&noteBreak);
  Platform::setBreakBySerial(s + 1);
  Platform::setCurrentComment("scripted");
  Platform::pushDebugRegion(0x5A);
  void* a = Platform::malloc(100);
  void* b = Platform::memalign(64, 200);
  void* c = Platform::operator new(24);
  void* d = Platform::operator new[](40);
  const uint32_t C = addressOf(c), D = addressOf(d);  // before their deletes
  // Failed allocations log nothing: no 4 GiB block, no alignment of 3, an impossible growth.
  EXPECT_EQ(nullptr, Platform::malloc(0xFFFFFF00u));
  EXPECT_EQ(nullptr, Platform::memalign(3, 16));
  EXPECT_EQ(nullptr, Platform::realloc(a, 0xFFFFFF00u));
  void* a2 = Platform::realloc(a, 5000);  // grows (and moves: no room behind 100 bytes)
  Platform::setCurrentComment(nullptr);
  Platform::pushDebugRegion(0x5B);
  void* b2 = Platform::realloc(b, 16);          // shrinks
  void* e = Platform::realloc(nullptr, 32);     // an allocation by realloc
  EXPECT_EQ(nullptr, Platform::realloc(e, 0));  // to a null result: the block is released
  Platform::popDebugRegion();
  Platform::free(nullptr);  // no event
  Platform::operator delete(nullptr);
  Platform::operator delete(c);
  Platform::operator delete[](d);
  Platform::popDebugRegion();
  EXPECT_EQ(&collectTag, Platform::setMemTrackerHandler(nullptr));
  Platform::setBreakBySerial(0);
  pal_set_break_hook(nullptr);
  // The break came once, for the serial asked, with the block already in the table.
  EXPECT_EQ(before.liveCount + 2, g_liveAtBreak);
  const uint32_t A = addressOf(a), B = addressOf(b), A2 = addressOf(a2), B2 = addressOf(b2),
                 E = addressOf(e);
  const std::vector<Event> expected = {
      {kMalloc, s, A, 100, 0x5A},     {kMemalign, s + 1, B, 200, 0x5A},
      {kRealloc, s + 2, C, 24, 0x5A}, {kRealloc, s + 3, D, 40, 0x5A},
      {kFree, s, A, 100, 0x5A},       {kRealloc, s + 4, A2, 5000, 0x5A},
      {kFree, s + 1, B, 200, 0x5B},   {kRealloc, s + 5, B2, 16, 0x5B},
      {kRealloc, s + 6, E, 32, 0x5B}, {kFree, s + 6, E, 32, 0x5B},
      {kFree, s + 2, C, 24, 0x5A},    {kFree, s + 3, D, 40, 0x5A}};
  EXPECT_EQ(expected, eventsSince(start));
  // The handler saw the same events, with the operation asked and the block's own region (where
  // the log has the current one) and comment.
  const std::pair<int, bool> shown[] = {
      {Tag::OP_MALLOC, true},    {Tag::OP_MEMALIGN, true}, {Tag::OP_NEW, true},
      {Tag::OP_NEW_ARRAY, true}, {Tag::OP_FREE, true},     {Tag::OP_REALLOC, true},
      {Tag::OP_FREE, true},      {Tag::OP_REALLOC, false}, {Tag::OP_REALLOC, false},
      {Tag::OP_FREE, false},     {Tag::OP_DELETE, true},   {Tag::OP_DELETE_ARRAY, true}};
  ASSERT_EQ(expected.size(), g_tags.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Tag& t = g_tags[i];
    const Event seen = {expected[i][0], t.serial, addressOf(t.block), t.size, expected[i][4]};
    EXPECT_TRUE(seen == expected[i] && t.region == (t.serial < s + 5 ? 0x5A : 0x5B) &&
                shown[i] == std::make_pair(int(t.op), t.comment != nullptr))
        << i;
  }

  // Live a2 and b2; seven allocations (reallocs included), five releases, three reallocs; the
  // peak held a2, b, c and d (a realloc's release is counted before its new block).
  Platform::getMemInfo(after, Platform::MemInfo::RESET_PEAK);
  const unsigned deltas[] = {
      after.liveCount - before.liveCount,         after.liveBytes - before.liveBytes,
      after.totalAllocs - before.totalAllocs,     after.totalFrees - before.totalFrees,
      after.totalReallocs - before.totalReallocs, after.peakBytes - before.liveBytes};
  EXPECT_EQ(std::vector<unsigned>(deltas, deltas + 6),
            (std::vector<unsigned>{2, 5016, 7, 5, 3, 5264}));
  Platform::getMemInfo(after, 0);
  EXPECT_TRUE(after.peakBytes == after.liveBytes && after.liveBytes == Platform::getAllocSize());

  // The walk visits every live block in serial order, with the region and comment they had.
  g_diagnosis.clear();
  quor::DiagnosisHandler saved = Platform::setDiagnosisHandler(&collectDiagnosis);
  g_tags.clear();
  Platform::checkMemoryBlocks(&collectTag);
  EXPECT_EQ("", g_diagnosis);
  ASSERT_EQ(after.liveCount, g_tags.size());
  EXPECT_TRUE(std::is_sorted(g_tags.begin(), g_tags.end(),
                             [](const Tag& x, const Tag& y) { return x.serial < y.serial; }));
  const Tag &grown = g_tags[g_tags.size() - 2], &shrunk = g_tags.back();
  EXPECT_TRUE(grown.block == a2 && grown.op == Tag::OP_REALLOC && grown.comment &&
              grown.region == 0x5A);
  EXPECT_TRUE(shrunk.block == b2 && !shrunk.comment && shrunk.region == 0x5B);
  // The check finds a table that no longer agrees with the counters.
  quor::LiveBlock* entry = quor::trackedBlocksForTesting().find(B2);
  ASSERT_NE(nullptr, entry);
  entry->size += 1;
  Platform::checkMemoryBlocks(nullptr);
  entry->size -= 1;
  EXPECT_NE(std::string::npos, g_diagnosis.find("1:memory tracker: the table holds"));
  Platform::setDiagnosisHandler(saved);

  // Dumps of a range of regions: to a file, or to the channel without one; callbacks alike.
  const std::string dumpName = executablePath() + ".dump.txt";
  Platform::dumpRegion(0x5A, 0x5A, dumpName.c_str());
  char dumped[160];
  snprintf(dumped, sizeof dumped,
           "<<realloc>>: {0x%08X} 0x%08X, 5000 bytes. region 0x005A \"scripted\"\n"
           "1 blocks, 5000 bytes\n",
           s + 4, A2);
  EXPECT_EQ(dumped, readFile(dumpName));
  std::remove(dumpName.c_str());
  {
    DebugChannelCapture debug;
    Platform::dumpRegion(0x5B, 0x5F, nullptr);
    EXPECT_NE(std::string::npos,
              debug.joined().find("16 bytes. region 0x005B\n1 blocks, 16 bytes\n"));
  }
  g_tags.clear();
  Platform::dumpRegionCb(&collectTag, 0x5B, 0x5B);
  EXPECT_TRUE(g_tags.size() == 1 && g_tags[0].block == b2);

  // A handler that allocates sees each outer event once, not its own.
  Platform::setMemTrackerHandler(&allocatingHandler);
  Platform::free(Platform::malloc(4));
  Platform::setMemTrackerHandler(nullptr);
  EXPECT_EQ(2, g_nestedCalls);
  Platform::free(b2);
  Platform::free(a2);
}

std::string notLive(const char* what, uint32_t address) {
  char line[96];
  snprintf(line, sizeof line, "1:%s of 0x%08X, which is not a live block.\n", what, address);
  return line;
}

// Out of line, so that the compiler cannot see the misuse being tested and refuse it.
__attribute__((noinline)) char* hidden(char* pointer) {
  asm volatile("" : "+r"(pointer));
  return pointer;
}

TEST(MemLogBadRelease, UnknownAndDoubleReleasesAreDiagnosedAndChangeNothing) {
  g_diagnosis.clear();
  quor::DiagnosisHandler saved = Platform::setDiagnosisHandler(&collectDiagnosis);
  const size_t start = logEnd();
  Platform::MemInfo before, after;
  Platform::getMemInfo(before, 0);
  char storage[64];
  Platform::free(hidden(storage) + 8);
  Platform::operator delete(hidden(storage));
  Platform::operator delete[](hidden(storage) + 16);
  EXPECT_EQ(nullptr, Platform::realloc(hidden(storage), 128));
  void* block = Platform::malloc(48);
  Platform::validateMemoryBlock(block);  // live: silent
  Platform::free(block);
  Platform::free(block);  // the second release of the same block
  Platform::validateMemoryBlock(block);
  Platform::validateMemoryBlock(nullptr);
  const uint32_t at = addressOf(storage), live = addressOf(block);
  EXPECT_EQ(notLive("free", at + 8) + notLive("delete", at) + notLive("delete_array", at + 16) +
                notLive("realloc", at) + notLive("free", live) +
                notLive("validateMemoryBlock", live) + notLive("validateMemoryBlock", 0),
            g_diagnosis);
  // Only the good allocation and its one release were logged and counted.
  const std::vector<Event> events = eventsSince(start);
  ASSERT_EQ(2u, events.size());
  EXPECT_TRUE(events[0][0] == kMalloc && events[1][0] == kFree && events[0][1] == events[1][1]);
  Platform::getMemInfo(after, 0);
  EXPECT_TRUE(before.liveCount == after.liveCount && before.liveBytes == after.liveBytes &&
              before.totalAllocs + 1 == after.totalAllocs);
  Platform::setDiagnosisHandler(saved);
}

TEST(MemLogSwitches, FillsLevelAndMemoryChannel) {
  // Fill on allocation: the whole new block, and the grown tail of a realloc; on release, the
  // allocator receives the block already filled.
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC, true);
  unsigned char* block = static_cast<unsigned char*>(Platform::malloc(16));
  EXPECT_EQ(16, std::count(block, block + 16, 0xCD));
  memset(block, 'x', 16);
  block = static_cast<unsigned char*>(Platform::realloc(block, 64));
  EXPECT_TRUE(std::count(block, block + 16, 'x') == 16 &&
              std::count(block, block + 64, 0xCD) == 48);
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC, false);
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_FREE, true);
  g_watchReleases = true;
  Platform::free(block);
  g_watchReleases = false;
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_FREE, false);
  EXPECT_EQ(std::vector<std::string>{std::string(8, '\xDD')}, g_released);

  // The debug level and the memory channel, on standard output.
  StdoutCapture out;
  Platform::setDebugLevel(2);
  Platform::dprintf(2, "level %d\n", 2);
  Platform::dprintf(3, "level %d\n", 3);
  Platform::setDebugLevel(0);
  Platform::setDebugInfo(quor::DEBUG_INFO_MEMORY, true);
  void* shown = Platform::malloc(12);
  Platform::free(shown);
  Platform::setDebugInfo(quor::DEBUG_INFO_MEMORY, false);
  const unsigned int serial = Platform::getTotalAllocCount();
  char lines[256];
  snprintf(lines, sizeof lines,
           "level 2\nmemory: malloc {%u} 0x%08X, 12 bytes, region 0x0000\n"
           "memory: free {%u} 0x%08X, 12 bytes, region 0x0000\n",
           serial, addressOf(shown), serial, addressOf(shown));
  EXPECT_EQ(lines, out.text());
}

// Each thread keeps up to 32 blocks of its own and picks its next operation from a fixed-seed
// generator, so a run is bounded and every thread allocates, aligns, grows, shrinks and releases.
void churn(unsigned int state, int operations) {
  void* blocks[32] = {};
  for (int i = 0; i < operations; ++i) {
    state = state * 1103515245u + 12345u;
    const unsigned int r = state >> 8, slot = r % 32, size = 1 + (r >> 5) % 700, pick = r >> 16;
    void*& block = blocks[slot];
    if (block == nullptr) {
      block = pick % 2 ? Platform::malloc(size) : Platform::memalign(16, size);
    } else if (pick % 3 == 0) {
      if (void* moved = Platform::realloc(block, size)) block = moved;
    } else {
      Platform::free(block);
      block = nullptr;
    }
  }
  for (void* block : blocks) Platform::free(block);
}

TEST(MemLogThreads, FourThreadsBalanceAndEveryRecordParses) {
  const size_t start = logEnd();
  Platform::MemInfo before, after;
  Platform::getMemInfo(before, 0);
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < 4; ++t) threads.emplace_back(churn, 7u + t, 10000);
  for (std::thread& thread : threads) thread.join();
  Platform::getMemInfo(after, 0);
  EXPECT_TRUE(before.liveCount == after.liveCount && before.liveBytes == after.liveBytes);
  EXPECT_EQ(after.totalAllocs - before.totalAllocs, after.totalFrees - before.totalFrees);
  EXPECT_GT(after.totalReallocs, before.totalReallocs);

  // The allocations' serials rise in log order without a gap, and every release names a block
  // of this run that was live, with its address and size.
  const std::vector<Event> events = eventsSince(start);
  ASSERT_EQ(2 * (after.totalAllocs - before.totalAllocs), events.size());
  std::map<uint32_t, Event> live;  // by serial
  uint32_t nextSerial = before.totalAllocs + 1;
  for (const Event& e : events) {
    if (e[0] == kFree) {
      auto found = live.find(e[1]);
      ASSERT_NE(live.end(), found) << "release of serial " << e[1] << " that is not live";
      EXPECT_TRUE(found->second[2] == e[2] && found->second[3] == e[3]) << e[1];
      live.erase(found);
    } else {
      ASSERT_TRUE(e[0] >= kMalloc && e[0] <= kRealloc && e[1] == nextSerial++) << e[1];
      live[e[1]] = e;
    }
  }
  EXPECT_TRUE(live.empty());
}

}  // namespace
