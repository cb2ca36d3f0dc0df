// The scripted dbghelp.dll (see fake_dbghelp.h), built as a loadable module named dbghelp.dll
// into a directory of its own, beside the test program that uses it.
#include "fake_dbghelp.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))

// The script, which the test program finds by this name.
extern "C" {
__attribute__((visibility("default"))) FakeDbgHelpControl fakeDbgHelp;
}

namespace {

// The fault is the point: the undefined-behaviour checks must not stop it first.
__attribute__((no_sanitize("undefined"))) BOOL failWith(DWORD error, bool fault = false) {
  volatile int* volatile nowhere = nullptr;
  if (fault) *nowhere = 1;
  SetLastError(error);
  return FALSE;
}

}  // namespace

FAKE_API BOOL WINAPI SymInitialize(HANDLE, PCSTR, BOOL) { return TRUE; }
FAKE_API BOOL WINAPI SymCleanup(HANDLE) { return ++fakeDbgHelp.cleanupCalls != 0; }

FAKE_API BOOL WINAPI SymEnumerateModules64(HANDLE, PSYM_ENUMMODULES_CALLBACK64 callback,
                                           PVOID context) {
  return callback(fakeDbgHelp.moduleName, fakeDbgHelp.moduleBase, context);
}

FAKE_API BOOL WINAPI SymGetModuleInfo64(HANDLE, DWORD64 address, PIMAGEHLP_MODULE64 info) {
  if (address == fakeDbgHelp.moduleBase) return failWith(ERROR_MOD_NOT_FOUND);
  fakeDbgHelp.moduleQuery = address;
  if (!fakeDbgHelp.imageName) return failWith(ERROR_MOD_NOT_FOUND);
  return lstrcpynA(info->ImageName, fakeDbgHelp.imageName, MAX_PATH) != nullptr;
}

FAKE_API BOOL WINAPI SymGetSymFromAddr64(HANDLE, DWORD64 address, PDWORD64 displacement,
                                         PIMAGEHLP_SYMBOL64 symbol) {
  fakeDbgHelp.symbolQuery = address;
  if (!fakeDbgHelp.symbolName) return failWith(ERROR_INVALID_ADDRESS);
  *displacement = fakeDbgHelp.displacement;
  return lstrcpynA(symbol->Name, fakeDbgHelp.symbolName, 256) != nullptr;
}

FAKE_API BOOL WINAPI SymGetLineFromAddr64(HANDLE, DWORD64 address, PDWORD displacement,
                                          PIMAGEHLP_LINE64 line) {
  fakeDbgHelp.lineQuery = address;
  if (!fakeDbgHelp.lineFound) return failWith(ERROR_INVALID_ADDRESS, fakeDbgHelp.faultInLineQuery);
  line->FileName = const_cast<PCHAR>(fakeDbgHelp.fileName);
  line->LineNumber = fakeDbgHelp.lineNumber;
  *displacement = 0;
  return TRUE;
}

FAKE_API BOOL WINAPI StackWalk64(DWORD, HANDLE, HANDLE, LPSTACKFRAME64 frame, PVOID,
                                 PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                 PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64) {
  const unsigned call = ++fakeDbgHelp.walkCalls;
  if (call == fakeDbgHelp.faultOnCall || call > fakeDbgHelp.frameCount)
    return failWith(fakeDbgHelp.walkError, call == fakeDbgHelp.faultOnCall);
  frame->AddrPC.Offset = fakeDbgHelp.frames[call - 1];
  return TRUE;
}
