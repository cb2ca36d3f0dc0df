// The debug-help module with the real Linux dbghelp.dll beside the executable: binding, stack
// capture through optimised code, symbol texts, the log file, the leak report and hostile logs.
// Compiled with -O2 -fomit-frame-pointer, so the walk must unwind by the unwind tables rather
// than a frame-pointer chain.
#include <sys/stat.h>

#include <regex>

#include "debug/dbghelp_fixture.h"

using namespace quortest;
using quor::_dbgHelp;

namespace dbgtest {

// Work after each call keeps the calls from becoming jumps that would drop a frame.
__attribute__((noinline, noclone)) bool captureLevel2(DWORD* out, DWORD capacity) {
  bool ran = quor::captureStack(out, capacity);
  asm volatile("" ::: "memory");
  return ran;
}
__attribute__((noinline, noclone)) bool captureLevel1(DWORD* out, DWORD capacity) {
  bool ran = captureLevel2(out, capacity);
  asm volatile("" ::: "memory");
  return ran;
}

__attribute__((noinline, noclone)) void siteA(const char* op, DWORD id, DWORD address, DWORD size,
                                              unsigned short region) {
  quor::logMemoryEvent(op, id, address, size, region);
  asm volatile("" ::: "memory");
}

}  // namespace dbgtest

namespace {

using dbgtest::siteA;
using DbgHelpReal = DbgHelpTest;
const size_t npos = std::string::npos;

TEST_F(DbgHelpReal, StartUpKeepsTheCopyBesideTheExecutableAndShutdownUndoesIt) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  ASSERT_EQ(pieces().size(), 13u) << said();
  for (size_t i = 0; i < 13; ++i) {
    const std::regex line(std::string(kEntryLabels[i]) + ": [0-9A-F]{8}\n");
    EXPECT_TRUE(std::regex_match(pieces()[i], line) && pieces()[i].find("00000000") == npos)
        << pieces()[i];
  }
  EXPECT_FALSE(quor::initializeDbgHelp()) << "a second start-up changes nothing, says nothing";
  EXPECT_EQ(pieces().size(), 13u);
  expectShutDown();
  EXPECT_TRUE(quor::initializeDbgHelp()) << "shut down, the module starts again";

  // A symbol buffer that cannot be locked (the first lock): start-up fails, no record buffer, and
  // events are not logged.
  reset();
  pal_inject_failure("LocalLock", 0, 1);
  EXPECT_FALSE(quor::initializeDbgHelp());
  EXPECT_TRUE(!_dbgHelp.hRecordBuffer && !_dbgHelp.hModuleTable);
  siteA("malloc", 1, 0x1000, 8, 0);
  EXPECT_NE(access(logPath().c_str(), F_OK), 0);
  expectShutDown();
}

TEST_F(DbgHelpReal, CaptureWalksOptimisedFramesInOrder) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  pieces().clear();
  DWORD stack[64];
  std::fill(stack, stack + 64, 0xAAAAAAAAu);
  ASSERT_TRUE(dbgtest::captureLevel1(stack, 64));
  const DWORD n = stack[0];
  ASSERT_TRUE(n >= 4 && n <= 63) << n;
  EXPECT_EQ(std::count(stack + n + 1, stack + 64, 0u), 63 - n);
  const char* const names[] = {" quor::captureStack() + 0x", " dbgtest::captureLevel2() + 0x",
                               " dbgtest::captureLevel1() + 0x"};
  for (int i = 0; i < 3; ++i) EXPECT_NE(symbolOf(stack[i + 1]).find(names[i]), npos) << i;
  // Capacity 1 stores nothing; capacity 3 cuts the walk at two frames; both silently.
  EXPECT_TRUE(dbgtest::captureLevel1(stack, 1));
  EXPECT_EQ(stack[0], 0u);
  std::fill(stack, stack + 64, 0xAAAAAAAAu);
  EXPECT_TRUE(dbgtest::captureLevel1(stack, 3));
  EXPECT_TRUE(stack[0] == 2 && stack[3] == 0xAAAAAAAAu) << "only the capacity's words are written";
  EXPECT_NE(symbolOf(stack[2]).find(names[1]), npos);
  EXPECT_EQ(said(), "");
  EXPECT_FALSE(quor::captureStack(nullptr, 8));
  EXPECT_TRUE(lockIsFree());
}

TEST_F(DbgHelpReal, LogHoldsEachEventWithItsStackAndTheReportFindsItsFirstAllocation) {
  const char* const names[] = {"malloc", "new",    "memalign",  "realloc",
                               "free",   "delete", "new_array", "delete_array",
                               "New",    "",       nullptr,     "malloc "};
  const uint32_t codes[] = {2, 4, 3, 4, 5, 5, 4, 5, 0, 0, 0, 0};
  const uint32_t size = 0x80000018u;  // printed unsigned
  for (uint32_t i = 0; i < 12; ++i) siteA(names[i], 0x11 + i, 0x2000 + i, size + i, 0xFFF0 + i);
  quor::logMemoryEvent("new", 0x12, 0x2001, size + 1, 0);  // the same block again
  const std::string bytes = readFile(logPath());           // readable while the writer has it open
  const std::vector<LogBlock> blocks = parseLog(bytes);
  ASSERT_EQ(blocks.size(), 14u);
  const LogBlock& modules = blocks[0];
  EXPECT_TRUE(modules.code == 1 && (modules.id | modules.address | modules.size) == 0 &&
              modules.region == 0);
  EXPECT_NE(std::find(modules.names.begin(), modules.names.end(), executablePath()),
            modules.names.end());
  for (uint32_t i = 0; i < 12; ++i) {
    const LogBlock& b = blocks[i + 1];
    EXPECT_TRUE(b.code == codes[i] && b.id == 0x11 + i && b.address == 0x2000 + i &&
                b.size == size + i && b.region == 0xFFF0 + i)
        << i;
  }
  EXPECT_TRUE(blocks[1].values.empty()) << "the event that starts the module has no stack";

  // "new" is found as realloc, from its first record, with its stack innermost first.
  pieces().clear();
  quor::reportLeak(0x12, 0x2001, size + 1);
  const std::string first = readFile(reportPath());
  EXPECT_EQ(first, said()) << "the channel gets the same text";
  EXPECT_EQ(
      first.rfind("<<realloc>>: {0x00000012} 0x00002001, 2147483673 bytes. region 0xFFF1\n0x", 0),
      0u);
  const size_t inner = first.find(" quor::captureStack() + 0x");
  const size_t middle = first.find(" quor::logMemoryEvent() + 0x");
  const size_t outer = first.find(" dbgtest::siteA() + 0x");
  EXPECT_TRUE(inner < middle && middle < outer && outer != npos) << first;
  EXPECT_NE(first.find("dbghelp_test.cpp("), npos) << first;
  // Releases, unknown names and the module block never match; a second report appends.
  quor::reportLeak(0x15, 0x2004, size + 4);
  quor::reportLeak(0x19, 0x2008, size + 8);
  quor::reportLeak(0, 0, 0);
  EXPECT_EQ(readFile(reportPath()), first);
  quor::reportLeak(0x13, 0x2002, size + 2);
  const std::string both = readFile(reportPath());
  const std::string line =
      "<<memalign>>: {0x00000013} 0x00002002, 2147483674 bytes. region 0xFFF2\n";
  EXPECT_TRUE(both.rfind(first, 0) == 0 && both.find(line, first.size()) == first.size());
  // The first report of the next run empties the file again.
  _dbgHelp.firstReport = true;
  quor::reportLeak(0x13, 0x2002, size + 2);
  EXPECT_EQ(readFile(reportPath()), both.substr(first.size()));

  // Shutdown closes the log; the next event truncates it and starts over.
  EXPECT_TRUE(quor::terminateDbgHelp());
  EXPECT_EQ(readFile(logPath()).size(), bytes.size());
  siteA("malloc", 0x21, 0x8000, 5, 1);
  const std::vector<LogBlock> again = parseLog(readFile(logPath()));
  EXPECT_TRUE(again.size() == 2 && again[0].code == 1 && again[1].id == 0x21 &&
              again[1].values.empty());
}

TEST_F(DbgHelpReal, FilesThatCannotBeOpenedAreRetriedOrToldOnTheChannel) {
  // Both opens of the first event fail, the module listing's and the event's own; the next
  // event opens the log.
  pal_inject_failure("CreateFileA", 0, 2);
  siteA("malloc", 0x31, 0x1000, 8, 0);
  EXPECT_EQ(_dbgHelp.hLogFile, INVALID_HANDLE_VALUE);
  siteA("malloc", 0x32, 0x2000, 8, 0);
  const std::vector<LogBlock> blocks = parseLog(readFile(logPath()));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_TRUE(blocks[0].id == 0x32 && blocks[0].values.size() >= 3);
  // A directory where the report file should be: the lines still reach the channel.
  ASSERT_EQ(mkdir(reportPath().c_str(), 0700), 0);
  pieces().clear();
  quor::reportLeak(0x32, 0x2000, 8);
  rmdir(reportPath().c_str());
  EXPECT_EQ(said().rfind("<<malloc>>: {0x00000032} 0x00002000, 8 bytes. region 0x0000\n0x", 0), 0u);
  // The log gone: one line on the channel, the report file untouched.
  quor::closeMemLog();
  std::remove(logPath().c_str());
  writeFile(reportPath(), "keep");
  pieces().clear();
  quor::reportLeak(0x32, 0x2000, 8);
  EXPECT_EQ(pieces(), std::vector<std::string>{"CreateFile Failed. @err=0x00000002\n"});
  EXPECT_EQ(readFile(reportPath()), "keep");
}

// Hostile logs: the report must end its search on anything, read nothing past its buffers and
// print at most the record line and its frames.
TEST_F(DbgHelpReal, HostileLogsEndTheSearchWithoutReadingPastTheBuffers) {
  siteA("malloc", 0x77, 0x7000, 0x70, 3);
  siteA("malloc", 0x77, 0x7000, 0x70, 3);
  const std::string genuine = readFile(logPath());
  const std::string line = "<<malloc>>: {0x00000077} 0x00007000, 112 bytes. region 0x0003\n";
  auto reportOver = [&](const std::string& log) {
    quor::closeMemLog();
    writeFile(logPath(), log);
    pieces().clear();
    quor::reportLeak(0x77, 0x7000, 0x70);
    return said();
  };
  EXPECT_EQ(reportOver(genuine).rfind(line, 0), 0u);
  // Cuts of the genuine log: each near the blocks' edges, every 97th through the module table.
  for (size_t cut = 0; cut < genuine.size();
       cut += (cut < 64 || genuine.size() - cut < 160) ? 1 : 97) {
    const std::string out = reportOver(genuine.substr(0, cut));
    EXPECT_TRUE(out.empty() || out.rfind(line, 0) == 0) << "cut at " << cut << ": " << out;
  }
  // Counts past the file's end end the search; 32,767 frames or more print the record line
  // alone. Each row: code, count, bytes that follow, whether the record line shows.
  const uint32_t crafted[][4] = {{2, 0x7FFFFFFF, 64, 0},
                                 {1, 0x00FFFFFF, 4096, 0},
                                 {1, 0xFFFFFFFF, 0, 0},
                                 {2, 32767, 4 * 32767 + 12, 1},
                                 {2, 40000, 4 * 40000 + 12, 1}};
  for (const auto& c : crafted) {
    std::string log;
    putWords(log, {c[0], 0x77, 0x7000, 0x70, 0, 0, 0, 0, c[1]});
    const std::string out = reportOver(log + std::string(c[2], '\x10'));
    EXPECT_EQ(out, c[3] ? line.substr(0, line.size() - 2) + "0\n" : "") << c[1];
  }

  // The block readers stay inside the capacity given: a module block of 3 entries and a stack
  // block of 100 frames, each read through 64 bytes.
  for (bool modules : {true, false}) {
    std::string block;
    putWords(block, {modules ? 3u : 100u});
    writeFile(logPath(), block + std::string(modules ? 3 * 2052 + 4 : 412, 'Z'));
    HANDLE log = CreateFileA(logPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    auto read = modules ? quor::readModuleBlock : quor::readStackBlock;
    uint8_t area[96];
    std::memset(area, 0xEE, sizeof area);
    EXPECT_TRUE(read(log, area, 64));
    EXPECT_EQ(std::count(area + 64, area + 96, 0xEE), 32) << modules;
    EXPECT_FALSE(read(log, area, 64)) << "end of file";
    CloseHandle(log);
  }
}

}  // namespace
