// Local memory: moveable handles, lock counts, zero fill, fixed blocks, failures.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <malloc.h>
#include <stdint.h>
#include <string.h>

namespace {

TEST(LocalMemory, MoveableBlockIsReachedOnlyThroughItsHandle) {
  HLOCAL handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 10485760);  // the symbol buffer's size
  ASSERT_NE(handle, nullptr);
  unsigned char* block = static_cast<unsigned char*>(LocalLock(handle));
  ASSERT_NE(block, nullptr);
  EXPECT_NE(static_cast<void*>(block), handle);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[10485759], 0);
  EXPECT_EQ(block[5000000], 0);
  memset(block, 0xAB, 64);

  // Lock count: two locks need two unlocks; the last one returns FALSE with NO_ERROR.
  EXPECT_EQ(LocalLock(handle), block);
  SetLastError(99);
  EXPECT_TRUE(LocalUnlock(handle));
  EXPECT_FALSE(LocalUnlock(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(LocalUnlock(handle));  // not locked any more
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));

  unsigned char* again = static_cast<unsigned char*>(LocalLock(handle));
  ASSERT_EQ(again, block);
  EXPECT_EQ(again[63], 0xAB);             // contents kept between locks
  EXPECT_EQ(LocalFree(handle), nullptr);  // freeing a locked block is allowed
  EXPECT_EQ(LocalLock(handle), nullptr);  // the handle is dead
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(handle), handle);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(LocalMemory, HandlesAreDistinctAndReused) {
  HLOCAL a = LocalAlloc(LHND, 32);
  HLOCAL b = LocalAlloc(LHND, 32);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  void* pa = LocalLock(a);
  void* pb = LocalLock(b);
  EXPECT_NE(pa, pb);
  EXPECT_EQ(LocalFree(a), nullptr);
  EXPECT_EQ(LocalLock(b), pb);  // b unaffected by a's release
  EXPECT_EQ(LocalFree(b), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);

  // A moveable block of 0 bytes is made discarded, as on Windows.
  HLOCAL empty = LocalAlloc(LMEM_MOVEABLE, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(LocalLock(empty), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISCARDED));
  EXPECT_EQ(LocalFree(empty), nullptr);
}

TEST(LocalMemory, FixedBlockIsItsOwnPointer) {
  HLOCAL fixed = LocalAlloc(LPTR, 100);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(LocalLock(fixed), fixed);
  EXPECT_EQ(static_cast<unsigned char*>(fixed)[99], 0);
  EXPECT_FALSE(LocalUnlock(fixed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(LocalFree(fixed), nullptr);

  // Values that are no block at all, unmapped ones included, are refused rather than followed.
  HLOCAL bogus = reinterpret_cast<HLOCAL>(0x1008);
  EXPECT_EQ(LocalLock(bogus), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(bogus), bogus);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  static const char notABlock[32] = "plain static data, no header";
  EXPECT_EQ(LocalLock(const_cast<char*>(notABlock + 16)), nullptr);

  EXPECT_EQ(LocalAlloc(0x10000, 8), nullptr);  // not a LMEM_ flag
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LocalMemory, InjectedFailures) {
  pal_inject_failure("LocalAlloc", 1, 1);
  HLOCAL first = LocalAlloc(LHND, 16);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(LocalAlloc(LHND, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HLOCAL third = LocalAlloc(LHND, 16);
  EXPECT_NE(third, nullptr);

  pal_inject_failure("LocalLock", 0, 1);
  EXPECT_EQ(LocalLock(first), nullptr);
  EXPECT_FALSE(LocalUnlock(first));  // the failed lock did not count
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_NE(LocalLock(first), nullptr);
  pal_clear_failures();
  EXPECT_EQ(LocalFree(first), nullptr);
  EXPECT_EQ(LocalFree(third), nullptr);
}

// A freed handle stays a handle: it is refused, never mistaken for a fixed block, even when the
// memory in front of its slot carries the fixed-block tag (as the tail of a neighbouring block
// can).
TEST(LocalMemory, StaleHandlesAndStrayPointersAreInvalid) {
  HLOCAL fixed = LocalAlloc(LMEM_FIXED, 8);
  ASSERT_NE(fixed, nullptr);
  uint32_t tag;
  memcpy(&tag, static_cast<char*>(fixed) - 8, sizeof tag);
  // Large enough to be carved from the top of the heap, so that the handle table's first chunk,
  // made next, most likely lies right behind it.
  char* neighbour = static_cast<char*>(malloc(20000));
  ASSERT_NE(neighbour, nullptr);
  memcpy(neighbour + malloc_usable_size(neighbour) - sizeof tag, &tag, sizeof tag);
  HLOCAL handles[2] = {LocalAlloc(LMEM_MOVEABLE, 0), LocalAlloc(LHND, 16)};
  for (HLOCAL handle : handles) {
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(LocalFree(handle), nullptr);
    HLOCAL strays[] = {handle, static_cast<char*>(handle) + 8};
    for (HLOCAL stray : strays) {
      SCOPED_TRACE(stray);
      SetLastError(0);
      EXPECT_EQ(LocalLock(stray), nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      SetLastError(0);
      EXPECT_FALSE(LocalUnlock(stray));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      SetLastError(0);
      EXPECT_EQ(LocalFree(stray), stray);  // a second free is refused, not handed to free()
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
  }
  free(neighbour);
  EXPECT_EQ(LocalFree(fixed), nullptr);
}

}  // namespace
