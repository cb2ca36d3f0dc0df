// The debug-help module against a scripted dbghelp.dll (fake_dbghelp.cpp) beside the executable:
// the texts and log bytes it makes of answers the real library cannot be made to give on cue,
// and, with the scripted copy taken for the system directory's, the module without debug help.
#include <libgen.h>

#include <regex>
#include <tuple>

#include "debug/dbghelp_fixture.h"
#include "debug/fake_dbghelp.h"

using namespace quortest;

namespace {

class DbgHelpFake : public DbgHelpTest {
 protected:
  void SetUp() override {
    DbgHelpTest::SetUp();
    // A reference of our own, so that the script can be set before start-up enumerates.
    library_ = LoadLibraryA("dbghelp.dll");
    fake_ = reinterpret_cast<FakeDbgHelpControl*>(GetProcAddress(library_, "fakeDbgHelp"));
    *fake_ = FakeDbgHelpControl{};
    fake_->moduleName = "fake_module";
    fake_->moduleBase = 0x0000000112345678ull;
  }
  void TearDown() override {
    DbgHelpTest::TearDown();
    FreeLibrary(library_);
  }

  HMODULE library_ = nullptr;
  FakeDbgHelpControl* fake_ = nullptr;
};

TEST_F(DbgHelpFake, LogListsModulesAndFramesAndTheWalkReportsAFailureOnlyBeforeTheSecond) {
  const std::vector<uint32_t> frames = {0x8000AB00, 0x2222, 0x3333, 0x4444, 0x5555};
  std::copy(frames.begin(), frames.end(), fake_->frames);
  fake_->walkError = 0x1E7;
  quor::logMemoryEvent("malloc", 1, 0x1000, 16, 0);  // starts the module
  // Five frames: a 32-byte stack block (the count, five addresses, 8 zero bytes), silently.
  pieces().clear();
  fake_->frameCount = 5;
  quor::logMemoryEvent("memalign", 0xDEADBEEF, 0xFFFF0000u, 4294967295u, 0xBEEF);
  const std::vector<LogBlock> blocks = parseLog(readFile(logPath()));
  ASSERT_EQ(blocks.size(), 3u);
  // The one module, whose information query fails, under its enumerated name and the base's low
  // 32 bits in a 2,100-byte block.
  EXPECT_TRUE(blocks[0].length == 2100 && blocks[0].names[0] == "fake_module" &&
              blocks[0].values[0] == 0x12345678u);
  EXPECT_TRUE(blocks[2].values == frames && blocks[2].length == 64 && said().empty()) << said();
  // A walk that fails is told on the channel only while it has stored fewer than two frames.
  const char* const expected[] = {"StackWalk: failed 0x1e7 @0x[0-9A-F]{8}\n",
                                  "StackWalk: failed 0x1e7 @0x8000AB00\n", "", ""};
  DWORD stack[8];
  for (unsigned stored = 0; stored < 4; ++stored) {
    pieces().clear();
    fake_->walkCalls = 0;
    fake_->frameCount = stored;
    EXPECT_TRUE(quor::captureStack(stack, 8) && stack[0] == stored);
    EXPECT_TRUE(std::regex_match(said(), std::regex(expected[stored])) && pieces().size() <= 1)
        << stored << said();
  }
  // A fault inside the walk keeps the frames before it, and is said once.
  pieces().clear();
  fake_->walkCalls = 0;
  fake_->faultOnCall = 3;
  EXPECT_TRUE(quor::captureStack(stack, 8));
  EXPECT_TRUE(stack[0] == 2 && stack[1] == frames[0] && stack[2] == frames[1]) << stack[0];
  EXPECT_EQ(pieces(), std::vector<std::string>{"StackWalk got Exception\n"});
  EXPECT_TRUE(lockIsFree());
  EXPECT_TRUE(quor::terminateDbgHelp());
  EXPECT_EQ(fake_->cleanupCalls, 1u);
}

TEST_F(DbgHelpFake, SymbolLinesFollowWhatEachQueryFinds) {
  ASSERT_TRUE(quor::initializeDbgHelp());
  // Each: the symbol, image and file found, whether a line is, the address and its text.
  const std::tuple<const char*, const char*, const char*, bool, DWORD, const char*> cases[] = {
      {"ns::W::paint", "C:\\app\\w.dll", "w.cpp", true, 0x80001234u,
       "0x0000000080001234 ns::W::paint() + 0x34\n  C:\\app\\w.dll\n  w.cpp(4294967295)\n"},
      {"f", "m.dll", nullptr, true, 0x401000,
       "0x0000000000401000 f() + 0x34\n  m.dll\n  (NULL)(4294967295)\n"},
      {"f", "m.dll", nullptr, false, 0x7FFFFFFF, "0x000000007FFFFFFF f() + 0x34\n  m.dll\n"},
      {nullptr, nullptr, "w.cpp", false, 0x401000, "0x0000000000401000\n  <Unknown Module>\n"},
  };
  fake_->displacement = 0x100000034ull;  // only the low 32 bits are printed
  fake_->lineNumber = 4294967295u;
  for (const auto& [symbol, image, file, line, address, text] : cases) {
    fake_->symbolName = symbol;
    fake_->imageName = image;
    fake_->fileName = file;
    fake_->lineFound = line;
    EXPECT_EQ(symbolOf(address), text);
    // The upper half reaches the library sign-extended.
    const DWORD64 asked = address >= 0x80000000u ? 0xFFFFFFFF00000000ull | address : address;
    EXPECT_TRUE(fake_->symbolQuery == asked && fake_->moduleQuery == asked &&
                fake_->lineQuery == asked)
        << text;
  }
  // A fault in the last query keeps the lines before it, and is said once.
  fake_->faultInLineQuery = true;
  pieces().clear();
  EXPECT_EQ(symbolOf(0x4000), "0x0000000000004000\n  <Unknown Module>\n");
  EXPECT_EQ(pieces(), std::vector<std::string>{"got Exception\n"});
  EXPECT_TRUE(lockIsFree());
}

TEST_F(DbgHelpFake, CopyInTheSystemDirectoryIsRefusedAndTheModuleRunsWithout) {
  std::string directory = executablePath();
  directory = dirname(&directory[0]);
  pal_set_system_directory(directory.c_str());
  quor::logMemoryEvent("malloc", 0x41, 0x1000, 8, 2);  // starts the module
  EXPECT_EQ(quor::_dbgHelp.hDbgHelp, nullptr);
  // Each message in pieces: the copy's path as the loader found it, the advice, the listing.
  ASSERT_EQ(pieces().size(), 21u) << said();
  const std::string copy = pieces()[1];
  EXPECT_TRUE(copy.rfind(directory, 0) == 0 && copy.find("dbghelp.dll") == copy.size() - 11);
  std::string expected = "'" + copy + "' doesn't work well, almost. !! ignored !!\n" +
                         "please copy newest dbghelp.dll to same directory '" + executablePath() +
                         "'\n";
  for (size_t i = 0; i < 12; ++i) expected += std::string(kEntryLabels[i]) + ": 00000000\n";
  EXPECT_EQ(said().substr(0, expected.size()), expected);
  EXPECT_TRUE(std::regex_match(pieces()[20], std::regex("RtlCaptureContext: [0-9A-F]{8}\n")) &&
              pieces()[20] != "RtlCaptureContext: 00000000\n");

  // Capture and symbols fail softly and silently; events get empty stacks, no module block.
  pieces().clear();
  DWORD stack[16];
  char text[64];
  std::fill(stack, stack + 16, 0xAAu);
  std::memset(text, 'x', sizeof text);
  EXPECT_FALSE(quor::captureStack(stack, 16) || quor::symbolizeAddress(0x1000, text, sizeof text));
  EXPECT_TRUE(std::count(stack, stack + 16, 0u) == 16 && std::count(text, text + 64, '\0') == 64);
  quor::logMemoryEvent("new_array", 0x42, 0x2000, 24, 3);
  const std::vector<LogBlock> blocks = parseLog(readFile(logPath()));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(blocks[0].id == 0x41 && blocks[0].values.empty() && blocks[1].values.empty());
  quor::reportLeak(0x42, 0x2000, 24);
  const std::string line = "<<realloc>>: {0x00000042} 0x00002000, 24 bytes. region 0x0003\n";
  EXPECT_EQ(readFile(reportPath()) + said(), line + line);
  expectShutDown();
}

}  // namespace
