// Files: dispositions and their error codes, positions per handle, share modes, access checks,
// GetFileSize and fault injection, as the allocation log and getFileSize use them.
#include <windows.h>
#include <pal/testing.h>

#include <gtest/gtest.h>

#include <string>

#include "temp_directory.h"

namespace {

class FileTest : public TempDirectoryTest {
 protected:
  static HANDLE create(const std::string& p, DWORD disposition,
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

TEST_F(FileTest, CreateAlwaysTruncatesAndNotesAnExistingFile) {
  std::string p = path("log.bin");
  HANDLE h = create(p, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  put(h, "first run, long text");
  ASSERT_TRUE(CloseHandle(h));

  SetLastError(77);
  h = create(p, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  put(h, "second");
  ASSERT_TRUE(CloseHandle(h));

  h = create(p, OPEN_ALWAYS);  // keeps the content
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(get(h, 100), "second");
  ASSERT_TRUE(CloseHandle(h));

  h = create(path("fresh"), OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, FailedOpensGiveTheWindowsErrorCodes) {
  EXPECT_EQ(create(path("missing"), OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(create(path("no_dir/missing"), OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(create(path("no_dir/new"), CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(create(dir_, OPEN_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);  // a directory
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(create(path("x"), 99), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(create("", OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  HANDLE h = create(path("once"), CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  put(h, "kept");
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(create(path("once"), CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(create(path("once"), TRUNCATE_EXISTING, GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  h = create(path("once"), OPEN_EXISTING, GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(get(h, 10), "kept");  // the refused CREATE_NEW left it alone
  ASSERT_TRUE(CloseHandle(h));

  // Backslashes are separators, as on Windows.
  std::string windowsPath = dir_ + "\\once";
  h = CreateFileA(windowsPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                  nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(get(h, 10), "kept");
  ASSERT_TRUE(CloseHandle(h));
}

// The allocation log's pattern: a writer keeps appending while a reader opened later reads from
// the start with a handle of its own.
TEST_F(FileTest, SeparateHandlesKeepSeparatePositions) {
  std::string p = path("shared.bin");
  HANDLE writer = create(p, CREATE_ALWAYS, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  put(writer, "0123456789");

  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE reader = CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_NE(reader, writer);
  EXPECT_EQ(get(reader, 4), "0123");
  put(writer, "abc");  // appends after "9", unmoved by the reader
  EXPECT_EQ(get(reader, 100), "456789abc");
  EXPECT_EQ(get(reader, 100), "");  // end of file: success with nothing read

  OVERLAPPED at = {};
  at.u.s.Offset = 2;
  char two[2];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(reader, two, 2, &got, &at));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(two, 2), "23");

  DWORD high = 99;
  EXPECT_EQ(GetFileSize(writer, &high), 13u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(FlushFileBuffers(writer));
  EXPECT_FALSE(FlushFileBuffers(reader));  // flushing needs write access
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(FileTest, ShareModesOfOpenHandlesAreEnforced) {
  std::string p = path("locked.bin");
  HANDLE writer = create(p, CREATE_ALWAYS, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  put(writer, "content");

  // A reader that does not let others write cannot join a handle that writes.
  EXPECT_EQ(create(p, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A second writer is refused because the first one shares reading only; and the refused
  // CREATE_ALWAYS must not have truncated the file.
  EXPECT_EQ(create(p, CREATE_ALWAYS, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(GetFileSize(writer, nullptr), 7u);

  ASSERT_TRUE(CloseHandle(writer));
  HANDLE reader = create(p, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ);  // free again
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(reader));
}

TEST_F(FileTest, HandlesAreCheckedForValidityAndAccess) {
  HANDLE h = create(path("w"), CREATE_ALWAYS, GENERIC_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buffer[4];
  DWORD got = 7;
  EXPECT_FALSE(ReadFile(h, buffer, 4, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(CloseHandle(h));

  EXPECT_FALSE(CloseHandle(h));  // already closed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DWORD written = 7;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(nullptr, "x", 1, &written, nullptr));
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FlushFileBuffers(h));

  // Pseudo handles close as a no-op, as on Windows.
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));
}

// Quor::Platform::getFileSize's sequence, and the failure that fault injection gives it.
TEST_F(FileTest, SizeQueryAndInjectedFailure) {
  std::string p = path("sized");
  HANDLE h = create(p, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  put(h, std::string(5000, 'z'));
  ASSERT_TRUE(CloseHandle(h));

  h = CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 5000u);
  EXPECT_TRUE(CloseHandle(h));

  pal_inject_failure("CreateFileA", 1, 1);
  h = CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(
      CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  h = CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
