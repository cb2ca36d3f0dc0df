// Memory services of quor::Platform: the alignment every form promises, the arguments each layer
// hands down to the C runtime's aligned allocator (observed with --wrap), null instead of an
// exception on exhaustion, and the inert tracking interface answering "nothing tracked".
#include <quor/Platform.h>

#include <malloc.h>
#include <pal/testing.h>

#include "support/capture.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <unistd.h>

// The allocator calls made by the library, as the system allocator layer makes them.
namespace {
struct AllocatorCall {
  const char* function = nullptr;
  void* block = nullptr;
  size_t size = 0;
  size_t alignment = 0;
  void* result = nullptr;
};
AllocatorCall g_lastCall;
int g_calls = 0;

void note(const char* function, void* block, size_t size, size_t alignment, void* result) {
  g_lastCall.function = function;
  g_lastCall.block = block;
  g_lastCall.size = size;
  g_lastCall.alignment = alignment;
  g_lastCall.result = result;
  ++g_calls;
}
}  // namespace

extern "C" void* __real__aligned_malloc(size_t size, size_t alignment);
extern "C" void* __real__aligned_realloc(void* block, size_t size, size_t alignment);
extern "C" void __real__aligned_free(void* block);

extern "C" void* __wrap__aligned_malloc(size_t size, size_t alignment) {
  void* result = __real__aligned_malloc(size, alignment);
  note("_aligned_malloc", nullptr, size, alignment, result);
  return result;
}
extern "C" void* __wrap__aligned_realloc(void* block, size_t size, size_t alignment) {
  void* result = __real__aligned_realloc(block, size, alignment);
  note("_aligned_realloc", block, size, alignment, result);
  return result;
}
extern "C" void __wrap__aligned_free(void* block) {
  note("_aligned_free", block, 0, 0, nullptr);
  __real__aligned_free(block);
}

namespace {

using quor::Platform;

bool alignedTo(const void* block, uintptr_t alignment) {
  return (reinterpret_cast<uintptr_t>(block) & (alignment - 1)) == 0;
}

class PlatformMemory : public ::testing::Test {
 protected:
  void TearDown() override { pal_clear_failures(); }

  // Blocks are compared as addresses: some were released by the call under test.
  // The block is compared as an address: after a release the pointer itself may not be used, and
  // the optimiser rightly says so.
  void expectLastCall(const char* function, uintptr_t block, size_t size, size_t alignment) {
    EXPECT_STREQ(function, g_lastCall.function);
    EXPECT_EQ(block, reinterpret_cast<uintptr_t>(g_lastCall.block));
    EXPECT_EQ(size, g_lastCall.size);
    EXPECT_EQ(alignment, g_lastCall.alignment);
  }
};

// The tracker callback must never run.
int g_trackerCalls = 0;
void countTrackerCall(const Platform::DebugMemTag&) { ++g_trackerCalls; }
void otherTrackerCall(const Platform::DebugMemTag&) { ++g_trackerCalls; }

}  // namespace

TEST_F(PlatformMemory, EachFormIsAlignedAsPromised) {
  for (unsigned int size : {0u, 13u, 100001u}) {
    void* a = Platform::malloc(size);
    void* b = Platform::operator new(size);
    void* c = Platform::operator new[](size);
    void* d = Platform::memalign(64, size);
    void* e = Platform::memalign(4096, size);
    ASSERT_TRUE(a && b && c && d && e) << size;
    EXPECT_TRUE(alignedTo(a, 8)) << size;
    EXPECT_TRUE(alignedTo(b, 8)) << size;
    EXPECT_TRUE(alignedTo(c, 8)) << size;
    EXPECT_TRUE(alignedTo(d, 64)) << size;
    EXPECT_TRUE(alignedTo(e, 4096)) << size;
    memset(a, 1, size);
    memset(d, 2, size);
    Platform::free(a);
    Platform::operator delete(b);
    Platform::operator delete[](c);
    Platform::free(d);
    Platform::free(e);
  }
  // The class's operators serve new-expressions of the class itself.
  Platform* one = new Platform;
  Platform* many = new Platform[5];
  ASSERT_NE(nullptr, one);
  ASSERT_NE(nullptr, many);
  EXPECT_TRUE(alignedTo(one, 8));
  EXPECT_TRUE(alignedTo(many, 8));
  delete one;
  delete[] many;
}

TEST_F(PlatformMemory, EachLayerHandsItsArgumentsDownUnchanged) {
  void* block = Platform::malloc(24);
  expectLastCall("_aligned_malloc", 0, 24, 8);
  EXPECT_EQ(block, g_lastCall.result);

  void* array = Platform::operator new[](40);
  expectLastCall("_aligned_malloc", 0, 40, 8);
  const uintptr_t arrayAddress = reinterpret_cast<uintptr_t>(array);
  Platform::operator delete[](array);
  expectLastCall("_aligned_free", arrayAddress, 0, 0);

  // memalign takes the alignment first; the runtime takes it second.
  void* aligned = Platform::memalign(32, 100);
  expectLastCall("_aligned_malloc", 0, 100, 32);

  // realloc asks for alignment 8 whatever the block had.
  const uintptr_t alignedAddress = reinterpret_cast<uintptr_t>(aligned);
  void* moved = Platform::realloc(aligned, 200);
  expectLastCall("_aligned_realloc", alignedAddress, 200, 8);
  EXPECT_EQ(moved, g_lastCall.result);

  const uintptr_t movedAddress = reinterpret_cast<uintptr_t>(moved);
  const uintptr_t blockAddress = reinterpret_cast<uintptr_t>(block);
  Platform::free(moved);
  expectLastCall("_aligned_free", movedAddress, 0, 0);
  Platform::operator delete(block);
  expectLastCall("_aligned_free", blockAddress, 0, 0);

  // Null goes through too: the runtime's release ignores it.
  Platform::free(nullptr);
  expectLastCall("_aligned_free", 0, 0, 0);
  Platform::operator delete(nullptr);
  expectLastCall("_aligned_free", 0, 0, 0);

  // Bad alignments and zero sizes are the runtime's to judge.
  EXPECT_EQ(nullptr, Platform::memalign(24, 16));
  expectLastCall("_aligned_malloc", 0, 16, 24);
  void* fresh = Platform::realloc(nullptr, 16);
  expectLastCall("_aligned_realloc", 0, 16, 8);
  const uintptr_t freshAddress = reinterpret_cast<uintptr_t>(fresh);
  EXPECT_EQ(nullptr, Platform::realloc(fresh, 0));  // the runtime frees the block
  expectLastCall("_aligned_realloc", freshAddress, 0, 8);
}

TEST_F(PlatformMemory, ReallocKeepsTheContents) {
  unsigned char* block = static_cast<unsigned char*>(Platform::memalign(64, 50));
  ASSERT_NE(nullptr, block);
  for (int i = 0; i < 50; ++i) block[i] = static_cast<unsigned char>(i * 3);
  block = static_cast<unsigned char*>(Platform::realloc(block, 70000));
  ASSERT_NE(nullptr, block);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(static_cast<unsigned char>(i * 3), block[i]) << i;
  Platform::free(block);
}

TEST_F(PlatformMemory, PlacementFormsReturnTheirArgumentAndTouchNothing) {
  alignas(8) unsigned char buffer[64];
  memset(buffer, 0x5A, sizeof buffer);
  int callsBefore = g_calls;
  for (size_t size : {0u, 64u, 0xFFFFFFFFu}) {
    EXPECT_EQ(buffer, Platform::operator new(size, buffer)) << size;
    EXPECT_EQ(buffer + 3, Platform::operator new[](size, buffer + 3)) << size;
    EXPECT_EQ(nullptr, Platform::operator new(size, nullptr)) << size;
  }
  // Hidden from the compiler, which would otherwise warn about releasing a stack buffer.
  unsigned char* first = buffer;
  unsigned char* second = buffer;
  __asm__("" : "+r"(first), "+r"(second));
  Platform::operator delete(first, first);
  Platform::operator delete[](second, second);
  EXPECT_EQ(callsBefore, g_calls) << "placement forms must not reach the allocator";
  for (unsigned char byte : buffer) ASSERT_EQ(0x5A, byte);
}

TEST_F(PlatformMemory, ExhaustionGivesNullNeverAnException) {
  pal_inject_failure("_aligned_malloc", 0, 5);
  EXPECT_EQ(nullptr, Platform::malloc(16));
  EXPECT_EQ(nullptr, Platform::operator new(16));
  EXPECT_EQ(nullptr, Platform::operator new[](16));
  EXPECT_EQ(nullptr, Platform::memalign(64, 16));
  // The operators are noexcept, so the new-expression checks for null instead of throwing.
  Platform* object = new Platform;
  EXPECT_EQ(nullptr, object);
  void* after = Platform::malloc(16);
  EXPECT_NE(nullptr, after);

  // A failed realloc leaves the old block valid.
  static_cast<char*>(after)[0] = 'q';
  pal_inject_failure("_aligned_realloc", 0, 1);
  EXPECT_EQ(nullptr, Platform::realloc(after, 5000));
  EXPECT_EQ('q', static_cast<char*>(after)[0]);
  Platform::free(after);

  // Real exhaustion, not injected: no 4 GiB block in a 32-bit process.
  EXPECT_EQ(nullptr, Platform::malloc(0xFFFFFF00u));
  EXPECT_EQ(nullptr, Platform::operator new(0xFFFFFF00u));
}

TEST(PlatformMemoryTracking, AnswersNothingTrackedAndPrintsNothing) {
  quortest::StdoutCapture out;
  quortest::DebugChannelCapture debug;

  void* blocks[10];
  for (int i = 0; i < 10; ++i) blocks[i] = Platform::malloc(100 + i);
  blocks[0] = Platform::realloc(blocks[0], 5000);
  Platform::free(blocks[1]);
  Platform::setDebugLevel(5);
  Platform::setCurrentComment("comment");
  Platform::setDebugInfo(quor::DEBUG_INFO_ALL, true);
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC, true);
  Platform::setBreakBySerial(3);
  Platform::validateMemoryBlock(blocks[2]);

  EXPECT_EQ(0u, Platform::getAllocCount());
  EXPECT_EQ(0u, Platform::getAllocSize());
  EXPECT_EQ(0u, Platform::getTotalAllocCount());
  EXPECT_EQ(0u, Platform::getTotalFreeCount());
  EXPECT_EQ(0u, Platform::getTotalReallocCount());
  EXPECT_EQ(0, Platform::getDebugLevel());
  EXPECT_EQ(nullptr, Platform::getCurrentComment());
  EXPECT_FALSE(Platform::getDebugInfo(quor::DEBUG_INFO_ALL));
  EXPECT_FALSE(Platform::getSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC));

  // No previous handler, every time: the handler passed is not kept.
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(&countTrackerCall));
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(&otherTrackerCall));
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(nullptr));

  Platform::MemInfo info;
  memset(&info, 0xA5, sizeof info);
  Platform::MemInfo untouched = info;
  Platform::getMemInfo(info, 0xFFFFFFFF);
  EXPECT_EQ(0, memcmp(&info, &untouched, sizeof info));

  char dumpName[64];
  snprintf(dumpName, sizeof dumpName, "/tmp/quorkit-dump-%d.txt", static_cast<int>(getpid()));
  Platform::checkMemoryBlocks(&countTrackerCall);
  Platform::dumpTrackerCb(&countTrackerCall);
  Platform::dumpRegionCb(&countTrackerCall, 0, 0xFFFF);
  Platform::dumpTracker(dumpName);
  Platform::dumpRegion(0, 0xFFFF, dumpName);
  EXPECT_EQ(0, g_trackerCalls);
  EXPECT_NE(0, access(dumpName, F_OK)) << "a dump wrote a file";

  EXPECT_EQ(0, Platform::dprintf(1, "level %d text\n", 1));
  EXPECT_EQ(0, Platform::diprintf(quor::DEBUG_INFO_MEMORY, "info %s\n", "text"));
  EXPECT_EQ("", out.text());
  EXPECT_TRUE(debug.texts().empty());

  for (int i = 0; i < 10; ++i) {
    if (i != 1) Platform::free(blocks[i]);
  }
}
