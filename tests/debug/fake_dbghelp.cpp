// The scripted dbghelp.dll (see fake_dbghelp.h), built as a loadable module named dbghelp.dll
// into a directory of its own, beside the test program that uses it.
#include "fake_dbghelp.h"

namespace {

FakeDbgHelpControl g_control;

void fault() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

// Stops at the NUL: the symbol buffer is 10 MB and padding it on every query would be slow.
void copyName(char* to, size_t size, const char* from) {
  size_t i = 0;
  for (; i + 1 < size && from[i] != '\0'; ++i) to[i] = from[i];
  to[i] = '\0';
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

#define FAKE_API extern "C" __attribute__((visibility("default")))

FAKE_API FakeDbgHelpControl* WINAPI fakeDbgHelpControl(void) { return &g_control; }
FAKE_API DWORD WINAPI SymSetOptions(DWORD options) { return options; }
FAKE_API DWORD WINAPI SymGetOptions(void) { return 0; }
FAKE_API BOOL WINAPI SymInitialize(HANDLE, PCSTR, BOOL) { return TRUE; }
FAKE_API BOOL WINAPI SymCleanup(HANDLE) {
  ++g_control.cleanupCalls;
  return TRUE;
}
FAKE_API PVOID WINAPI SymFunctionTableAccess64(HANDLE, DWORD64) { return nullptr; }
FAKE_API DWORD64 WINAPI SymGetModuleBase64(HANDLE, DWORD64) { return 0; }

FAKE_API BOOL WINAPI SymEnumerateModules64(HANDLE, PSYM_ENUMMODULES_CALLBACK64 callback,
                                           PVOID context) {
  for (unsigned i = 0; i < g_control.moduleCount; ++i) {
    if (!callback(g_control.modules[i].enumeratedName, g_control.modules[i].base, context)) break;
  }
  return TRUE;
}

FAKE_API BOOL WINAPI SymGetModuleInfo64(HANDLE, DWORD64 address, PIMAGEHLP_MODULE64 info) {
  for (unsigned i = 0; i < g_control.moduleCount; ++i) {
    if (g_control.modules[i].base != address) continue;
    if (!g_control.modules[i].loadedImageName) return fail(ERROR_MOD_NOT_FOUND);
    copyName(info->LoadedImageName, sizeof info->LoadedImageName,
             g_control.modules[i].loadedImageName);
    return TRUE;
  }
  g_control.moduleQuery = address;
  if (!g_control.imageName) return fail(ERROR_MOD_NOT_FOUND);
  copyName(info->ImageName, sizeof info->ImageName, g_control.imageName);
  return TRUE;
}

FAKE_API BOOL WINAPI SymGetSymFromAddr64(HANDLE, DWORD64 address, PDWORD64 displacement,
                                         PIMAGEHLP_SYMBOL64 symbol) {
  g_control.symbolQuery = address;
  if (!g_control.symbolName) return fail(ERROR_INVALID_ADDRESS);
  copyName(symbol->Name, symbol->MaxNameLength, g_control.symbolName);
  *displacement = g_control.displacement;
  return TRUE;
}

FAKE_API BOOL WINAPI SymGetLineFromAddr64(HANDLE, DWORD64 address, PDWORD displacement,
                                          PIMAGEHLP_LINE64 line) {
  g_control.lineQuery = address;
  if (g_control.faultInLineQuery) fault();
  if (!g_control.lineFound) return fail(ERROR_INVALID_ADDRESS);
  line->FileName = const_cast<PCHAR>(g_control.fileName);
  line->LineNumber = g_control.lineNumber;
  *displacement = 0;
  return TRUE;
}

FAKE_API BOOL WINAPI StackWalk64(DWORD, HANDLE, HANDLE, LPSTACKFRAME64 frame, PVOID,
                                 PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                 PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64) {
  const unsigned call = ++g_control.walkCalls;
  if (call == g_control.faultOnCall) fault();
  if (call > g_control.frameCount) return fail(g_control.walkError);
  frame->AddrPC.Offset = g_control.frames[call - 1];
  return TRUE;
}
