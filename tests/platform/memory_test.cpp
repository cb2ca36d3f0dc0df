// Memory services of quor::Platform: the alignment every form promises, contents kept by realloc,
// placement forms that touch nothing, null instead of an exception on exhaustion, and the inert
// tracking interface answering "nothing tracked".
#include <quor/Platform.h>

#include <pal/testing.h>

#include "support/capture.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

namespace {

using quor::Platform;

bool alignedTo(const void* block, uintptr_t alignment) {
  return (reinterpret_cast<uintptr_t>(block) & (alignment - 1)) == 0;
}

TEST(PlatformMemory, EachFormIsAlignedAsPromisedAndReallocKeepsTheContents) {
  for (unsigned int size : {0u, 13u, 100001u}) {
    void* blocks[] = {Platform::malloc(size), Platform::operator new(size),
                      Platform::operator new[](size), Platform::memalign(64, size),
                      Platform::memalign(4096, size)};
    const uintptr_t alignments[] = {8, 8, 8, 64, 4096};
    for (int i = 0; i < 5; ++i) {
      ASSERT_NE(blocks[i], nullptr) << size;
      EXPECT_TRUE(alignedTo(blocks[i], alignments[i])) << "form " << i << ", size " << size;
      memset(blocks[i], i, size);
    }
    unsigned char* moved = static_cast<unsigned char*>(Platform::realloc(blocks[3], size + 70000));
    ASSERT_NE(moved, nullptr);
    EXPECT_TRUE(alignedTo(moved, 8));
    for (unsigned int i = 0; i < size; ++i) ASSERT_EQ(moved[i], 3) << i;
    Platform::free(blocks[0]);
    Platform::operator delete(blocks[1]);
    Platform::operator delete[](blocks[2]);
    Platform::free(moved);
    Platform::free(blocks[4]);
  }
  Platform::free(nullptr);
  Platform::operator delete(nullptr);
}

TEST(PlatformMemory, PlacementFormsReturnTheirArgumentAndTouchNothing) {
  alignas(8) unsigned char buffer[64];
  memset(buffer, 0x5A, sizeof buffer);
  for (size_t size : {0u, 64u, 0xFFFFFFFFu}) {
    EXPECT_EQ(buffer, Platform::operator new(size, buffer)) << size;
    EXPECT_EQ(buffer + 3, Platform::operator new[](size, buffer + 3)) << size;
  }
  // Hidden from the compiler, which would otherwise warn about releasing a stack buffer.
  unsigned char* first = buffer;
  unsigned char* second = buffer;
  __asm__("" : "+r"(first), "+r"(second));
  Platform::operator delete(first, first);
  Platform::operator delete[](second, second);
  for (unsigned char byte : buffer) ASSERT_EQ(0x5A, byte);
}

TEST(PlatformMemory, ExhaustionGivesNullNeverAnException) {
  pal_inject_failure("_aligned_malloc", 0, 5);
  EXPECT_EQ(nullptr, Platform::malloc(16));
  EXPECT_EQ(nullptr, Platform::operator new(16));
  EXPECT_EQ(nullptr, Platform::operator new[](16));
  EXPECT_EQ(nullptr, Platform::memalign(64, 16));
  EXPECT_EQ(nullptr, new Platform) << "the operators are noexcept: the expression checks null";
  char* after = static_cast<char*>(Platform::malloc(16));
  ASSERT_NE(nullptr, after);
  after[0] = 'q';
  pal_inject_failure("_aligned_realloc", 0, 1);
  EXPECT_EQ(nullptr, Platform::realloc(after, 5000));
  EXPECT_EQ('q', after[0]) << "a failed realloc leaves the old block valid";
  Platform::free(after);
  EXPECT_EQ(nullptr, Platform::operator new(0xFFFFFF00u)) << "no 4 GiB block in 32 bits";
  pal_clear_failures();
}

int g_trackerCalls = 0;
void countTrackerCall(const Platform::DebugMemTag&) { ++g_trackerCalls; }

TEST(PlatformMemoryTracking, AnswersNothingTrackedAndPrintsNothing) {
  quortest::StdoutCapture out;
  quortest::DebugChannelCapture debug;
  void* block = Platform::malloc(100);
  Platform::setDebugLevel(5);
  Platform::setCurrentComment("comment");
  Platform::setDebugInfo(quor::DEBUG_INFO_ALL, true);
  Platform::setSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC, true);
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(&countTrackerCall));
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(nullptr)) << "the handler is not kept";

  const unsigned int counters[] = {Platform::getAllocCount(), Platform::getAllocSize(),
                                   Platform::getTotalAllocCount(), Platform::getTotalFreeCount(),
                                   Platform::getTotalReallocCount()};
  for (unsigned int counter : counters) EXPECT_EQ(0u, counter);
  EXPECT_EQ(0, Platform::getDebugLevel());
  EXPECT_EQ(nullptr, Platform::getCurrentComment());
  EXPECT_FALSE(Platform::getDebugInfo(quor::DEBUG_INFO_ALL));
  EXPECT_FALSE(Platform::getSpecialDebugState(Platform::FEATURE_FILL_ON_ALLOC));

  Platform::MemInfo info;
  memset(&info, 0xA5, sizeof info);
  Platform::MemInfo untouched = info;
  Platform::getMemInfo(info, 0xFFFFFFFF);
  EXPECT_EQ(0, memcmp(&info, &untouched, sizeof info));
  Platform::checkMemoryBlocks(&countTrackerCall);
  Platform::dumpTrackerCb(&countTrackerCall);
  Platform::dumpRegionCb(&countTrackerCall, 0, 0xFFFF);
  EXPECT_EQ(0, g_trackerCalls);
  EXPECT_EQ(0, Platform::dprintf(1, "level %d text\n", 1));
  EXPECT_EQ(0, Platform::diprintf(quor::DEBUG_INFO_MEMORY, "info %s\n", "text"));
  EXPECT_EQ("", out.text());
  EXPECT_TRUE(debug.texts().empty());
  Platform::free(block);
}

}  // namespace
