// --symbolize against modules built on the spot: a 32-bit ELF shared object, a 32-bit
// fixed-address executable and, when the MinGW tools are present, a PE DLL. The logged
// bases differ from the link addresses, so rebasing is exercised too. A stand-in
// addr2line on PATH counts its runs to hold the one-run-per-module rule.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "log_writer.h"
#include "test_util.h"

using memlog_test::LogWriter;
using memlog_test::run;

namespace {

const char kSource[] =
    "extern \"C\" int* leak_here(int n) {\n"  // line 1
    "    return new int[n];\n"                // line 2
    "}\n"
    "extern \"C\" int helper_function(int x) {\n"  // line 4
    "    return x * 3 + 1;\n"                      // line 5
    "}\n"
    "int main() { return helper_function(leak_here(4)[0]); }\n";

bool sh(const std::string& cmd) { return system(cmd.c_str()) == 0; }

// Address of a symbol in the file's own view, from nm.
uint64_t symbolAddress(const std::string& nm, const std::string& file, const std::string& name) {
  const std::string cmd = nm + " --defined-only '" + file + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return 0;
  char line[512];
  uint64_t found = 0;
  while (fgets(line, sizeof line, p)) {
    unsigned long long v;
    char type;
    char sym[400];
    if (sscanf(line, "%llx %c %399s", &v, &type, sym) == 3 && (name == sym || "_" + name == sym))
      found = v;
  }
  pclose(p);
  return found;
}

// Line that binutils itself gives for a file address: the oracle for the tool's
// mapping of logged addresses back into the file.
std::string lineOf(const std::string& addr2line, const std::string& file, uint64_t address) {
  char cmd[1024];
  snprintf(cmd, sizeof cmd, "%s -e '%s' 0x%llx", addr2line.c_str(), file.c_str(),
           static_cast<unsigned long long>(address));
  FILE* p = popen(cmd, "r");
  if (!p) return std::string();
  char line[1024] = {};
  if (!fgets(line, sizeof line, p)) line[0] = 0;
  pclose(p);
  std::string s = line;
  const size_t colon = s.rfind(':');
  if (colon == std::string::npos) return std::string();
  const size_t slash = s.rfind('/', colon);
  return s.substr(slash == std::string::npos ? 0 : slash + 1,
                  colon - (slash == std::string::npos ? 0 : slash + 1)) +
         "(" + std::to_string(atoi(s.c_str() + colon + 1)) + ")";
}

uint64_t peImageBase(const std::string& file) {
  const std::string cmd = "i686-w64-mingw32-objdump -p '" + file + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return 0;
  char line[512];
  uint64_t base = 0;
  while (fgets(line, sizeof line, p)) {
    unsigned long long v;
    if (sscanf(line, "ImageBase %llx", &v) == 1) base = v;
  }
  pclose(p);
  return base;
}

// Puts a counting addr2line in front of the real ones.
struct CountingTools {
  std::string dir, counter, oldPath;
  explicit CountingTools(const memlog_test::ScratchDir& scratch) {
    dir = scratch.file("bin");
    counter = scratch.file("runs.txt");
    mkdir(dir.c_str(), 0755);
    for (const char* tool : {"addr2line", "i686-w64-mingw32-addr2line"}) {
      const std::string path = dir + "/" + tool;
      FILE* f = fopen(path.c_str(), "w");
      fprintf(f, "#!/bin/sh\necho run >> '%s'\nexec /usr/bin/%s \"$@\"\n", counter.c_str(), tool);
      fclose(f);
      chmod(path.c_str(), 0755);
    }
    oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
  }
  ~CountingTools() { setenv("PATH", oldPath.c_str(), 1); }
  size_t runs() const {
    const std::string s = memlog_test::readFile(counter);
    return size_t(std::count(s.begin(), s.end(), '\n'));
  }
};

}  // namespace

TEST(Symbolize, ElfSharedObjectAndExecutableOneRunPerModule) {
  memlog_test::ScratchDir dir;
  const std::string src = dir.file("leaky.cpp");
  FILE* f = fopen(src.c_str(), "w");
  ASSERT_TRUE(f);
  fputs(kSource, f);
  fclose(f);
  const std::string so = dir.file("libleaky.so"), exe = dir.file("leaky");
  ASSERT_TRUE(sh("g++ -m32 -g -O0 -shared -fPIC -o '" + so + "' '" + src + "'"));
  ASSERT_TRUE(sh("g++ -m32 -g -O0 -no-pie -fno-pie -o '" + exe + "' '" + src + "'"));
  const uint64_t leak = symbolAddress("nm", so, "leak_here");
  const uint64_t helper = symbolAddress("nm", so, "helper_function");
  const uint64_t exeHelper = symbolAddress("nm", exe, "helper_function");
  ASSERT_NE(leak, 0u);
  ASSERT_NE(helper, 0u);
  ASSERT_GT(exeHelper, 0x08000000u);  // linked at a fixed address

  // The shared object is logged under a Windows-style path (found through
  // --search-dir), the executable under its real path.
  const uint32_t soBase = 0x40000000;
  LogWriter w;
  w.modules({{uint32_t(exeHelper & ~0xfffffu), exe}, {soBase, "D:\\elsewhere\\libleaky.so"}});
  for (uint32_t i = 0; i < 10; ++i)
    w.event(2, i, 0x1000 + 16 * i, 8, 0,
            {uint32_t(soBase + leak + 4 + i % 2), uint32_t(soBase + helper + 3),
             uint32_t(exeHelper + 5)});
  ASSERT_TRUE(w.save(dir.file("log.bin")));

  CountingTools tools(dir);
  const auto r = run({"leaks", "--symbolize", "--search-dir", dir.path(), dir.file("log.bin")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(tools.runs(), 2u);  // two modules, many frames
  EXPECT_NE(r.out.find("libleaky.so!leak_here + 0x4  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("libleaky.so!leak_here + 0x5  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("libleaky.so!helper_function + 0x3  "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("leaky!helper_function + 0x5  "), std::string::npos) << r.out;
  const std::string soLine = lineOf("addr2line", so, leak + 4),
                    exeLine = lineOf("addr2line", exe, exeHelper + 5);
  ASSERT_NE(soLine, "");
  EXPECT_NE(r.out.find("leak_here + 0x4  " + dir.path() + "/" + soLine + "\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("leaky!helper_function + 0x5  " + dir.path() + "/" + exeLine + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "");

  const auto lsan = run(
      {"leaks", "--format=lsan", "--symbolize", "--search-dir", dir.path(), dir.file("log.bin")});
  EXPECT_NE(lsan.out.find(" in leak_here "), std::string::npos) << lsan.out;
  std::string lsanLine = soLine;
  lsanLine.replace(lsanLine.find('('), 1, ":");
  lsanLine.pop_back();
  EXPECT_NE(lsan.out.find(" in leak_here " + dir.path() + "/" + lsanLine + "\n"), std::string::npos)
      << lsan.out;

  // Folded stacks group by function: both leak_here offsets fold into one line.
  const auto folded =
      run({"folded", "--symbolize", "--search-dir", dir.path(), dir.file("log.bin")});
  EXPECT_EQ(folded.out,
            "leaky!helper_function;libleaky.so!helper_function;libleaky.so!leak_here 80\n");

  // Without the search directory the file is not found: a note, and plain offsets.
  const auto missing = run({"leaks", "--symbolize", dir.file("log.bin")});
  EXPECT_EQ(missing.code, 0);
  EXPECT_NE(missing.err.find("no file for module libleaky.so"), std::string::npos) << missing.err;
  char plain[64];
  snprintf(plain, sizeof plain, "libleaky.so + 0x%llx\n",
           static_cast<unsigned long long>(leak + 4));
  EXPECT_NE(missing.out.find(plain), std::string::npos) << missing.out;
}

TEST(Symbolize, PeDllIsRebasedFromItsImageBase) {
  if (!sh("command -v i686-w64-mingw32-g++ >/dev/null 2>&1")) GTEST_SKIP() << "no MinGW compiler";
  memlog_test::ScratchDir dir;
  const std::string src = dir.file("leaky.cpp");
  FILE* f = fopen(src.c_str(), "w");
  ASSERT_TRUE(f);
  fputs(kSource, f);
  fclose(f);
  const std::string dll = dir.file("leaky.dll");
  ASSERT_TRUE(sh("i686-w64-mingw32-g++ -g -O0 -shared -o '" + dll + "' '" + src + "'"));
  const uint64_t imageBase = peImageBase(dll);
  const uint64_t leak = symbolAddress("i686-w64-mingw32-nm", dll, "leak_here");
  ASSERT_NE(imageBase, 0u);
  ASSERT_GT(leak, imageBase);
  const uint32_t base = 0x6a000000;  // where the loader put it this time
  LogWriter w;
  w.modules({{base, dll}});
  w.event(6, 1, 0x1000, 8, 0, {uint32_t(base + (leak - imageBase) + 6)});
  ASSERT_TRUE(w.save(dir.file("log.bin")));
  const auto r = run({"leaks", "--symbolize", dir.file("log.bin")});
  EXPECT_EQ(r.code, 0);
  const std::string line = lineOf("i686-w64-mingw32-addr2line", dll, leak + 6);
  ASSERT_NE(line, "");
  EXPECT_NE(r.out.find("leaky.dll!leak_here + 0x6  " + dir.path() + "/" + line + "\n"),
            std::string::npos)
      << r.out << r.err;
}
