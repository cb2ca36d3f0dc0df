// GetSystemInfo and its test control pal_set_system_info.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

TEST(GetSystemInfo, ReportsThePageSizeAndWindowsGranularity) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(si.dwAllocationGranularity, 0x10000u);
  EXPECT_GE(si.dwNumberOfProcessors, 1u);
  EXPECT_LT(si.lpMinimumApplicationAddress, si.lpMaximumApplicationAddress);
}

TEST(PalSetSystemInfo, OverridesBothFiguresAndVirtualAllocFollows) {
  pal_set_system_info(8192, 0x40000);
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, 8192u);
  EXPECT_EQ(si.dwAllocationGranularity, 0x40000u);
  void* blocks[4];
  for (void*& p : blocks) {
    p = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 0x40000, 0u);
  }
  for (void* p : blocks) VirtualFree(p, 0, MEM_RELEASE);

  pal_set_system_info(3000, 5000);  // nonsense figures are reported as given
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, 3000u);
  EXPECT_EQ(si.dwAllocationGranularity, 5000u);

  pal_set_system_info(0, 0);
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(si.dwAllocationGranularity, 0x10000u);
}

}  // namespace
