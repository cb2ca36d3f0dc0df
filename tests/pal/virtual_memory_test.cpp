// VirtualAlloc, VirtualQuery and VirtualFree: granularity-aligned allocations that are queried
// and released whole, as the heap relies on.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kRw = PAGE_READWRITE;
constexpr DWORD kNew = MEM_RESERVE | MEM_COMMIT;

uintptr_t addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

MEMORY_BASIC_INFORMATION query(const void* p) {
  MEMORY_BASIC_INFORMATION info;
  std::memset(&info, 0xCC, sizeof info);
  EXPECT_EQ(VirtualQuery(p, &info, sizeof info), sizeof info);
  return info;
}

TEST(VirtualAlloc, AlignsToTheGranularityAndQueriesTheWholeAllocation) {
  char* p = static_cast<char*>(VirtualAlloc(nullptr, 100000, kNew, kRw));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(addr(p) % 0x10000, 0u);
  std::memset(p, 0x5A, 100000);  // committed and writable throughout

  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const size_t page = si.dwPageSize;
  const size_t whole = (100000 + page - 1) / page * page;

  MEMORY_BASIC_INFORMATION at = query(p);
  EXPECT_EQ(at.BaseAddress, p);
  EXPECT_EQ(at.AllocationBase, p);
  EXPECT_EQ(at.RegionSize, whole);
  EXPECT_EQ(at.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_EQ(at.Protect, kRw);

  MEMORY_BASIC_INFORMATION inside = query(p + page + 17);
  EXPECT_EQ(inside.BaseAddress, p + page);
  EXPECT_EQ(inside.AllocationBase, p);
  EXPECT_EQ(inside.RegionSize, whole - page);
  EXPECT_EQ(inside.State, static_cast<DWORD>(MEM_COMMIT));

  MEMORY_BASIC_INFORMATION after = query(p + whole);
  EXPECT_NE(after.AllocationBase, p) << "the allocation ends where its pages end";

  ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
  MEMORY_BASIC_INFORMATION gone = query(p);
  EXPECT_EQ(gone.State, static_cast<DWORD>(MEM_FREE));
  EXPECT_EQ(gone.AllocationBase, nullptr);
  EXPECT_EQ(gone.BaseAddress, p);
  EXPECT_GE(gone.RegionSize, page);
}

TEST(VirtualFree, ReleasesOnlyAtTheBaseAndExactlyOneAllocation) {
  // Larger than any space the other cases release, so both come from fresh address space.
  char* a = static_cast<char*>(VirtualAlloc(nullptr, 0x400000, kNew, kRw));
  char* b = static_cast<char*>(VirtualAlloc(nullptr, 0x400000, kNew, kRw));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b, a + 0x400000) << "bottom-up allocations follow one another";

  SetLastError(0);
  EXPECT_FALSE(VirtualFree(a + 0x1000, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_FALSE(VirtualFree(a, 0x400000, MEM_RELEASE)) << "MEM_RELEASE takes size 0";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(VirtualFree(a, 0x1000, MEM_DECOMMIT));
  EXPECT_EQ(query(a).State, static_cast<DWORD>(MEM_COMMIT));
  a[0x1000] = 1;  // still mapped after every refusal

  ASSERT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  EXPECT_EQ(query(a).State, static_cast<DWORD>(MEM_FREE));
  MEMORY_BASIC_INFORMATION next = query(b);
  EXPECT_EQ(next.State, static_cast<DWORD>(MEM_COMMIT)) << "the neighbour stays";
  EXPECT_EQ(next.AllocationBase, b);
  b[0] = 1;
  EXPECT_FALSE(VirtualFree(a, 0, MEM_RELEASE)) << "released once only";
  EXPECT_TRUE(VirtualFree(b, 0, MEM_RELEASE));
}

TEST(VirtualAlloc, ReusesReleasedSpaceAndPlacesAtARequestedAddress) {
  // Sizes above what the other cases release, so the hole found is this case's own.
  char* a = static_cast<char*>(VirtualAlloc(nullptr, 0x300000, kNew, kRw));
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  char* again = static_cast<char*>(VirtualAlloc(nullptr, 0x100000, kNew, kRw));
  EXPECT_EQ(again, a) << "first fit in released space";
  char* fixed = static_cast<char*>(VirtualAlloc(a + 0x200000 + 123, 0x8000, kNew, kRw));
  EXPECT_EQ(fixed, a + 0x200000) << "a requested address is rounded down to the granularity";
  EXPECT_EQ(query(fixed).AllocationBase, fixed);
  SetLastError(0);
  EXPECT_EQ(VirtualAlloc(a + 0x200000, 0x1000, MEM_RESERVE | MEM_COMMIT, kRw), nullptr)
      << "space that is taken cannot be reserved again";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_EQ(VirtualAlloc(again + 0x2000, 0x1000, MEM_COMMIT, kRw), again + 0x2000)
      << "committing committed pages succeeds";
  EXPECT_TRUE(VirtualFree(again, 0, MEM_RELEASE));
  EXPECT_TRUE(VirtualFree(fixed, 0, MEM_RELEASE));
}

TEST(VirtualAlloc, TopDownGivesAnAlignedCommittedRegion) {
  char* p = static_cast<char*>(VirtualAlloc(nullptr, 0x50000, kNew | MEM_TOP_DOWN, kRw));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(addr(p) % 0x10000, 0u);
  p[0] = 1;
  p[0x4FFFF] = 1;
  MEMORY_BASIC_INFORMATION info = query(p + 0x4FFFF);
  EXPECT_EQ(info.AllocationBase, p);
  EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST(VirtualAlloc, RefusesWhatItDoesNotProvideAndInjectedFailures) {
  SetLastError(0);
  EXPECT_EQ(VirtualAlloc(nullptr, 0, kNew, kRw), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kNew, 0x12345), nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_RESERVE, kRw), nullptr);

  pal_inject_failure("VirtualAlloc", 1, 2);
  void* first = VirtualAlloc(nullptr, 4096, kNew, kRw);
  EXPECT_NE(first, nullptr);
  SetLastError(0);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kNew, kRw), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kNew | MEM_TOP_DOWN, kRw), nullptr);
  void* later = VirtualAlloc(nullptr, 4096, kNew, kRw);
  EXPECT_NE(later, nullptr);
  pal_clear_failures();
  VirtualFree(first, 0, MEM_RELEASE);
  VirtualFree(later, 0, MEM_RELEASE);
}

TEST(VirtualQuery, DescribesMemoryItDidNotAllocate) {
  int local = 0;
  MEMORY_BASIC_INFORMATION stack = query(&local);
  EXPECT_EQ(stack.State, static_cast<DWORD>(MEM_COMMIT));
  EXPECT_FALSE(VirtualFree(stack.AllocationBase, 0, MEM_RELEASE)) << "never released by the PAL";
  MEMORY_BASIC_INFORMATION info;
  EXPECT_EQ(VirtualQuery(&local, &info, sizeof info - 1), 0u);
  EXPECT_EQ(VirtualQuery(reinterpret_cast<void*>(0xFFFF8000u), &info, sizeof info), 0u);
}

TEST(VirtualAlloc, ConcurrentAllocationsStayDistinctAndReleasable) {
  constexpr int kPerThread = 200;
  std::vector<char*> got[2];
  auto work = [](std::vector<char*>* out) {
    for (int i = 0; i < kPerThread; ++i) {
      char* p = static_cast<char*>(VirtualAlloc(nullptr, 4096 * (1 + i % 5), kNew, kRw));
      if (!p) return;
      p[0] = static_cast<char>(i);
      out->push_back(p);
      if (i % 3 == 0) {
        VirtualFree(out->back(), 0, MEM_RELEASE);
        out->pop_back();
      }
    }
  };
  std::thread t1(work, &got[0]), t2(work, &got[1]);
  t1.join();
  t2.join();
  size_t count = 0;
  for (auto& list : got) {
    for (char* p : list) {
      MEMORY_BASIC_INFORMATION info = query(p);
      EXPECT_EQ(info.AllocationBase, p);
      EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
      ++count;
    }
  }
  EXPECT_EQ(count, 2u * (kPerThread - (kPerThread + 2) / 3));
}

}  // namespace
