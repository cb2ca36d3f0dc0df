// The debug-help module with the real Linux dbghelp.dll beside the executable: binding, stack
// capture through optimised code, symbol texts, the log file byte by byte, the leak report and
// hostile logs. This file is compiled with -O2 -fomit-frame-pointer, so the walk must unwind
// with the unwind tables rather than a frame-pointer chain.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <regex>

#include "debug/dbghelp_test_support.h"

using namespace dbgtest;
using quor::_dbgHelp;

namespace dbgtest {

// Work after each call keeps the calls from becoming jumps that would drop a frame.
__attribute__((noinline, noclone)) bool captureLevel3(DWORD* out, DWORD capacity) {
  bool ran = quor::captureStack(out, capacity);
  asm volatile("" ::: "memory");
  return ran;
}
__attribute__((noinline, noclone)) bool captureLevel2(DWORD* out, DWORD capacity) {
  bool ran = captureLevel3(out, capacity);
  asm volatile("" ::: "memory");
  return ran;
}
__attribute__((noinline, noclone)) bool captureLevel1(DWORD* out, DWORD capacity) {
  bool ran = captureLevel2(out, capacity);
  asm volatile("" ::: "memory");
  return ran;
}

__attribute__((noinline, noclone)) void allocationSiteA(const char* op, DWORD id, DWORD address,
                                                        DWORD size, unsigned short region) {
  quor::logMemoryEvent(op, id, address, size, region);
  asm volatile("" ::: "memory");
}
__attribute__((noinline, noclone)) void allocationSiteB(const char* op, DWORD id, DWORD address,
                                                        DWORD size, unsigned short region) {
  quor::logMemoryEvent(op, id, address, size, region);
  asm volatile("" ::: "memory");
}

}  // namespace dbgtest

namespace {

class DbgHelpReal : public ::testing::Test {
 protected:
  void SetUp() override { resetModule(); }
  void TearDown() override { finishModule(); }
};

std::string symbolOf(DWORD address) {
  char text[quor::kReportLineSize];
  quor::symbolizeAddress(address, text, sizeof text);
  return std::string(text, strnlen(text, sizeof text));
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

const char* const kLabels[] = {"SymSetOptions",     "SymGetOptions",          "SymInitialize",
                               "SymCleanup",        "SymFunctionTableAccess", "SymGetModuleBase",
                               "SymGetSymFromAddr", "SymGetLineFromAddr",     "SymGetModuleInfo",
                               "StackWalk",         "SymEnumerateModules",    "MiniDumpWriteDump",
                               "RtlCaptureContext"};

TEST_F(DbgHelpReal, KeepsTheCopyBesideTheExecutableAndListsTwelveEntryPoints) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  EXPECT_NE(_dbgHelp.hDbgHelp, nullptr);
  const std::vector<std::string> pieces = debugPieces();
  ASSERT_EQ(pieces.size(), 13u) << joinedDebugText();
  for (size_t i = 0; i < 13; ++i) {
    EXPECT_TRUE(
        std::regex_match(pieces[i], std::regex(std::string(kLabels[i]) + ": [0-9A-F]{8}\n")))
        << pieces[i];
    EXPECT_EQ(pieces[i].find("00000000"), std::string::npos) << pieces[i];
  }
  EXPECT_NE(_dbgHelp.pRecord, nullptr);
  EXPECT_NE(_dbgHelp.pModuleTable, nullptr);

  // A second start-up changes nothing and says nothing.
  const HMODULE kept = _dbgHelp.hDbgHelp;
  const HLOCAL symbols = _dbgHelp.hSymbolBuffer;
  EXPECT_FALSE(quor::initializeDbgHelp());
  EXPECT_EQ(debugPieces().size(), 13u);
  EXPECT_EQ(_dbgHelp.hDbgHelp, kept);
  EXPECT_EQ(_dbgHelp.hSymbolBuffer, symbols);

  expectShutDown();
  // Shut down, the module starts again as on first use.
  EXPECT_TRUE(quor::initializeDbgHelp());
}

TEST_F(DbgHelpReal, BlocksThatCannotBeLockedAreSurvivedAndShutdownStillFreesAll) {
  pal_inject_failure("LocalLock", 0, 1);
  EXPECT_FALSE(quor::initializeDbgHelp());
  EXPECT_NE(_dbgHelp.hDbgHelp, nullptr);
  EXPECT_NE(_dbgHelp.hSymbolBuffer, nullptr);
  EXPECT_EQ(_dbgHelp.hRecordBuffer, nullptr);
  EXPECT_EQ(_dbgHelp.hModuleTable, nullptr);
  EXPECT_TRUE(_dbgHelp.lockCreated);
  // Without a record buffer events are not logged, and nothing retries the start-up.
  allocationSiteA("malloc", 1, 0x1000, 8, 0);
  EXPECT_FALSE(fileExists(logPath()));
  EXPECT_EQ(_dbgHelp.hRecordBuffer, nullptr);
  expectShutDown();

  // A module table that cannot be locked (the third lock of start-up): no module block, but
  // events are logged.
  pal_inject_failure("LocalLock", 2, 1);
  EXPECT_TRUE(quor::initializeDbgHelp());
  EXPECT_EQ(_dbgHelp.pModuleTable, nullptr);
  allocationSiteA("malloc", 2, 0x2000, 8, 0);
  std::vector<LogBlock> blocks;
  ASSERT_TRUE(parseLog(readFile(logPath()), blocks));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].id, 2u);
  expectShutDown();
}

TEST_F(DbgHelpReal, CaptureWalksOptimisedFramesInOrder) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  debugPieces().clear();
  DWORD stack[64];
  std::memset(stack, 0xAA, sizeof stack);
  ASSERT_TRUE(captureLevel1(stack, 64));
  const DWORD n = stack[0];
  ASSERT_GE(n, 5u);
  ASSERT_LE(n, 63u);
  for (DWORD i = n + 1; i < 64; ++i) EXPECT_EQ(stack[i], 0u) << "word " << i;
  const char* const expected[] = {" quor::captureStack() + 0x", " dbgtest::captureLevel3() + 0x",
                                  " dbgtest::captureLevel2() + 0x",
                                  " dbgtest::captureLevel1() + 0x"};
  for (int i = 0; i < 4; ++i) {
    const std::string text = symbolOf(stack[i + 1]);
    EXPECT_NE(text.find(expected[i]), std::string::npos) << "frame " << i + 1 << ": " << text;
  }
  EXPECT_TRUE(debugPieces().empty()) << joinedDebugText();

  // Capacity 1 stores nothing; capacity 3 cuts the walk at two frames, silently.
  stack[0] = 0xAA;
  EXPECT_TRUE(captureLevel1(stack, 1));
  EXPECT_EQ(stack[0], 0u);
  std::memset(stack, 0xAA, sizeof stack);
  EXPECT_TRUE(captureLevel1(stack, 3));
  EXPECT_EQ(stack[0], 2u);
  EXPECT_NE(symbolOf(stack[1]).find(expected[0]), std::string::npos);
  EXPECT_NE(symbolOf(stack[2]).find(expected[1]), std::string::npos);
  EXPECT_EQ(stack[3], 0xAAAAAAAAu) << "only the capacity's words are written";
  EXPECT_TRUE(debugPieces().empty()) << joinedDebugText();
  EXPECT_FALSE(quor::captureStack(nullptr, 8));
  EXPECT_TRUE(lockIsFree());
}

TEST_F(DbgHelpReal, SymbolTextsHaveTheirExactFormats) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  DWORD stack[16];
  ASSERT_TRUE(captureLevel1(stack, 16));
  ASSERT_GE(stack[0], 3u);

  // A frame in this test: symbol, module and source lines.
  const std::vector<std::string> lines = splitLines(symbolOf(stack[2]));
  ASSERT_EQ(lines.size(), 3u);
  char address[32];
  std::snprintf(address, sizeof address, "0x%016X ", static_cast<unsigned>(stack[2]));
  EXPECT_EQ(lines[0].rfind(address, 0), 0u) << lines[0];
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("0x[0-9A-F]{16} dbgtest::captureLevel3\\(\\) \\+ 0x[0-9a-f]+\n")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("  .*debug_dbghelp\n"))) << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("  .*dbghelp_test\\.cpp\\([0-9]+\\)\n")))
      << lines[2];

  // No module at all: the bare address and the fallback module line, nothing else.
  EXPECT_EQ(symbolOf(0x00001000u), "0x0000000000001000\n  <Unknown Module>\n");
  // The upper half prints as 32 bits.
  EXPECT_EQ(symbolOf(0xFFFFF000u), "0x00000000FFFFF000\n  <Unknown Module>\n");

  // The whole given size is cleared, also past the text.
  char text[256];
  std::memset(text, 'x', sizeof text);
  EXPECT_TRUE(quor::symbolizeAddress(0x1000u, text, sizeof text));
  for (size_t i = std::strlen(text); i < sizeof text; ++i) ASSERT_EQ(text[i], '\0') << i;
  EXPECT_FALSE(quor::symbolizeAddress(0x1000u, nullptr, 16));
}

TEST_F(DbgHelpReal, LogHoldsTheModuleBlockThenEventsByteForByte) {
  allocationSiteA("malloc", 0x11, 0x2000, 24, 7);  // starts the module: stack empty
  allocationSiteA("new", 0x12, 0x3000, 40, 0x1234);
  allocationSiteA("New", 0x13, 0x4000, 1, 0);
  allocationSiteA("", 0x14, 0x5000, 2, 0);
  allocationSiteA(nullptr, 0x15, 0x6000, 3, 0);
  allocationSiteA("delete_array", 0x16, 0x7000, 4, 0xFFFF);
  const std::vector<uint8_t> bytes = readFile(logPath());  // readable while the writer has it
  std::vector<LogBlock> blocks;
  ASSERT_TRUE(parseLog(bytes, blocks)) << "log of " << bytes.size() << " bytes";
  ASSERT_EQ(blocks.size(), 7u);

  const LogBlock& modules = blocks[0];
  EXPECT_EQ(modules.code, 1u);
  EXPECT_EQ(modules.id | modules.address | modules.size | modules.region, 0u);
  EXPECT_TRUE(modules.recordTailZero);
  EXPECT_EQ(modules.names.size(), _dbgHelp.moduleCount);
  EXPECT_EQ(modules.length, 36 + roundUp16(modules.names.size() * 2052));
  EXPECT_TRUE(modules.paddingZero);
  bool executableListed = false;
  for (const std::string& name : modules.names) executableListed |= name == executablePath();
  EXPECT_TRUE(executableListed);
  EXPECT_EQ(blocks[1].offset % 16, 4u) << "blocks after the module block start 4 past 16";

  const uint32_t codes[] = {2, 4, 0, 0, 0, 5};
  const uint16_t regions[] = {7, 0x1234, 0, 0, 0, 0xFFFF};
  for (size_t i = 0; i < 6; ++i) {
    const LogBlock& b = blocks[i + 1];
    EXPECT_EQ(b.code, codes[i]) << i;
    EXPECT_EQ(b.id, 0x11u + i);
    EXPECT_EQ(b.address, 0x2000u + 0x1000u * i);
    EXPECT_EQ(b.region, regions[i]);
    EXPECT_TRUE(b.recordTailZero);
    EXPECT_TRUE(b.paddingZero);
    EXPECT_EQ(b.length, 32 + roundUp16(4 * b.values.size() + 4));
  }
  EXPECT_EQ(blocks[1].values.size(), 0u) << "the event that starts the module has no stack";
  EXPECT_EQ(blocks[1].length, 48u);
  ASSERT_GE(blocks[2].values.size(), 3u);
  EXPECT_NE(symbolOf(blocks[2].values[0]).find(" quor::captureStack() + 0x"), std::string::npos);
  EXPECT_NE(symbolOf(blocks[2].values[1]).find(" quor::logMemoryEvent() + 0x"), std::string::npos);
  EXPECT_NE(symbolOf(blocks[2].values[2]).find(" dbgtest::allocationSiteA() + 0x"),
            std::string::npos);

  EXPECT_EQ(quor::getMemOpCode("new"), quor::MEMOP_REALLOC);
  EXPECT_EQ(quor::getMemOpCode("new_array"), quor::MEMOP_REALLOC);
  EXPECT_EQ(quor::getMemOpCode("delete"), quor::MEMOP_FREE);
  EXPECT_EQ(quor::getMemOpCode("memalign"), quor::MEMOP_MEMALIGN);
  EXPECT_EQ(quor::getMemOpCode("module"), quor::MEMOP_MODULE);
  EXPECT_EQ(quor::getMemOpCode("malloc "), quor::MEMOP_NONE);

  // Shutdown closes the log; the next event truncates it and starts over.
  EXPECT_TRUE(quor::terminateDbgHelp());
  EXPECT_EQ(readFile(logPath()).size(), bytes.size());
  allocationSiteB("malloc", 0x21, 0x8000, 5, 1);
  std::vector<LogBlock> again;
  ASSERT_TRUE(parseLog(readFile(logPath()), again));
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0].code, 1u);
  EXPECT_EQ(again[1].id, 0x21u);
  EXPECT_EQ(again[1].values.size(), 0u);
}

TEST_F(DbgHelpReal, LogThatCannotBeCreatedIsRetriedByTheNextEvent) {
  // Both opens of the first event fail: the module listing's and the event's own.
  pal_inject_failure("CreateFileA", 0, 2);
  allocationSiteA("malloc", 0x31, 0x1000, 8, 0);
  EXPECT_EQ(_dbgHelp.hLogFile, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(fileExists(logPath()));
  allocationSiteA("malloc", 0x32, 0x2000, 8, 0);
  std::vector<LogBlock> blocks;
  ASSERT_TRUE(parseLog(readFile(logPath()), blocks));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].id, 0x32u);
  EXPECT_GE(blocks[0].values.size(), 3u);
  EXPECT_EQ(std::string(_dbgHelp.logPath), logPath());
  EXPECT_EQ(std::string(_dbgHelp.reportPath), reportPath());
}

TEST_F(DbgHelpReal, ReportFindsTheFirstAllocationRecordAndSymbolisesItsStack) {
  allocationSiteA("malloc", 0x99, 0x1000, 4, 0);  // start-up event, empty stack
  allocationSiteA("malloc", 5, 0xABCD0, 10, 1);
  allocationSiteB("malloc", 5, 0xABCD0, 10, 2);
  allocationSiteA("free", 6, 0x1000, 8, 0);
  allocationSiteA("new", 7, 0x2000, 12, 0x20);
  debugPieces().clear();

  quor::reportLeak(5, 0xABCD0, 10);
  const std::string first = readText(reportPath());
  EXPECT_EQ(first, joinedDebugText()) << "the channel gets the same text";
  const std::vector<std::string> lines = splitLines(first);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], "<<malloc>>: {0x00000005} 0x000ABCD0, 10 bytes. region 0x0001\n");
  EXPECT_NE(lines[1].find(" quor::captureStack() + 0x"), std::string::npos) << first;
  EXPECT_NE(first.find(" quor::logMemoryEvent() + 0x"), std::string::npos) << first;
  EXPECT_NE(first.find("dbgtest::allocationSiteA()"), std::string::npos) << first;
  EXPECT_EQ(first.find("dbgtest::allocationSiteB()"), std::string::npos) << first;
  EXPECT_NE(first.find("dbghelp_test.cpp("), std::string::npos) << first;

  // Release records and the module block never match; a second report appends.
  quor::reportLeak(6, 0x1000, 8);
  quor::reportLeak(0, 0, 0);
  EXPECT_EQ(readText(reportPath()), first);
  quor::reportLeak(7, 0x2000, 12);
  const std::string both = readText(reportPath());
  ASSERT_GT(both.size(), first.size());
  EXPECT_EQ(both.compare(0, first.size(), first), 0);
  EXPECT_EQ(both.substr(first.size())
                .rfind("<<realloc>>: {0x00000007} 0x00002000, 12 bytes. region 0x0020\n", 0),
            0u);

  // The first report of the next run empties the file again.
  _dbgHelp.firstReport = true;
  quor::reportLeak(7, 0x2000, 12);
  EXPECT_EQ(readText(reportPath()), both.substr(first.size()));
}

TEST_F(DbgHelpReal, ReportWithoutLogOrReportFileSaysSoOnTheChannel) {
  allocationSiteA("malloc", 1, 0x1000, 4, 0);
  allocationSiteA("malloc", 2, 0x2000, 4, 0);
  // A directory where the report file should be: the lines still reach the channel.
  ASSERT_EQ(mkdir(reportPath().c_str(), 0700), 0);
  debugPieces().clear();
  quor::reportLeak(2, 0x2000, 4);
  rmdir(reportPath().c_str());
  EXPECT_EQ(
      joinedDebugText().rfind("<<malloc>>: {0x00000002} 0x00002000, 4 bytes. region 0x0000\n", 0),
      0u);
  EXPECT_NE(joinedDebugText().find(" quor::captureStack() + 0x"), std::string::npos);

  // The log gone: one line on the channel, the report file untouched.
  quor::closeMemLog();
  std::remove(logPath().c_str());
  writeFile(reportPath(), {'k', 'e', 'e', 'p'});
  debugPieces().clear();
  quor::reportLeak(2, 0x2000, 4);
  ASSERT_EQ(debugPieces().size(), 1u);
  EXPECT_EQ(debugPieces()[0], "CreateFile Failed. @err=0x00000002\n");
  EXPECT_EQ(readText(reportPath()), "keep");
}

// Hostile logs: the report must end its search on anything, read nothing past its buffers and
// print at most the record line and its frames.
std::vector<uint8_t> record(uint32_t code, uint32_t frameCount) {
  std::vector<uint8_t> r;
  for (uint32_t field : {code, 0x77u, 0x7000u, 0x70u}) putWord(r, field);
  r.resize(32, 0);
  putWord(r, frameCount);
  return r;
}

std::string reportOver(const std::vector<uint8_t>& log) {
  quor::closeMemLog();
  writeFile(logPath(), log);
  _dbgHelp.firstReport = true;
  debugPieces().clear();
  quor::reportLeak(0x77, 0x7000, 0x70);
  return joinedDebugText();
}

HANDLE openLog(const std::vector<uint8_t>& bytes) {
  writeFile(logPath(), bytes);
  return CreateFileA(logPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

TEST_F(DbgHelpReal, HostileLogsEndTheSearchWithoutReadingPastTheBuffers) {
  allocationSiteA("malloc", 0x77, 0x7000, 0x70, 3);
  allocationSiteA("malloc", 0x77, 0x7000, 0x70, 3);
  const std::vector<uint8_t> genuine = readFile(logPath());
  ASSERT_GT(genuine.size(), 100u);
  const std::string line = "<<malloc>>: {0x00000077} 0x00007000, 112 bytes. region 0x0003\n";
  const std::string lineAlone = "<<malloc>>: {0x00000077} 0x00007000, 112 bytes. region 0x0000\n";

  EXPECT_EQ(reportOver({}), "");
  EXPECT_EQ(reportOver(genuine).rfind(line, 0), 0u);
  // Every cut of the genuine log, near the blocks' edges and through the module table.
  for (size_t cut = 0; cut < genuine.size();
       cut += (cut < 64 || genuine.size() - cut < 160) ? 1 : 97) {
    const std::string out =
        reportOver(std::vector<uint8_t>(genuine.begin(), genuine.begin() + cut));
    EXPECT_TRUE(out.empty() || out.rfind(line, 0) == 0) << "cut at " << cut << ": " << out;
  }

  // Crafted counts: a huge frame count, module counts past the file's end, 32,767 frames and
  // more (the record line alone).
  std::vector<uint8_t> log = record(2, 0x7FFFFFFF);
  log.resize(log.size() + 64, 0x41);
  EXPECT_EQ(reportOver(log), "");
  log = record(1, 0x00FFFFFF);
  log.resize(log.size() + 4096, 0);
  EXPECT_EQ(reportOver(log), "");
  EXPECT_EQ(reportOver(record(1, 0xFFFFFFFF)), "");
  for (uint32_t frames : {32767u, 40000u}) {
    log = record(2, frames);
    log.resize(log.size() + roundUp16(4 * frames + 4) - 4, 0x10);
    EXPECT_EQ(reportOver(log), lineAlone) << frames;
  }

  // Seeded random logs, a third of them starting with a matching record (small or random count).
  std::mt19937 random(20240601u);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes;
    if (round % 3 == 0) bytes = record(2 + (round / 3) % 3, round % 2 ? random() % 8 : random());
    const size_t length = random() % 600;
    for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(random()));
    const std::string out = reportOver(bytes);
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 1 + 3 * 32767) << "round " << round;
  }

  // The block readers stay inside the capacity they are given: a module block of 3 entries
  // (6,160 bytes) and a stack block of 100 frames, each through 64 bytes.
  uint8_t area[64 + 32];
  std::vector<uint8_t> block;
  putWord(block, 3);
  block.resize(4 + 6160, 0x5A);
  HANDLE h = openLog(block);
  std::memset(area, 0xEE, sizeof area);
  EXPECT_TRUE(quor::readModuleBlock(h, area, 64));
  for (size_t i = 64; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xEE) << i;
  CloseHandle(h);
  block.clear();
  putWord(block, 100);
  block.resize(roundUp16(404), 0x5A);
  h = openLog(block);
  std::memset(area, 0xEE, sizeof area);
  EXPECT_TRUE(quor::readStackBlock(h, area, 64));
  EXPECT_EQ(area[0], 100);
  for (size_t i = 64; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xEE) << i;
  EXPECT_FALSE(quor::readStackBlock(h, area, 64)) << "end of file";
  CloseHandle(h);
  EXPECT_FALSE(quor::readStackBlock(INVALID_HANDLE_VALUE, area, 64));
  EXPECT_FALSE(quor::readModuleBlock(nullptr, area, 64));
}

}  // namespace
