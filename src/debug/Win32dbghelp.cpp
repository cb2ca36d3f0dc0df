// Win32dbghelp: binding of the debug-help library, stack capture and symbols, the binary
// allocation log and the leak report read back from it. See Win32dbghelp.h for the contract.
//
// The module calls the Win32 API by its own names. On Windows that is the system (and whatever
// dbghelp.dll the loader finds); on Linux the PAL provides the same names and its own
// dbghelp.dll, so this file compiles unchanged for both.
//
// Nothing on the logging and capture paths allocates: every buffer is made once at start-up or
// lives in the module's state, because a build that wires logMemoryEvent into the memory
// services must not recurse into them.
#include "debug/Win32dbghelp.h"

#include <fault_guard.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "ModuleId.h"

QUOR_MODULE_ID(kWin32dbghelpModuleId, "Win32dbghelp.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

DbgHelpState _dbgHelp;

namespace {

static_assert(kModuleTableSize == 264192, "the module table holds 128 padded entries");
static_assert(sizeof(IMAGEHLP_MODULE64) >= kModuleInfoQuerySize,
              "the module query may fill 1,672 bytes of the record");
static_assert(sizeof(IMAGEHLP_LINE64) >= kLineInfoQuerySize, "the line query fills 24 bytes");
static_assert(CONTEXT_ALL == 0x1003F, "the walk asks for the full x86 context");

// Scratch size of one formatted symbol line; wsprintfA never writes more than 1,024 anyway.
constexpr DWORD kScratchLineSize = 4096;

// GetProcAddress gives a FARPROC; going through void(*)(void), the one function type that
// matches every other, keeps -Wcast-function-type quiet without hiding a real mismatch
// elsewhere.
template <typename Fn>
Fn resolveEntry(HMODULE module, const char* name) {
  FARPROC proc = GetProcAddress(module, name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc));
}

template <typename Fn>
void listEntry(const char* label, Fn entry) {
  char line[128];
  wsprintfA(line, "%s: %p\n", label, reinterpret_cast<void*>(entry));
  OutputDebugStringA(line);
}

// Appends `tail` to the NUL-terminated `path` of `size` characters, or empties `path` when it
// would not fit, so that a too-long name can only make CreateFileA fail.
void appendOrClear(char* path, DWORD size, const char* tail) {
  if (path[0] == '\0') return;
  if (static_cast<DWORD>(std::strlen(path) + std::strlen(tail)) >= size) {
    path[0] = '\0';
    return;
  }
  lstrcatA(path, tail);
}

// The executable's full path into `path`; empty when the call fails or the path was cut.
void executablePath(char* path, DWORD size) {
  std::memset(path, 0, size);
  DWORD length = GetModuleFileNameA(nullptr, path, size);
  if (length == 0 || length >= size) path[0] = '\0';
}

// The copy of dbghelp.dll in the system directory is the operating system's own, which is
// too old for the walk on the systems this was written for; only a copy found elsewhere (as a
// rule beside the executable) is kept. Refusal clears the handle.
void vetDbgHelpCopy() {
  char loaded[kModuleNameSize];
  char system[kModuleNameSize];
  std::memset(loaded, 0, sizeof loaded);
  std::memset(system, 0, sizeof system);
  GetModuleFileNameA(_dbgHelp.hDbgHelp, loaded, kModuleNameSize - 1);
  GetSystemDirectoryA(system, kModuleNameSize - 1);
  // "\\dbghelp.dll" is 12 characters; a system directory too long for it cannot name the copy.
  if (std::strlen(system) + 12 >= kModuleNameSize) return;
  lstrcatA(system, "\\");
  lstrcatA(system, "dbghelp.dll");
  if (lstrcmpiA(loaded, system) != 0) return;

  FreeLibrary(_dbgHelp.hDbgHelp);
  _dbgHelp.hDbgHelp = nullptr;
  OutputDebugStringA("'");
  OutputDebugStringA(loaded);
  OutputDebugStringA("'");
  OutputDebugStringA(" doesn't work well, almost. !! ignored !!\n");
  std::memset(loaded, 0, sizeof loaded);
  GetModuleFileNameA(nullptr, loaded, kModuleNameSize - 1);
  OutputDebugStringA("please copy newest dbghelp.dll to same directory '");
  OutputDebugStringA(loaded);
  OutputDebugStringA("'");
  OutputDebugStringA("\n");
}

void resolveDbgHelpApi() {
  HMODULE m = _dbgHelp.hDbgHelp;
  DbgHelpApi& api = _dbgHelp.api;
  api.SymSetOptions = resolveEntry<SymSetOptionsFn>(m, "SymSetOptions");
  api.SymGetOptions = resolveEntry<SymGetOptionsFn>(m, "SymGetOptions");
  api.SymInitialize = resolveEntry<SymInitializeFn>(m, "SymInitialize");
  api.SymCleanup = resolveEntry<SymCleanupFn>(m, "SymCleanup");
  api.SymFunctionTableAccess64 =
      resolveEntry<PFUNCTION_TABLE_ACCESS_ROUTINE64>(m, "SymFunctionTableAccess64");
  api.SymGetModuleBase64 = resolveEntry<PGET_MODULE_BASE_ROUTINE64>(m, "SymGetModuleBase64");
  api.SymGetSymFromAddr64 = resolveEntry<SymGetSymFromAddr64Fn>(m, "SymGetSymFromAddr64");
  api.SymGetLineFromAddr64 = resolveEntry<SymGetLineFromAddr64Fn>(m, "SymGetLineFromAddr64");
  api.SymGetModuleInfo64 = resolveEntry<SymGetModuleInfo64Fn>(m, "SymGetModuleInfo64");
  api.StackWalk64 = resolveEntry<StackWalk64Fn>(m, "StackWalk64");
  api.SymEnumerateModules64 = resolveEntry<SymEnumerateModules64Fn>(m, "SymEnumerateModules64");
  api.MiniDumpWriteDump = GetProcAddress(m, "MiniDumpWriteDump");
}

// Listed whether or not the library was kept, so the debugger channel always shows what the
// walk will have to work with. The 64-bit forms are listed without their "64".
void listDbgHelpApi() {
  const DbgHelpApi& api = _dbgHelp.api;
  listEntry("SymSetOptions", api.SymSetOptions);
  listEntry("SymGetOptions", api.SymGetOptions);
  listEntry("SymInitialize", api.SymInitialize);
  listEntry("SymCleanup", api.SymCleanup);
  listEntry("SymFunctionTableAccess", api.SymFunctionTableAccess64);
  listEntry("SymGetModuleBase", api.SymGetModuleBase64);
  listEntry("SymGetSymFromAddr", api.SymGetSymFromAddr64);
  listEntry("SymGetLineFromAddr", api.SymGetLineFromAddr64);
  listEntry("SymGetModuleInfo", api.SymGetModuleInfo64);
  listEntry("StackWalk", api.StackWalk64);
  listEntry("SymEnumerateModules", api.SymEnumerateModules64);
  listEntry("MiniDumpWriteDump", api.MiniDumpWriteDump);
}

// The record buffer and the module table stay locked from creation to shutdown: a moveable,
// zero-initialised block, its pointer kept and (when one was obtained) filled with zeros.
template <typename T>
void createLockedBlock(HLOCAL& handle, T*& pointer, DWORD size) {
  handle = LocalAlloc(kLocalMemoryFlags, size);
  pointer = handle ? static_cast<T*>(LocalLock(handle)) : nullptr;
  if (pointer) std::memset(pointer, 0, size);
}

// Their release: unlocked when the pointer is set, freed when the handle is set, both cleared.
template <typename T>
void destroyLockedBlock(HLOCAL& handle, T*& pointer) {
  if (pointer) {
    LocalUnlock(handle);
    pointer = nullptr;
  }
  if (handle) {
    LocalFree(handle);
    handle = nullptr;
  }
}

void writeLog(const void* data, DWORD length) {
  DWORD written = 0;
  WriteFile(_dbgHelp.hLogFile, data, length, &written, nullptr);
}

// Reads `length` bytes of the log into `dest`, which has room for `room` bytes. A block longer
// than the room is read in room-sized pieces over the same bytes: the report only has to get
// past it. A failed read or one that gives no byte ends it; a short read counts as full.
bool readSpan(HANDLE log, BYTE* dest, DWORD room, unsigned long long length) {
  if (room == 0) return false;
  while (length > 0) {
    DWORD piece = length < room ? static_cast<DWORD>(length) : room;
    DWORD got = 0;
    if (!ReadFile(log, dest, piece, &got, nullptr) || got == 0) return false;
    length -= piece;
  }
  return true;
}

void emitReportText(std::FILE* report, const char* text) {
  if (report) std::fputs(text, report);
  OutputDebugStringA(text);
}

}  // namespace

// ---- Binding --------------------------------------------------------------------------------

bool initializeDbgHelp() {
  if (_dbgHelp.hDbgHelp) return false;
  if (_dbgHelp.lockCreated) return false;

  InitializeCriticalSection(&_dbgHelp.lock);
  _dbgHelp.lockCreated = true;

  _dbgHelp.hDbgHelp = LoadLibraryA("dbghelp.dll");
  if (_dbgHelp.hDbgHelp) vetDbgHelpCopy();
  if (_dbgHelp.hDbgHelp) resolveDbgHelpApi();
  listDbgHelpApi();

  _dbgHelp.hKernel32 = LoadLibraryA("kernel32.dll");
  if (_dbgHelp.hKernel32) {
    _dbgHelp.pRtlCaptureContext =
        resolveEntry<RtlCaptureContextFn>(_dbgHelp.hKernel32, "RtlCaptureContext");
  }
  listEntry("RtlCaptureContext", _dbgHelp.pRtlCaptureContext);

  _dbgHelp.hSymbolBuffer = LocalAlloc(kLocalMemoryFlags, kSymbolBufferSize);
  void* symbolMemory = _dbgHelp.hSymbolBuffer ? LocalLock(_dbgHelp.hSymbolBuffer) : nullptr;
  if (!symbolMemory) return false;
  std::memset(symbolMemory, 0, kSymbolHeaderSize);
  PIMAGEHLP_SYMBOL64 symbol = static_cast<PIMAGEHLP_SYMBOL64>(symbolMemory);
  // The whole buffer, not the header, is declared to the library: names may use all of it.
  symbol->SizeOfStruct = kSymbolBufferSize;
  symbol->MaxNameLength = kSymbolBufferSize - kSymbolHeaderSize;
  LocalUnlock(_dbgHelp.hSymbolBuffer);

  if (_dbgHelp.api.SymInitialize) _dbgHelp.api.SymInitialize(GetCurrentProcess(), nullptr, TRUE);

  createRecordBuffer();
  if (_dbgHelp.hDbgHelp) writeModuleList();
  return true;
}

bool terminateDbgHelp() {
  destroyModuleTable();
  destroyRecordBuffer();
  closeMemLog();
  if (_dbgHelp.api.SymCleanup) _dbgHelp.api.SymCleanup(GetCurrentProcess());
  if (_dbgHelp.hSymbolBuffer) {
    LocalFree(_dbgHelp.hSymbolBuffer);
    _dbgHelp.hSymbolBuffer = nullptr;
  }
  if (_dbgHelp.hKernel32) {
    _dbgHelp.pRtlCaptureContext = nullptr;
    FreeLibrary(_dbgHelp.hKernel32);
    _dbgHelp.hKernel32 = nullptr;
  }
  if (_dbgHelp.hDbgHelp) {
    _dbgHelp.api = DbgHelpApi{};
    FreeLibrary(_dbgHelp.hDbgHelp);
    _dbgHelp.hDbgHelp = nullptr;
  }
  if (_dbgHelp.lockCreated) {
    DeleteCriticalSection(&_dbgHelp.lock);
    _dbgHelp.lockCreated = false;
  }
  _dbgHelp.moduleCount = 0;
  return true;
}

void createRecordBuffer() {
  _dbgHelp.recordSize = kRecordSize;
  createLockedBlock(_dbgHelp.hRecordBuffer, _dbgHelp.pRecord, _dbgHelp.recordSize);
}

void destroyRecordBuffer() { destroyLockedBlock(_dbgHelp.hRecordBuffer, _dbgHelp.pRecord); }

void writeModuleList() {
  createLockedBlock(_dbgHelp.hModuleTable, _dbgHelp.pModuleTable, kModuleTableSize);
  _dbgHelp.moduleCount = 0;
  // Without the table or the record there is no module block to write; the log then holds
  // event blocks only, if any.
  if (!_dbgHelp.pModuleTable || !_dbgHelp.pRecord) return;

  if (_dbgHelp.api.SymEnumerateModules64) {
    _dbgHelp.api.SymEnumerateModules64(GetCurrentProcess(), enumModulesCallback, nullptr);
  }
  if (_dbgHelp.hLogFile == INVALID_HANDLE_VALUE) openMemLog();

  std::memset(_dbgHelp.pRecord, 0, _dbgHelp.recordSize);
  _dbgHelp.pRecord->code = MEMOP_MODULE;
  writeLog(_dbgHelp.pRecord, _dbgHelp.recordSize);
  writeLog(&_dbgHelp.moduleCount, sizeof _dbgHelp.moduleCount);
  // The table was zeroed, so the padding up to 16 comes from unused entries.
  writeLog(_dbgHelp.pModuleTable, static_cast<DWORD>(moduleTableLength(_dbgHelp.moduleCount)));
}

void destroyModuleTable() { destroyLockedBlock(_dbgHelp.hModuleTable, _dbgHelp.pModuleTable); }

BOOL CALLBACK enumModulesCallback(PCSTR moduleName, DWORD64 base, PVOID /*context*/) {
  // Modules past the table's 128 entries are left out of the listing: the report never needs
  // them and the block's length stays bounded.
  if (!_dbgHelp.pModuleTable || _dbgHelp.moduleCount >= kModuleTableEntries) return TRUE;

  ModuleEntry& entry = _dbgHelp.pModuleTable[_dbgHelp.moduleCount];
  entry.base = static_cast<DWORD>(base);
  lstrcpynA(entry.name, moduleName ? moduleName : "", kModuleNameSize);

  IMAGEHLP_MODULE64 info;
  std::memset(&info, 0, sizeof info);
  info.SizeOfStruct = kModuleInfoQuerySize;
  if (_dbgHelp.api.SymGetModuleInfo64 &&
      _dbgHelp.api.SymGetModuleInfo64(GetCurrentProcess(), base, &info)) {
    lstrcpynA(entry.name, info.LoadedImageName, kModuleNameSize);
  }
  ++_dbgHelp.moduleCount;
  return TRUE;
}

// ---- Capture and symbols -----------------------------------------------------------------------

// Kept out of line: the walk starts from the context captured here, and callers (the report
// included) count on the first frame being captureStack's own.
__attribute__((noinline)) bool captureStack(StackBuffer out, DWORD capacity) {
  if (!out) return false;
  std::memset(out, 0, static_cast<size_t>(capacity) * sizeof(DWORD));
  if (!_dbgHelp.hDbgHelp) return false;

  // Written inside the guarded block and read after it, also after a fault unwound it.
  volatile DWORD count = 0;
  HANDLE process = GetCurrentProcess();
  HANDLE thread = GetCurrentThread();
  if (!LocalLock(_dbgHelp.hSymbolBuffer)) return false;

  STACKFRAME64 frame;
  CONTEXT context;
  std::memset(&frame, 0, sizeof frame);
  std::memset(&context, 0, sizeof context);
  if (!_dbgHelp.pRtlCaptureContext) {
    LocalUnlock(_dbgHelp.hSymbolBuffer);
    return false;
  }
  context.ContextFlags = CONTEXT_ALL;
  _dbgHelp.pRtlCaptureContext(&context);
  frame.AddrPC.Offset = context.Eip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Esp;
  frame.AddrStack.Mode = AddrModeFlat;

  const DbgHelpApi& api = _dbgHelp.api;
  EnterCriticalSection(&_dbgHelp.lock);
  FAULT_GUARD_TRY {
    for (;;) {
      BOOL stepped = FALSE;
      if (api.StackWalk64) {
        stepped =
            api.StackWalk64(IMAGE_FILE_MACHINE_I386, process, thread, &frame, nullptr, nullptr,
                            api.SymFunctionTableAccess64, api.SymGetModuleBase64, nullptr);
      } else {
        SetLastError(ERROR_PROC_NOT_FOUND);
      }
      if (!stepped) {
        DWORD error = GetLastError();
        // Past the second frame a failing step is the ordinary end of the stack.
        if (count <= 1) {
          char message[128];
          wsprintfA(message, "StackWalk: failed 0x%x @0x%p\n", static_cast<unsigned int>(error),
                    reinterpret_cast<void*>(static_cast<DWORD_PTR>(frame.AddrPC.Offset)));
          OutputDebugStringA(message);
        }
        break;
      }
      if (count + 1 >= capacity) break;
      out[count + 1] = static_cast<DWORD>(frame.AddrPC.Offset);
      count = count + 1;
    }
  }
  FAULT_GUARD_EXCEPT { OutputDebugStringA("StackWalk got Exception\n"); }
  FAULT_GUARD_END
  out[0] = count;

  LeaveCriticalSection(&_dbgHelp.lock);
  LocalUnlock(_dbgHelp.hSymbolBuffer);
  return true;
}

bool symbolizeAddress(DWORD address, char* text, DWORD textSize) {
  if (!text) return false;
  std::memset(text, 0, textSize);
  if (!_dbgHelp.hDbgHelp) return false;

  HANDLE process = GetCurrentProcess();
  PIMAGEHLP_SYMBOL64 symbol = static_cast<PIMAGEHLP_SYMBOL64>(LocalLock(_dbgHelp.hSymbolBuffer));
  if (!symbol) return false;
  // Addresses in the upper half go to the library sign-extended, as a 32-bit process's
  // addresses are seen by the 64-bit interface; the lines still print the 32-bit value.
  const DWORD64 address64 = static_cast<DWORD64>(static_cast<LONGLONG>(static_cast<LONG>(address)));
  const DbgHelpApi& api = _dbgHelp.api;

  EnterCriticalSection(&_dbgHelp.lock);
  FAULT_GUARD_TRY {
    char line[kScratchLineSize];

    DWORD64 displacement = 0;
    if (api.SymGetSymFromAddr64 &&
        api.SymGetSymFromAddr64(process, address64, &displacement, symbol)) {
      wsprintfA(line, "0x%016X %s() + 0x%x\n", static_cast<unsigned int>(address), symbol->Name,
                static_cast<unsigned int>(displacement));
    } else {
      wsprintfA(line, "0x%016X\n", static_cast<unsigned int>(address));
    }
    lstrcatA(text, line);

    IMAGEHLP_MODULE64 module;
    std::memset(&module, 0, sizeof module);
    module.SizeOfStruct = kModuleInfoQuerySize;
    const bool moduleKnown =
        api.SymGetModuleInfo64 && api.SymGetModuleInfo64(process, address64, &module);
    wsprintfA(line, "  %s\n", moduleKnown ? module.ImageName : "<Unknown Module>");
    lstrcatA(text, line);

    IMAGEHLP_LINE64 source;
    std::memset(&source, 0, sizeof source);
    source.SizeOfStruct = kLineInfoQuerySize;
    DWORD lineDisplacement = 0;
    if (api.SymGetLineFromAddr64 &&
        api.SymGetLineFromAddr64(process, address64, &lineDisplacement, &source)) {
      wsprintfA(line, "  %s(%lu)\n", source.FileName ? source.FileName : "(NULL)",
                static_cast<unsigned long>(source.LineNumber));
      lstrcatA(text, line);
    }
  }
  FAULT_GUARD_EXCEPT { OutputDebugStringA("got Exception\n"); }
  FAULT_GUARD_END

  LeaveCriticalSection(&_dbgHelp.lock);
  LocalUnlock(_dbgHelp.hSymbolBuffer);
  return true;
}

// ---- Allocation log ---------------------------------------------------------------------------

namespace {

// The writer folds the new/delete families into the malloc-style codes, which is what the
// report's allocation test (codes 2 to 4) expects.
MemOp writtenCode(uint32_t code) {
  switch (code) {
    case MEMOP_NEW:
    case MEMOP_NEW_ARRAY: return MEMOP_REALLOC;
    case MEMOP_DELETE:
    case MEMOP_DELETE_ARRAY: return MEMOP_FREE;
    default: return static_cast<MemOp>(code);
  }
}

}  // namespace

MemOp getMemOpCode(const char* opName) {
  if (!opName) return MEMOP_NONE;
  // Exact, case-sensitive names; "none" and anything unknown are no operation.
  for (uint32_t code = MEMOP_MODULE; code < kMemOpCount; ++code) {
    if (std::strcmp(opName, kMemOpNames[code]) == 0) return writtenCode(code);
  }
  return MEMOP_NONE;
}

void openMemLog() {
  if (_dbgHelp.hLogFile != INVALID_HANDLE_VALUE) return;
  executablePath(_dbgHelp.logPath, kMemLogPathSize);
  appendOrClear(_dbgHelp.logPath, kMemLogPathSize, ".");
  appendOrClear(_dbgHelp.logPath, kMemLogPathSize, "MEM_LOG.bin");
  executablePath(_dbgHelp.reportPath, kMemLogPathSize);
  appendOrClear(_dbgHelp.reportPath, kMemLogPathSize, ".");
  appendOrClear(_dbgHelp.reportPath, kMemLogPathSize, "memleak.TXT");
  // Truncates the log of an earlier run; readable by others (the report) while it stays open.
  _dbgHelp.hLogFile = CreateFileA(_dbgHelp.logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void closeMemLog() {
  if (_dbgHelp.hLogFile == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(_dbgHelp.hLogFile);
  CloseHandle(_dbgHelp.hLogFile);
  _dbgHelp.hLogFile = INVALID_HANDLE_VALUE;
}

__attribute__((noinline)) void logMemoryEvent(const char* opName, DWORD id, DWORD address,
                                              DWORD size, unsigned short region) {
  captureStack(_dbgHelp.captureBuffer, kCaptureBufferWords);
  // Read before a lazy start-up, which cannot walk a stack it was not there for: the event
  // that starts the module is logged with an empty stack.
  const DWORD frames = _dbgHelp.captureBuffer[0];
  if (!_dbgHelp.pRecord) initializeDbgHelp();
  if (!_dbgHelp.pRecord) return;

  std::memset(_dbgHelp.pRecord, 0, _dbgHelp.recordSize);
  _dbgHelp.pRecord->code = getMemOpCode(opName);
  _dbgHelp.pRecord->id = id;
  _dbgHelp.pRecord->address = address;
  _dbgHelp.pRecord->size = size;
  _dbgHelp.pRecord->region = region;

  if (_dbgHelp.hLogFile == INVALID_HANDLE_VALUE) openMemLog();
  writeLog(_dbgHelp.pRecord, _dbgHelp.recordSize);
  // The capture zeroed the buffer, so the rounding to 16 writes zero words.
  writeLog(_dbgHelp.captureBuffer, static_cast<DWORD>(stackBlockLength(frames)));
}

// ---- Leak report ------------------------------------------------------------------------------

const char* getMemOpName(DWORD code) { return memOpName(code); }

bool readModuleBlock(HANDLE log, void* dest, DWORD capacity) {
  if (!log || log == INVALID_HANDLE_VALUE || !dest || capacity < sizeof(DWORD)) return false;
  DWORD got = 0;
  if (!ReadFile(log, dest, sizeof(DWORD), &got, nullptr) || got == 0) return false;
  // 64-bit arithmetic: a hostile count must not wrap into a short, plausible length.
  const unsigned long long length = moduleTableLength(*static_cast<DWORD*>(dest));
  if (length == 0) return true;
  return readSpan(log, static_cast<BYTE*>(dest), capacity, length);
}

bool readStackBlock(HANDLE log, void* dest, DWORD capacity) {
  if (!log || log == INVALID_HANDLE_VALUE || !dest || capacity < sizeof(DWORD)) return false;
  DWORD got = 0;
  if (!ReadFile(log, dest, sizeof(DWORD), &got, nullptr) || got == 0) return false;
  const unsigned long long frames = *static_cast<DWORD*>(dest);
  const unsigned long long rest = stackBlockLength(frames) - sizeof(DWORD);
  if (rest == 0) return true;
  // Word 0 keeps the count; an oversized block is skipped over words 1 on, and the report
  // then prints no frame of it (its count is 32,768 or more).
  return readSpan(log, static_cast<BYTE*>(dest) + sizeof(DWORD), capacity - sizeof(DWORD), rest);
}

namespace {

// The next block of the log into record and stack; false at the end of the log or at a block
// that cannot be read whole.
bool readNextBlock(HANDLE log, MemLogRecord* record, DWORD* stack) {
  DWORD got = 0;
  if (!ReadFile(log, record, _dbgHelp.recordSize, &got, nullptr) || got == 0) return false;
  return record->code == MEMOP_MODULE ? readModuleBlock(log, stack, sizeof _dbgHelp.captureBuffer)
                                      : readStackBlock(log, stack, sizeof _dbgHelp.captureBuffer);
}

// Reads the log from where it stands up to the allocation record of the block; false when the
// log ends first.
bool findAllocation(HANDLE log, MemLogRecord* record, DWORD* stack, DWORD id, DWORD address,
                    DWORD size) {
  while (readNextBlock(log, record, stack)) {
    const bool allocation = record->code == MEMOP_MALLOC || record->code == MEMOP_MEMALIGN ||
                            record->code == MEMOP_REALLOC;
    if (allocation && record->id == id && record->address == address && record->size == size) {
      return true;
    }
  }
  return false;
}

// The record's line and its symbolised frames, to the report and the debugger channel.
void printAllocation(std::FILE* report, const MemLogRecord& record, const DWORD* stack) {
  char line[kReportLineSize];
  wsprintfA(line, "<<%s>>: {0x%08X} 0x%p, %lu bytes. region 0x%04X\n", getMemOpName(record.code),
            static_cast<unsigned int>(record.id),
            reinterpret_cast<void*>(static_cast<DWORD_PTR>(record.address)),
            static_cast<unsigned long>(record.size), static_cast<unsigned int>(record.region));
  emitReportText(report, line);
  const DWORD frames = stack[0];
  // Compared without adding 1, so that a hostile count near 2^32 cannot wrap past it.
  if (frames >= kCaptureBufferWords - 1) return;
  for (DWORD i = 1; i <= frames; ++i) {
    symbolizeAddress(stack[i], line, kReportLineSize);
    emitReportText(report, line);
  }
}

}  // namespace

void reportLeak(DWORD id, DWORD address, DWORD size) {
  SECURITY_ATTRIBUTES security;
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  // A handle of its own reading from the start; the writer's handle stays where it is.
  HANDLE log = CreateFileA(_dbgHelp.logPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &security, OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (log == INVALID_HANDLE_VALUE) {
    char message[256];
    std::snprintf(message, sizeof message, "CreateFile Failed. @err=0x%08x\n",
                  static_cast<unsigned int>(GetLastError()));
    OutputDebugStringA(message);
    return;
  }

  std::FILE* report = std::fopen(_dbgHelp.reportPath, _dbgHelp.firstReport ? "w" : "a");
  _dbgHelp.firstReport = false;

  MemLogRecord* record = _dbgHelp.pRecord;
  DWORD* stack = _dbgHelp.captureBuffer;
  if (record != nullptr && findAllocation(log, record, stack, id, address, size)) {
    printAllocation(report, *record, stack);
  }

  if (report) std::fclose(report);
  CloseHandle(log);
}

}  // namespace quor
