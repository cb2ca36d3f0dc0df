// The memory tracker of the leak-tracking build: the exact events a scripted sequence writes to
// the log (read here from the file layout), the counters, getMemInfo, the handler and the walks,
// releases of blocks that are not live, the switches and dumps, and four threads at once.
#include <quor/Platform.h>

#include <pal/testing.h>

#include "memlog/MemoryTracker.h"
#include "memlog/memlog_test_support.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using quor::Platform;
using namespace memlogtest;

namespace {

::testing::Environment* const kLock = ::testing::AddGlobalTestEnvironment(new FileLockEnvironment);

typedef Platform::DebugMemTag Tag;

// Log codes as the writer stores them (new and new_array as realloc, the deletes as free).
const uint32_t kMalloc = 2, kMemalign = 3, kRealloc = 4, kFree = 5;

struct Expected {
  uint32_t code, id, address, size;
  uint16_t region;
};

void expectEvents(const std::vector<Expected>& expected, const std::vector<Event>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("event " + std::to_string(i));
    EXPECT_EQ(expected[i].code, actual[i].code);
    EXPECT_EQ(expected[i].id, actual[i].id);
    EXPECT_EQ(expected[i].address, actual[i].address);
    EXPECT_EQ(expected[i].size, actual[i].size);
    EXPECT_EQ(expected[i].region, actual[i].region);
  }
}

// The log is open and every earlier event written once one event has happened; from then on the
// file's end is a block boundary between events.
size_t logEnd() {
  Platform::free(Platform::malloc(1));
  return fileSize(logPath());
}

std::string g_diagnosis;
void collectDiagnosis(quor::ErrorLevel level, const char* message) {
  g_diagnosis += std::to_string(static_cast<int>(level)) + ":" + message + "\n";
}

TEST(MemLogEvents, ScriptedSequenceWritesExactlyTheExpectedEvents) {
  const size_t start = logEnd();
  const uint32_t s = Platform::getTotalAllocCount() + 1;  // the next serial

  Platform::pushDebugRegion(0x51);
  void* a = Platform::malloc(100);
  void* b = Platform::memalign(64, 200);
  void* c = Platform::operator new(24);
  void* d = Platform::operator new[](40);
  ASSERT_TRUE(a && b && c && d);
  const uint32_t ca = addressOf(c), da = addressOf(d);
  // Failed allocations log nothing: no 4 GiB block, no alignment of 3, an impossible growth.
  EXPECT_EQ(nullptr, Platform::malloc(0xFFFFFF00u));
  EXPECT_EQ(nullptr, Platform::memalign(3, 16));
  EXPECT_EQ(nullptr, Platform::realloc(a, 0xFFFFFF00u));

  void* a2 = Platform::realloc(a, 5000);  // grows (and moves: glibc has no room behind 100 bytes)
  ASSERT_NE(nullptr, a2);
  Platform::pushDebugRegion(0x52);
  void* b2 = Platform::realloc(b, 16);       // shrinks
  void* e = Platform::realloc(nullptr, 32);  // an allocation by realloc
  ASSERT_TRUE(b2 && e);
  EXPECT_EQ(nullptr, Platform::realloc(e, 0));  // to a null result: the block is released
  Platform::popDebugRegion();
  Platform::free(nullptr);  // no event
  Platform::operator delete(nullptr);
  Platform::operator delete(c);
  Platform::operator delete[](d);
  Platform::free(b2);
  Platform::free(a2);
  Platform::popDebugRegion();

  expectEvents({{kMalloc, s, addressOf(a), 100, 0x51},
                {kMemalign, s + 1, addressOf(b), 200, 0x51},
                {kRealloc, s + 2, ca, 24, 0x51},  // "new"
                {kRealloc, s + 3, da, 40, 0x51},  // "new_array"
                {kFree, s, addressOf(a), 100, 0x51},
                {kRealloc, s + 4, addressOf(a2), 5000, 0x51},
                {kFree, s + 1, addressOf(b), 200, 0x52},
                {kRealloc, s + 5, addressOf(b2), 16, 0x52},
                {kRealloc, s + 6, addressOf(e), 32, 0x52},
                {kFree, s + 6, addressOf(e), 32, 0x52},
                {kFree, s + 2, ca, 24, 0x51},  // "delete"
                {kFree, s + 3, da, 40, 0x51},  // "delete_array"
                {kFree, s + 5, addressOf(b2), 16, 0x51},
                {kFree, s + 4, addressOf(a2), 5000, 0x51}},
               readEvents(start));
  EXPECT_EQ(s + 7, Platform::getTotalAllocCount() + 1);
}

std::vector<Tag> g_tags;
int g_nestedCalls = 0;
void collectTag(const Tag& tag) { g_tags.push_back(tag); }
void otherHandler(const Tag&) {}
// A handler that allocates: its own events are tracked but not shown to it again.
void allocatingHandler(const Tag&) {
  ++g_nestedCalls;
  Platform::free(Platform::malloc(8));
}

std::vector<Tag> g_visited;
void visit(const Tag& tag) { g_visited.push_back(tag); }

TEST(MemLogCounters, CountersMemInfoHandlerAndChecksFollowMixedSequences) {
  Platform::MemInfo before;
  Platform::getMemInfo(before, Platform::MemInfo::RESET_PEAK);
  EXPECT_EQ(before.liveCount, Platform::getAllocCount());
  EXPECT_EQ(before.liveBytes, Platform::getAllocSize());
  EXPECT_EQ(before.totalAllocs - before.totalFrees, before.liveCount);

  g_tags.clear();
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(&collectTag));
  Platform::setCurrentComment("counters");
  EXPECT_STREQ("counters", Platform::getCurrentComment());
  Platform::pushDebugRegion(7);
  void* a = Platform::malloc(1000);
  void* b = Platform::operator new[](300);
  void* c = Platform::memalign(32, 50);
  void* a2 = Platform::realloc(a, 2000);
  Platform::setCurrentComment(nullptr);
  void* d = Platform::operator new(10);
  Platform::free(c);
  Platform::popDebugRegion();
  EXPECT_EQ(&collectTag, Platform::setMemTrackerHandler(&otherHandler));
  EXPECT_EQ(&otherHandler, Platform::setMemTrackerHandler(nullptr));

  // Every event, in order, as the handler saw it.
  ASSERT_EQ(7u, g_tags.size());
  const unsigned short ops[] = {Tag::OP_MALLOC,  Tag::OP_NEW_ARRAY, Tag::OP_MEMALIGN, Tag::OP_FREE,
                                Tag::OP_REALLOC, Tag::OP_NEW,       Tag::OP_FREE};
  const void* blocks[] = {a, b, c, a, a2, d, c};
  const unsigned int sizes[] = {1000, 300, 50, 1000, 2000, 10, 50};
  for (size_t i = 0; i < g_tags.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ops[i], g_tags[i].op);
    EXPECT_EQ(blocks[i], g_tags[i].block);
    EXPECT_EQ(sizes[i], g_tags[i].size);
    EXPECT_EQ(7, g_tags[i].region);
  }
  EXPECT_EQ(g_tags[0].serial, g_tags[3].serial);  // the release carries the block's serial
  EXPECT_EQ(g_tags[0].serial + 3, g_tags[4].serial);
  EXPECT_STREQ("counters", g_tags[4].comment);
  EXPECT_EQ(nullptr, g_tags[5].comment);

  Platform::MemInfo after;
  Platform::getMemInfo(after, 0);
  EXPECT_EQ(before.liveCount + 3, after.liveCount);  // b, a2, d
  EXPECT_EQ(before.liveBytes + 2310, after.liveBytes);
  EXPECT_EQ(before.totalAllocs + 5, after.totalAllocs);
  EXPECT_EQ(before.totalFrees + 2, after.totalFrees);
  EXPECT_EQ(before.totalReallocs + 1, after.totalReallocs);
  // At most b, c, a2 and d: a realloc's release is counted before its new block, so a and a2
  // never count together.
  EXPECT_EQ(before.liveBytes + 2360, after.peakBytes);
  EXPECT_EQ(after.totalAllocs, Platform::getTotalAllocCount());
  EXPECT_EQ(after.totalFrees, Platform::getTotalFreeCount());
  EXPECT_EQ(after.totalReallocs, Platform::getTotalReallocCount());

  // The walk visits every live block in serial order, ours with the region and comment they had.
  g_diagnosis.clear();
  quor::DiagnosisHandler saved = Platform::setDiagnosisHandler(&collectDiagnosis);
  g_visited.clear();
  Platform::checkMemoryBlocks(&visit);
  EXPECT_EQ("", g_diagnosis);
  ASSERT_EQ(after.liveCount, g_visited.size());
  EXPECT_TRUE(std::is_sorted(g_visited.begin(), g_visited.end(),
                             [](const Tag& x, const Tag& y) { return x.serial < y.serial; }));
  const Tag& last = g_visited.back();
  EXPECT_EQ(d, last.block);
  EXPECT_EQ(Tag::OP_NEW, last.op);
  const Tag& mid = g_visited[g_visited.size() - 2];
  EXPECT_EQ(a2, mid.block);
  EXPECT_EQ(Tag::OP_REALLOC, mid.op);
  EXPECT_STREQ("counters", mid.comment);

  // The check finds a table that no longer agrees with the counters.
  quor::LiveBlock* entry = quor::trackedBlocksForTesting().find(addressOf(d));
  ASSERT_NE(nullptr, entry);
  entry->size += 1;
  Platform::checkMemoryBlocks(nullptr);
  entry->size -= 1;
  EXPECT_NE(std::string::npos, g_diagnosis.find("1:memory tracker: the table holds"))
      << g_diagnosis;

  // A handler that allocates sees each outer event once, not its own.
  g_nestedCalls = 0;
  Platform::setMemTrackerHandler(&allocatingHandler);
  void* e = Platform::malloc(4);
  Platform::free(e);
  Platform::setMemTrackerHandler(nullptr);
  EXPECT_EQ(2, g_nestedCalls);

  // Peak restarts from the live bytes when asked.
  Platform::free(b);
  Platform::free(a2);
  Platform::operator delete(d);
  Platform::MemInfo end;
  Platform::getMemInfo(end, Platform::MemInfo::RESET_PEAK);
  Platform::getMemInfo(end, 0);
  EXPECT_EQ(before.liveCount, end.liveCount);
  EXPECT_EQ(before.liveBytes, end.liveBytes);
  EXPECT_EQ(end.liveBytes, end.peakBytes);
  EXPECT_EQ(end.totalAllocs - end.totalFrees, end.liveCount);
  Platform::setDiagnosisHandler(saved);
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
  Platform::MemInfo before;
  Platform::getMemInfo(before, 0);

  char storage[64];
  const uint32_t stackAddress = addressOf(storage);
  Platform::free(hidden(storage) + 8);
  Platform::operator delete(hidden(storage));
  Platform::operator delete[](hidden(storage) + 16);
  EXPECT_EQ(nullptr, Platform::realloc(hidden(storage), 128));
  void* block = Platform::malloc(48);
  ASSERT_NE(nullptr, block);
  const uint32_t blockAddress = addressOf(block);
  Platform::validateMemoryBlock(block);  // live: silent
  Platform::free(block);
  Platform::free(block);  // the second release of the same block
  Platform::validateMemoryBlock(block);
  Platform::validateMemoryBlock(nullptr);

  char expected[1024];
  snprintf(expected, sizeof expected,
           "1:free of 0x%08X, which is not a live block.\n"
           "1:delete of 0x%08X, which is not a live block.\n"
           "1:delete_array of 0x%08X, which is not a live block.\n"
           "1:realloc of 0x%08X, which is not a live block.\n"
           "1:free of 0x%08X, which is not a live block.\n"
           "1:validateMemoryBlock of 0x%08X, which is not a live block.\n"
           "1:validateMemoryBlock of 0x00000000, which is not a live block.\n",
           stackAddress + 8, stackAddress, stackAddress + 16, stackAddress, blockAddress,
           blockAddress);
  EXPECT_EQ(expected, g_diagnosis);

  // Only the good allocation and its one release were logged and counted.
  const std::vector<Event> events = readEvents(start);
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(kMalloc, events[0].code);
  EXPECT_EQ(kFree, events[1].code);
  EXPECT_EQ(events[0].id, events[1].id);
  Platform::MemInfo after;
  Platform::getMemInfo(after, 0);
  EXPECT_EQ(before.liveCount, after.liveCount);
  EXPECT_EQ(before.liveBytes, after.liveBytes);
  EXPECT_EQ(before.totalAllocs + 1, after.totalAllocs);
  EXPECT_EQ(before.totalFrees + 1, after.totalFrees);

  g_diagnosis.clear();
  Platform::checkMemoryBlocks(nullptr);
  EXPECT_EQ("", g_diagnosis);
  Platform::setDiagnosisHandler(saved);
}

// Blocks that reach the allocator's release, with their first bytes at that moment.
std::vector<std::pair<void*, std::string>> g_released;
bool g_watchReleases = false;

}  // namespace

extern "C" void __real__aligned_free(void* block);
extern "C" void __wrap__aligned_free(void* block) {
  if (g_watchReleases && block != nullptr)
    g_released.emplace_back(block, std::string(static_cast<char*>(block), 8));
  __real__aligned_free(block);
}

namespace {

unsigned int g_liveAtBreak = 0;
void noteBreak() { g_liveAtBreak = Platform::getAllocCount(); }

TEST(MemLogSwitches, FillsBreakChannelsAndDumps) {
  // Fill on allocation: the whole new block, and the grown tail of a realloc.
  EXPECT_FALSE(Platform::getSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC));
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC, true);
  EXPECT_TRUE(Platform::getSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC));
  unsigned char* block = static_cast<unsigned char*>(Platform::malloc(16));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(16, std::count(block, block + 16, 0xCD));
  memset(block, 'x', 16);
  block = static_cast<unsigned char*>(Platform::realloc(block, 64));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(16, std::count(block, block + 16, 'x'));
  EXPECT_EQ(48, std::count(block + 16, block + 64, 0xCD));
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC, false);

  // Fill on release: the allocator receives the block already filled.
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_FREE, true);
  g_released.clear();
  g_watchReleases = true;
  Platform::free(block);
  g_watchReleases = false;
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_FREE, false);
  ASSERT_EQ(1u, g_released.size());
  EXPECT_EQ(block, g_released[0].first);
  EXPECT_EQ(std::string(8, '\xDD'), g_released[0].second);
  EXPECT_FALSE(Platform::getSpecialDebugState(Platform::FEATURE_NONE));
  Platform::setSpecialDebugState(Platform::FEATURE_CHECK_ON_EVERY_CALL, true);
  Platform::free(Platform::malloc(4));  // the check runs and finds nothing
  Platform::setSpecialDebugState(Platform::FEATURE_CHECK_ON_EVERY_CALL, false);

  // The break comes once, for the serial asked, with the block already in the table.
  quortest::BreakCounter breaks;
  pal_set_break_hook(&noteBreak);
  const unsigned int next = Platform::getTotalAllocCount() + 1;
  Platform::setBreakBySerial(next + 1);
  void* first = Platform::malloc(8);
  EXPECT_EQ(0u, g_liveAtBreak);
  void* second = Platform::operator new(8);
  const unsigned int liveWithSecond = Platform::getAllocCount();
  void* third = Platform::malloc(8);
  Platform::setBreakBySerial(0);
  pal_set_break_hook(nullptr);
  EXPECT_EQ(liveWithSecond, g_liveAtBreak);
  Platform::free(first);
  Platform::operator delete(second);
  Platform::free(third);

  // Debug level and channels.
  {
    quortest::StdoutCapture out;
    Platform::setDebugLevel(2);
    EXPECT_EQ(2, Platform::getDebugLevel());
    EXPECT_EQ(8, Platform::dprintf(2, "level %d\n", 2));
    EXPECT_EQ(0, Platform::dprintf(3, "level %d\n", 3));
    Platform::setDebugLevel(0);
    EXPECT_EQ(0, Platform::dprintf(1, "level %d\n", 1));
    EXPECT_EQ(0, Platform::diprintf(quor::DEBUG_INFO_REGIONS, "regions off\n"));
    Platform::setDebugInfo(quor::DEBUG_INFO_ALL, true);
    EXPECT_TRUE(Platform::getDebugInfo(quor::DEBUG_INFO_ALL));
    Platform::setDebugInfo(quor::DEBUG_INFO_MEMORY, false);
    EXPECT_FALSE(Platform::getDebugInfo(quor::DEBUG_INFO_ALL));
    EXPECT_TRUE(Platform::getDebugInfo(quor::DEBUG_INFO_REGIONS));
    EXPECT_EQ(11, Platform::diprintf(quor::DEBUG_INFO_ALL, "regions on\n"));
    Platform::setDebugInfo(quor::DEBUG_INFO_REGIONS, false);
    Platform::setDebugInfo(quor::DEBUG_INFO_MEMORY, true);
    void* shown = Platform::malloc(12);
    Platform::free(shown);
    Platform::setDebugInfo(quor::DEBUG_INFO_MEMORY, false);
    const unsigned int serial = Platform::getTotalAllocCount();
    char lines[256];
    snprintf(lines, sizeof lines,
             "level 2\nregions on\nmemory: malloc {%u} 0x%08X, 12 bytes, region 0x0000\n"
             "memory: free {%u} 0x%08X, 12 bytes, region 0x0000\n",
             serial, addressOf(shown), serial, addressOf(shown));
    EXPECT_EQ(lines, out.text());
  }

  // Dumps: a file per call, in serial order, filtered by region; callbacks the same way.
  Platform::pushDebugRegion(0x300);
  Platform::setCurrentComment("dumped");
  void* inRegion = Platform::malloc(30);
  Platform::setCurrentComment(nullptr);
  Platform::pushDebugRegion(0x301);
  void* inNext = Platform::operator new[](31);
  Platform::popDebugRegion();
  Platform::popDebugRegion();
  const std::string dumpName = executablePath() + ".dump.txt";
  Platform::dumpRegion(0x300, 0x300, dumpName.c_str());
  const std::vector<uint8_t> dump = readFile(dumpName);
  char expectedDump[256];
  snprintf(expectedDump, sizeof expectedDump,
           "<<malloc>>: {0x%08X} 0x%08X, 30 bytes. region 0x0300 \"dumped\"\n1 blocks, 30 bytes\n",
           Platform::getTotalAllocCount() - 1, addressOf(inRegion));
  EXPECT_EQ(expectedDump, std::string(dump.begin(), dump.end()));
  Platform::dumpTracker(dumpName.c_str());
  const std::vector<uint8_t> whole = readFile(dumpName);
  const std::string wholeText(whole.begin(), whole.end());
  char tail[128];
  snprintf(tail, sizeof tail,
           "<<new_array>>: {0x%08X} 0x%08X, 31 bytes. region 0x0301\n%u blocks, %u bytes\n",
           Platform::getTotalAllocCount(), addressOf(inNext), Platform::getAllocCount(),
           Platform::getAllocSize());
  ASSERT_GE(wholeText.size(), strlen(tail));
  EXPECT_EQ(tail, wholeText.substr(wholeText.size() - strlen(tail)));
  std::remove(dumpName.c_str());
  {
    quortest::DebugChannelCapture debug;
    Platform::dumpRegion(0x301, 0x3FF, nullptr);
    EXPECT_NE(std::string::npos,
              debug.joined().find("31 bytes. region 0x0301\n1 blocks, 31 bytes\n"))
        << debug.joined();
  }
  g_visited.clear();
  Platform::dumpRegionCb(&visit, 0x301, 0x301);
  ASSERT_EQ(1u, g_visited.size());
  EXPECT_EQ(inNext, g_visited[0].block);
  g_visited.clear();
  Platform::dumpTrackerCb(&visit);
  EXPECT_EQ(Platform::getAllocCount(), g_visited.size());
  Platform::free(inRegion);
  Platform::operator delete[](inNext);
}

// Each thread keeps up to 32 blocks of its own and picks its next operation from a fixed-seed
// generator, so a run is bounded and every thread mixes every kind of event.
void churn(unsigned int seed, int operations) {
  void* blocks[32] = {};
  bool array[32] = {};
  unsigned int state = seed;
  for (int i = 0; i < operations; ++i) {
    state = state * 1103515245u + 12345u;
    const unsigned int r = state >> 8;
    const unsigned int slot = r % 32;
    const unsigned int size = 1 + (r >> 5) % 700;
    if (blocks[slot] == nullptr) {
      switch ((r >> 16) % 4) {
        case 0: blocks[slot] = Platform::malloc(size); break;
        case 1: blocks[slot] = Platform::memalign(16, size); break;
        case 2: blocks[slot] = Platform::operator new(size); break;
        default:
          blocks[slot] = Platform::operator new[](size);
          array[slot] = true;
          break;
      }
    } else if ((r >> 16) % 3 == 0 && !array[slot]) {
      void* moved = Platform::realloc(blocks[slot], size);
      if (moved != nullptr) blocks[slot] = moved;
    } else {
      if (array[slot]) {
        Platform::operator delete[](blocks[slot]);
      } else {
        Platform::free(blocks[slot]);
      }
      blocks[slot] = nullptr;
      array[slot] = false;
    }
  }
  for (int slot = 0; slot < 32; ++slot) {
    if (array[slot]) {
      Platform::operator delete[](blocks[slot]);
    } else {
      Platform::free(blocks[slot]);
    }
  }
}

TEST(MemLogThreads, FourThreadsBalanceAndEveryRecordParses) {
  const size_t start = logEnd();
  Platform::MemInfo before;
  Platform::getMemInfo(before, 0);

  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < 4; ++t) threads.emplace_back(churn, 7u + t, 10000);
  for (std::thread& thread : threads) thread.join();

  Platform::MemInfo after;
  Platform::getMemInfo(after, 0);
  EXPECT_EQ(before.liveCount, after.liveCount);
  EXPECT_EQ(before.liveBytes, after.liveBytes);
  EXPECT_EQ(after.totalAllocs - before.totalAllocs, after.totalFrees - before.totalFrees);
  EXPECT_GT(after.totalReallocs, before.totalReallocs);

  // Every record parses, the allocations' serials rise in log order without a gap, and every
  // release names a block of this run that was live, with its address and size.
  const std::vector<Event> events = readEvents(start);
  ASSERT_EQ(2 * (after.totalAllocs - before.totalAllocs), events.size());
  std::map<uint32_t, Event> live;
  uint32_t nextSerial = before.totalAllocs + 1;
  std::set<uint32_t> liveAddresses;
  for (const Event& e : events) {
    if (e.code == kFree) {
      auto found = live.find(e.id);
      ASSERT_NE(live.end(), found) << "release of serial " << e.id << " that is not live";
      EXPECT_EQ(found->second.address, e.address);
      EXPECT_EQ(found->second.size, e.size);
      liveAddresses.erase(e.address);
      live.erase(found);
    } else {
      ASSERT_TRUE(e.code == kMalloc || e.code == kMemalign || e.code == kRealloc) << e.code;
      ASSERT_EQ(nextSerial, e.id);
      ++nextSerial;
      EXPECT_TRUE(liveAddresses.insert(e.address).second) << "two live blocks at one address";
      live[e.id] = e;
    }
  }
  EXPECT_TRUE(live.empty());
}

}  // namespace
