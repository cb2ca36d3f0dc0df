// Runtime facades and system services: fastMemCopy against the runtime's memcpy for every small
// count and misalignment, the string and stream facades, getFileSize leaving no handle behind,
// and getTimeHighPrec's arithmetic at whole, fractional and sub-megahertz frequencies.
#include <quor/Platform.h>

#include <windows.h>

#include <pal/testing.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using quor::Platform;

std::string scratchPath(const char* leaf) {
  return std::string("/tmp/quorkit-facades-") + std::to_string(getpid()) + "-" + leaf;
}

void writeFile(const std::string& path, const char* data, size_t size) {
  FILE* file = ::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(size, ::fwrite(data, 1, size, file));
  ::fclose(file);
}

int openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

unsigned char patternByte(size_t i) { return static_cast<unsigned char>(i * 131 + 17); }

// Copies `count` bytes from source+sourceOffset to destination+destinationOffset with `copy` and
// checks the copy and that no byte around it changed. Buffers are 16-byte aligned.
template <typename Copy>
void checkCopy(Copy copy, unsigned char* source, unsigned char* destination, size_t bufferSize,
               size_t sourceOffset, size_t destinationOffset, size_t count) {
  memset(destination, 0xEE, bufferSize);
  void* result = copy(destination + destinationOffset, source + sourceOffset,
                      static_cast<unsigned int>(count));
  ASSERT_EQ(destination + destinationOffset, result);
  // A quick whole-buffer comparison first; the byte walk below only runs to name a difference.
  std::vector<unsigned char> expected(destination, destination + bufferSize);
  memset(expected.data(), 0xEE, bufferSize);
  if (count != 0) ::memcpy(expected.data() + destinationOffset, source + sourceOffset, count);
  if (memcmp(expected.data(), destination, bufferSize) == 0) return;
  for (size_t i = 0; i < bufferSize; ++i) {
    bool inside = i >= destinationOffset && i < destinationOffset + count;
    unsigned char expected = inside ? source[sourceOffset + (i - destinationOffset)] : 0xEE;
    ASSERT_EQ(expected, destination[i]) << "count " << count << " source+" << sourceOffset
                                        << " destination+" << destinationOffset << " at " << i;
  }
}

class PlatformTime : public ::testing::Test {
 protected:
  void TearDown() override { pal_set_performance_counter(0, 0); }
};

}  // namespace

TEST(FastMemCopy, MatchesTheRuntimeForEveryCountAndMisalignment) {
  const size_t kSize = 16 + 300 + 16;
  alignas(16) unsigned char source[kSize];
  alignas(16) unsigned char destination[kSize];
  for (size_t i = 0; i < kSize; ++i) source[i] = patternByte(i);

  for (size_t count = 0; count <= 300; ++count) {
    for (size_t sourceOffset = 0; sourceOffset < 16; ++sourceOffset) {
      for (size_t destinationOffset = 0; destinationOffset < 16; ++destinationOffset) {
        checkCopy(&Platform::fastMemCopy, source, destination, kSize, sourceOffset,
                  destinationOffset, count);
        if (HasFatalFailure()) return;
      }
    }
  }
  // memcpy is the same copy, with the same results.
  for (size_t count : {0u, 15u, 16u, 37u, 300u}) {
    checkCopy(&Platform::memcpy, source, destination, kSize, 3, 1, count);
    checkCopy(&Platform::memcpy, source, destination, kSize, 0, 0, count);
  }
  // Nothing is touched for 0 bytes, not even through invalid pointers.
  EXPECT_EQ(nullptr, Platform::fastMemCopy(nullptr, nullptr, 0));
}

TEST(FastMemCopy, LargeCopiesWithAlignedAndMisalignedDestinations) {
  const size_t sizes[] = {4096 + 7, 65536, (1u << 20) + 13};
  for (size_t size : sizes) {
    std::vector<unsigned char> sourceBuffer(size + 32);
    std::vector<unsigned char> destinationBuffer(size + 32);
    unsigned char* source =
        sourceBuffer.data() + (16 - reinterpret_cast<uintptr_t>(sourceBuffer.data()) % 16);
    unsigned char* destination = destinationBuffer.data() +
                                 (16 - reinterpret_cast<uintptr_t>(destinationBuffer.data()) % 16);
    for (size_t i = 0; i < size + 16; ++i) source[i] = patternByte(i);
    for (size_t offset : {0u, 1u, 8u, 15u}) {
      checkCopy(&Platform::fastMemCopy, source, destination, size + 16, 5, offset, size);
      if (HasFatalFailure()) return;
    }
  }
}

// One call each: the facade reaches the runtime function of its name with its arguments in order.
TEST(Facades, StringMemoryAndStreamCallsGiveTheRuntimesResults) {
  EXPECT_EQ(5u, Platform::strlen("quork"));
  char buffer[16];
  EXPECT_EQ(buffer, Platform::strcpy(buffer, "abc"));
  EXPECT_STREQ("abc", buffer);
  // strncpy pads with terminators up to the count, and adds none when the source fills it.
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(buffer, Platform::strncpy(buffer, "ab", 4));
  EXPECT_EQ(0, memcmp(buffer, "ab\0\0x", 5));
  Platform::strncpy(buffer, "abcdef", 4);
  EXPECT_EQ(0, memcmp(buffer, "abcdx", 5));
  EXPECT_LT(Platform::strcmp("abc", "abd"), 0);
  EXPECT_EQ(buffer, Platform::memset(buffer, 0x141, 3));  // the value is taken as a byte
  EXPECT_EQ(0, memcmp(buffer, "AAAd", 4));
  EXPECT_EQ(-42, Platform::atoi("  -42x"));

  EXPECT_EQ(nullptr, Platform::fopen(scratchPath("missing").c_str(), "rb"));
  std::string path = scratchPath("stream");
  FILE* stream = Platform::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(3u, Platform::fwrite("0123456789", 3, 3, stream));
  EXPECT_EQ(0, Platform::fflush(stream));
  EXPECT_EQ(9, Platform::ftell(stream));
  EXPECT_EQ(0, Platform::fclose(stream));

  std::string other = scratchPath("other");
  writeFile(other, "xyz", 3);
  stream = Platform::freopen(path.c_str(), "rb", Platform::fopen(other.c_str(), "rb"));
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(0, Platform::fseek(stream, 4, SEEK_SET));
  char data[16] = {};
  EXPECT_EQ(5u, Platform::fread(data, 1, sizeof data, stream));
  EXPECT_STREQ("45678", data);
  EXPECT_NE(0, Platform::feof(stream));
  EXPECT_EQ(0, Platform::fclose(stream));
  unlink(path.c_str());
  unlink(other.c_str());
}

TEST(GetFileSize, SizeByNameAndNoHandleLeftOpen) {
  std::string path = scratchPath("ten");
  writeFile(path, "0123456789", 10);
  std::string empty = scratchPath("empty");
  writeFile(empty, "", 0);

  int descriptors = openDescriptors();
  EXPECT_EQ(10u, Platform::getFileSize(path.c_str()));
  EXPECT_EQ(0u, Platform::getFileSize(empty.c_str()));
  EXPECT_EQ(0u, Platform::getFileSize(scratchPath("missing").c_str()));
  EXPECT_EQ(0u, Platform::getFileSize("/nonexistent-quorkit-dir/file"));
  EXPECT_EQ(0u, Platform::getFileSize(""));
  EXPECT_EQ(descriptors, openDescriptors());

  // Opening an existing file only: a missing one is not created.
  EXPECT_NE(0, access(scratchPath("missing").c_str(), F_OK));

  // No handle of ours still shares the file: an exclusive open succeeds.
  HANDLE exclusive = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
  // ... and while it is held, the size cannot be read: a file that cannot be opened gives 0.
  EXPECT_EQ(0u, Platform::getFileSize(path.c_str()));
  CloseHandle(exclusive);

  // Read access, sharing reading only: another reader that shares reading does not stand in the
  // way, a writer does, even one that shares everything.
  HANDLE reader =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  EXPECT_EQ(10u, Platform::getFileSize(path.c_str()));
  CloseHandle(reader);
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  EXPECT_EQ(0u, Platform::getFileSize(path.c_str()));
  CloseHandle(writer);
  EXPECT_EQ(10u, Platform::getFileSize(path.c_str()));

  unlink(path.c_str());
  unlink(empty.c_str());
}

TEST_F(PlatformTime, MicrosecondsFromTheCounterAtAnyFrequency) {
  // A whole number of megahertz: exact microseconds.
  pal_set_performance_counter(123456789, 10000000);
  EXPECT_EQ(12345678u, Platform::getTimeHighPrec());
  // The lower 32 bits of the quotient: wraps every 2^32 microseconds.
  pal_set_performance_counter((0x100000000LL + 5) * 10, 10000000);
  EXPECT_EQ(5u, Platform::getTimeHighPrec());

  // 3,579,545 Hz truncates to 3 ticks per unit.
  pal_set_performance_counter(3579545LL * 60, 3579545);
  EXPECT_EQ(static_cast<unsigned int>(3579545LL * 60 / 3), Platform::getTimeHighPrec());

  // Below one megahertz: whole microseconds, no division by zero.
  pal_set_performance_counter(999999LL * 5 + 12345, 999999);
  EXPECT_EQ(5012345u, Platform::getTimeHighPrec());
  pal_set_performance_counter(32768LL * 3 + 16384, 32768);
  EXPECT_EQ(3500000u, Platform::getTimeHighPrec());
  pal_set_performance_counter(7, 1);
  EXPECT_EQ(7000000u, Platform::getTimeHighPrec());
  // A counter with a year of seconds in it does not overflow the conversion.
  pal_set_performance_counter(999999LL * 31536000, 999999);
  EXPECT_EQ(static_cast<unsigned int>(31536000LL * 1000000), Platform::getTimeHighPrec());
}

TEST_F(PlatformTime, RealClockAdvancesAcrossASleep) {
  unsigned int before = Platform::getTimeHighPrec();
  Platform::sleep(0);
  Platform::sleep(20);
  unsigned int elapsed = Platform::getTimeHighPrec() - before;  // unsigned: survives a wrap
  EXPECT_GE(elapsed, 20000u);
  EXPECT_LT(elapsed, 60u * 1000 * 1000) << "a minute for a 20 ms sleep: the unit is wrong";
}
