// Memory services of quor::Platform. Shares the lifecycle program, whose wrapper sees the system
// allocator layer's releases.
#include <quor/Platform.h>

#include <pal/testing.h>

#include "platform/thread_support.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

namespace {

using quor::Platform;

TEST(PlatformMemory, EachFormIsAlignedAsPromisedAndEveryReleaseGivesTheBlockBack) {
  for (unsigned int size : {0u, 13u, 100001u}) {
    void* blocks[] = {Platform::malloc(size), Platform::operator new(size),
                      Platform::operator new[](size), Platform::memalign(64, size),
                      Platform::memalign(4096, size)};
    const uintptr_t alignments[] = {8, 8, 8, 64, 4096};
    for (int i = 0; i < 5; ++i) {
      ASSERT_NE(blocks[i], nullptr) << size;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % alignments[i], 0u) << i << " " << size;
      memset(blocks[i], i, size);
    }
    unsigned char* moved = static_cast<unsigned char*>(Platform::realloc(blocks[3], size + 70000));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(moved) % 8, 0u);
    for (unsigned int i = 0; i < size; ++i) ASSERT_EQ(moved[i], 3) << i;
    // Compared as addresses: a released pointer itself may not be used.
    const uintptr_t released[] = {
        reinterpret_cast<uintptr_t>(blocks[0]), reinterpret_cast<uintptr_t>(blocks[1]),
        reinterpret_cast<uintptr_t>(blocks[2]), reinterpret_cast<uintptr_t>(moved)};
    int since = platformtest::freedCount();
    Platform::free(blocks[0]);
    Platform::operator delete(blocks[1]);
    Platform::operator delete[](blocks[2]);
    Platform::free(moved);
    Platform::free(blocks[4]);
    for (uintptr_t address : released) {
      EXPECT_TRUE(platformtest::wasFreedSince(reinterpret_cast<const void*>(address), since));
    }
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
  int since = platformtest::freedCount();
  // Hidden from the compiler, which would otherwise warn about releasing a stack buffer.
  unsigned char* first = buffer;
  unsigned char* second = buffer;
  __asm__("" : "+r"(first), "+r"(second));
  Platform::operator delete(first, first);
  Platform::operator delete[](second, second);
  EXPECT_EQ(since, platformtest::freedCount());
  for (unsigned char byte : buffer) ASSERT_EQ(0x5A, byte);
}

TEST(PlatformMemory, ExhaustionGivesNullNeverAnException) {
  pal_inject_failure("_aligned_malloc", 0, 4);
  EXPECT_EQ(nullptr, Platform::malloc(16));
  EXPECT_EQ(nullptr, Platform::operator new[](16));
  EXPECT_EQ(nullptr, Platform::memalign(64, 16));
  EXPECT_EQ(nullptr, new Platform) << "the operators are noexcept: the expression checks null";
  char* after = static_cast<char*>(Platform::malloc(16));
  after[0] = 'q';
  pal_inject_failure("_aligned_realloc", 0, 1);
  EXPECT_EQ(nullptr, Platform::realloc(after, 5000));
  EXPECT_EQ('q', after[0]) << "a failed realloc leaves the old block valid";
  Platform::free(after);
  pal_clear_failures();
}

void neverCalled(const Platform::DebugMemTag&) { ADD_FAILURE() << "a tracker callback ran"; }

TEST(PlatformMemoryTracking, AnswersNothingTrackedAndPrintsNothing) {
  quortest::StdoutCapture out;
  quortest::DebugChannelCapture debug;
  Platform::free(Platform::malloc(100));
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(&neverCalled));
  EXPECT_EQ(nullptr, Platform::setMemTrackerHandler(nullptr)) << "the handler is not kept";
  EXPECT_EQ(0u, Platform::getTotalAllocCount() + Platform::getAllocSize());
  Platform::MemInfo info, untouched;
  memset(&info, 0xA5, sizeof info);
  untouched = info;
  Platform::getMemInfo(info, 0xFFFFFFFF);
  EXPECT_EQ(0, memcmp(&info, &untouched, sizeof info));
  Platform::checkMemoryBlocks(&neverCalled);
  Platform::dumpTrackerCb(&neverCalled);
  EXPECT_EQ(0, Platform::dprintf(1, "level %d text\n", 1));
  EXPECT_EQ("", out.text() + debug.joined());
}

}  // namespace
