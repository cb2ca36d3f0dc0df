// The debug-help module where no usable dbghelp.dll is beside the executable: a copy found
// only in the system directory is refused with its two messages, and without the library the
// module still logs events (with empty stacks) and reports the record line alone.
#include <gtest/gtest.h>

#include <regex>

#include "debug/dbghelp_test_support.h"

using namespace dbgtest;
using quor::_dbgHelp;

namespace {

class DbgHelpAbsent : public ::testing::Test {
 protected:
  void SetUp() override { resetModule(); }
  void TearDown() override {
    finishModule();
    pal_set_system_directory(nullptr);
  }
};

void expectNullListing(const std::vector<std::string>& pieces, size_t from) {
  const char* const labels[] = {"SymSetOptions",     "SymGetOptions",          "SymInitialize",
                                "SymCleanup",        "SymFunctionTableAccess", "SymGetModuleBase",
                                "SymGetSymFromAddr", "SymGetLineFromAddr",     "SymGetModuleInfo",
                                "StackWalk",         "SymEnumerateModules",    "MiniDumpWriteDump"};
  ASSERT_EQ(pieces.size(), from + 13);
  for (size_t i = 0; i < 12; ++i)
    EXPECT_EQ(pieces[from + i], std::string(labels[i]) + ": 00000000\n");
  EXPECT_TRUE(std::regex_match(pieces[from + 12], std::regex("RtlCaptureContext: [0-9A-F]{8}\n")));
  EXPECT_NE(pieces[from + 12], "RtlCaptureContext: 00000000\n");
}

TEST_F(DbgHelpAbsent, CopyInTheSystemDirectoryIsRefusedWithTwoMessages) {
  pal_set_system_directory(QUOR_TEST_SYSTEM_DBGHELP_DIR);
  ASSERT_TRUE(quor::initializeDbgHelp());
  EXPECT_EQ(_dbgHelp.hDbgHelp, nullptr);
  const std::vector<std::string> pieces = debugPieces();
  ASSERT_GE(pieces.size(), 8u) << joinedDebugText();
  EXPECT_EQ(pieces[0], "'");
  EXPECT_EQ(pieces[1].rfind(QUOR_TEST_SYSTEM_DBGHELP_DIR, 0), 0u) << pieces[1];
  EXPECT_NE(pieces[1].find("dbghelp.dll"), std::string::npos) << pieces[1];
  EXPECT_EQ(pieces[2], "'");
  EXPECT_EQ(pieces[3], " doesn't work well, almost. !! ignored !!\n");
  EXPECT_EQ(pieces[4], "please copy newest dbghelp.dll to same directory '");
  EXPECT_EQ(pieces[5], executablePath());
  EXPECT_EQ(pieces[6], "'");
  EXPECT_EQ(pieces[7], "\n");
  expectNullListing(pieces, 8);

  // Running without debug help: buffers but no module table, and no module block.
  EXPECT_NE(_dbgHelp.hSymbolBuffer, nullptr);
  EXPECT_NE(_dbgHelp.pRecord, nullptr);
  EXPECT_EQ(_dbgHelp.pModuleTable, nullptr);
  EXPECT_FALSE(fileExists(logPath()));
  // A second start-up over the running module is refused rather than repeated.
  EXPECT_FALSE(quor::initializeDbgHelp());
  EXPECT_EQ(debugPieces().size(), pieces.size());

  expectShutDown();
}

TEST_F(DbgHelpAbsent, WithoutTheLibraryEventsAreLoggedWithEmptyStacks) {
  pal_set_system_directory("/nonexistent/quorkit-system-directory");
  // Before any open in this process the log has no path: the report says so and stops.
  quor::reportLeak(1, 2, 3);
  ASSERT_EQ(debugPieces().size(), 1u);
  EXPECT_TRUE(
      std::regex_match(debugPieces()[0], std::regex("CreateFile Failed\\. @err=0x[0-9a-f]{8}\n")))
      << debugPieces()[0];
  EXPECT_FALSE(fileExists(reportPath()));
  debugPieces().clear();

  quor::logMemoryEvent("malloc", 0x41, 0x1000, 8, 2);
  expectNullListing(debugPieces(), 0);
  debugPieces().clear();

  // Capture and symbols fail softly and silently.
  DWORD stack[16];
  std::memset(stack, 0xAA, sizeof stack);
  EXPECT_FALSE(quor::captureStack(stack, 16));
  for (DWORD w : stack) EXPECT_EQ(w, 0u);
  char text[64];
  std::memset(text, 'x', sizeof text);
  EXPECT_FALSE(quor::symbolizeAddress(0x1000, text, sizeof text));
  for (char c : text) EXPECT_EQ(c, '\0');
  EXPECT_TRUE(debugPieces().empty()) << joinedDebugText();

  quor::logMemoryEvent("new_array", 0x42, 0x2000, 24, 3);
  const std::vector<uint8_t> bytes = readFile(logPath());
  ASSERT_EQ(bytes.size(), 96u) << "two event blocks, each a record and a 16-byte stack block";
  EXPECT_EQ(word(bytes, 0), 2u);
  EXPECT_EQ(word(bytes, 4), 0x41u);
  EXPECT_EQ(word(bytes, 48), 4u);
  EXPECT_EQ(word(bytes, 52), 0x42u);
  EXPECT_EQ(word(bytes, 60), 24u);
  EXPECT_EQ(bytes[64], 3);
  for (size_t i = 66; i < 96; ++i) EXPECT_EQ(bytes[i], 0) << i;

  quor::reportLeak(0x42, 0x2000, 24);
  const std::string line = "<<realloc>>: {0x00000042} 0x00002000, 24 bytes. region 0x0003\n";
  EXPECT_EQ(readText(reportPath()), line);
  EXPECT_EQ(joinedDebugText(), line);
}

// The identification text people find in the binary: library, keyword line with file, revision,
// date, time and author, then the build stamp.
TEST(DbgHelpModuleId, KeywordLineNamesFileRevisionDateTimeAndAuthor) {
  const std::string image = readText(executablePath());
  const std::regex expected(
      "quorkit \\$Id: Win32dbghelp\\.cpp [0-9.]+ [0-9]{4}/[0-9]{2}/[0-9]{2} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} [^ ]+ \\$ built .+ i686 gcc .+");
  // The first hits may be this test's own search text; the module's is among them.
  bool found = false;
  for (size_t at = image.find("$Id: Win32dbghelp.cpp "); at != std::string::npos && !found;
       at = image.find("$Id: Win32dbghelp.cpp ", at + 1)) {
    found = at >= 8 && std::regex_match(std::string(image.c_str() + at - 8), expected);
  }
  EXPECT_TRUE(found);
}

}  // namespace
