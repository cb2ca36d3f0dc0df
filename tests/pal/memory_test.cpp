// Memory as the heap and the debug-help module take it from the system: virtual memory, the C
// runtime's aligned allocator and local memory handles.
#include <malloc.h>
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include "pal_test.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr DWORD kRw = PAGE_READWRITE;
constexpr DWORD kNew = MEM_RESERVE | MEM_COMMIT;

using paltest::errorOf;

uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

MEMORY_BASIC_INFORMATION query(const void* p) {
  MEMORY_BASIC_INFORMATION info;
  memset(&info, 0xCC, sizeof info);
  EXPECT_EQ(VirtualQuery(p, &info, sizeof info), sizeof info);
  return info;
}

char* allocate(size_t size, void* at = nullptr, DWORD type = kNew) {
  return static_cast<char*>(VirtualAlloc(at, size, type, kRw));
}

// Fills a block with a pattern from a seed; holds() checks it.
void fill(void* block, size_t size, unsigned char seed) {
  for (size_t i = 0; i < size; ++i) static_cast<unsigned char*>(block)[i] = seed + i * 7;
}

bool holds(const void* block, size_t size, unsigned char seed) {
  for (size_t i = 0; i < size; ++i)
    if (static_cast<const unsigned char*>(block)[i] != static_cast<unsigned char>(seed + i * 7))
      return false;
  return true;
}

class Memory : public ::testing::Test {
 protected:
  void TearDown() override { pal_clear_failures(); }
};

TEST_F(Memory, VirtualAllocAlignsToTheGranularityAndQueriesTheWholeAllocationBothWays) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  ASSERT_EQ(si.dwAllocationGranularity, 0x10000u) << "Windows' granularity";
  const size_t page = sysconf(_SC_PAGESIZE), whole = (100000 + page - 1) / page * page;
  for (DWORD type : {kNew, kNew | MEM_TOP_DOWN}) {
    char* p = allocate(100000, nullptr, type);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(addr(p) % 0x10000, 0u);
    memset(p, 0x5A, 100000);  // committed and writable throughout
    MEMORY_BASIC_INFORMATION at = query(p), inside = query(p + page + 17);
    EXPECT_EQ(at.AllocationBase, p);
    EXPECT_EQ(at.RegionSize, whole);
    EXPECT_EQ(at.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(inside.BaseAddress, p + page);
    EXPECT_EQ(inside.AllocationBase, p);
    EXPECT_EQ(inside.RegionSize, whole - page);
    EXPECT_NE(query(p + whole).AllocationBase, p) << "the allocation ends where its pages end";
    ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    MEMORY_BASIC_INFORMATION gone = query(p);
    EXPECT_EQ(gone.State, static_cast<DWORD>(MEM_FREE));
    EXPECT_EQ(gone.AllocationBase, nullptr);
  }
}

TEST_F(Memory, VirtualFreeReleasesOnlyAtTheBaseAndExactlyOneAllocation) {
  // Larger than any space the other cases release, so both come from fresh address space.
  char* a = allocate(0x400000);
  char* b = allocate(0x400000);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(b, a + 0x400000) << "bottom-up allocations follow one another";
  EXPECT_EQ(errorOf(VirtualFree(a + 0x1000, 0, MEM_RELEASE)), ERROR_INVALID_ADDRESS);
  EXPECT_EQ(errorOf(VirtualFree(a, 0x400000, MEM_RELEASE)), ERROR_INVALID_PARAMETER)
      << "MEM_RELEASE takes size 0";
  a[0x1000] = 1;  // still mapped after every refusal
  ASSERT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  EXPECT_EQ(query(a).State, static_cast<DWORD>(MEM_FREE));
  EXPECT_EQ(query(b).AllocationBase, b) << "the neighbour stays";
  b[0] = 1;
  EXPECT_FALSE(VirtualFree(a, 0, MEM_RELEASE)) << "released once only";
  EXPECT_TRUE(VirtualFree(b, 0, MEM_RELEASE));
}

TEST_F(Memory, VirtualAllocReusesReleasedSpaceFirstFit) {
  char* a = allocate(0x300000);
  ASSERT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  char* again = allocate(0x100000);
  EXPECT_EQ(again, a) << "first fit in released space";
  EXPECT_EQ(errorOf(allocate(0x1000, again)), ERROR_INVALID_ADDRESS) << "taken already";
}

TEST_F(Memory, VirtualAllocRefusalsInjectedFailuresAndForeignMemory) {
  EXPECT_EQ(errorOf(allocate(0)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(allocate(4096, nullptr, MEM_RESERVE), nullptr);
  char* readOnly = static_cast<char*>(VirtualAlloc(nullptr, 4096, kNew, PAGE_READONLY));
  EXPECT_EXIT(readOnly[0] = 1, ::testing::KilledBySignal(SIGSEGV), "") << "PAGE_READONLY";
  pal_inject_failure("VirtualAlloc", 1, 2);
  char* first = allocate(4096);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(errorOf(allocate(4096)), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(allocate(4096, nullptr, kNew | MEM_TOP_DOWN), nullptr);
  EXPECT_TRUE(VirtualFree(allocate(4096), 0, MEM_RELEASE));
  int local = 0;  // memory the PAL did not allocate is never released by it
  EXPECT_FALSE(VirtualFree(query(&local).AllocationBase, 0, MEM_RELEASE));
}

TEST_F(Memory, AlignedAllocatorHonoursPowersOfTwoKeepsContentsAndSurvivesFailures) {
  void* block = _aligned_realloc(nullptr, 40, 16);  // null block: a plain allocation
  fill(block, 40, 2);
  block = _aligned_realloc(block, 100000, 16);
  // Each stricter alignment forces a move although the block is large enough.
  for (size_t alignment = 1; alignment <= 8192; alignment <<= 1) {
    block = _aligned_realloc(block, 40, alignment);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(addr(block) % alignment, 0u);
    EXPECT_TRUE(holds(block, 40, 2)) << alignment;
  }
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_realloc(block, 64, 24));
  EXPECT_EQ(EINVAL, errno) << "not a power of two";
  pal_inject_failure("_aligned_realloc", 0, 1);
  EXPECT_EQ(nullptr, _aligned_realloc(block, 4096, 8));
  EXPECT_TRUE(holds(block, 40, 2)) << "failures leave the block as it was";
  EXPECT_EQ(nullptr, _aligned_realloc(block, 0, 8)) << "size 0 frees";
}

TEST_F(Memory, LocalMoveableBlockIsReachedOnlyThroughItsCountedHandle) {
  HLOCAL handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 10485760);  // the symbol buffer's
  unsigned char* block = static_cast<unsigned char*>(LocalLock(handle));
  ASSERT_NE(block, nullptr);
  EXPECT_NE(static_cast<void*>(block), handle);
  EXPECT_EQ(block[0] | block[10485759], 0);
  memset(block, 0xAB, 64);
  EXPECT_EQ(LocalLock(handle), block);
  EXPECT_TRUE(LocalUnlock(handle));
  SetLastError(99);
  EXPECT_EQ(errorOf(LocalUnlock(handle)), NO_ERROR) << "the last unlock";
  EXPECT_EQ(errorOf(LocalUnlock(handle)), ERROR_NOT_LOCKED);
  EXPECT_EQ(static_cast<unsigned char*>(LocalLock(handle))[63], 0xAB);
  EXPECT_EQ(LocalFree(handle), nullptr) << "a locked block may be freed";
  HLOCAL empty = LocalAlloc(LMEM_MOVEABLE, 0);  // made discarded, as on Windows
  EXPECT_EQ(errorOf(LocalLock(empty)), ERROR_DISCARDED);
  EXPECT_EQ(LocalFree(empty), nullptr);
}

TEST_F(Memory, LocalValuesThatAreNoBlockAndInjectedFailures) {
  static const char notABlock[32] = "plain static data, no header";
  HLOCAL freed = LocalAlloc(LHND, 8);
  LocalFree(freed);
  const HLOCAL bogusValues[] = {reinterpret_cast<HLOCAL>(0x1008), const_cast<char*>(notABlock + 16),
                                freed};
  for (HLOCAL bogus : bogusValues) {
    EXPECT_EQ(errorOf(LocalLock(bogus)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(LocalFree(bogus), bogus);
  }
  EXPECT_EQ(errorOf(LocalAlloc(0x10000, 8)), ERROR_INVALID_PARAMETER) << "not a LMEM_ flag";
  pal_inject_failure("LocalAlloc", 0, 1);
  EXPECT_EQ(errorOf(LocalAlloc(LHND, 16)), ERROR_NOT_ENOUGH_MEMORY);
  HLOCAL handle = LocalAlloc(LHND, 16);
  pal_inject_failure("LocalLock", 0, 1);
  EXPECT_EQ(LocalLock(handle), nullptr);
  EXPECT_EQ(errorOf(LocalUnlock(handle)), ERROR_NOT_LOCKED) << "the failed lock did not count";
  EXPECT_EQ(LocalFree(handle), nullptr);
}

// A freed handle stays a handle even when the memory in front of its slot carries the fixed-block
// tag, as the tail of a neighbouring block can: refused every time, never handed to free() twice.
TEST_F(Memory, StaleHandlesAreRefusedWhateverLiesInFrontOfThem) {
  HLOCAL fixed = LocalAlloc(LMEM_FIXED, 8);
  uint32_t tag;
  memcpy(&tag, static_cast<char*>(fixed) - 8, sizeof tag);
  // Large enough to be carved from the top of the heap, so that the handle table's first chunk,
  // made next, most likely lies right behind it.
  char* neighbour = static_cast<char*>(malloc(20000));
  memcpy(neighbour + malloc_usable_size(neighbour) - sizeof tag, &tag, sizeof tag);
  for (HLOCAL handle : {LocalAlloc(LMEM_MOVEABLE, 0), LocalAlloc(LHND, 16)}) {
    ASSERT_EQ(LocalFree(handle), nullptr);
    for (HLOCAL stray : {handle, static_cast<HLOCAL>(static_cast<char*>(handle) + 8)}) {
      SetLastError(0);
      EXPECT_EQ(errorOf(LocalLock(stray)), ERROR_INVALID_HANDLE);
      SetLastError(0);
      EXPECT_EQ(errorOf(LocalUnlock(stray), FALSE), ERROR_INVALID_HANDLE);
      SetLastError(0);
      EXPECT_EQ(errorOf(LocalFree(stray), stray), ERROR_INVALID_HANDLE);
    }
  }
  free(neighbour);
  EXPECT_EQ(LocalFree(fixed), nullptr);
}

}  // namespace
