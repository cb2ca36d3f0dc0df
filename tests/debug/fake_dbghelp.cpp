// The scripted dbghelp.dll (see fake_dbghelp.h), built as a loadable module named dbghelp.dll
// into a directory of its own, beside the test program that uses it.
#include "fake_dbghelp.h"

namespace {

FakeDbgHelpControl g_control;

// The fault is the point: the undefined-behaviour checks must not stop it first.
__attribute__((no_sanitize("undefined"))) BOOL failWith(DWORD error, bool fault = false) {
  volatile int* volatile nowhere = nullptr;
  if (fault) *nowhere = 1;
  SetLastError(error);
  return FALSE;
}

}  // namespace

#define FAKE_API extern "C" __attribute__((visibility("default")))

FAKE_API FakeDbgHelpControl* WINAPI fakeDbgHelpControl(void) { return &g_control; }
FAKE_API BOOL WINAPI SymInitialize(HANDLE, PCSTR, BOOL) { return TRUE; }
FAKE_API BOOL WINAPI SymCleanup(HANDLE) { return ++g_control.cleanupCalls != 0; }

FAKE_API BOOL WINAPI SymEnumerateModules64(HANDLE, PSYM_ENUMMODULES_CALLBACK64 callback,
                                           PVOID context) {
  return callback(g_control.moduleName, g_control.moduleBase, context);
}

FAKE_API BOOL WINAPI SymGetModuleInfo64(HANDLE, DWORD64 address, PIMAGEHLP_MODULE64 info) {
  if (address == g_control.moduleBase) return failWith(ERROR_MOD_NOT_FOUND);
  g_control.moduleQuery = address;
  if (!g_control.imageName) return failWith(ERROR_MOD_NOT_FOUND);
  return lstrcpynA(info->ImageName, g_control.imageName, MAX_PATH) != nullptr;
}

FAKE_API BOOL WINAPI SymGetSymFromAddr64(HANDLE, DWORD64 address, PDWORD64 displacement,
                                         PIMAGEHLP_SYMBOL64 symbol) {
  g_control.symbolQuery = address;
  if (!g_control.symbolName) return failWith(ERROR_INVALID_ADDRESS);
  *displacement = g_control.displacement;
  return lstrcpynA(symbol->Name, g_control.symbolName, 256) != nullptr;
}

FAKE_API BOOL WINAPI SymGetLineFromAddr64(HANDLE, DWORD64 address, PDWORD displacement,
                                          PIMAGEHLP_LINE64 line) {
  g_control.lineQuery = address;
  if (!g_control.lineFound) return failWith(ERROR_INVALID_ADDRESS, g_control.faultInLineQuery);
  line->FileName = const_cast<PCHAR>(g_control.fileName);
  line->LineNumber = g_control.lineNumber;
  *displacement = 0;
  return TRUE;
}

FAKE_API BOOL WINAPI StackWalk64(DWORD, HANDLE, HANDLE, LPSTACKFRAME64 frame, PVOID,
                                 PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                 PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64) {
  const unsigned call = ++g_control.walkCalls;
  if (call == g_control.faultOnCall || call > g_control.frameCount)
    return failWith(g_control.walkError, call == g_control.faultOnCall);
  frame->AddrPC.Offset = g_control.frames[call - 1];
  return TRUE;
}
