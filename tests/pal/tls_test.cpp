// TLS slots: per-thread values, null for threads that stored nothing, reuse reads as null.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Tls, ValuesArePerThreadAndNullWhereNothingWasStored) {
  DWORD slot = TlsAlloc();
  ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
  int mine = 1;
  EXPECT_TRUE(TlsSetValue(slot, &mine));
  void* seenByOther = &mine;
  DWORD errorInOther = 1234;
  std::thread other([&] {
    SetLastError(77);
    seenByOther = TlsGetValue(slot);
    errorInOther = GetLastError();
  });
  other.join();
  EXPECT_EQ(seenByOther, nullptr);
  EXPECT_EQ(errorInOther, static_cast<DWORD>(ERROR_SUCCESS)) << "a null value is not a failure";
  EXPECT_EQ(TlsGetValue(slot), &mine);
  EXPECT_TRUE(TlsFree(slot));
}

TEST(Tls, ReallocatedSlotReadsNullInEveryThread) {
  DWORD slot = TlsAlloc();
  ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
  int value = 5;
  TlsSetValue(slot, &value);
  TlsFree(slot);
  DWORD again = TlsAlloc();
  ASSERT_EQ(again, slot) << "lowest free index is handed out again";
  EXPECT_EQ(TlsGetValue(again), nullptr);
  TlsFree(again);
}

TEST(Tls, ExhaustionAndInjectedFailureGiveOutOfIndexes) {
  std::vector<DWORD> taken;
  for (int i = 0; i < 200; ++i) {
    DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) break;
    taken.push_back(slot);
  }
  EXPECT_EQ(taken.size(), static_cast<size_t>(TLS_MINIMUM_AVAILABLE)) << "all slots can be taken";
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  for (DWORD slot : taken) TlsFree(slot);

  pal_inject_failure("TlsAlloc", 1, 1);
  DWORD first = TlsAlloc();
  EXPECT_NE(first, TLS_OUT_OF_INDEXES) << "skip count honoured";
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  DWORD third = TlsAlloc();
  EXPECT_NE(third, TLS_OUT_OF_INDEXES) << "only `count` calls fail";
  TlsFree(first);
  TlsFree(third);
  pal_clear_failures();
}

TEST(Tls, BadIndicesFailWithInvalidParameter) {
  EXPECT_FALSE(TlsFree(TLS_OUT_OF_INDEXES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(TlsSetValue(TLS_MINIMUM_AVAILABLE, nullptr));
  EXPECT_EQ(TlsGetValue(TLS_MINIMUM_AVAILABLE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
