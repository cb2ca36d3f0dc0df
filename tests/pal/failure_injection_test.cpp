// pal_inject_failure: skip, count, per-name independence, clearing.
#include <malloc.h>
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

namespace {

TEST(FailureInjection, SkipsThenFailsCountTimesPerFunction) {
  pal_inject_failure("TlsAlloc", 0, 2);
  pal_inject_failure("_aligned_malloc", 2, 1);
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  void* a = _aligned_malloc(16, 8);
  void* b = _aligned_malloc(16, 8);
  void* c = _aligned_malloc(16, 8);
  void* d = _aligned_malloc(16, 8);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  DWORD slot = TlsAlloc();
  EXPECT_NE(slot, TLS_OUT_OF_INDEXES);
  TlsFree(slot);
  _aligned_free(a);
  _aligned_free(b);
  _aligned_free(d);
}

TEST(FailureInjection, ReplacingAndClearing) {
  pal_inject_failure("TlsAlloc", 0, 5);
  pal_inject_failure("TlsAlloc", 0, 1);  // replaces the earlier request
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  DWORD slot = TlsAlloc();
  EXPECT_NE(slot, TLS_OUT_OF_INDEXES);
  TlsFree(slot);
  pal_inject_failure("TlsAlloc", 0, 3);
  pal_clear_failures();
  slot = TlsAlloc();
  EXPECT_NE(slot, TLS_OUT_OF_INDEXES);
  TlsFree(slot);
  pal_inject_failure(nullptr, 0, 1);  // ignored, no crash
  pal_inject_failure("", 0, 1);
}

}  // namespace
