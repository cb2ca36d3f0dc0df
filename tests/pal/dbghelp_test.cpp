// The Linux dbghelp.dll, loaded from beside this program and bound by name as the debug-help
// module does.
#include <dbghelp.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "pal_test.h"

// Functions with known names, compiled like the whole test without frame pointers: the walk must
// get through them by their unwind tables. level2 even puts a garbage value in ebp while it calls
// level3, so that no frame-pointer chain exists at all at the point of capture. noipa keeps each
// a real call under its own name.
namespace walk {

typedef int (*WalkFn)(void* data);

__attribute__((noipa)) int level3(WalkFn walker, void* data) { return walker(data) + 1; }

__attribute__((noipa)) int level2(WalkFn walker, void* data) {
  // ebp is callee-saved: saved (as the unwind table says) and restored, garbage in between.
  __asm__ __volatile__("movl $0x13572468, %%ebp" ::: "ebp");
  return level3(walker, data) + 1;
}

__attribute__((noipa)) int level1(WalkFn walker, void* data) { return level2(walker, data) + 1; }

__attribute__((noipa)) void* returnAddress() { return __builtin_return_address(0); }

// Return addresses inside each of them, for names that undecoration must get right.
void *g_insideTwice, *g_insideScaled;

template <typename T>
struct Holder {
  __attribute__((noipa)) T twice(T value) const {
    g_insideTwice = returnAddress();
    return value + value;
  }
};

// A function template's mangled name carries its return type: "int walk::scaled<int>(int)".
template <typename T>
__attribute__((noipa)) T scaled(T value) {
  g_insideScaled = returnAddress();
  return value * 5;
}

}  // namespace walk

namespace {

template <typename F>
F bind(HMODULE module, const char* name, int* bound) {
  FARPROC entry = GetProcAddress(module, name);
  *bound += entry != nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(entry));
}

#define DBGHELP_ENTRY(member, name) \
  decltype(&name) member = bind<decltype(&name)>(module, #name, &bound)

struct Api {
  HMODULE module = LoadLibraryA("dbghelp.dll");
  int bound = 0;
  DBGHELP_ENTRY(setOptions, SymSetOptions);
  DBGHELP_ENTRY(getOptions, SymGetOptions);
  DBGHELP_ENTRY(initialize, SymInitialize);
  DBGHELP_ENTRY(cleanup, SymCleanup);
  DBGHELP_ENTRY(functionTable, SymFunctionTableAccess64);
  DBGHELP_ENTRY(moduleBase, SymGetModuleBase64);
  DBGHELP_ENTRY(symbol, SymGetSymFromAddr64);
  DBGHELP_ENTRY(line, SymGetLineFromAddr64);
  DBGHELP_ENTRY(moduleInfo, SymGetModuleInfo64);
  DBGHELP_ENTRY(stackWalk, StackWalk64);
  DBGHELP_ENTRY(enumerate, SymEnumerateModules64);
};

const HANDLE kSelf = GetCurrentProcess();

uintptr_t addressOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

using paltest::errorOf;

class Dbghelp : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_NE(api_.module, nullptr) << "dbghelp.dll beside the test: " << GetLastError();
    ASSERT_EQ(api_.bound, 11);
    ASSERT_TRUE(api_.initialize(kSelf, nullptr, TRUE));
  }
  void TearDown() override {
    if (api_.module == nullptr) return;
    api_.cleanup(kSelf);
    FreeLibrary(api_.module);
  }

  // The undecorated name at an address, "" when the lookup fails.
  std::string nameAt(uintptr_t address, DWORD64* displacement = nullptr) {
    alignas(8) char buffer[sizeof(IMAGEHLP_SYMBOL64) + 512] = {};
    IMAGEHLP_SYMBOL64* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer);
    symbol->SizeOfStruct = sizeof buffer;
    symbol->MaxNameLength = 512;
    DWORD64 offset = 0;
    if (!api_.symbol(kSelf, address, &offset, symbol)) return "";
    if (displacement != nullptr) *displacement = offset;
    return symbol->Name;
  }

  BOOL step(STACKFRAME64* frame, DWORD machine = IMAGE_FILE_MACHINE_I386,
            PREAD_PROCESS_MEMORY_ROUTINE64 reader = nullptr) {
    return api_.stackWalk(machine, kSelf, GetCurrentThread(), frame, nullptr, reader,
                          api_.functionTable, api_.moduleBase, nullptr);
  }

  Api api_;
};

struct Walk {
  Dbghelp* test;
  PREAD_PROCESS_MEMORY_ROUTINE64 reader = nullptr;
  std::vector<STACKFRAME64> frames;
  DWORD endError = 0;
};

// Walks as the debug-help module does: context captured here, one StackWalk64 call per frame.
__attribute__((noinline)) int walkHere(void* data) {
  Walk* walk = static_cast<Walk*>(data);
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_ALL;
  RtlCaptureContext(&context);
  STACKFRAME64 frame = {};
  frame.AddrPC = {context.Eip, 0, AddrModeFlat};
  frame.AddrFrame = {context.Ebp, 0, AddrModeFlat};
  frame.AddrStack = {context.Esp, 0, AddrModeFlat};
  while (walk->frames.size() < 200 &&
         walk->test->step(&frame, IMAGE_FILE_MACHINE_I386, walk->reader))
    walk->frames.push_back(frame);
  walk->endError = GetLastError();
  return static_cast<int>(walk->frames.size());
}

TEST_F(Dbghelp, WalksOneFramePerCallThroughCodeWithoutFramePointers) {
  Walk here{this, nullptr, {}};
  walk::level1(walkHere, &here);
  ASSERT_GE(here.frames.size(), 5u) << "walk ended with error " << here.endError;
  const char* expected[] = {"(anonymous namespace)::walkHere", "walk::level3", "walk::level2",
                            "walk::level1",
                            "(anonymous namespace)::Dbghelp_"
                            "WalksOneFramePerCallThroughCodeWithoutFramePointers_Test::TestBody"};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(nameAt(here.frames[i].AddrPC.Offset), expected[i]);
  // Each frame names its caller's pc, and the stack pointer only moves up.
  for (size_t i = 0; i + 1 < here.frames.size(); ++i) {
    EXPECT_EQ(here.frames[i].AddrReturn.Offset, here.frames[i + 1].AddrPC.Offset) << i;
    EXPECT_LT(here.frames[i].AddrStack.Offset, here.frames[i + 1].AddrStack.Offset) << i;
  }
  // The walk reaches the program's entry and ends there, with a reason.
  EXPECT_EQ(here.endError, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(here.frames.back().AddrReturn.Offset, 0u);
  EXPECT_NE(here.frames[1].FuncTableEntry, nullptr);
}

BOOL CALLBACK refuseReads(HANDLE, DWORD64, PVOID, DWORD, LPDWORD read) {
  *read = 0;
  return FALSE;
}

TEST_F(Dbghelp, WalkFailuresCarryAnError) {
  // The caller's memory routine is used for every read: refusing them all ends the walk after
  // the first frame, which needs no read.
  Walk refused{this, refuseReads, {}};
  walk::level1(walkHere, &refused);
  EXPECT_EQ(refused.frames.size(), 1u);
  EXPECT_EQ(refused.endError, static_cast<DWORD>(ERROR_NOACCESS));

  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = 0x10;  // in no module
  EXPECT_EQ(errorOf(step(&frame)), ERROR_INVALID_ADDRESS);
  EXPECT_EQ(errorOf(step(nullptr)), ERROR_INVALID_PARAMETER);
}

TEST_F(Dbghelp, SymbolsAreUndecoratedToQualifiedNames) {
  EXPECT_EQ(walk::Holder<int>().twice(21), 42);
  EXPECT_EQ(walk::scaled(3), 15);
  EXPECT_EQ(nameAt(addressOf(walk::g_insideTwice) - 1), "walk::Holder<int>::twice");
  EXPECT_EQ(nameAt(addressOf(walk::g_insideScaled) - 1), "walk::scaled<int>");
  const uintptr_t level2 = addressOf(reinterpret_cast<void*>(&walk::level2));
  DWORD64 displacement = 99;
  EXPECT_EQ(nameAt(level2 + 2, &displacement), "walk::level2");
  EXPECT_EQ(displacement, 2u);
  DWORD options = api_.getOptions();
  api_.setOptions(options & ~SYMOPT_UNDNAME);
  EXPECT_EQ(nameAt(level2), "_ZN4walk6level2EPFiPvES0_") << "undecoration off: the linker's";
  api_.setOptions(options);
  ASSERT_TRUE(api_.cleanup(kSelf));
  EXPECT_FALSE(api_.cleanup(kSelf)) << "cleaned up already";
  EXPECT_EQ(nameAt(level2), "") << "queries need SymInitialize";
  ASSERT_TRUE(api_.initialize(kSelf, nullptr, TRUE));

  // A name longer than MaxNameLength is cut, NUL-terminated.
  alignas(8) char buffer[sizeof(IMAGEHLP_SYMBOL64) + 16];
  memset(buffer, 'x', sizeof buffer);
  IMAGEHLP_SYMBOL64* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer);
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol->MaxNameLength = 6;
  DWORD64 offset = 0;
  ASSERT_TRUE(api_.symbol(kSelf, level2, &offset, symbol));
  EXPECT_STREQ(symbol->Name, "walk::");
  EXPECT_EQ(symbol->Address, level2);
  EXPECT_EQ(errorOf(api_.symbol(kSelf, 0x10, &offset, symbol)), ERROR_MOD_NOT_FOUND);
}

TEST_F(Dbghelp, LinesComeFromDwarf) {
  int expectedLine = __LINE__ + 1;  // the line of the call below
  uintptr_t call = addressOf(walk::returnAddress()) - 1;
  IMAGEHLP_LINE64 line = {};
  line.SizeOfStruct = sizeof line;
  DWORD displacement = 12345;
  ASSERT_TRUE(api_.line(kSelf, call, &displacement, &line));
  EXPECT_EQ(std::string(line.FileName).substr(std::string(line.FileName).rfind('/')),
            "/dbghelp_test.cpp");
  EXPECT_EQ(line.LineNumber, static_cast<DWORD>(expectedLine));
  EXPECT_EQ(line.Address + displacement, call);
  EXPECT_FALSE(api_.line(kSelf, 0x10, &displacement, &line));
}

BOOL CALLBACK collect(PCSTR name, DWORD64 base, PVOID context) {
  auto* listed = static_cast<std::vector<std::pair<std::string, DWORD64>>*>(context);
  listed->emplace_back(name, base);
  return listed->size() < 2;  // FALSE ends the enumeration
}

TEST_F(Dbghelp, ModulesAreListedExecutableFirstAndFoundBySignExtendedAddresses) {
  const uintptr_t inProgram = addressOf(reinterpret_cast<void*>(&walk::level1));
  const uintptr_t inLibrary = addressOf(reinterpret_cast<void*>(api_.initialize));
  const uintptr_t libraryBase = addressOf(api_.module);  // HMODULE is the base
  IMAGEHLP_MODULE64 info = {};
  info.SizeOfStruct = 1672;
  ASSERT_TRUE(api_.moduleInfo(kSelf, inProgram, &info));
  EXPECT_STREQ(info.ModuleName, "pal_dbghelp_test");
  EXPECT_EQ(info.BaseOfImage, api_.moduleBase(kSelf, inProgram));
  EXPECT_GT(info.BaseOfImage + info.ImageSize, inProgram);
  ASSERT_TRUE(api_.moduleInfo(kSelf, inLibrary, &info));
  EXPECT_STREQ(info.ModuleName, "dbghelp");
  EXPECT_EQ(info.BaseOfImage, libraryBase);
  std::vector<std::pair<std::string, DWORD64>> listed;
  ASSERT_TRUE(api_.enumerate(kSelf, collect, &listed));
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].first, "pal_dbghelp_test");
  EXPECT_EQ(listed[0].second, api_.moduleBase(kSelf, inProgram));

  // A 32-bit address with its top bit set arrives sign-extended; above 32 bits is no address.
  DWORD64 widened = inLibrary >= 0x80000000u ? (0xFFFFFFFF00000000ull | inLibrary) : inLibrary;
  EXPECT_EQ(api_.moduleBase(kSelf, widened), libraryBase);
  EXPECT_EQ(api_.moduleBase(kSelf, 0x100000000ull | inLibrary), 0u);
  EXPECT_EQ(api_.moduleBase(kSelf, 0xFFFFFFFF00000000ull | (inProgram & 0x7FFFFFFFu)), 0u);
  info.SizeOfStruct = 100;
  EXPECT_EQ(errorOf(api_.moduleInfo(kSelf, inProgram, &info)), ERROR_INVALID_PARAMETER);
  info.SizeOfStruct = 1672;
  EXPECT_EQ(errorOf(api_.moduleInfo(kSelf, 0x10, &info)), ERROR_MOD_NOT_FOUND);
}

}  // namespace
