// --symbolize against modules built on the spot: a 32-bit ELF shared object, a 32-bit
// fixed-address executable and, when the MinGW tools are present, a PE DLL. The logged bases
// differ from the link addresses, so rebasing is exercised too; binutils itself is the oracle
// for the lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdlib>

#include "driver.h"
#include "log_writer.h"

using memlog_test::LogWriter;

namespace {

const char kSource[] =
    "extern \"C\" int* leak_here(int n) {\n"
    "    return new int[n];\n"
    "}\n"
    "extern \"C\" int helper_function(int x) {\n"
    "    return x * 3 + 1;\n"
    "}\n"
    "int main() { return helper_function(leak_here(4)[0]); }\n";

// Frames of the logger, in a library module whose file is not at hand.
const uint32_t kLogger = 0x70000000;
const std::pair<uint32_t, std::string> kLoggerModule{kLogger, "/gone/libquorkit.so.1"};

bool sh(const std::string& cmd) { return system(cmd.c_str()) == 0; }

std::string firstLineOf(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  char line[1024] = {};
  if (!p || !fgets(line, sizeof line, p)) line[0] = 0;
  if (p) pclose(p);
  std::string s = line;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

uint32_t symbolAddress(const std::string& nm, const std::string& file, const std::string& name) {
  return uint32_t(strtoul(firstLineOf(nm + " '" + file + "' | grep -E ' _?" + name + "$'").c_str(),
                          nullptr, 16));
}

// "dir/file.cpp(line)" as binutils gives it for a file address.
std::string lineOf(const std::string& addr2line, const std::string& file, uint32_t address) {
  char hex[16];
  snprintf(hex, sizeof hex, " 0x%x", address);
  std::string s = firstLineOf(addr2line + " -e '" + file + "'" + hex);
  s = s.substr(0, s.find(" (discriminator"));
  const size_t colon = s.rfind(':');
  return colon == std::string::npos ? s : s.substr(0, colon) + "(" + s.substr(colon + 1) + ")";
}

struct Outcome {
  int code;
  std::string out, err;
};

Outcome run(const std::vector<std::string>& args) {
  FILE* streams[2] = {tmpfile(), tmpfile()};
  Outcome r{memlog::runCommandLine(args, streams[0], streams[1]), "", ""};
  for (int i = 0; i < 2; ++i) {
    rewind(streams[i]);
    for (int c; (c = fgetc(streams[i])) != EOF;) (i ? r.err : r.out) += char(c);
    fclose(streams[i]);
  }
  return r;
}

struct Scratch {
  char path[32] = "/tmp/memlog_test.XXXXXX";
  Scratch() { mkdtemp(path); }
  ~Scratch() { sh(std::string("rm -rf '") + path + "'"); }
};

// A directory of the scratch holding a source file, built with the given command.
std::string build(const Scratch& scratch, const std::string& name, const std::string& source,
                  const std::string& cmd) {
  const std::string dir = std::string(scratch.path) + "/" + name;
  FILE* f = mkdir(dir.c_str(), 0755) == 0 ? fopen((dir + "/leaky.cpp").c_str(), "w") : nullptr;
  if (!f) return std::string();
  fputs(source.c_str(), f);
  fclose(f);
  return sh("cd '" + dir + "' && " + cmd) ? dir : std::string();
}

}  // namespace

TEST(Symbolize, ElfModulesByFunctionFromTheSearchDirectoryFirst) {
  const Scratch scratch;
  const std::string dir = build(scratch, "built", kSource,
                                "g++ -m32 -g -O0 -shared -fPIC -o libleaky.so leaky.cpp && "
                                "g++ -m32 -g -O0 -no-pie -fno-pie -o leaky leaky.cpp");
  // The run's copy: the same code, its lines two further down.
  const std::string run2 = build(scratch, "run", std::string("\n\n") + kSource,
                                 "g++ -m32 -g -O0 -shared -fPIC -o libleaky.so leaky.cpp");
  ASSERT_TRUE(!dir.empty() && !run2.empty());
  const std::string so = dir + "/libleaky.so", exe = dir + "/leaky", log = dir + "/log.bin";
  const uint32_t leak = symbolAddress("nm", so, "leak_here");
  const uint32_t helper = symbolAddress("nm", so, "helper_function");
  const uint32_t exeHelper = symbolAddress("nm", exe, "helper_function");
  ASSERT_GT(exeHelper, 0x08000000u);  // linked at a fixed address

  // Two offsets in leak_here: one function, so one stack once symbolised.
  const uint32_t soBase = 0x40000000;
  LogWriter w;
  w.modules({kLoggerModule, {exeHelper & ~0xfffffu, exe}, {soBase, so}});
  for (uint32_t i = 0; i < 10; ++i)
    w.event(2, i, 0x1000 + 16 * i, 8, 0,
            {kLogger + 0x100, soBase + leak + 4 + i % 2, soBase + helper + 3, exeHelper + 5});
  ASSERT_TRUE(w.save(log));

  const Outcome r = run({"leaks", "--symbolize", log});
  EXPECT_EQ(r.out,
            "leaks: 80 bytes in 10 blocks from 1 stack\n\n#1: 80 bytes in 10 blocks; first: "
            "malloc id 0x00000000 at event 1, region 0x0000\n    libleaky.so!leak_here + 0x4  " +
                lineOf("addr2line", so, leak + 4) + "\n    libleaky.so!helper_function + 0x3  " +
                lineOf("addr2line", so, helper + 3) + "\n    leaky!helper_function + 0x5  " +
                lineOf("addr2line", exe, exeHelper + 5) + "\n");
  EXPECT_EQ(r.err,
            "quorkit-memlog: note: no file for module libquorkit.so.1 (logged as "
            "/gone/libquorkit.so.1)\n");
  const Outcome lsan = run({"leaks", "--format=lsan", "--symbolize", log});
  std::string lsanLine = lineOf("addr2line", so, leak + 4);
  lsanLine.back() = '\n';
  lsanLine[lsanLine.rfind('(')] = ':';
  EXPECT_NE(lsan.out.find(" in leak_here " + lsanLine), std::string::npos) << lsan.out;
  EXPECT_EQ(run({"folded", "--symbolize", log}).out,
            "leaky!helper_function;libleaky.so!helper_function;libleaky.so!leak_here 80\n");

  // The run's binaries in a search directory win over the file at the logged path, and a module
  // file newer than the log is named.
  const Outcome fromRun = run({"leaks", "--symbolize", "--search-dir", run2, log});
  EXPECT_NE(fromRun.out.find(run2 + "/leaky.cpp(3)"), std::string::npos) << fromRun.out;
  struct timeval later[2] = {{time(nullptr) + 100, 0}, {time(nullptr) + 100, 0}};
  ASSERT_EQ(utimes(so.c_str(), later), 0);
  EXPECT_NE(
      run({"leaks", "--symbolize", log}).err.find("warning: " + so + " changed after the log"),
      std::string::npos);
}

TEST(Symbolize, DiffOfTwoBuildsNamesOnlyTheFixedLeak) {
  // The second build frees the first leak and has a new function in front of the second, which
  // moves that leak's code and lines.
  const std::string first = "extern \"C\" int* leak_a() { return new int[1]; }\n";
  const std::string rest =
      "extern \"C\" int* leak_b() { return new int[2]; }\nint main() { leak_a(); leak_b(); }\n";
  const std::string added = "extern \"C\" int added(int x) { return x * 7 + 3; }\n";
  const Scratch scratch;
  std::string logs[2];
  for (int b = 0; b < 2; ++b) {
    const std::string dir = build(scratch, b ? "b" : "a", first + (b ? added : "") + rest,
                                  "g++ -m32 -g -O0 -no-pie -fno-pie -o leaky leaky.cpp");
    ASSERT_NE(dir, "");
    const uint32_t leakA = symbolAddress("nm", dir + "/leaky", "leak_a");
    const uint32_t leakB = symbolAddress("nm", dir + "/leaky", "leak_b");
    const uint32_t main = symbolAddress("nm", dir + "/leaky", "main");
    LogWriter w;
    w.modules({kLoggerModule, {main & ~0xfffffu, dir + "/leaky"}})
        .event(2, 1, 0x1000, 4, 0, {kLogger + 0x10u * b, leakA + 9, main + 9});
    if (b) w.event(5, 1, 0x1000, 4, 0, {kLogger});
    w.event(2, 2, 0x2000, 8, 0, {kLogger + 0x20, leakB + 9, main + 14});
    logs[b] = dir + ".bin";
    ASSERT_TRUE(w.save(logs[b]));
  }
  const Outcome r = run({"diff", "--symbolize", logs[0], logs[1]});
  EXPECT_NE(r.out.find("\n-4 bytes, -1 blocks (A 4 bytes in 1, B 0 bytes in 0)\n"
                       "    leaky!leak_a + 0x9"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\ntotal: -4 bytes, -1 blocks in 1 stack\n"), std::string::npos) << r.out;
}

TEST(Symbolize, PeDllIsRebasedFromItsImageBase) {
  if (!sh("command -v i686-w64-mingw32-g++ >/dev/null 2>&1")) GTEST_SKIP() << "no MinGW compiler";
  const Scratch scratch;
  const std::string dir =
      build(scratch, "pe", kSource, "i686-w64-mingw32-g++ -g -O0 -shared -o leaky.dll leaky.cpp");
  ASSERT_NE(dir, "");
  const std::string dll = dir + "/leaky.dll";
  const uint32_t imageBase = uint32_t(strtoul(
      firstLineOf("i686-w64-mingw32-objdump -p '" + dll + "' | sed -n 's/^ImageBase *//p'").c_str(),
      nullptr, 16));
  const uint32_t leak = symbolAddress("i686-w64-mingw32-nm", dll, "leak_here");
  ASSERT_GT(leak, imageBase);
  const uint32_t base = 0x6a000000;  // where the loader put it this time
  LogWriter w;
  w.modules({{base, dll}}).event(6, 1, 0x1000, 8, 0, {base + (leak - imageBase) + 6});
  ASSERT_TRUE(w.save(dir + "/log.bin"));
  const Outcome r = run({"leaks", "--symbolize", dir + "/log.bin"});
  EXPECT_NE(r.out.find("leaky.dll!leak_here + 0x6  " +
                       lineOf("i686-w64-mingw32-addr2line", dll, leak + 6) + "\n"),
            std::string::npos)
      << r.out << r.err;
}
