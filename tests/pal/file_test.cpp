// Files as the allocation log and getFileSize use them, fopen_s, and the string functions and
// wsprintfA of the debug-help module.
#include <stdio.h>
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include "pal_test.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

using paltest::errorOf;

class Files : public paltest::ScratchDirectoryTest {
 protected:
  static HANDLE open(const std::string& p, DWORD disposition,
                     DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = FILE_SHARE_READ) {
    return CreateFileA(p.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }
  static void put(HANDLE h, const std::string& text) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    ASSERT_EQ(written, text.size());
  }
  static std::string get(HANDLE h, DWORD count) {
    std::string out(count, '\0');
    DWORD got = 12345;
    EXPECT_TRUE(ReadFile(h, &out[0], count, &got, nullptr));
    out.resize(got);
    return out;
  }
};

TEST_F(Files, CreateAlwaysTruncatesAndSaysWhetherTheFileExisted) {
  std::string p = path("log.bin");
  HANDLE h = open(p, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), 0u);
  put(h, "first run, long text");
  ASSERT_TRUE(CloseHandle(h));
  SetLastError(77);
  h = open(p, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  put(h, "second");  // read back below: the longer first text must be gone
  ASSERT_TRUE(CloseHandle(h));
  // Backslashes are separators, as on Windows.
  h = open(dir_ + "\\log.bin", OPEN_EXISTING, GENERIC_READ);
  EXPECT_EQ(get(h, 10), "second");
  ASSERT_TRUE(CloseHandle(h));
}

TEST_F(Files, FailedOpensGiveTheWindowsErrorCodes) {
  const struct {
    std::string path;
    DWORD disposition, access;
    int error;
  } cases[] = {
      {path("missing"), OPEN_EXISTING, GENERIC_READ, ERROR_FILE_NOT_FOUND},
      {path("no_dir/missing"), OPEN_EXISTING, GENERIC_READ, ERROR_PATH_NOT_FOUND},
      {path("no_dir/new"), CREATE_ALWAYS, GENERIC_WRITE, ERROR_PATH_NOT_FOUND},
      {dir_, OPEN_EXISTING, GENERIC_READ, ERROR_ACCESS_DENIED},  // a directory
      {"", OPEN_EXISTING, GENERIC_READ, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(open(c.path, c.disposition, c.access), INVALID_HANDLE_VALUE), c.error)
        << c.path << " " << c.disposition;
  }
}

// The allocation log's pattern: a writer keeps appending while a reader opened later reads from
// the start with a handle of its own.
TEST_F(Files, SeparateHandlesKeepSeparatePositions) {
  std::string p = path("shared.bin");
  HANDLE writer = open(p, CREATE_ALWAYS);
  put(writer, "0123456789");
  HANDLE reader = open(p, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(get(reader, 4), "0123");
  put(writer, "abc");  // appends after "9", unmoved by the reader
  EXPECT_EQ(get(reader, 100), "456789abc");
  EXPECT_EQ(get(reader, 100), "") << "end of file: success with nothing read";
  EXPECT_TRUE(FlushFileBuffers(writer));
  EXPECT_TRUE(CloseHandle(reader));

  // A reader that does not let others write cannot join a handle that writes; a second writer is
  // refused, and its refused CREATE_ALWAYS must not truncate.
  EXPECT_EQ(errorOf(open(p, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE),
            ERROR_SHARING_VIOLATION);
  EXPECT_EQ(errorOf(open(p, CREATE_ALWAYS, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE),
                    INVALID_HANDLE_VALUE),
            ERROR_SHARING_VIOLATION);
  EXPECT_EQ(GetFileSize(writer, nullptr), 13u);
  EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(Files, HandlesAreCheckedForValidityAndAccessAndInjectedFailures) {
  HANDLE h = open(path("w"), CREATE_ALWAYS, GENERIC_WRITE);
  char buffer[4];
  DWORD count = 7;
  EXPECT_EQ(errorOf(ReadFile(h, buffer, 4, &count, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(count, 0u);
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h)) << "closed already";
  for (HANDLE bad : {h, INVALID_HANDLE_VALUE, HANDLE(nullptr)}) {
    EXPECT_EQ(errorOf(WriteFile(bad, "x", 1, &count, nullptr)), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(errorOf(GetFileSize(h, nullptr), INVALID_FILE_SIZE), ERROR_INVALID_HANDLE);
  pal_inject_failure("CreateFileA", 1, 1);
  EXPECT_TRUE(CloseHandle(open(path("w"), OPEN_EXISTING, GENERIC_READ)));
  EXPECT_EQ(errorOf(open(path("w"), OPEN_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE),
            ERROR_ACCESS_DENIED);
}

// The stream pointer is always written (null on failure) once it can be, and the result is the
// errno value of the failure.
TEST_F(Files, FopenSOpensOrClearsTheStreamAndReturnsErrno) {
  FILE* stream = nullptr;
  ASSERT_EQ(0, fopen_s(&stream, path("ok").c_str(), "wb"));
  fclose(stream);
  stream = reinterpret_cast<FILE*>(0x1234);
  EXPECT_EQ(ENOENT, fopen_s(&stream, "/tmp/pal-no-such-dir/file", "rb"));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(EISDIR, fopen_s(&stream, "/tmp", "wb"));
  EXPECT_EQ(EINVAL, fopen_s(&stream, nullptr, "rb"));
  EXPECT_EQ(EINVAL, fopen_s(nullptr, "/tmp/x", "rb"));
}

TEST(Strings, CopyConcatenateCompare) {
  char buffer[16];
  EXPECT_EQ(lstrcpynA(buffer, "dbghelp.dll", 8), buffer);
  EXPECT_STREQ(buffer, "dbghelp");  // 7 characters and the NUL
  lstrcpynA(buffer, "zz", 16);
  EXPECT_EQ(std::string(buffer, 4), std::string("zz\0h", 4)) << "nothing written past the NUL";
  lstrcpynA(buffer, "zz", 1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(lstrcpynA(nullptr, "zz", 4), nullptr);

  char path[32] = "/usr/lib";
  EXPECT_EQ(lstrcatA(path, "\\dbghelp.dll"), path);
  EXPECT_STREQ(path, "/usr/lib\\dbghelp.dll");

  EXPECT_EQ(lstrcmpiA("C:\\Windows\\DbgHelp.DLL", "c:\\windows\\dbghelp.dll"), 0);
  EXPECT_EQ(lstrcmpiA("ABD", "abc"), 1);
  EXPECT_EQ(lstrcmpiA("ab", "abc"), -1);
  EXPECT_EQ(lstrcmpiA(nullptr, "a"), -1);
}

// wvsprintfA's text; its result must be the length, and nothing may land beyond the 1,024 bytes
// that are all a wsprintfA buffer needs.
std::string format(const char* fmt, ...) {
  char out[2048];
  memset(out, 'Z', sizeof out);
  va_list args;
  va_start(args, fmt);
  int length = wvsprintfA(out, fmt, args);
  va_end(args);
  EXPECT_EQ(length, static_cast<int>(strlen(out)));
  EXPECT_EQ(out[1024], 'Z');
  return out;
}

TEST(Wsprintf, TheModulesConversionsAndTheLimitOf1023Characters) {
  char out[32];
  EXPECT_EQ(wsprintfA(out, "%s %d", "ab", 5), 4);
  EXPECT_STREQ(out, "ab 5");
  const void* p = reinterpret_cast<void*>(0x1234abcd);
  const char* null = nullptr;
  const std::string b1022(1022, 'b');
  // The debug-help module's conversions, and the limit.
  const std::pair<std::string, std::string> cases[] = {
      {format("%s: %p|%p", "StackWalk", p, null), "StackWalk: 1234ABCD|00000000"},
      {format("0x%016X %s + 0x%x", 0xF8048abcu, "f", 0x1fu), "0x00000000F8048ABC f + 0x1f"},
      {format("(%lu) {0x%08X} 0x%04X %d", 4294967295ul, 0xbeefu, 7u, -42),
       "(4294967295) {0x0000BEEF} 0x0007 -42"},
      {format("%s", std::string(3000, 'a').c_str()), std::string(1023, 'a')},
      {format((b1022 + "%d").c_str(), 987), b1022 + "9"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.first, c.second);
}

int formatBounded(char* buffer, size_t count, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = _vsnprintf(buffer, count, format, arguments);
  va_end(arguments);
  return result;
}

// The library's output path counts on these results: a text that fills the count exactly is a
// length, not -1; nothing is written past the count.
TEST(Vsnprintf, GivesTheLengthWhileTheTextFitsTheCountAndMinusOneBeyond) {
  const struct {
    size_t count;
    int result;
    const char* kept;  // up to the terminator this PAL writes (Windows leaves it to the caller)
  } cases[] = {{8, 5, "abcde"}, {5, 5, "abcd"}, {4, -1, "abc"}, {1, -1, ""}};
  for (const auto& c : cases) {
    char buffer[9];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(c.result, formatBounded(buffer, c.count, "%s%c", "abcd", 'e')) << c.count;
    EXPECT_STREQ(c.kept, buffer) << c.count;
    EXPECT_EQ('#', buffer[c.count]) << c.count;
  }
  char untouched = '#';
  EXPECT_EQ(-1, formatBounded(&untouched, 0, "x"));
  EXPECT_EQ('#', untouched);
}

}  // namespace
