// The leak report of the leak-tracking build: at terminate, and at process detach when the
// program ends without terminate, every block still live (and no released one) is named in
// "memleak.TXT" with the symbolised stack of its allocation, and one summary line follows on the
// debugger channel.
#include <quor/Platform.h>

#include <pal/testing.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/memlog_file.h"

using quor::Platform;
using namespace quortest;

// Named, out-of-line allocation sites, so that the report's stacks can be checked by name.
namespace reportsite {

__attribute__((noinline)) void* allocateForCache(unsigned int size) {
  void* block = Platform::malloc(size);
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

std::string recordLine(const char* op, unsigned serial, const void* block, unsigned size,
                       unsigned region) {
  char line[128];
  snprintf(line, sizeof line, "<<%s>>: {0x%08X} 0x%08X, %u bytes. region 0x%04X\n", op, serial,
           static_cast<unsigned>(uintptr_t(block)), size, region);
  return line;
}

std::string summaryLine(unsigned blocks, unsigned bytes) {
  return "quorkit: " + std::to_string(blocks) + " blocks, " + std::to_string(bytes) +
         " bytes still allocated\n";
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(MemLogReport, TerminateNamesEachLiveBlockOnceThenTheSummary) {
  Platform::initialize(nullptr);
  std::remove(reportPath().c_str());
  const unsigned liveBefore = Platform::getAllocCount(), bytesBefore = Platform::getAllocSize();
  const unsigned serial = Platform::getTotalAllocCount() + 1;
  Platform::pushDebugRegion(0x44);
  void* released = reportsite::allocateForCache(200);
  void* cache = reportsite::allocateNested(333);
  void* parser = Platform::operator new[](77);
  Platform::popDebugRegion();
  void* plain = Platform::memalign(32, 1000);
  Platform::free(Platform::realloc(released, 5000));  // both blocks released
  DebugChannelCapture debug;
  Platform::terminate();
  const std::string report = readFile(reportPath());
  EXPECT_EQ(countOf(report, ">>: {"), liveBefore + 3) << report;
  // Ours come last, in serial order, each with its stack: "new_array" stored as realloc.
  const std::string lines[] = {recordLine("malloc", serial + 1, cache, 333, 0x44),
                               recordLine("realloc", serial + 2, parser, 77, 0x44),
                               recordLine("memalign", serial + 3, plain, 1000, 0)};
  const size_t at[] = {report.find(lines[0]), report.find(lines[1]), report.find(lines[2])};
  ASSERT_TRUE(at[0] < at[1] && at[1] < at[2] && at[2] != std::string::npos) << report;
  EXPECT_EQ(countOf(report.substr(at[2]), ">>: {"), 1u);
  const std::string cacheStack = report.substr(at[0], at[1] - at[0]);
  const size_t inner = cacheStack.find("reportsite::allocateForCache");
  EXPECT_TRUE(inner < cacheStack.find("reportsite::allocateNested", inner)) << cacheStack;
  const std::string summary = summaryLine(liveBefore + 3, bytesBefore + 1410);
  EXPECT_EQ(debug.joined().rfind(summary), debug.joined().size() - summary.size())
      << "the summary comes last";

  // A second terminate names nothing again: the blocks were reported once.
  debug.texts().clear();
  Platform::terminate();
  EXPECT_EQ(report, readFile(reportPath()));
  EXPECT_NE(std::string::npos, debug.joined().find(summary));
  Platform::free(cache);
  Platform::operator delete[](parser);
  Platform::free(plain);
  Platform::initialize(nullptr);
}

// Writes the debugger channel to standard error, where the death test's matcher reads it.
void debugToStderr(const char* text) { fputs(text, stderr); }

// The child leaks two blocks and leaves without terminate: the loader's detach reports them,
// then the summary with what the child counted just before its exit.
void leakAndExit() {
  pal_set_debug_sink(&debugToStderr);
  const unsigned liveBefore = Platform::getAllocCount(), bytesBefore = Platform::getAllocSize();
  reportsite::allocateNested(64);
  Platform::free(reportsite::allocateForCache(65));
  Platform::operator new[](66);
  fputs(("child: " + summaryLine(liveBefore + 2, bytesBefore + 130)).c_str(), stderr);
  exit(0);
}

bool summaryFollowsReport(const std::string& text) {
  const size_t child = text.find("child: ");
  const size_t report = text.find("reportsite::allocateNested", child);
  const std::string summary = text.substr(child + 7, text.find('\n', child) - child - 6);
  return child != std::string::npos && report != std::string::npos &&
         text.rfind(summary) > report && text.rfind(summary) + summary.size() == text.size();
}

TEST(MemLogReport, ProcessDetachWithoutTerminateReportsTheLeaks) {
  std::remove(reportPath().c_str());
  const unsigned serial = Platform::getTotalAllocCount() + 1;
  EXPECT_EXIT(leakAndExit(), ::testing::ExitedWithCode(0), ::testing::Truly(&summaryFollowsReport));
  const std::string report = readFile(reportPath());
  // The two leaks last, the released block in between not named.
  char first[20], second[16];
  snprintf(first, sizeof first, ">>: {0x%08X}", serial);
  snprintf(second, sizeof second, "{0x%08X}", serial + 2);
  const size_t at = report.find(first), next = report.find(second);
  EXPECT_TRUE(at < next && next != std::string::npos && countOf(report.substr(at), ">>: {") == 2);
  EXPECT_TRUE(report.find(", 64 bytes.", at) < next &&
              report.find(", 66 bytes.", next) != std::string::npos);
  EXPECT_NE(std::string::npos, report.find("reportsite::allocateNested")) << report;
}

}  // namespace
