// The debug-help module against a scripted dbghelp.dll (fake_dbghelp.cpp) beside the
// executable: what the module passes to the library, and the texts and log bytes it makes of
// answers the real library cannot be made to give on cue.
#include <gtest/gtest.h>

#include <regex>

#include "debug/dbghelp_test_support.h"
#include "debug/fake_dbghelp.h"

using namespace dbgtest;
using quor::_dbgHelp;

namespace {

class DbgHelpFake : public ::testing::Test {
 protected:
  void SetUp() override {
    resetModule();
    // Loaded ahead of the module (a second reference to the same library) so the script can
    // be set before start-up enumerates.
    library_ = LoadLibraryA("dbghelp.dll");
    ASSERT_NE(library_, nullptr);
    auto get = reinterpret_cast<FakeDbgHelpControlFn>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(library_, "fakeDbgHelpControl")));
    ASSERT_NE(get, nullptr);
    fake_ = get();
    *fake_ = FakeDbgHelpControl{};
    fake_->modules[0] = {"fake_module", 0x0000000112345678ull, nullptr};
    fake_->moduleCount = 1;
  }
  void TearDown() override {
    finishModule();
    if (library_) FreeLibrary(library_);
  }

  std::string symbolize(DWORD address) {
    char text[quor::kReportLineSize];
    EXPECT_TRUE(quor::symbolizeAddress(address, text, sizeof text));
    return text;
  }

  HMODULE library_ = nullptr;
  FakeDbgHelpControl* fake_ = nullptr;
};

TEST_F(DbgHelpFake, ModuleBlockOfOneModuleIsTwoThousandOneHundredBytes) {
  fake_->frameCount = 0;
  quor::logMemoryEvent("malloc", 1, 0x1000, 16, 0);
  EXPECT_EQ(fake_->initializeCalls, 1u);
  EXPECT_TRUE(fake_->invadeProcess);
  EXPECT_EQ(fake_->moduleSizeOfStruct, 1672u);

  const std::vector<uint8_t> bytes = readFile(logPath());
  ASSERT_EQ(bytes.size(), 2100u + 48u);
  EXPECT_EQ(word(bytes, 0), 1u);
  for (size_t i = 4; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(word(bytes, 32), 1u);
  EXPECT_EQ(word(bytes, 36), 0x12345678u) << "low 32 bits of the base";
  EXPECT_STREQ(reinterpret_cast<const char*>(&bytes[40]), "fake_module")
      << "the enumeration's name stays when the info query fails";
  for (size_t i = 40 + 12; i < 2100; ++i) ASSERT_EQ(bytes[i], 0) << i;
  // The event: record and a 16-byte stack block with count 0.
  EXPECT_EQ(word(bytes, 2100), 2u);
  EXPECT_EQ(word(bytes, 2104), 1u);
  EXPECT_EQ(word(bytes, 2108), 0x1000u);
  EXPECT_EQ(word(bytes, 2112), 16u);
  for (size_t i = 2116; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0) << i;

  quor::terminateDbgHelp();
  EXPECT_EQ(fake_->cleanupCalls, 1u);
}

TEST_F(DbgHelpFake, ModuleNamesComeFromTheLoadedImageWhenItsQuerySucceeds) {
  fake_->modules[0] = {"first", 0x10000, "/opt/app/first.so"};
  fake_->modules[1] = {"second", 0x20000, nullptr};
  fake_->moduleCount = 2;
  ASSERT_TRUE(quor::initializeDbgHelp());
  std::vector<LogBlock> blocks;
  ASSERT_TRUE(parseLog(readFile(logPath()), blocks));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].length, 32u + 4u + 4112u);
  ASSERT_EQ(blocks[0].names.size(), 2u);
  EXPECT_EQ(blocks[0].names[0], "/opt/app/first.so");
  EXPECT_EQ(blocks[0].names[1], "second");
  EXPECT_EQ(blocks[0].values[1], 0x20000u);
}

TEST_F(DbgHelpFake, WalkIsStartedFromCaptureStacksOwnContext) {
  const DWORD frames[] = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555};
  std::memcpy(fake_->frames, frames, sizeof frames);
  fake_->frameCount = 5;
  fake_->walkError = ERROR_NO_MORE_ITEMS;
  quor::logMemoryEvent("malloc", 1, 0x1000, 16, 0);  // start-up
  debugPieces().clear();
  fake_->walkCalls = 0;
  quor::logMemoryEvent("realloc", 2, 0x2000, 32, 9);
  EXPECT_TRUE(debugPieces().empty()) << "a walk ending after five frames is silent";

  EXPECT_EQ(fake_->machine, 0x14Cu);
  EXPECT_EQ(fake_->process, GetCurrentProcess());
  EXPECT_EQ(fake_->thread, GetCurrentThread());
  EXPECT_EQ(fake_->contextRecord, nullptr);
  EXPECT_EQ(fake_->readMemory, nullptr);
  EXPECT_EQ(fake_->translateAddress, nullptr);
  EXPECT_EQ(fake_->functionTableAccess, _dbgHelp.api.SymFunctionTableAccess64);
  EXPECT_EQ(fake_->getModuleBase, _dbgHelp.api.SymGetModuleBase64);
  EXPECT_NE(fake_->functionTableAccess, nullptr);
  EXPECT_EQ(fake_->pc.Mode, AddrModeFlat);
  EXPECT_EQ(fake_->framePointer.Mode, AddrModeFlat);
  EXPECT_EQ(fake_->stackPointer.Mode, AddrModeFlat);
  // The first PC lies inside captureStack itself, the stack pointer on this thread's stack.
  const DWORD_PTR start = reinterpret_cast<DWORD_PTR>(&quor::captureStack);
  EXPECT_GE(fake_->pc.Offset, start);
  EXPECT_LT(fake_->pc.Offset, start + 2048);
  int local = 0;
  EXPECT_LT(fake_->stackPointer.Offset, reinterpret_cast<DWORD_PTR>(&local));
  EXPECT_GT(fake_->stackPointer.Offset + 0x100000, reinterpret_cast<DWORD_PTR>(&local));

  // Five frames: a 32-byte stack block, the count, five addresses and 8 zero bytes.
  const std::vector<uint8_t> bytes = readFile(logPath());
  ASSERT_EQ(bytes.size(), 2100u + 48u + 32u + 32u);
  const size_t block = 2100 + 48;
  EXPECT_EQ(word(bytes, block), 4u);
  EXPECT_EQ(word(bytes, block + 16), 9u);
  EXPECT_EQ(word(bytes, block + 32), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(word(bytes, block + 36 + 4 * i), frames[i]);
  EXPECT_EQ(word(bytes, block + 56), 0u);
  EXPECT_EQ(word(bytes, block + 60), 0u);
}

TEST_F(DbgHelpFake, WalkFailureIsReportedOnlyWhileAtMostOneFrameIsStored) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  DWORD stack[8];
  for (unsigned stored = 0; stored < 4; ++stored) {
    debugPieces().clear();
    fake_->walkCalls = 0;
    fake_->frameCount = stored;
    fake_->frames[0] = 0x8000AB00;
    fake_->walkError = 0x1E7;
    EXPECT_TRUE(quor::captureStack(stack, 8));
    EXPECT_EQ(stack[0], stored);
    if (stored <= 1) {
      ASSERT_EQ(debugPieces().size(), 1u) << stored;
      const DWORD pc = static_cast<DWORD>(fake_->pc.Offset);
      char expected[64];
      std::snprintf(expected, sizeof expected, "StackWalk: failed 0x1e7 @0x%08X\n",
                    stored == 0 ? pc : 0x8000AB00u);
      EXPECT_EQ(debugPieces()[0], expected);
    } else {
      EXPECT_TRUE(debugPieces().empty()) << joinedDebugText();
    }
  }
  // Cut at capacity - 1, silently, the extra frame not stored.
  debugPieces().clear();
  fake_->walkCalls = 0;
  fake_->frameCount = 10;
  EXPECT_TRUE(quor::captureStack(stack, 4));
  EXPECT_EQ(stack[0], 3u);
  EXPECT_EQ(fake_->walkCalls, 4u);
  EXPECT_TRUE(debugPieces().empty());
}

TEST_F(DbgHelpFake, FaultsInsideTheLibraryAreCaughtAndReported) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  debugPieces().clear();
  fake_->frames[0] = 0xA1;
  fake_->frames[1] = 0xA2;
  fake_->frameCount = 8;
  fake_->faultOnCall = 3;
  DWORD stack[8];
  EXPECT_TRUE(quor::captureStack(stack, 8));
  EXPECT_EQ(stack[0], 2u) << "the frames before the fault stay";
  EXPECT_EQ(stack[1], 0xA1u);
  EXPECT_EQ(stack[2], 0xA2u);
  ASSERT_EQ(debugPieces().size(), 1u);
  EXPECT_EQ(debugPieces()[0], "StackWalk got Exception\n");

  fake_->symbolFound = true;
  fake_->symbolName = "faulty";
  fake_->moduleFound = true;
  fake_->imageName = "faulty.dll";
  fake_->faultInLineQuery = true;
  debugPieces().clear();
  EXPECT_EQ(symbolize(0x4000), "0x0000000000004000 faulty() + 0x0\n  faulty.dll\n");
  ASSERT_EQ(debugPieces().size(), 1u);
  EXPECT_EQ(debugPieces()[0], "got Exception\n");

  // Both operations left the lock and the symbol buffer free again.
  EXPECT_TRUE(lockIsFree());
  fake_->faultInLineQuery = false;
  fake_->faultOnCall = 0;
  fake_->walkCalls = 0;
  EXPECT_TRUE(quor::captureStack(stack, 8));
  EXPECT_EQ(stack[0], 7u);
}

TEST_F(DbgHelpFake, SymbolLinesAndWhatTheQueriesAreGiven) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  fake_->symbolFound = true;
  fake_->symbolName = "ns::Widget::paint";
  fake_->displacement = 0x100000034ull;  // only the low 32 bits are printed
  fake_->moduleFound = true;
  fake_->imageName = "C:\\app\\widget.dll";
  fake_->lineFound = true;
  fake_->fileName = "widget.cpp";
  fake_->lineNumber = 4294967295u;
  EXPECT_EQ(symbolize(0x80001234u),
            "0x0000000080001234 ns::Widget::paint() + 0x34\n  C:\\app\\widget.dll\n"
            "  widget.cpp(4294967295)\n");
  EXPECT_EQ(fake_->symbolQueryAddress, 0xFFFFFFFF80001234ull) << "sign-extended";
  EXPECT_EQ(fake_->moduleQueryAddress, 0xFFFFFFFF80001234ull);
  EXPECT_EQ(fake_->lineQueryAddress, 0xFFFFFFFF80001234ull);
  EXPECT_EQ(fake_->symbolSizeOfStruct, 10485760u);
  EXPECT_EQ(fake_->symbolMaxNameLength, 10485728u);
  EXPECT_EQ(fake_->moduleSizeOfStruct, 1672u);
  EXPECT_EQ(fake_->lineSizeOfStruct, 24u);
  symbolize(0x7FFFFFFF);
  EXPECT_EQ(fake_->symbolQueryAddress, 0x7FFFFFFFull);

  fake_->fileName = nullptr;
  fake_->lineNumber = 12;
  EXPECT_EQ(symbolize(0x401000),
            "0x0000000000401000 ns::Widget::paint() + 0x34\n  C:\\app\\widget.dll\n  (NULL)(12)\n");
  fake_->lineFound = false;
  EXPECT_EQ(symbolize(0x401000),
            "0x0000000000401000 ns::Widget::paint() + 0x34\n  C:\\app\\widget.dll\n");
  fake_->symbolFound = false;
  fake_->moduleFound = false;
  EXPECT_EQ(symbolize(0x401000), "0x0000000000401000\n  <Unknown Module>\n");
}

TEST_F(DbgHelpFake, ReportPrintsEachStoredFrameThroughTheSymboliser) {
  fake_->symbolFound = true;
  fake_->symbolName = "site";
  fake_->moduleFound = true;
  fake_->imageName = "app.exe";
  fake_->frames[0] = 0x10;
  fake_->frames[1] = 0x20;
  fake_->frameCount = 2;
  quor::logMemoryEvent("malloc", 1, 0x1000, 16, 0);  // start-up
  fake_->walkCalls = 0;
  quor::logMemoryEvent("memalign", 0xDEADBEEF, 0xFFFF0000u, 4294967295u, 0xBEEF);
  debugPieces().clear();
  quor::reportLeak(0xDEADBEEF, 0xFFFF0000u, 4294967295u);
  const std::string expected =
      "<<memalign>>: {0xDEADBEEF} 0xFFFF0000, 4294967295 bytes. region 0xBEEF\n"
      "0x0000000000000010 site() + 0x0\n  app.exe\n"
      "0x0000000000000020 site() + 0x0\n  app.exe\n";
  EXPECT_EQ(readText(reportPath()), expected);
  EXPECT_EQ(joinedDebugText(), expected);
  ASSERT_EQ(debugPieces().size(), 3u) << "one piece for the record line, one per frame";
}

}  // namespace
