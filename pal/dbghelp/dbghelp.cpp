// The Linux "dbghelp.dll": the debug-help entry points the quorkit modules bind at run time, for
// the calling process only, with Windows' x86 records and last-error behaviour.
//
// Differences from Windows, deliberate:
// - Only the calling process can be inspected (hProcess must be GetCurrentProcess()), and the
//   walk reads only the calling thread's stack unless a ReadMemoryRoutine is given.
// - Symbols come from ELF symbol tables and lines from DWARF, read by libbacktrace; there is no
//   symbol search path (UserSearchPath is ignored) and no symbol server.
// - MiniDumpWriteDump exists so that binding finds it, and fails: Linux has no minidumps.
#include <pal/scoped_lock.h>

#include "dbghelp_internal.h"

#include <string.h>

#define DBGHELP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace dbghelp;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
bool g_initialized = false;
DWORD g_options = SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES;

bool isCurrentProcess(HANDLE process) { return reinterpret_cast<intptr_t>(process) == -1; }

// The Sym* queries need SymInitialize for this process first, as on Windows.
bool checkInitialized(HANDLE process) {
  pal::ScopedLock lock(g_lock);
  if (!isCurrentProcess(process) || !g_initialized) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

// Addresses are 32-bit here; a 64-bit address is either zero-extended or sign-extended from 32
// bits (debug-help callers sign-extend addresses at or above 0x80000000).
bool toAddress(DWORD64 address, uintptr_t* out) {
  uint32_t high = static_cast<uint32_t>(address >> 32);
  uint32_t low = static_cast<uint32_t>(address);
  if (high != 0 && !(high == 0xffffffffu && (low & 0x80000000u))) return false;
  *out = low;
  return true;
}

// What the address queries check first, in Windows' order: SymInitialize done for this process,
// a usable record, a loaded module at the address. False with the last error set otherwise.
bool queryModule(HANDLE process, DWORD64 qwAddr, bool recordUsable, uintptr_t* address,
                 ModuleRecord* module) {
  if (!checkInitialized(process)) return false;
  if (!recordUsable) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!toAddress(qwAddr, address) || !findModule(*address, module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  return true;
}

void copyText(char* out, size_t outSize, const char* in) {
  if (outSize == 0) return;
  size_t length = strlen(in);
  if (length >= outSize) length = outSize - 1;
  memcpy(out, in, length);
  out[length] = '\0';
}

// ---- The walk's state between calls ----------------------------------------------------------
//
// StackWalk64 reports the frame given on the first call and unwinds on each later one. What the
// next call needs (the caller's registers, computed when AddrReturn was filled) lives in words
// the caller does not use: STACKFRAME64.Reserved and KdHelp.Reserved (KdHelp serves kernel-mode
// walks only). A frame whose AddrPC is not the one this walk reported last starts a new walk, so
// a reused record set to a new starting point is not taken for a walk in progress.

constexpr uint32_t kStateMagic = 0x51574B36;  // marks a frame that this walk has filled
constexpr int kStateWords = 16;

struct WalkState {
  uint32_t magic;
  uint32_t reportedPc;  // AddrPC as this walk left it: anything else is a new walk
  uint32_t flags;
  uint32_t endError;  // why there is no caller (0: there is one)
  uint32_t valid;
  uint32_t value[kRegisterCount];
};
static_assert(sizeof(WalkState) <= kStateWords * 4, "walk state fits the reserved words");
constexpr uint32_t kCallerPcIsExact = 1;

uint32_t* stateWord(LPSTACKFRAME64 frame, int index) {
  if (index < 6) return reinterpret_cast<uint32_t*>(frame->Reserved) + index;
  return reinterpret_cast<uint32_t*>(frame->KdHelp.Reserved) + (index - 6);
}

void saveState(LPSTACKFRAME64 frame, const WalkState& state) {
  uint32_t words[kStateWords] = {};
  memcpy(words, &state, sizeof state);
  for (int i = 0; i < kStateWords; ++i) *stateWord(frame, i) = words[i];
}

bool loadState(LPSTACKFRAME64 frame, WalkState* state) {
  uint32_t words[kStateWords];
  for (int i = 0; i < kStateWords; ++i) words[i] = *stateWord(frame, i);
  memcpy(state, words, sizeof *state);
  return state->magic == kStateMagic;
}

DWORD errorFor(StepResult result) {
  switch (result) {
    case StepResult::Ok: return ERROR_SUCCESS;
    case StepResult::End: return ERROR_NO_MORE_ITEMS;
    case StepResult::NoUnwindData: return ERROR_INVALID_ADDRESS;
    case StepResult::BadRead: return ERROR_NOACCESS;
    case StepResult::BadFrame: return ERROR_INVALID_ADDRESS;
  }
  return ERROR_INVALID_FUNCTION;
}

bool pcInModule(HANDLE process, uintptr_t pc, PGET_MODULE_BASE_ROUTINE64 moduleBase) {
  if (pc == 0) return false;
  if (moduleBase != nullptr) return moduleBase(process, pc) != 0;
  ModuleRecord module;
  return findModuleRange(pc, &module);
}

// Fills the reported fields of the frame whose registers are regs, and works out its caller.
void report(LPSTACKFRAME64 frame, const Registers& regs, bool pcIsExact, const MemoryReader& memory,
            HANDLE process, PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTable) {
  uintptr_t pc = regs.value[EIP];
  frame->AddrPC.Offset = pc;
  frame->AddrPC.Mode = AddrModeFlat;
  frame->AddrStack.Offset = regs.has(ESP) ? regs.value[ESP] : 0;
  frame->AddrStack.Mode = AddrModeFlat;
  frame->AddrFrame.Offset = regs.has(EBP) ? regs.value[EBP] : 0;
  frame->AddrFrame.Mode = AddrModeFlat;
  frame->Far = FALSE;
  frame->Virtual = FALSE;

  Registers caller = regs;
  bool callerPcIsExact = false;
  const uint8_t* fde = nullptr;
  StepResult step = unwindStep(&caller, pcIsExact, memory, &callerPcIsExact, &fde);
  // A routine of the caller's own is asked; this library's own would find the entry just used
  // again (when SymInitialize has been called, which it requires).
  if (functionTable == nullptr) {
    frame->FuncTableEntry = const_cast<uint8_t*>(fde);
  } else if (functionTable == &SymFunctionTableAccess64) {
    pal::ScopedLock lock(g_lock);
    frame->FuncTableEntry = g_initialized ? const_cast<uint8_t*>(fde) : nullptr;
  } else {
    frame->FuncTableEntry = functionTable(process, pc);
  }
  WalkState state = {};
  state.magic = kStateMagic;
  state.reportedPc = static_cast<uint32_t>(pc);
  state.endError = errorFor(step);
  if (step == StepResult::Ok) {
    state.valid = caller.valid;
    memcpy(state.value, caller.value, sizeof state.value);
    if (callerPcIsExact) state.flags |= kCallerPcIsExact;
    frame->AddrReturn.Offset = caller.value[EIP];
    // The arguments as the caller pushed them: the first words above the return address.
    for (int i = 0; i < 4; ++i) {
      uint32_t word = 0;
      memory.read32(caller.value[ESP] + 4u * static_cast<uint32_t>(i), &word);
      frame->Params[i] = word;
    }
  } else {
    frame->AddrReturn.Offset = 0;
    for (DWORD64& param : frame->Params) param = 0;
  }
  frame->AddrReturn.Mode = AddrModeFlat;
  saveState(frame, state);
}

}  // namespace

DBGHELP_EXPORT BOOL WINAPI StackWalk64(DWORD MachineType, HANDLE hProcess, HANDLE hThread,
                                       LPSTACKFRAME64 StackFrame, PVOID ContextRecord,
                                       PREAD_PROCESS_MEMORY_ROUTINE64 ReadMemoryRoutine,
                                       PFUNCTION_TABLE_ACCESS_ROUTINE64 FunctionTableAccessRoutine,
                                       PGET_MODULE_BASE_ROUTINE64 GetModuleBaseRoutine,
                                       PTRANSLATE_ADDRESS_ROUTINE64 TranslateAddress) {
  (void)hThread;           // the registers come from the frame (and context), not from the thread
  (void)TranslateAddress;  // only 16-bit addresses need translating
  if (StackFrame == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (MachineType != IMAGE_FILE_MACHINE_I386) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  MemoryReader memory = {ReadMemoryRoutine, hProcess, 0, 0};
  if (ReadMemoryRoutine == nullptr) {
    if (!isCurrentProcess(hProcess)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    currentStackBounds(&memory.stackLow, &memory.stackHigh);
  }

  Registers regs = {};
  bool pcIsExact = false;
  WalkState state;
  bool continuing = loadState(StackFrame, &state) &&
                    state.reportedPc == static_cast<uint32_t>(StackFrame->AddrPC.Offset);
  if (!continuing) {
    // First call: the frame given is the first frame reported.
    if (ContextRecord != nullptr) {
      const CONTEXT* context = static_cast<const CONTEXT*>(ContextRecord);
      regs.set(EAX, context->Eax);
      regs.set(ECX, context->Ecx);
      regs.set(EDX, context->Edx);
      regs.set(EBX, context->Ebx);
      regs.set(ESI, context->Esi);
      regs.set(EDI, context->Edi);
    }
    uintptr_t pc;
    uintptr_t stack;
    uintptr_t framePointer;
    if (!toAddress(StackFrame->AddrPC.Offset, &pc) ||
        !toAddress(StackFrame->AddrStack.Offset, &stack) ||
        !toAddress(StackFrame->AddrFrame.Offset, &framePointer)) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    regs.set(EIP, static_cast<uint32_t>(pc));
    regs.set(ESP, static_cast<uint32_t>(stack));
    regs.set(EBP, static_cast<uint32_t>(framePointer));
  } else {
    if (state.endError != ERROR_SUCCESS) {
      SetLastError(state.endError);
      return FALSE;
    }
    regs.valid = state.valid;
    memcpy(regs.value, state.value, sizeof regs.value);
    pcIsExact = (state.flags & kCallerPcIsExact) != 0;
  }
  if (!pcInModule(hProcess, regs.value[EIP], GetModuleBaseRoutine)) {
    SetLastError(regs.value[EIP] == 0 ? ERROR_NO_MORE_ITEMS : ERROR_INVALID_ADDRESS);
    // Later calls keep failing the same way.
    WalkState end = {};
    end.magic = kStateMagic;
    end.reportedPc = static_cast<uint32_t>(StackFrame->AddrPC.Offset);
    end.endError = GetLastError();
    saveState(StackFrame, end);
    return FALSE;
  }
  report(StackFrame, regs, pcIsExact, memory, hProcess, FunctionTableAccessRoutine);
  return TRUE;
}

DBGHELP_EXPORT DWORD WINAPI SymSetOptions(DWORD SymOptions) {
  pal::ScopedLock lock(g_lock);
  g_options = SymOptions;
  return g_options;
}

DBGHELP_EXPORT DWORD WINAPI SymGetOptions(void) {
  pal::ScopedLock lock(g_lock);
  return g_options;
}

DBGHELP_EXPORT BOOL WINAPI SymInitialize(HANDLE hProcess, PCSTR UserSearchPath,
                                         BOOL fInvadeProcess) {
  (void)UserSearchPath;
  (void)fInvadeProcess;  // every loaded module is always known: dl_iterate_phdr lists them all
  if (!isCurrentProcess(hProcess)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  refreshSymbolTables();
  pal::ScopedLock lock(g_lock);
  g_initialized = true;
  return TRUE;
}

DBGHELP_EXPORT BOOL WINAPI SymCleanup(HANDLE hProcess) {
  pal::ScopedLock lock(g_lock);
  if (!isCurrentProcess(hProcess) || !g_initialized) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  g_initialized = false;
  return TRUE;
}

DBGHELP_EXPORT PVOID WINAPI SymFunctionTableAccess64(HANDLE hProcess, DWORD64 AddrBase) {
  uintptr_t address;
  if (!checkInitialized(hProcess)) return nullptr;
  if (!toAddress(AddrBase, &address)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  // The module's unwind entry (FDE) for the address: what a function table entry is here.
  const uint8_t* entry = findFde(address);
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  return const_cast<uint8_t*>(entry);
}

DBGHELP_EXPORT DWORD64 WINAPI SymGetModuleBase64(HANDLE hProcess, DWORD64 qwAddr) {
  uintptr_t address;
  if (!checkInitialized(hProcess)) return 0;
  ModuleRecord module;
  if (!toAddress(qwAddr, &address) || !findModuleRange(address, &module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return module.base;
}

DBGHELP_EXPORT BOOL WINAPI SymGetSymFromAddr64(HANDLE hProcess, DWORD64 qwAddr,
                                               PDWORD64 pdwDisplacement,
                                               PIMAGEHLP_SYMBOL64 Symbol) {
  uintptr_t address;
  ModuleRecord module;
  if (!queryModule(hProcess, qwAddr, Symbol != nullptr, &address, &module)) return FALSE;
  bool undecorate = (SymGetOptions() & SYMOPT_UNDNAME) != 0;
  uintptr_t start = 0;
  uintptr_t size = 0;
  // MaxNameLength counts the characters of the name without its NUL; Name[1] has room for one
  // more than the header declares, which is where that NUL goes.
  if (!symbolize(address, Symbol->Name, static_cast<size_t>(Symbol->MaxNameLength) + 1, &start,
                 &size, undecorate)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  Symbol->Address = start;
  Symbol->Size = static_cast<DWORD>(size);
  Symbol->Flags = 0;
  if (pdwDisplacement != nullptr) *pdwDisplacement = address - start;
  return TRUE;
}

DBGHELP_EXPORT BOOL WINAPI SymGetLineFromAddr64(HANDLE hProcess, DWORD64 qwAddr,
                                                PDWORD pdwDisplacement, PIMAGEHLP_LINE64 Line64) {
  uintptr_t address;
  ModuleRecord module;
  if (!queryModule(hProcess, qwAddr, Line64 != nullptr, &address, &module)) return FALSE;
  const char* file = nullptr;
  int line = 0;
  uintptr_t lineStart = address;
  if (!(SymGetOptions() & SYMOPT_LOAD_LINES) || !lineOf(address, &file, &line, &lineStart)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  Line64->Key = nullptr;
  Line64->LineNumber = static_cast<DWORD>(line);
  Line64->FileName =
      const_cast<PCHAR>(file);  // libbacktrace keeps its strings for the process's life
  Line64->Address = lineStart;
  if (pdwDisplacement != nullptr) *pdwDisplacement = static_cast<DWORD>(address - lineStart);
  return TRUE;
}

DBGHELP_EXPORT BOOL WINAPI SymGetModuleInfo64(HANDLE hProcess, DWORD64 qwAddr,
                                              PIMAGEHLP_MODULE64 ModuleInfo) {
  // Older callers pass the shorter records of earlier versions: fill what their size covers.
  // Later ones pass 1,680 bytes (MachineType and Reserved follow Publics).
  constexpr DWORD kShortest =
      offsetof(IMAGEHLP_MODULE64, LoadedImageName) + sizeof ModuleInfo->LoadedImageName;
  constexpr DWORD kWithMachine = sizeof(IMAGEHLP_MODULE64) + 8;
  const bool usable = ModuleInfo != nullptr && ModuleInfo->SizeOfStruct >= kShortest &&
                      ModuleInfo->SizeOfStruct <= kWithMachine;
  uintptr_t address;
  ModuleRecord module;
  if (!queryModule(hProcess, qwAddr, usable, &address, &module)) return FALSE;
  IMAGEHLP_MODULE64 info;
  memset(&info, 0, sizeof info);
  info.SizeOfStruct = ModuleInfo->SizeOfStruct;
  info.BaseOfImage = module.base;
  info.ImageSize = static_cast<DWORD>(module.end - module.base);
  info.SymType = SymDeferred;
  shortModuleName(module.path, info.ModuleName, sizeof info.ModuleName);
  copyText(info.ImageName, sizeof info.ImageName, module.path);
  copyText(info.LoadedImageName, sizeof info.LoadedImageName, module.path);
  info.LineNumbers = TRUE;
  info.GlobalSymbols = TRUE;
  DWORD filled = ModuleInfo->SizeOfStruct < sizeof info ? ModuleInfo->SizeOfStruct
                                                        : static_cast<DWORD>(sizeof info);
  memcpy(ModuleInfo, &info, filled);
  if (ModuleInfo->SizeOfStruct == kWithMachine) {
    DWORD machine[2] = {IMAGE_FILE_MACHINE_I386, 0};
    memcpy(reinterpret_cast<char*>(ModuleInfo) + sizeof info, machine, sizeof machine);
  }
  return TRUE;
}

DBGHELP_EXPORT BOOL WINAPI SymEnumerateModules64(HANDLE hProcess,
                                                 PSYM_ENUMMODULES_CALLBACK64 EnumModulesCallback,
                                                 PVOID UserContext) {
  if (!checkInitialized(hProcess)) return FALSE;
  if (EnumModulesCallback == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Listed first and called back after: the callback may query modules itself, and the dynamic
  // linker's list must not be held while foreign code runs.
  static ModuleRecord modules[256];
  static pthread_mutex_t listLock = PTHREAD_MUTEX_INITIALIZER;
  pal::ScopedLock lock(listLock);
  size_t count = listModules(modules, sizeof modules / sizeof modules[0]);
  for (size_t i = 0; i < count; ++i) {
    char name[64];
    shortModuleName(modules[i].path, name, sizeof name);
    if (!EnumModulesCallback(name, modules[i].base, UserContext)) break;
  }
  return TRUE;
}

DBGHELP_EXPORT BOOL WINAPI
MiniDumpWriteDump(HANDLE hProcess, DWORD ProcessId, HANDLE hFile, MINIDUMP_TYPE DumpType,
                  const PMINIDUMP_EXCEPTION_INFORMATION ExceptionParam,
                  const PMINIDUMP_USER_STREAM_INFORMATION UserStreamParam,
                  const PMINIDUMP_CALLBACK_INFORMATION CallbackParam) {
  (void)hProcess;
  (void)ProcessId;
  (void)hFile;
  (void)DumpType;
  (void)ExceptionParam;
  (void)UserStreamParam;
  (void)CallbackParam;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
