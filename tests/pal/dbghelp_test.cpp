// The Linux dbghelp.dll, loaded from beside this program as the debug-help module loads it:
// binding, the one-frame-per-call walk through code without frame pointers, symbols, lines,
// module data and the failures the module meets.
#include <dbghelp.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <string>
#include <string.h>
#include <vector>

#include "dbghelp_frames.h"

namespace {

const char* const kEntryPoints[] = {"SymSetOptions",
                                    "SymGetOptions",
                                    "SymInitialize",
                                    "SymCleanup",
                                    "SymFunctionTableAccess64",
                                    "SymGetModuleBase64",
                                    "SymGetSymFromAddr64",
                                    "SymGetLineFromAddr64",
                                    "SymGetModuleInfo64",
                                    "StackWalk64",
                                    "SymEnumerateModules64",
                                    "MiniDumpWriteDump"};

template <typename F>
F entry(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

#define DBGHELP_ENTRY(member, name) decltype(&name) member = entry<decltype(&name)>(module, #name)

// The library bound by name, as the debug-help module binds it.
struct Api {
  HMODULE module = LoadLibraryA("dbghelp.dll");
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
  DBGHELP_ENTRY(miniDump, MiniDumpWriteDump);
};

class DbghelpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(api_.module, nullptr) << "dbghelp.dll beside the test: " << GetLastError();
    ASSERT_TRUE(api_.initialize(GetCurrentProcess(), nullptr, TRUE));
  }
  void TearDown() override {
    if (api_.module == nullptr) return;
    api_.cleanup(GetCurrentProcess());
    FreeLibrary(api_.module);
  }

  // The undecorated name at an address, "" when the lookup fails.
  std::string nameAt(uintptr_t address, DWORD64* displacement = nullptr) {
    alignas(8) char buffer[sizeof(IMAGEHLP_SYMBOL64) + 512];
    memset(buffer, 0, sizeof buffer);
    IMAGEHLP_SYMBOL64* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer);
    symbol->SizeOfStruct = sizeof buffer;
    symbol->MaxNameLength = 512;
    DWORD64 offset = 0;
    if (!api_.symbol(GetCurrentProcess(), address, &offset, symbol)) return "";
    if (displacement != nullptr) *displacement = offset;
    return symbol->Name;
  }

  Api api_;
};

// ---- The walk -----------------------------------------------------------------------------------

struct WalkResult {
  Api* api;
  std::vector<STACKFRAME64> frames;
  DWORD endError = 0;
  PREAD_PROCESS_MEMORY_ROUTINE64 reader = nullptr;
};

// Walks as the debug-help module does: context captured here, one StackWalk64 call per frame.
__attribute__((noinline)) int walkHere(void* data) {
  WalkResult* result = static_cast<WalkResult*>(data);
  CONTEXT context;
  memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_ALL;
  RtlCaptureContext(&context);
  STACKFRAME64 frame;
  memset(&frame, 0, sizeof frame);
  frame.AddrPC.Offset = context.Eip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Esp;
  frame.AddrStack.Mode = AddrModeFlat;
  for (int i = 0; i < 200; ++i) {
    if (!result->api->stackWalk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(),
                                &frame, nullptr, result->reader, result->api->functionTable,
                                result->api->moduleBase, nullptr)) {
      result->endError = GetLastError();
      break;
    }
    result->frames.push_back(frame);
  }
  return static_cast<int>(result->frames.size());
}

TEST_F(DbghelpTest, BindsTwelveEntryPoints) {
  for (const char* name : kEntryPoints)
    EXPECT_NE(GetProcAddress(api_.module, name), nullptr) << name;
  ASSERT_NE(api_.miniDump, nullptr);
  EXPECT_FALSE(
      api_.miniDump(GetCurrentProcess(), 0, nullptr, MiniDumpNormal, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(api_.getOptions() & SYMOPT_UNDNAME);
  EXPECT_EQ(GetProcAddress(api_.module, "backtrace_create_state"),
            nullptr);  // internals stay inside
}

TEST_F(DbghelpTest, WalksOneFramePerCallThroughCodeWithoutFramePointers) {
  WalkResult result;
  result.api = &api_;
  walk::level1(walkHere, &result);
  ASSERT_GE(result.frames.size(), 5u) << "walk ended with error " << result.endError;
  EXPECT_EQ(nameAt(result.frames[0].AddrPC.Offset), "(anonymous namespace)::walkHere");
  EXPECT_EQ(nameAt(result.frames[1].AddrPC.Offset), "walk::level3");
  EXPECT_EQ(nameAt(result.frames[2].AddrPC.Offset), "walk::level2");
  EXPECT_EQ(nameAt(result.frames[3].AddrPC.Offset), "walk::level1");
  EXPECT_EQ(
      nameAt(result.frames[4].AddrPC.Offset),
      "(anonymous "
      "namespace)::DbghelpTest_WalksOneFramePerCallThroughCodeWithoutFramePointers_Test::TestBody");
  // Each frame names its caller's pc, and the stack pointer only moves up.
  for (size_t i = 0; i + 1 < result.frames.size(); ++i) {
    EXPECT_EQ(result.frames[i].AddrReturn.Offset, result.frames[i + 1].AddrPC.Offset) << i;
    EXPECT_LT(result.frames[i].AddrStack.Offset, result.frames[i + 1].AddrStack.Offset) << i;
    EXPECT_EQ(result.frames[i].AddrPC.Mode, AddrModeFlat);
  }
  // The walk reaches the program's entry and ends there, with a reason.
  EXPECT_LT(result.frames.size(), 200u);
  EXPECT_EQ(result.endError, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(result.frames.back().AddrReturn.Offset, 0u);
  EXPECT_NE(result.frames[1].FuncTableEntry, nullptr);
}

void* walkOnThread(void* data) {
  walk::level1(walkHere, data);
  return nullptr;
}

TEST_F(DbghelpTest, WalksAnotherThreadToItsStart) {
  WalkResult result;
  result.api = &api_;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, walkOnThread, &result), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  ASSERT_GE(result.frames.size(), 5u) << "walk ended with error " << result.endError;
  EXPECT_EQ(nameAt(result.frames[3].AddrPC.Offset), "walk::level1");
  EXPECT_EQ(nameAt(result.frames[4].AddrPC.Offset), "(anonymous namespace)::walkOnThread");
  EXPECT_LT(result.frames.size(), 20u);
  EXPECT_EQ(result.endError, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

BOOL CALLBACK refuseReads(HANDLE, DWORD64, PVOID, DWORD, LPDWORD read) {
  *read = 0;
  return FALSE;
}

TEST_F(DbghelpTest, WalkFailuresCarryAnError) {
  // The caller's memory routine is used for every read: refusing them all ends the walk after
  // the first frame, which needs no read.
  WalkResult result;
  result.api = &api_;
  result.reader = refuseReads;
  walk::level1(walkHere, &result);
  EXPECT_EQ(result.frames.size(), 1u);
  EXPECT_EQ(result.endError, static_cast<DWORD>(ERROR_NOACCESS));

  STACKFRAME64 frame;
  memset(&frame, 0, sizeof frame);
  frame.AddrPC.Offset = 0x10;  // in no module
  EXPECT_FALSE(api_.stackWalk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(),
                              &frame, nullptr, nullptr, api_.functionTable, api_.moduleBase,
                              nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_FALSE(api_.stackWalk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(),
                              &frame, nullptr, nullptr, api_.functionTable, api_.moduleBase,
                              nullptr));  // stays failed
  // The same record pointed at a new start is a new walk, not the failed one resumed.
  WalkResult fresh;
  fresh.api = &api_;
  walk::level1(walkHere, &fresh);
  ASSERT_GE(fresh.frames.size(), 2u);
  frame.AddrPC.Offset = fresh.frames[1].AddrPC.Offset;
  frame.AddrStack.Offset = fresh.frames[1].AddrStack.Offset;
  EXPECT_TRUE(api_.stackWalk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(),
                             &frame, nullptr, nullptr, api_.functionTable, api_.moduleBase,
                             nullptr));
  EXPECT_EQ(frame.AddrPC.Offset, fresh.frames[1].AddrPC.Offset);
  memset(&frame, 0, sizeof frame);
  EXPECT_FALSE(api_.stackWalk(0x8664, GetCurrentProcess(), GetCurrentThread(), &frame, nullptr,
                              nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(api_.stackWalk(IMAGE_FILE_MACHINE_I386, GetCurrentProcess(), GetCurrentThread(),
                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- Symbols, lines, modules
// ---------------------------------------------------------------------

TEST_F(DbghelpTest, SymbolsAreUndecoratedToQualifiedNames) {
  walk::Holder<int> holder;
  EXPECT_EQ(holder.twice(21), 42);
  walk::Functor functor;
  EXPECT_EQ(functor(2), 7);
  EXPECT_EQ(nameAt(reinterpret_cast<uintptr_t>(walk::g_insideTwice) - 1),
            "walk::Holder<int>::twice");
  EXPECT_EQ(nameAt(reinterpret_cast<uintptr_t>(walk::g_insideFunctor) - 1),
            "walk::Functor::operator()");
  EXPECT_EQ(walk::scaled(3), 15);
  EXPECT_EQ(nameAt(reinterpret_cast<uintptr_t>(walk::g_insideScaled) - 1), "walk::scaled<int>");
  DWORD64 displacement = 99;
  EXPECT_EQ(nameAt(reinterpret_cast<uintptr_t>(&walk::level2) + 2, &displacement), "walk::level2");
  EXPECT_EQ(displacement, 2u);
  EXPECT_EQ(nameAt(reinterpret_cast<uintptr_t>(&walk_plain_c)),
            "walk_plain_c");  // C names stay as they are

  // Undecoration off: the linker's name.
  DWORD options = api_.getOptions();
  api_.setOptions(options & ~SYMOPT_UNDNAME);
  EXPECT_EQ(nameAt(reinterpret_cast<uintptr_t>(&walk::level2)), "_ZN4walk6level2EPFiPvES0_");
  api_.setOptions(options);

  // A name longer than MaxNameLength is cut, NUL-terminated.
  alignas(8) char buffer[sizeof(IMAGEHLP_SYMBOL64) + 16];
  memset(buffer, 'x', sizeof buffer);
  IMAGEHLP_SYMBOL64* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(buffer);
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  symbol->MaxNameLength = 6;
  DWORD64 offset = 0;
  ASSERT_TRUE(api_.symbol(GetCurrentProcess(), reinterpret_cast<uintptr_t>(&walk::level2), &offset,
                          symbol));
  EXPECT_STREQ(symbol->Name, "walk::");
  EXPECT_EQ(symbol->Address, reinterpret_cast<uintptr_t>(&walk::level2));

  // No module at the address.
  EXPECT_FALSE(api_.symbol(GetCurrentProcess(), 0x10, &offset, symbol));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(DbghelpTest, LinesComeFromDwarf) {
  // The line the call below stands on.
  int expectedLine = __LINE__ + 1;
  uintptr_t call = reinterpret_cast<uintptr_t>(walk::returnAddress()) - 1;
  IMAGEHLP_LINE64 line;
  memset(&line, 0, sizeof line);
  line.SizeOfStruct = sizeof line;
  DWORD displacement = 12345;
  ASSERT_TRUE(api_.line(GetCurrentProcess(), call, &displacement, &line));
  ASSERT_NE(line.FileName, nullptr);
  std::string file = line.FileName;
  EXPECT_EQ(file.substr(file.rfind('/') + 1), "dbghelp_test.cpp");
  EXPECT_EQ(line.LineNumber, static_cast<DWORD>(expectedLine));
  EXPECT_EQ(line.Address + displacement, call);
  EXPECT_LT(displacement, 256u);

  EXPECT_FALSE(api_.line(GetCurrentProcess(), 0x10, &displacement, &line));
}

TEST_F(DbghelpTest, ModuleDataAndSignExtendedAddresses) {
  uintptr_t inProgram = reinterpret_cast<uintptr_t>(&walk::level1);
  IMAGEHLP_MODULE64 info;
  memset(&info, 0, sizeof info);
  info.SizeOfStruct = 1672;
  ASSERT_TRUE(api_.moduleInfo(GetCurrentProcess(), inProgram, &info));
  char exe[1024];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  EXPECT_STREQ(info.ImageName, exe);
  EXPECT_STREQ(info.LoadedImageName, exe);
  EXPECT_STREQ(info.ModuleName, "pal_dbghelp_test");
  DWORD64 base = api_.moduleBase(GetCurrentProcess(), inProgram);
  EXPECT_EQ(info.BaseOfImage, base);
  EXPECT_LE(base, inProgram);
  EXPECT_GT(base + info.ImageSize, inProgram);

  uintptr_t inLibrary = reinterpret_cast<uintptr_t>(reinterpret_cast<void*>(api_.initialize));
  ASSERT_TRUE(api_.moduleInfo(GetCurrentProcess(), inLibrary, &info));
  std::string loaded = info.LoadedImageName;
  EXPECT_EQ(loaded.substr(loaded.rfind('/') + 1), "dbghelp.dll");
  EXPECT_STREQ(info.ModuleName, "dbghelp");
  EXPECT_EQ(info.BaseOfImage, reinterpret_cast<uintptr_t>(api_.module));  // HMODULE is the base

  // 64-bit addresses: a 32-bit address with its top bit set arrives sign-extended.
  DWORD64 widened = inLibrary >= 0x80000000u ? (0xFFFFFFFF00000000ull | inLibrary) : inLibrary;
  EXPECT_EQ(api_.moduleBase(GetCurrentProcess(), widened),
            reinterpret_cast<uintptr_t>(api_.module));
  EXPECT_EQ(api_.moduleBase(GetCurrentProcess(), 0x100000000ull | inLibrary),
            0u);  // not a 32-bit address

  info.SizeOfStruct = 100;
  EXPECT_FALSE(api_.moduleInfo(GetCurrentProcess(), inProgram, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  info.SizeOfStruct = 1672;
  EXPECT_FALSE(api_.moduleInfo(GetCurrentProcess(), 0x10, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

struct Listed {
  std::vector<std::string> names;
  std::vector<DWORD64> bases;
  size_t stopAfter = 1000;
};

BOOL CALLBACK collect(PCSTR name, DWORD64 base, PVOID context) {
  Listed* listed = static_cast<Listed*>(context);
  listed->names.push_back(name);
  listed->bases.push_back(base);
  return listed->names.size() < listed->stopAfter;
}

TEST_F(DbghelpTest, EnumeratesEveryModuleExecutableFirst) {
  Listed listed;
  ASSERT_TRUE(api_.enumerate(GetCurrentProcess(), collect, &listed));
  ASSERT_GE(listed.names.size(), 4u);  // program, dbghelp.dll, libstdc++, libc at least
  EXPECT_EQ(listed.names[0], "pal_dbghelp_test");
  EXPECT_EQ(listed.bases[0],
            api_.moduleBase(GetCurrentProcess(), reinterpret_cast<uintptr_t>(&walk::level1)));
  bool sawLibrary = false;
  bool sawC = false;
  for (size_t i = 0; i < listed.names.size(); ++i) {
    if (listed.names[i] == "dbghelp")
      sawLibrary = listed.bases[i] == reinterpret_cast<uintptr_t>(api_.module);
    if (listed.names[i] == "libc") sawC = true;
  }
  EXPECT_TRUE(sawLibrary);
  EXPECT_TRUE(sawC);

  Listed first;
  first.stopAfter = 1;  // the callback's FALSE ends the enumeration
  EXPECT_TRUE(api_.enumerate(GetCurrentProcess(), collect, &first));
  EXPECT_EQ(first.names.size(), 1u);
}

TEST_F(DbghelpTest, QueriesNeedSymInitialize) {
  uintptr_t inProgram = reinterpret_cast<uintptr_t>(&walk::level1);
  ASSERT_TRUE(api_.cleanup(GetCurrentProcess()));
  EXPECT_FALSE(api_.cleanup(GetCurrentProcess()));
  EXPECT_EQ(api_.moduleBase(GetCurrentProcess(), inProgram), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(nameAt(inProgram), "");
  EXPECT_FALSE(
      api_.initialize(reinterpret_cast<HANDLE>(0x1234), nullptr, TRUE));  // another process
  ASSERT_TRUE(api_.initialize(GetCurrentProcess(), nullptr, TRUE));
  EXPECT_EQ(nameAt(inProgram), "walk::level1");
}

}  // namespace
