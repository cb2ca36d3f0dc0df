// The Microsoft runtime's aligned allocator: alignment as asked for any power of two, EINVAL for
// anything else, a realloc that keeps contents and takes the new alignment, and failures that
// leave the old block alone.
#include <malloc.h>

#include <pal/testing.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>

namespace {

bool alignedTo(const void* block, size_t alignment) {
  return (reinterpret_cast<uintptr_t>(block) & (alignment - 1)) == 0;
}

void fill(void* block, size_t size, unsigned char seed) {
  unsigned char* bytes = static_cast<unsigned char*>(block);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 7);
}

bool holds(const void* block, size_t size, unsigned char seed) {
  const unsigned char* bytes = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != static_cast<unsigned char>(seed + i * 7)) return false;
  }
  return true;
}

class PalAlignedMalloc : public ::testing::Test {
 protected:
  void TearDown() override { pal_clear_failures(); }
};

}  // namespace

TEST_F(PalAlignedMalloc, EveryPowerOfTwoAlignmentIsHonoured) {
  const size_t sizes[] = {0, 1, 3, 8, 100, 4097};
  for (size_t alignment = 1; alignment <= 8192; alignment <<= 1) {
    for (size_t size : sizes) {
      void* block = _aligned_malloc(size, alignment);
      ASSERT_NE(nullptr, block) << size << " at " << alignment;
      EXPECT_TRUE(alignedTo(block, alignment)) << size << " at " << alignment;
      fill(block, size, 3);
      EXPECT_TRUE(holds(block, size, 3));
      _aligned_free(block);
    }
  }
  // Size 0 still gives distinct blocks, as the Microsoft runtime does.
  void* a = _aligned_malloc(0, 8);
  void* b = _aligned_malloc(0, 8);
  EXPECT_NE(a, b);
  _aligned_free(a);
  _aligned_free(b);
  _aligned_free(nullptr);
}

TEST_F(PalAlignedMalloc, AlignmentsThatAreNotPowersOfTwoGiveEinval) {
  void* block = _aligned_malloc(16, 8);
  ASSERT_NE(nullptr, block);
  fill(block, 16, 9);
  const size_t bad[] = {0, 3, 6, 12, 24, 48, 100, 0x80000001u};
  for (size_t alignment : bad) {
    errno = 0;
    EXPECT_EQ(nullptr, _aligned_malloc(16, alignment)) << alignment;
    EXPECT_EQ(EINVAL, errno) << alignment;
    errno = 0;
    EXPECT_EQ(nullptr, _aligned_realloc(block, 64, alignment)) << alignment;
    EXPECT_EQ(EINVAL, errno) << alignment;
  }
  // The refused realloc left the block as it was.
  EXPECT_TRUE(holds(block, 16, 9));
  _aligned_free(block);
}

TEST_F(PalAlignedMalloc, ReallocKeepsContentsAndTakesTheNewAlignment) {
  void* block = _aligned_realloc(nullptr, 40, 16);  // null block: a plain allocation
  ASSERT_NE(nullptr, block);
  EXPECT_TRUE(alignedTo(block, 16));
  fill(block, 40, 1);

  block = _aligned_realloc(block, 100000, 16);  // grows, surely moves
  ASSERT_NE(nullptr, block);
  EXPECT_TRUE(alignedTo(block, 16));
  EXPECT_TRUE(holds(block, 40, 1));
  fill(block, 100000, 2);

  block = _aligned_realloc(block, 24, 16);  // shrinks: the first 24 bytes stay
  ASSERT_NE(nullptr, block);
  EXPECT_TRUE(holds(block, 24, 2));

  // A stricter alignment than the block has forces a move; the contents come along.
  for (size_t alignment = 32; alignment <= 4096; alignment <<= 1) {
    block = _aligned_realloc(block, 24, alignment);
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(alignedTo(block, alignment)) << alignment;
    EXPECT_TRUE(holds(block, 24, 2)) << alignment;
  }

  // Size 0 frees the block and returns null.
  EXPECT_EQ(nullptr, _aligned_realloc(block, 0, 8));
}

TEST_F(PalAlignedMalloc, FailuresGiveNullWithEnomemAndLeaveTheOldBlockValid) {
  void* block = _aligned_malloc(64, 8);
  ASSERT_NE(nullptr, block);
  fill(block, 64, 5);

  // Real exhaustion: no 4 GiB block in a 32-bit process.
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_malloc(0xFFFFFF00u, 8));
  EXPECT_EQ(ENOMEM, errno);
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_realloc(block, 0xFFFFFF00u, 8));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_TRUE(holds(block, 64, 5));

  // Injected: only the one call fails, and the block still grows afterwards.
  pal_inject_failure("_aligned_malloc", 0, 1);
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_malloc(32, 64));
  EXPECT_EQ(ENOMEM, errno);
  pal_inject_failure("_aligned_realloc", 0, 1);
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_realloc(block, 4096, 8));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_TRUE(holds(block, 64, 5));
  void* grown = _aligned_realloc(block, 4096, 8);
  ASSERT_NE(nullptr, grown);
  EXPECT_TRUE(holds(grown, 64, 5));
  _aligned_free(grown);
}
