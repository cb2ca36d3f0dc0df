// Memory as the heap and the debug-help module take it from the system: virtual memory placed
// and released by allocation, the system figures it follows, interlocked words, the C runtime's
// aligned allocator and local memory handles.
#include <malloc.h>
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr DWORD kRw = PAGE_READWRITE;
constexpr DWORD kNew = MEM_RESERVE | MEM_COMMIT;

uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

MEMORY_BASIC_INFORMATION query(const void* p) {
  MEMORY_BASIC_INFORMATION info;
  memset(&info, 0xCC, sizeof info);
  EXPECT_EQ(VirtualQuery(p, &info, sizeof info), sizeof info);
  return info;
}

DWORD lastError() { return GetLastError(); }

class Memory : public ::testing::Test {
 protected:
  void TearDown() override {
    pal_clear_failures();
    pal_set_system_info(0, 0);
  }
};

TEST_F(Memory, VirtualAllocAlignsAndQueriesTheWholeAllocationBothWays) {
  const size_t page = sysconf(_SC_PAGESIZE), whole = (100000 + page - 1) / page * page;
  for (DWORD type : {kNew, kNew | MEM_TOP_DOWN}) {
    char* p = static_cast<char*>(VirtualAlloc(nullptr, 100000, type, kRw));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(addr(p) % 0x10000, 0u);
    memset(p, 0x5A, 100000);  // committed and writable throughout
    MEMORY_BASIC_INFORMATION at = query(p), inside = query(p + page + 17);
    EXPECT_EQ(at.BaseAddress, p);
    EXPECT_EQ(at.AllocationBase, p);
    EXPECT_EQ(at.RegionSize, whole);
    EXPECT_EQ(at.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(at.Protect, kRw);
    EXPECT_EQ(inside.BaseAddress, p + page);
    EXPECT_EQ(inside.AllocationBase, p);
    EXPECT_EQ(inside.RegionSize, whole - page);
    EXPECT_NE(query(p + whole).AllocationBase, p) << "the allocation ends where its pages end";
    ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    MEMORY_BASIC_INFORMATION gone = query(p);
    EXPECT_EQ(gone.State, static_cast<DWORD>(MEM_FREE));
    EXPECT_EQ(gone.AllocationBase, nullptr);
    EXPECT_GE(gone.RegionSize, page);
  }
}

TEST_F(Memory, VirtualFreeReleasesOnlyAtTheBaseAndExactlyOneAllocation) {
  // Larger than any space the other cases release, so both come from fresh address space.
  char* a = static_cast<char*>(VirtualAlloc(nullptr, 0x400000, kNew, kRw));
  char* b = static_cast<char*>(VirtualAlloc(nullptr, 0x400000, kNew, kRw));
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(b, a + 0x400000) << "bottom-up allocations follow one another";
  const struct {
    char* at;
    SIZE_T size;
    DWORD type, error;
  } refused[] = {{a + 0x1000, 0, MEM_RELEASE, ERROR_INVALID_ADDRESS},
                 {a, 0x400000, MEM_RELEASE, ERROR_INVALID_PARAMETER},
                 {a, 0x1000, MEM_DECOMMIT, ERROR_INVALID_PARAMETER}};
  for (const auto& r : refused) {
    EXPECT_FALSE(VirtualFree(r.at, r.size, r.type));
    EXPECT_EQ(lastError(), r.error) << r.at - a << " " << r.size;
  }
  a[0x1000] = 1;  // still mapped after every refusal
  ASSERT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  EXPECT_EQ(query(a).State, static_cast<DWORD>(MEM_FREE));
  EXPECT_EQ(query(b).AllocationBase, b) << "the neighbour stays";
  b[0] = 1;
  EXPECT_FALSE(VirtualFree(a, 0, MEM_RELEASE)) << "released once only";
  EXPECT_TRUE(VirtualFree(b, 0, MEM_RELEASE));
}

TEST_F(Memory, VirtualAllocReusesReleasedSpaceAndPlacesAtARequestedAddress) {
  char* a = static_cast<char*>(VirtualAlloc(nullptr, 0x300000, kNew, kRw));
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  char* again = static_cast<char*>(VirtualAlloc(nullptr, 0x100000, kNew, kRw));
  EXPECT_EQ(again, a) << "first fit in released space";
  char* fixed = static_cast<char*>(VirtualAlloc(a + 0x200000 + 123, 0x8000, kNew, kRw));
  EXPECT_EQ(fixed, a + 0x200000) << "a requested address is rounded down to the granularity";
  EXPECT_EQ(query(fixed).AllocationBase, fixed);
  EXPECT_EQ(VirtualAlloc(fixed, 0x1000, kNew, kRw), nullptr) << "taken space is not reserved";
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_EQ(VirtualAlloc(again + 0x2000, 0x1000, MEM_COMMIT, kRw), again + 0x2000);
  EXPECT_TRUE(VirtualFree(again, 0, MEM_RELEASE));
  EXPECT_TRUE(VirtualFree(fixed, 0, MEM_RELEASE));
}

TEST_F(Memory, VirtualAllocRefusalsAndInjectedFailures) {
  EXPECT_EQ(VirtualAlloc(nullptr, 0, kNew, kRw), nullptr);
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kNew, 0x12345), nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_RESERVE, kRw), nullptr);
  pal_inject_failure("VirtualAlloc", 1, 2);
  void* first = VirtualAlloc(nullptr, 4096, kNew, kRw);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kNew, kRw), nullptr);
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kNew | MEM_TOP_DOWN, kRw), nullptr);
  void* later = VirtualAlloc(nullptr, 4096, kNew, kRw);
  EXPECT_NE(later, nullptr);
  VirtualFree(first, 0, MEM_RELEASE);
  VirtualFree(later, 0, MEM_RELEASE);

  int local = 0;  // memory the PAL did not allocate
  MEMORY_BASIC_INFORMATION stack = query(&local);
  EXPECT_EQ(stack.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_FALSE(VirtualFree(stack.AllocationBase, 0, MEM_RELEASE)) << "never released by the PAL";
  EXPECT_EQ(VirtualQuery(&local, &stack, sizeof stack - 1), 0u);
  EXPECT_EQ(VirtualQuery(reinterpret_cast<void*>(0xFFFF8000u), &stack, sizeof stack), 0u);
}

TEST_F(Memory, ConcurrentVirtualAllocationsStayDistinctAndReleasable) {
  std::vector<char*> got[2];
  auto work = [](std::vector<char*>* out) {
    for (int i = 0; i < 200; ++i) {
      char* p = static_cast<char*>(VirtualAlloc(nullptr, 4096 * (1 + i % 5), kNew, kRw));
      if (!p) return;
      p[0] = static_cast<char>(i);
      if (i % 3 == 0)
        VirtualFree(p, 0, MEM_RELEASE);
      else
        out->push_back(p);
    }
  };
  std::thread t1(work, &got[0]), t2(work, &got[1]);
  t1.join();
  t2.join();
  EXPECT_EQ(got[0].size() + got[1].size(), 2u * 133);
  for (auto& list : got) {
    for (char* p : list) {
      EXPECT_EQ(query(p).AllocationBase, p);
      EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    }
  }
}

TEST_F(Memory, SystemInfoReportsWindowsFiguresOrTheOverride) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(si.dwAllocationGranularity, 0x10000u);
  EXPECT_GE(si.dwNumberOfProcessors, 1u);
  EXPECT_LT(si.lpMinimumApplicationAddress, si.lpMaximumApplicationAddress);
  pal_set_system_info(8192, 0x40000);
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, 8192u);
  EXPECT_EQ(si.dwAllocationGranularity, 0x40000u);
  for (int i = 0; i < 3; ++i) {
    void* p = VirtualAlloc(nullptr, 4096, kNew, kRw);
    EXPECT_EQ(addr(p) % 0x40000, 0u) << "VirtualAlloc follows";
    VirtualFree(p, 0, MEM_RELEASE);
  }
  pal_set_system_info(0, 0);
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwAllocationGranularity, 0x10000u);
}

TEST(Interlocked, CompareExchangeStoresOnlyOnMatchAndBothReturnTheOldValue) {
  LONG volatile word = 5;
  EXPECT_EQ(InterlockedCompareExchange(&word, 9, 4), 5);
  EXPECT_EQ(word, 5);
  EXPECT_EQ(InterlockedCompareExchange(&word, 9, 5), 5);
  EXPECT_EQ(word, 9);
  EXPECT_EQ(InterlockedExchange(&word, -1), 9);
  EXPECT_EQ(word, -1);
}

// Fills a block with a pattern from its seed; holds() checks it.
void fill(void* block, size_t size, unsigned char seed) {
  for (size_t i = 0; i < size; ++i) static_cast<unsigned char*>(block)[i] = seed + i * 7;
}

bool holds(const void* block, size_t size, unsigned char seed) {
  for (size_t i = 0; i < size; ++i)
    if (static_cast<const unsigned char*>(block)[i] != static_cast<unsigned char>(seed + i * 7))
      return false;
  return true;
}

TEST_F(Memory, AlignedMallocHonoursPowersOfTwoAndRefusesOthersWithEinval) {
  for (size_t alignment = 1; alignment <= 8192; alignment <<= 1) {
    for (size_t size : {0, 3, 4097}) {
      void* block = _aligned_malloc(size, alignment);
      ASSERT_NE(nullptr, block) << size << " at " << alignment;
      EXPECT_EQ(addr(block) % alignment, 0u) << size << " at " << alignment;
      fill(block, size, 3);
      _aligned_free(block);
    }
  }
  void* block = _aligned_malloc(16, 8);
  fill(block, 16, 9);
  for (size_t alignment : {0u, 3u, 24u, 0x80000001u}) {
    errno = 0;
    EXPECT_EQ(nullptr, _aligned_malloc(16, alignment));
    EXPECT_EQ(EINVAL, errno) << alignment;
    errno = 0;
    EXPECT_EQ(nullptr, _aligned_realloc(block, 64, alignment));
    EXPECT_EQ(EINVAL, errno) << alignment;
  }
  EXPECT_TRUE(holds(block, 16, 9));
  _aligned_free(block);
}

TEST_F(Memory, AlignedReallocKeepsContentsAndTakesTheNewAlignment) {
  void* block = _aligned_realloc(nullptr, 40, 16);  // null block: a plain allocation
  ASSERT_NE(nullptr, block);
  fill(block, 40, 1);
  block = _aligned_realloc(block, 100000, 16);
  ASSERT_NE(nullptr, block);
  EXPECT_TRUE(holds(block, 40, 1));
  fill(block, 100000, 2);
  block = _aligned_realloc(block, 24, 16);
  for (size_t alignment = 32; alignment <= 4096; alignment <<= 1) {
    block = _aligned_realloc(block, 24, alignment);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(addr(block) % alignment, 0u);
    EXPECT_TRUE(holds(block, 24, 2)) << alignment;
  }
  // Failures, real or injected, leave the old block as it was.
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_realloc(block, 0xFFFFFF00u, 8));
  EXPECT_EQ(ENOMEM, errno);
  pal_inject_failure("_aligned_realloc", 0, 1);
  EXPECT_EQ(nullptr, _aligned_realloc(block, 4096, 8));
  EXPECT_TRUE(holds(block, 24, 2));
  EXPECT_EQ(nullptr, _aligned_realloc(block, 0, 8)) << "size 0 frees";
  errno = 0;
  EXPECT_EQ(nullptr, _aligned_malloc(0xFFFFFF00u, 8));
  EXPECT_EQ(ENOMEM, errno);
}

TEST_F(Memory, LocalMoveableBlockIsReachedOnlyThroughItsCountedHandle) {
  HLOCAL handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 10485760);  // the symbol buffer's
  ASSERT_NE(handle, nullptr);
  unsigned char* block = static_cast<unsigned char*>(LocalLock(handle));
  ASSERT_NE(block, nullptr);
  EXPECT_NE(static_cast<void*>(block), handle);
  EXPECT_EQ(block[0] | block[5000000] | block[10485759], 0);
  memset(block, 0xAB, 64);
  EXPECT_EQ(LocalLock(handle), block);
  SetLastError(99);
  EXPECT_TRUE(LocalUnlock(handle));
  EXPECT_FALSE(LocalUnlock(handle)) << "the last unlock";
  EXPECT_EQ(lastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(LocalUnlock(handle));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(static_cast<unsigned char*>(LocalLock(handle))[63], 0xAB);

  HLOCAL other = LocalAlloc(LHND, 32);
  void* otherBlock = LocalLock(other);
  EXPECT_NE(other, handle);
  EXPECT_EQ(LocalFree(handle), nullptr) << "a locked block may be freed";
  EXPECT_EQ(LocalLock(other), otherBlock) << "unaffected by the other's release";
  EXPECT_EQ(LocalFree(other), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);

  HLOCAL empty = LocalAlloc(LMEM_MOVEABLE, 0);  // made discarded, as on Windows
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(LocalLock(empty), nullptr);
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_DISCARDED));
  EXPECT_EQ(LocalFree(empty), nullptr);
}

TEST_F(Memory, LocalFixedBlocksAndValuesThatAreNoBlock) {
  HLOCAL fixed = LocalAlloc(LPTR, 100);
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(LocalLock(fixed), fixed);
  EXPECT_EQ(static_cast<unsigned char*>(fixed)[99], 0);
  EXPECT_FALSE(LocalUnlock(fixed));
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(LocalFree(fixed), nullptr);

  static const char notABlock[32] = "plain static data, no header";
  HLOCAL freed = LocalAlloc(LHND, 8);
  LocalFree(freed);
  const HLOCAL bogusValues[] = {reinterpret_cast<HLOCAL>(0x1008), const_cast<char*>(notABlock + 16),
                                freed};
  for (HLOCAL bogus : bogusValues) {
    EXPECT_EQ(LocalLock(bogus), nullptr);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalFree(bogus), bogus);
    EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(LocalAlloc(0x10000, 8), nullptr) << "not a LMEM_ flag";
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  pal_inject_failure("LocalAlloc", 0, 1);
  EXPECT_EQ(LocalAlloc(LHND, 16), nullptr);
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HLOCAL handle = LocalAlloc(LHND, 16);
  pal_inject_failure("LocalLock", 0, 1);
  EXPECT_EQ(LocalLock(handle), nullptr);
  EXPECT_FALSE(LocalUnlock(handle)) << "the failed lock did not count";
  EXPECT_EQ(lastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(LocalFree(handle), nullptr);
}

}  // namespace
