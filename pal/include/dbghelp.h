/* dbghelp.h of the PAL: the part of the debug-help API that the quorkit modules bind at run time,
 * with the structure layouts of 32-bit Windows, so that a module compiled against this header
 * and one compiled against the SDK's pass the same records. The functions live in the PAL's
 * Linux "dbghelp.dll" (pal/dbghelp), which is loaded with LoadLibraryA and bound with
 * GetProcAddress; nothing links against them directly.
 *
 * 64-bit fields are 8-byte aligned inside these records on Windows x86, where the i386 System V
 * ABI would align them to 4 only: PAL_DBGHELP_ALIGN8 restores the Windows layout, and the
 * static_asserts below pin every size and offset the modules rely on. */
#ifndef QUORKIT_PAL_DBGHELP_H
#define QUORKIT_PAL_DBGHELP_H

#include <windows.h>

#define PAL_DBGHELP_ALIGN8 __attribute__((aligned(8)))

#ifndef IMAGE_FILE_MACHINE_I386
#define IMAGE_FILE_MACHINE_I386 0x014c
#endif

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
} GUID;
#endif

typedef DWORD64* PDWORD64;

/* Symbol options. SymGetOptions starts at SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS |
 * SYMOPT_LOAD_LINES: names undecorated, symbols read on first use, line numbers available. */
#define SYMOPT_CASE_INSENSITIVE 0x00000001u
#define SYMOPT_UNDNAME 0x00000002u
#define SYMOPT_DEFERRED_LOADS 0x00000004u
#define SYMOPT_NO_CPP 0x00000008u
#define SYMOPT_LOAD_LINES 0x00000010u
#define SYMOPT_OMAP_FIND_NEAREST 0x00000020u
#define SYMOPT_FAIL_CRITICAL_ERRORS 0x00000200u
#define SYMOPT_NO_PROMPTS 0x00080000u
#define SYMOPT_DEBUG 0x80000000u

typedef enum { AddrMode1616, AddrMode1632, AddrModeReal, AddrModeFlat } ADDRESS_MODE;

typedef struct _tagADDRESS64 {
  DWORD64 Offset PAL_DBGHELP_ALIGN8;
  WORD Segment;
  ADDRESS_MODE Mode;
} ADDRESS64, *LPADDRESS64;

typedef struct _KDHELP64 {
  DWORD64 Thread PAL_DBGHELP_ALIGN8;
  DWORD ThCallbackStack;
  DWORD ThCallbackBStore;
  DWORD NextCallback;
  DWORD FramePointer;
  DWORD64 KiCallUserMode PAL_DBGHELP_ALIGN8;
  DWORD64 KeUserCallbackDispatcher PAL_DBGHELP_ALIGN8;
  DWORD64 SystemRangeStart PAL_DBGHELP_ALIGN8;
  DWORD64 KiUserExceptionDispatcher PAL_DBGHELP_ALIGN8;
  DWORD64 StackBase PAL_DBGHELP_ALIGN8;
  DWORD64 StackLimit PAL_DBGHELP_ALIGN8;
  DWORD64 Reserved[5] PAL_DBGHELP_ALIGN8;
} KDHELP64, *PKDHELP64;

typedef struct _tagSTACKFRAME64 {
  ADDRESS64 AddrPC;
  ADDRESS64 AddrReturn;
  ADDRESS64 AddrFrame;
  ADDRESS64 AddrStack;
  ADDRESS64 AddrBStore;
  PVOID FuncTableEntry;
  DWORD64 Params[4] PAL_DBGHELP_ALIGN8;
  BOOL Far;
  BOOL Virtual;
  DWORD64 Reserved[3] PAL_DBGHELP_ALIGN8;
  KDHELP64 KdHelp;
} STACKFRAME64, *LPSTACKFRAME64;

typedef struct _IMAGEHLP_SYMBOL64 {
  DWORD SizeOfStruct;
  DWORD64 Address PAL_DBGHELP_ALIGN8;
  DWORD Size;
  DWORD Flags;
  DWORD MaxNameLength;
  CHAR Name[1];
} IMAGEHLP_SYMBOL64, *PIMAGEHLP_SYMBOL64;

typedef struct _IMAGEHLP_LINE64 {
  DWORD SizeOfStruct;
  PVOID Key;
  DWORD LineNumber;
  PCHAR FileName;
  DWORD64 Address PAL_DBGHELP_ALIGN8;
} IMAGEHLP_LINE64, *PIMAGEHLP_LINE64;

typedef enum {
  SymNone = 0,
  SymCoff,
  SymCv,
  SymPdb,
  SymExport,
  SymDeferred,
  SymSym,
  SymDia,
  SymVirtual,
  NumSymTypes
} SYM_TYPE;

/* The record as the module queries it: SizeOfStruct 1,672, the full size of this version (the
 * SDK's later MachineType/Reserved tail is not part of it). */
typedef struct _IMAGEHLP_MODULE64 {
  DWORD SizeOfStruct;
  DWORD64 BaseOfImage PAL_DBGHELP_ALIGN8;
  DWORD ImageSize;
  DWORD TimeDateStamp;
  DWORD CheckSum;
  DWORD NumSyms;
  SYM_TYPE SymType;
  CHAR ModuleName[32];
  CHAR ImageName[256];
  CHAR LoadedImageName[256];
  CHAR LoadedPdbName[256];
  DWORD CVSig;
  CHAR CVData[MAX_PATH * 3];
  DWORD PdbSig;
  GUID PdbSig70;
  DWORD PdbAge;
  BOOL PdbUnmatched;
  BOOL DbgUnmatched;
  BOOL LineNumbers;
  BOOL GlobalSymbols;
  BOOL TypeInfo;
  BOOL SourceIndexed;
  BOOL Publics;
} IMAGEHLP_MODULE64, *PIMAGEHLP_MODULE64;

typedef BOOL(CALLBACK* PREAD_PROCESS_MEMORY_ROUTINE64)(HANDLE hProcess, DWORD64 qwBaseAddress,
                                                       PVOID lpBuffer, DWORD nSize,
                                                       LPDWORD lpNumberOfBytesRead);
typedef PVOID(CALLBACK* PFUNCTION_TABLE_ACCESS_ROUTINE64)(HANDLE hProcess, DWORD64 AddrBase);
typedef DWORD64(CALLBACK* PGET_MODULE_BASE_ROUTINE64)(HANDLE hProcess, DWORD64 Address);
typedef DWORD64(CALLBACK* PTRANSLATE_ADDRESS_ROUTINE64)(HANDLE hProcess, HANDLE hThread,
                                                        LPADDRESS64 lpaddr);
typedef BOOL(CALLBACK* PSYM_ENUMMODULES_CALLBACK64)(PCSTR ModuleName, DWORD64 BaseOfDll,
                                                    PVOID UserContext);

/* Minidumps are not written by this PAL; the types exist so that MiniDumpWriteDump has its
 * Windows signature. */
typedef enum _MINIDUMP_TYPE {
  MiniDumpNormal = 0x00000000,
  MiniDumpWithDataSegs = 0x00000001,
  MiniDumpWithFullMemory = 0x00000002
} MINIDUMP_TYPE;
typedef struct _MINIDUMP_EXCEPTION_INFORMATION MINIDUMP_EXCEPTION_INFORMATION,
    *PMINIDUMP_EXCEPTION_INFORMATION;
typedef struct _MINIDUMP_USER_STREAM_INFORMATION MINIDUMP_USER_STREAM_INFORMATION,
    *PMINIDUMP_USER_STREAM_INFORMATION;
typedef struct _MINIDUMP_CALLBACK_INFORMATION MINIDUMP_CALLBACK_INFORMATION,
    *PMINIDUMP_CALLBACK_INFORMATION;

#ifdef __cplusplus
#if defined(__i386__)
static_assert(sizeof(ADDRESS64) == 16, "ADDRESS64 has the Windows x86 size");
static_assert(sizeof(KDHELP64) == 112, "KDHELP64 has the Windows x86 size");
static_assert(sizeof(STACKFRAME64) == 264, "STACKFRAME64 has the Windows x86 size");
static_assert(offsetof(STACKFRAME64, FuncTableEntry) == 80, "STACKFRAME64.FuncTableEntry offset");
static_assert(offsetof(STACKFRAME64, Params) == 88, "STACKFRAME64.Params offset");
static_assert(offsetof(STACKFRAME64, Far) == 120, "STACKFRAME64.Far offset");
static_assert(offsetof(STACKFRAME64, Reserved) == 128, "STACKFRAME64.Reserved offset");
static_assert(offsetof(STACKFRAME64, KdHelp) == 152, "STACKFRAME64.KdHelp offset");
static_assert(sizeof(IMAGEHLP_SYMBOL64) == 32, "IMAGEHLP_SYMBOL64 has the Windows x86 size");
static_assert(offsetof(IMAGEHLP_SYMBOL64, Address) == 8, "IMAGEHLP_SYMBOL64.Address offset");
static_assert(offsetof(IMAGEHLP_SYMBOL64, MaxNameLength) == 24,
              "IMAGEHLP_SYMBOL64.MaxNameLength offset");
static_assert(offsetof(IMAGEHLP_SYMBOL64, Name) == 28, "IMAGEHLP_SYMBOL64.Name offset");
static_assert(sizeof(IMAGEHLP_LINE64) == 24, "IMAGEHLP_LINE64 has the Windows x86 size");
static_assert(offsetof(IMAGEHLP_LINE64, FileName) == 12, "IMAGEHLP_LINE64.FileName offset");
static_assert(offsetof(IMAGEHLP_LINE64, Address) == 16, "IMAGEHLP_LINE64.Address offset");
static_assert(sizeof(IMAGEHLP_MODULE64) == 1672, "IMAGEHLP_MODULE64 has the queried x86 size");
static_assert(offsetof(IMAGEHLP_MODULE64, BaseOfImage) == 8,
              "IMAGEHLP_MODULE64.BaseOfImage offset");
static_assert(offsetof(IMAGEHLP_MODULE64, ModuleName) == 36, "IMAGEHLP_MODULE64.ModuleName offset");
static_assert(offsetof(IMAGEHLP_MODULE64, ImageName) == 68, "IMAGEHLP_MODULE64.ImageName offset");
static_assert(offsetof(IMAGEHLP_MODULE64, LoadedImageName) == 324,
              "IMAGEHLP_MODULE64.LoadedImageName offset");
static_assert(offsetof(IMAGEHLP_MODULE64, PdbSig70) == 1624, "IMAGEHLP_MODULE64.PdbSig70 offset");
static_assert(offsetof(IMAGEHLP_MODULE64, Publics) == 1668, "IMAGEHLP_MODULE64.Publics offset");
#endif
#endif

PAL_BEGIN_DECLS

/* Walks one frame per call, for IMAGE_FILE_MACHINE_I386 only. The first call reports the frame
 * given in AddrPC/AddrFrame/AddrStack itself (and fills AddrReturn); each later call moves to the
 * caller, using the unwind tables (.eh_frame) of the code, so frames without a frame pointer are
 * walked too. ContextRecord may be null. The walk's state between calls is kept in the frame's
 * Reserved words. FALSE with a last error when there is no further frame: ERROR_NO_MORE_ITEMS at
 * the outermost frame, ERROR_INVALID_ADDRESS for a PC outside any module or without unwind data,
 * ERROR_NOACCESS when the stack cannot be read, ERROR_INVALID_PARAMETER / ERROR_NOT_SUPPORTED for
 * a null frame or another machine. */
PAL_API BOOL WINAPI StackWalk64(DWORD MachineType, HANDLE hProcess, HANDLE hThread,
                                LPSTACKFRAME64 StackFrame, PVOID ContextRecord,
                                PREAD_PROCESS_MEMORY_ROUTINE64 ReadMemoryRoutine,
                                PFUNCTION_TABLE_ACCESS_ROUTINE64 FunctionTableAccessRoutine,
                                PGET_MODULE_BASE_ROUTINE64 GetModuleBaseRoutine,
                                PTRANSLATE_ADDRESS_ROUTINE64 TranslateAddress);

PAL_API DWORD WINAPI SymSetOptions(DWORD SymOptions);
PAL_API DWORD WINAPI SymGetOptions(void);
/* Only the calling process can be inspected: hProcess is GetCurrentProcess(). */
PAL_API BOOL WINAPI SymInitialize(HANDLE hProcess, PCSTR UserSearchPath, BOOL fInvadeProcess);
PAL_API BOOL WINAPI SymCleanup(HANDLE hProcess);
PAL_API PVOID WINAPI SymFunctionTableAccess64(HANDLE hProcess, DWORD64 AddrBase);
PAL_API DWORD64 WINAPI SymGetModuleBase64(HANDLE hProcess, DWORD64 qwAddr);
PAL_API BOOL WINAPI SymGetSymFromAddr64(HANDLE hProcess, DWORD64 qwAddr, PDWORD64 pdwDisplacement,
                                        PIMAGEHLP_SYMBOL64 Symbol);
PAL_API BOOL WINAPI SymGetLineFromAddr64(HANDLE hProcess, DWORD64 qwAddr, PDWORD pdwDisplacement,
                                         PIMAGEHLP_LINE64 Line64);
PAL_API BOOL WINAPI SymGetModuleInfo64(HANDLE hProcess, DWORD64 qwAddr,
                                       PIMAGEHLP_MODULE64 ModuleInfo);
PAL_API BOOL WINAPI SymEnumerateModules64(HANDLE hProcess,
                                          PSYM_ENUMMODULES_CALLBACK64 EnumModulesCallback,
                                          PVOID UserContext);
/* Always FALSE with ERROR_NOT_SUPPORTED: there is no minidump format on Linux. */
PAL_API BOOL WINAPI MiniDumpWriteDump(HANDLE hProcess, DWORD ProcessId, HANDLE hFile,
                                      MINIDUMP_TYPE DumpType,
                                      const PMINIDUMP_EXCEPTION_INFORMATION ExceptionParam,
                                      const PMINIDUMP_USER_STREAM_INFORMATION UserStreamParam,
                                      const PMINIDUMP_CALLBACK_INFORMATION CallbackParam);

PAL_END_DECLS

#endif
