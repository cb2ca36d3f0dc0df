// Win32dbghelp: the allocation log and its stack walking. The module binds the system's
// debug-help library (dbghelp.dll) at run time, captures call stacks as lists of 32-bit code
// addresses, writes one binary record plus stack per memory event to "<exe>.MEM_LOG.bin", and
// reports where a still-allocated block came from into "<exe>.memleak.TXT".
//
// Internal to the library: nothing here is exported and nothing in the exported interface calls
// it. A debugging build, the tests and the tour reach it through this header.
//
// Threading contract: the debug-help queries are serialised by the module's own critical
// section, but the record buffer and the capture buffer are single, process-wide buffers that
// nothing locks. Callers must not let logMemoryEvent, reportLeak, initializeDbgHelp and
// terminateDbgHelp overlap. captureStack and symbolizeAddress may be called from any thread.
//
// Everything the module has to say goes to the debugger output channel (OutputDebugStringA),
// never through the library's diagnosis.
#ifndef QUORKIT_WIN32DBGHELP_H
#define QUORKIT_WIN32DBGHELP_H

#include <windows.h>
#include <dbghelp.h>

#include "debug/MemLogFormat.h"

namespace quor {

// ---- Sizes that are part of the module's contract ---------------------------------------------
//
// The log's own sizes (record, module entries and table, capture buffer) are in MemLogFormat.h,
// shared with the offline reader; kModuleNameSize there also sizes the start-up's path buffers.

// The one symbol lookup buffer, made at start-up and reused by every lookup.
constexpr DWORD kSymbolBufferSize = 0xA00000;
// Size of the IMAGEHLP_SYMBOL64 header in front of the name.
constexpr DWORD kSymbolHeaderSize = 32;
// The module table: 128 entries of 2,052 bytes rounded up to 2,064 each.
constexpr DWORD kModuleTableSize = kModuleTableEntries * ((kModuleEntrySize + 15) & ~15u);
// Characters of the log path and of the report path.
constexpr DWORD kMemLogPathSize = 1024;
// Characters of the report's line buffer, which also receives each frame's text.
constexpr DWORD kReportLineSize = 16384;
// SizeOfStruct values the module hands to the debug-help queries (the x86 layouts).
constexpr DWORD kModuleInfoQuerySize = 1672;
constexpr DWORD kLineInfoQuerySize = 24;
// All local memory of the module: LMEM_MOVEABLE | LMEM_ZEROINIT.
constexpr UINT kLocalMemoryFlags = 0x42;

// ---- Log format ----------------------------------------------------------------------------

// MemOp, MemLogRecord and ModuleEntry come from MemLogFormat.h. The record buffer is
// kRecordSize (32) bytes, the 14 after `region` being zero.
static_assert(sizeof(DWORD) == sizeof(uint32_t) && sizeof(WORD) == sizeof(uint16_t),
              "the log's fields are the Win32 DWORD and WORD");

// A call stack as a list of words: word 0 the frame count n, words 1..n the frames'
// program-counter addresses, innermost first, the rest zero. Its capacity is the caller's.
typedef DWORD StackBuffer[];

// ---- The debug-help entry points resolved at run time --------------------------------------

typedef DWORD(WINAPI* SymSetOptionsFn)(DWORD options);
typedef DWORD(WINAPI* SymGetOptionsFn)(void);
typedef BOOL(WINAPI* SymInitializeFn)(HANDLE process, PCSTR searchPath, BOOL invadeProcess);
typedef BOOL(WINAPI* SymCleanupFn)(HANDLE process);
typedef BOOL(WINAPI* SymGetSymFromAddr64Fn)(HANDLE process, DWORD64 address, PDWORD64 displacement,
                                            PIMAGEHLP_SYMBOL64 symbol);
typedef BOOL(WINAPI* SymGetLineFromAddr64Fn)(HANDLE process, DWORD64 address, PDWORD displacement,
                                             PIMAGEHLP_LINE64 line);
typedef BOOL(WINAPI* SymGetModuleInfo64Fn)(HANDLE process, DWORD64 address,
                                           PIMAGEHLP_MODULE64 module);
typedef BOOL(WINAPI* StackWalk64Fn)(DWORD machine, HANDLE process, HANDLE thread,
                                    LPSTACKFRAME64 frame, PVOID context,
                                    PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                                    PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                                    PGET_MODULE_BASE_ROUTINE64 getModuleBase,
                                    PTRANSLATE_ADDRESS_ROUTINE64 translateAddress);
typedef BOOL(WINAPI* SymEnumerateModules64Fn)(HANDLE process, PSYM_ENUMMODULES_CALLBACK64 callback,
                                              PVOID context);
typedef VOID(WINAPI* RtlCaptureContextFn)(PCONTEXT context);

// In the order start-up resolves and lists them. MiniDumpWriteDump is only resolved and
// listed, never called, so its address is all that is kept.
struct DbgHelpApi {
  SymSetOptionsFn SymSetOptions;
  SymGetOptionsFn SymGetOptions;
  SymInitializeFn SymInitialize;
  SymCleanupFn SymCleanup;
  PFUNCTION_TABLE_ACCESS_ROUTINE64 SymFunctionTableAccess64;
  PGET_MODULE_BASE_ROUTINE64 SymGetModuleBase64;
  SymGetSymFromAddr64Fn SymGetSymFromAddr64;
  SymGetLineFromAddr64Fn SymGetLineFromAddr64;
  SymGetModuleInfo64Fn SymGetModuleInfo64;
  StackWalk64Fn StackWalk64;
  SymEnumerateModules64Fn SymEnumerateModules64;
  FARPROC MiniDumpWriteDump;
};

// The module's single process-wide state. Zero at load except the log handle (invalid) and
// firstReport (true).
struct DbgHelpState {
  HMODULE hDbgHelp = nullptr;  // set: started with debug help
  DbgHelpApi api = {};
  HMODULE hKernel32 = nullptr;
  RtlCaptureContextFn pRtlCaptureContext = nullptr;
  CRITICAL_SECTION lock = {};
  // The lock exists. Start-up refuses to run again while it does, so a start-up that ran
  // without debug help is never repeated over live buffers.
  bool lockCreated = false;
  HLOCAL hSymbolBuffer = nullptr;
  HLOCAL hRecordBuffer = nullptr;
  MemLogRecord* pRecord = nullptr;  // locked from creation to shutdown
  DWORD recordSize = 0;
  HLOCAL hModuleTable = nullptr;
  ModuleEntry* pModuleTable = nullptr;  // locked from creation to shutdown
  DWORD moduleCount = 0;
  HANDLE hLogFile = INVALID_HANDLE_VALUE;
  char logPath[kMemLogPathSize] = {};
  char reportPath[kMemLogPathSize] = {};
  bool firstReport = true;
  DWORD captureBuffer[kCaptureBufferWords] =
      {};  // a StackBuffer shared by the writer and the report
};

// The state itself, reachable by tests (which check that shutdown clears it) and by nothing
// else outside the module.
extern DbgHelpState _dbgHelp;

// ---- Binding --------------------------------------------------------------------------------

// Start-up: binds dbghelp.dll (refusing the system directory's copy), lists the entry points,
// makes the buffers and writes the module block. False when already started or when the symbol
// buffer cannot be obtained; true otherwise, also without debug help.
bool initializeDbgHelp();
// Shutdown: frees everything start-up made, closes the log. Always true.
bool terminateDbgHelp();
void createRecordBuffer();
void destroyRecordBuffer();
void writeModuleList();
void destroyModuleTable();
BOOL CALLBACK enumModulesCallback(PCSTR moduleName, DWORD64 base, PVOID context);

// ---- Capture and symbols -----------------------------------------------------------------------

// Fills `out` (capacity words, at least 1) with the calling thread's stack, captureStack's own
// frame first. Zeroes the whole buffer and allocates nothing, so it may run inside an
// allocator. True when the walk ran (0 frames included).
bool captureStack(StackBuffer out, DWORD capacity);
// Writes the symbol, module and (when known) source lines for `address` into `text`, which
// must hold three lines. True when the queries ran.
bool symbolizeAddress(DWORD address, char* text, DWORD textSize);

// ---- Allocation log ---------------------------------------------------------------------------

// Appends one record and the caller's stack to the log, starting the module on first use.
void logMemoryEvent(const char* opName, DWORD id, DWORD address, DWORD size, unsigned short region);
MemOp getMemOpCode(const char* opName);
void openMemLog();
void closeMemLog();

// ---- Leak report ------------------------------------------------------------------------------

// Finds the first allocation record of (id, address, size) in the log and writes it with its
// symbolised stack to the report file and the debugger channel.
void reportLeak(DWORD id, DWORD address, DWORD size);
const char* getMemOpName(DWORD code);
// Read the rest of a module block / a stack block from `log` into `dest` (capacity bytes).
bool readModuleBlock(HANDLE log, void* dest, DWORD capacity);
bool readStackBlock(HANDLE log, void* dest, DWORD capacity);

}  // namespace quor

#endif
