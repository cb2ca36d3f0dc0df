// The leak report of the leak-tracking build: at terminate, and at process detach when the
// program ends without terminate, every block still live (and no released one) is named in
// "memleak.TXT" with the symbolised stack of its allocation, and one summary line follows on the
// debugger channel.
#include <quor/Platform.h>

#include <pal/testing.h>

#include "memlog/memlog_test_support.h"
#include "support/capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

using quor::Platform;
using namespace memlogtest;

namespace {

::testing::Environment* const kLock = ::testing::AddGlobalTestEnvironment(new FileLockEnvironment);

}  // namespace

// Named, out-of-line allocation sites, so that the report's stacks can be checked by name.
namespace reportsite {

__attribute__((noinline)) void* allocateForCache(unsigned int size) {
  void* block = Platform::malloc(size);
  asm volatile("" ::: "memory");
  return block;
}

__attribute__((noinline)) void* allocateForParser(unsigned int size) {
  void* block = Platform::operator new[](size);
  asm volatile("" ::: "memory");
  return block;
}

__attribute__((noinline)) void* allocateNested(unsigned int size) {
  void* block = allocateForCache(size);
  asm volatile("" ::: "memory");
  return block;
}

}  // namespace reportsite

namespace {

bool sameBlock(const ReportedBlock& reported, const void* block, unsigned int size) {
  return reported.address == addressOf(block) && reported.size == size;
}

TEST(MemLogReport, TerminateNamesExactlyTheLeakedBlocksThenTheSummary) {
  Platform::initialize(nullptr);
  // The first report of a process creates the file anew, a later one appends: from empty, both
  // leave exactly this test's report.
  std::remove(reportPath().c_str());
  const unsigned int liveBefore = Platform::getAllocCount();
  const unsigned int bytesBefore = Platform::getAllocSize();

  std::vector<void*> released;
  Platform::pushDebugRegion(0x44);
  for (unsigned int i = 0; i < 10; ++i) released.push_back(reportsite::allocateForCache(200 + i));
  void* leakedCache = reportsite::allocateNested(333);
  void* leakedParser = reportsite::allocateForParser(77);
  Platform::popDebugRegion();
  void* leakedPlain = Platform::memalign(32, 1000);
  void* grown = Platform::realloc(released[3], 5000);  // the old block is released, the new one too
  released[3] = grown;
  for (void* block : released) Platform::free(block);
  ASSERT_TRUE(leakedCache && leakedParser && leakedPlain);

  quortest::DebugChannelCapture debug;
  Platform::terminate();
  const std::string summary = debug.joined();
  const std::vector<uint8_t> bytes = readFile(reportPath());
  const std::string report(bytes.begin(), bytes.end());

  const std::vector<ReportedBlock> blocks = reportedBlocks(report);
  ASSERT_EQ(liveBefore + 3, blocks.size()) << report;
  // Ours are the last three, in serial order; released blocks are nowhere.
  const ReportedBlock& cache = blocks[blocks.size() - 3];
  const ReportedBlock& parser = blocks[blocks.size() - 2];
  const ReportedBlock& plain = blocks[blocks.size() - 1];
  EXPECT_TRUE(sameBlock(cache, leakedCache, 333));
  EXPECT_EQ("malloc", cache.name);
  EXPECT_EQ(0x44u, cache.region);
  EXPECT_TRUE(sameBlock(parser, leakedParser, 77));
  EXPECT_EQ("realloc", parser.name);  // "new_array" is stored under realloc's code
  EXPECT_EQ(cache.id + 1, parser.id);
  EXPECT_TRUE(sameBlock(plain, leakedPlain, 1000));
  EXPECT_EQ("memalign", plain.name);
  EXPECT_EQ(0u, plain.region);
  for (const ReportedBlock& reported : blocks) {
    for (void* block : released) EXPECT_NE(addressOf(block), reported.address) << report;
  }

  // Each leak's stack, symbolised: the nested sites appear innermost first.
  const size_t cacheAt = report.find("{0x", report.find("<<malloc>>"));
  const size_t parserAt = report.find("<<realloc>>", cacheAt);
  ASSERT_NE(std::string::npos, parserAt);
  const std::string cacheStack = report.substr(cacheAt, parserAt - cacheAt);
  const size_t inner = cacheStack.find("reportsite::allocateForCache");
  const size_t outer = cacheStack.find("reportsite::allocateNested");
  EXPECT_NE(std::string::npos, inner) << cacheStack;
  EXPECT_NE(std::string::npos, outer) << cacheStack;
  EXPECT_LT(inner, outer);
  EXPECT_NE(std::string::npos, report.find("reportsite::allocateForParser", parserAt)) << report;

  char expected[128];
  snprintf(expected, sizeof expected, "quorkit: %u blocks, %u bytes still allocated\n",
           liveBefore + 3, bytesBefore + 1410);
  EXPECT_NE(std::string::npos, summary.find(expected)) << summary;
  EXPECT_EQ(summary.size() - strlen(expected), summary.rfind(expected)) << "the summary comes last";

  // A second terminate names nothing again: the blocks were reported once.
  debug.texts().clear();
  const size_t afterFirst = fileSize(reportPath());
  Platform::terminate();
  EXPECT_EQ(afterFirst, fileSize(reportPath()));
  EXPECT_NE(std::string::npos, debug.joined().find(expected));

  Platform::free(leakedCache);
  Platform::operator delete[](leakedParser);
  Platform::free(leakedPlain);
  Platform::initialize(nullptr);
}

// Writes the debugger channel to standard error, where the death test's matcher reads it.
void debugToStderr(const char* text) { fputs(text, stderr); }

// The child leaks two blocks and leaves without terminate: the loader's detach reports them.
void leakAndExit() {
  pal_set_debug_sink(&debugToStderr);
  const unsigned int liveBefore = Platform::getAllocCount();
  const unsigned int bytesBefore = Platform::getAllocSize();
  reportsite::allocateNested(64);
  Platform::free(reportsite::allocateForCache(65));
  reportsite::allocateForParser(66);
  fprintf(stderr, "child: %u blocks, %u bytes\n", liveBefore + 2, bytesBefore + 130);
  exit(0);
}

// The child's standard error: its count, the report's lines, then the summary with that count.
bool summaryFollowsReport(const std::string& text) {
  unsigned int blocks = 0, bytes = 0;
  const size_t child = text.find("child: ");
  if (child == std::string::npos ||
      sscanf(text.c_str() + child, "child: %u blocks, %u bytes", &blocks, &bytes) != 2) {
    return false;
  }
  char summary[128];
  snprintf(summary, sizeof summary, "quorkit: %u blocks, %u bytes still allocated\n", blocks,
           bytes);
  const size_t report = text.find("reportsite::allocateNested", child);
  const size_t at = text.find(summary, child);
  return report != std::string::npos && at != std::string::npos && report < at &&
         at + strlen(summary) == text.size();
}

TEST(MemLogReport, ProcessDetachWithoutTerminateReportsTheLeaks) {
  std::remove(reportPath().c_str());
  const unsigned int serial = Platform::getTotalAllocCount() + 1;
  // The report's lines, then the summary with what the child counted just before its exit.
  EXPECT_EXIT(leakAndExit(), ::testing::ExitedWithCode(0), ::testing::Truly(&summaryFollowsReport));

  const std::vector<uint8_t> bytes = readFile(reportPath());
  const std::string report(bytes.begin(), bytes.end());
  const std::vector<ReportedBlock> blocks = reportedBlocks(report);
  ASSERT_LE(2u, blocks.size()) << report;
  const ReportedBlock& first = blocks[blocks.size() - 2];
  const ReportedBlock& second = blocks[blocks.size() - 1];
  EXPECT_EQ(serial, first.id);
  EXPECT_EQ(64u, first.size);
  EXPECT_EQ(serial + 2, second.id);  // the released block in between is not named
  EXPECT_EQ(66u, second.size);
  EXPECT_NE(std::string::npos, report.find("reportsite::allocateNested")) << report;
}

}  // namespace
