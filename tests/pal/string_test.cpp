// lstrcatA, lstrcmpiA, lstrcpynA and wsprintfA against their Windows results.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <string.h>

namespace {

TEST(LstrFunctions, CopyConcatenateCompare) {
  char buffer[16];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(lstrcpynA(buffer, "dbghelp.dll", 8), buffer);
  EXPECT_STREQ(buffer, "dbghelp");  // 7 characters and the NUL
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(lstrcpynA(buffer, "ab", 16), buffer);
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(buffer[3], 'x');  // nothing written past the NUL
  EXPECT_EQ(lstrcpynA(buffer, "zz", 1), buffer);
  EXPECT_STREQ(buffer, "");
  buffer[0] = 'q';
  EXPECT_EQ(lstrcpynA(buffer, "zz", 0), buffer);
  EXPECT_EQ(buffer[0], 'q');
  EXPECT_EQ(lstrcpynA(nullptr, "zz", 4), nullptr);

  char path[32] = "/usr/lib";
  EXPECT_EQ(lstrcatA(path, "\\"), path);
  EXPECT_EQ(lstrcatA(path, "dbghelp.dll"), path);
  EXPECT_STREQ(path, "/usr/lib\\dbghelp.dll");
  EXPECT_EQ(lstrcatA(path, nullptr), nullptr);

  EXPECT_EQ(lstrcmpiA("C:\\Windows\\DbgHelp.DLL", "c:\\windows\\dbghelp.dll"), 0);
  EXPECT_EQ(lstrcmpiA("abc", "abd"), -1);
  EXPECT_EQ(lstrcmpiA("ABD", "abc"), 1);
  EXPECT_EQ(lstrcmpiA("ab", "abc"), -1);
  EXPECT_EQ(lstrcmpiA(nullptr, "a"), -1);
  EXPECT_EQ(lstrcmpiA("a", nullptr), 1);
  EXPECT_EQ(lstrcmpiA(nullptr, nullptr), 0);
}

std::string format(const char* fmt, ...) {
  char out[2048];
  memset(out, 'Z', sizeof out);
  va_list args;
  va_start(args, fmt);
  int length = wvsprintfA(out, fmt, args);
  va_end(args);
  EXPECT_EQ(length, static_cast<int>(strlen(out)));
  return out;
}

TEST(Wsprintf, TheModulesFormats) {
  char out[64];
  EXPECT_EQ(wsprintfA(out, "%s: %p\n", "StackWalk", reinterpret_cast<void*>(0x1234abcd)), 20);
  EXPECT_STREQ(out, "StackWalk: 1234ABCD\n");
  EXPECT_EQ(format("%s: %p\n", "SymCleanup", nullptr), "SymCleanup: 00000000\n");
  EXPECT_EQ(format("0x%016X %s() + 0x%x\n", 0x8048abcu, "quor::captureStack", 0x1fu),
            "0x0000000008048ABC quor::captureStack() + 0x1f\n");
  EXPECT_EQ(format("0x%016X\n", 0xF7001234u), "0x00000000F7001234\n");
  EXPECT_EQ(format("  %s(%lu)\n", "/src/a.cpp", 4294967295ul), "  /src/a.cpp(4294967295)\n");
  EXPECT_EQ(format("StackWalk: failed 0x%x @0x%p\n", 0x1e7u, reinterpret_cast<void*>(0xbf001234)),
            "StackWalk: failed 0x1e7 @0xBF001234\n");
  EXPECT_EQ(format("<<%s>>: {0x%08X} 0x%p, %lu bytes. region 0x%04X\n", "malloc", 0xbeefu,
                   reinterpret_cast<void*>(0x9000), 100ul, 7u),
            "<<malloc>>: {0x0000BEEF} 0x00009000, 100 bytes. region 0x0007\n");
  EXPECT_EQ(format("%s|%5s|%-5s|%.2s", static_cast<const char*>(nullptr), "ab", "ab", "abcdef"),
            "(null)|   ab|ab   |ab");
}

TEST(Wsprintf, IntegersFlagsAndUnknownConversions) {
  EXPECT_EQ(format("%d %i %u", -42, 7, 3000000000u), "-42 7 3000000000");
  EXPECT_EQ(format("%05d|%-4d|%4d", -42, 5, 5), "-0042|5   |   5");
  EXPECT_EQ(format("%#x %#X %x", 255u, 255u, 0u), "0xff 0XFF 0");
  EXPECT_EQ(format("%.3d|%c%c", 5, 'o', 'k'), "005|ok");
  EXPECT_EQ(format("%I64u %I64X", 12345678901234ull, 0x123456789ABCull),
            "12345678901234 123456789ABC");
  EXPECT_EQ(format("100%% %y"), "100% y");  // unknown conversion: the character itself
  EXPECT_EQ(format("%hs %ls", "narrow", u"wide"), "narrow wide");
}

TEST(Wsprintf, OutputStopsAt1023Characters) {
  std::string big(3000, 'a');
  char out[2048];
  memset(out, 'Z', sizeof out);
  EXPECT_EQ(wsprintfA(out, "%s", big.c_str()), 1023);
  EXPECT_EQ(strlen(out), 1023u);
  EXPECT_EQ(out[1024], 'Z');  // nothing beyond the 1,024-byte limit
  memset(out, 'Z', sizeof out);
  std::string fmt(1022, 'b');
  fmt += "%d";
  EXPECT_EQ(wsprintfA(out, fmt.c_str(), 987), 1023);
  EXPECT_EQ(std::string(out + 1020), "bb9");
  EXPECT_EQ(wsprintfA(out, "%s", ""), 0);
  EXPECT_STREQ(out, "");
}

}  // namespace
