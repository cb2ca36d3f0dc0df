// Runtime facades and system services: fastMemCopy against the runtime's memcpy, the stream
// facades, getFileSize and getTimeHighPrec.
#include <quor/Platform.h>

#include <windows.h>

#include <pal/testing.h>

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using quor::Platform;

std::string scratchPath(const char* leaf) {
  return std::string("/tmp/quorkit-facades-") + std::to_string(getpid()) + "-" + leaf;
}

// Copies `count` bytes from source+from to a buffer of 0xEE at +to with `copy`, and checks the
// copy, the result and that no byte around it changed. `source` holds count+32 bytes.
void checkCopy(void* (*copy)(void*, const void*, unsigned int), const unsigned char* source,
               size_t from, size_t to, size_t count) {
  alignas(16) static unsigned char destination[(1 << 20) + 64];
  std::vector<unsigned char> expected(count + 32, 0xEE);
  memset(destination, 0xEE, count + 32);
  ::memcpy(expected.data() + to, source + from, count);
  ASSERT_EQ(destination + to, copy(destination + to, source + from, count));
  ASSERT_EQ(0, memcmp(expected.data(), destination, count + 32))
      << "count " << count << " source+" << from << " destination+" << to;
}

TEST(FastMemCopy, MatchesTheRuntimeForEveryCountAndMisalignment) {
  alignas(16) static unsigned char source[(1 << 20) + 64];
  for (size_t i = 0; i < sizeof source; ++i) source[i] = static_cast<unsigned char>(i * 131 + 17);
  for (size_t count = 0; count <= 300; ++count) {
    for (size_t from = 0; from < 16; ++from) {
      for (size_t to = 0; to < 16; ++to) {
        ASSERT_NO_FATAL_FAILURE(checkCopy(&Platform::fastMemCopy, source, from, to, count));
      }
    }
  }
  for (size_t count : {4096u + 7, 65536u, (1u << 20) + 13}) {
    for (size_t to : {0u, 1u, 8u, 15u}) checkCopy(&Platform::fastMemCopy, source, 5, to, count);
  }
  for (size_t count : {0u, 15u, 16u, 37u, 300u}) checkCopy(&Platform::memcpy, source, 3, 1, count);
}

// The stream facades hand their arguments on in order: the values are chosen so that swapped
// arguments give another result.
TEST(Facades, StreamCallsGiveTheRuntimesResults) {
  EXPECT_EQ(nullptr, Platform::fopen(scratchPath("missing").c_str(), "rb"));
  std::string path = scratchPath("stream");
  FILE* stream = Platform::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(4u, Platform::fwrite("0123456789", 2, 4, stream));
  EXPECT_EQ(0, Platform::fclose(stream));
  stream = Platform::freopen(path.c_str(), "rb", tmpfile());
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(0, Platform::fseek(stream, 3, SEEK_SET));
  char data[16] = {};
  EXPECT_EQ(2u, Platform::fread(data, 2, 7, stream)) << "whole elements of 2 among 5 bytes";
  EXPECT_EQ(0, memcmp(data, "3456", 4));
  EXPECT_EQ(0, Platform::fclose(stream));
  unlink(path.c_str());
}

TEST(GetFileSize, SizeByNameWithReadSharingAndNoHandleLeftOpen) {
  std::string path = scratchPath("ten");
  FILE* file = ::fopen(path.c_str(), "wb");
  ASSERT_EQ(10u, ::fwrite("0123456789", 1, 10, file));
  ::fclose(file);
  EXPECT_EQ(10u, Platform::getFileSize(path.c_str()));
  EXPECT_EQ(0u, Platform::getFileSize(scratchPath("missing").c_str()));
  EXPECT_NE(0, access(scratchPath("missing").c_str(), F_OK)) << "a missing file is not created";

  // Read access sharing reading only: a reader that shares reading does not stand in the way;
  // a writer does, even one that shares everything, and so does an exclusive handle.
  const struct {
    DWORD access, share;
    unsigned int size;
  } holders[] = {{GENERIC_READ, FILE_SHARE_READ, 10},
                 {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
                 {GENERIC_READ | GENERIC_WRITE, 0, 0}};
  for (const auto& h : holders) {
    HANDLE held = CreateFileA(path.c_str(), h.access, h.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held) << "no handle of ours may still hold the file";
    EXPECT_EQ(h.size, Platform::getFileSize(path.c_str())) << h.access << " " << h.share;
    CloseHandle(held);
  }
  unlink(path.c_str());
}

TEST(PlatformTime, MicrosecondsFromTheCounterAtAnyFrequency) {
  const struct {
    long long counter, frequency;
    unsigned int expected;
  } cases[] = {
      {123456789, 10000000, 12345678},
      {(0x100000000LL + 5) * 10, 10000000, 5},  // the lower 32 bits: wraps every 2^32 units
      {3579545LL * 60, 3579545, static_cast<unsigned int>(3579545LL * 60 / 3)},  // 3 ticks a unit
      // Below one megahertz: whole microseconds, no division by zero, no overflow.
      {999999LL * 5 + 12345, 999999, 5012345},
      {32768LL * 3 + 16384, 32768, 3500000},
      {999999LL * 31536000, 999999, static_cast<unsigned int>(31536000LL * 1000000)},
  };
  for (const auto& c : cases) {
    pal_set_performance_counter(c.counter, c.frequency);
    EXPECT_EQ(c.expected, Platform::getTimeHighPrec()) << c.counter << " at " << c.frequency;
  }
  pal_set_performance_counter(0, 0);
  unsigned int before = Platform::getTimeHighPrec();
  Platform::sleep(0);
  Platform::sleep(20);
  unsigned int elapsed = Platform::getTimeHighPrec() - before;  // unsigned: survives a wrap
  EXPECT_GE(elapsed, 20000u);
  EXPECT_LT(elapsed, 60u * 1000 * 1000) << "a minute for a 20 ms sleep: the unit is wrong";
}

}  // namespace
