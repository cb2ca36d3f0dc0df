// The scripted dbghelp.dll of the module's tests (see fake_dbghelp.h). Built as a loadable
// module named dbghelp.dll into a directory of its own, beside the test program that uses it.
#include "fake_dbghelp.h"

namespace {

FakeDbgHelpControl g_control;

// The fault is the point: the undefined-behaviour checks must not stop it first.
__attribute__((no_sanitize("undefined"))) void fault() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

const FakeDbgHelpModule* moduleAt(DWORD64 base) {
  for (unsigned i = 0; i < g_control.moduleCount; ++i) {
    if (g_control.modules[i].base == base) return &g_control.modules[i];
  }
  return nullptr;
}

// Stops at the NUL: the symbol buffer is 10 MB and padding it on every query would be slow.
void copyName(char* to, size_t size, const char* from) {
  size_t i = 0;
  for (; i + 1 < size && from[i] != '\0'; ++i) to[i] = from[i];
  to[i] = '\0';
}

// A failing query's answer, as the library gives it: FALSE with the last error set.
BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

#define FAKE_API __attribute__((visibility("default")))

extern "C" {

FAKE_API FakeDbgHelpControl* WINAPI fakeDbgHelpControl(void) { return &g_control; }

FAKE_API DWORD WINAPI SymSetOptions(DWORD options) { return options; }
FAKE_API DWORD WINAPI SymGetOptions(void) { return 0; }

FAKE_API BOOL WINAPI SymInitialize(HANDLE, PCSTR, BOOL invade) {
  ++g_control.initializeCalls;
  g_control.invadeProcess = invade;
  return TRUE;
}

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
  g_control.moduleSizeOfStruct = info->SizeOfStruct;
  if (const FakeDbgHelpModule* module = moduleAt(address)) {
    if (!module->loadedImageName) return fail(ERROR_MOD_NOT_FOUND);
    copyName(info->LoadedImageName, sizeof info->LoadedImageName, module->loadedImageName);
    return TRUE;
  }
  g_control.moduleQueryAddress = address;
  if (!g_control.moduleFound) return fail(ERROR_MOD_NOT_FOUND);
  copyName(info->ImageName, sizeof info->ImageName, g_control.imageName);
  return TRUE;
}

FAKE_API BOOL WINAPI SymGetSymFromAddr64(HANDLE, DWORD64 address, PDWORD64 displacement,
                                         PIMAGEHLP_SYMBOL64 symbol) {
  g_control.symbolQueryAddress = address;
  g_control.symbolSizeOfStruct = symbol->SizeOfStruct;
  g_control.symbolMaxNameLength = symbol->MaxNameLength;
  if (!g_control.symbolFound) return fail(ERROR_INVALID_ADDRESS);
  copyName(symbol->Name, symbol->MaxNameLength, g_control.symbolName);
  *displacement = g_control.displacement;
  return TRUE;
}

FAKE_API BOOL WINAPI SymGetLineFromAddr64(HANDLE, DWORD64 address, PDWORD displacement,
                                          PIMAGEHLP_LINE64 line) {
  g_control.lineQueryAddress = address;
  g_control.lineSizeOfStruct = line->SizeOfStruct;
  if (g_control.faultInLineQuery) fault();
  if (!g_control.lineFound) return fail(ERROR_INVALID_ADDRESS);
  line->FileName = const_cast<PCHAR>(g_control.fileName);
  line->LineNumber = g_control.lineNumber;
  *displacement = 0;
  return TRUE;
}

FAKE_API BOOL WINAPI StackWalk64(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame,
                                 PVOID context, PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                                 PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                                 PGET_MODULE_BASE_ROUTINE64 getModuleBase,
                                 PTRANSLATE_ADDRESS_ROUTINE64 translateAddress) {
  const unsigned call = ++g_control.walkCalls;
  if (call == 1) {
    g_control.machine = machine;
    g_control.process = process;
    g_control.thread = thread;
    g_control.contextRecord = context;
    g_control.readMemory = readMemory;
    g_control.functionTableAccess = functionTableAccess;
    g_control.getModuleBase = getModuleBase;
    g_control.translateAddress = translateAddress;
    g_control.pc = frame->AddrPC;
    g_control.framePointer = frame->AddrFrame;
    g_control.stackPointer = frame->AddrStack;
  }
  if (call == g_control.faultOnCall) fault();
  if (call > g_control.frameCount) return fail(g_control.walkError);
  frame->AddrPC.Offset = g_control.frames[call - 1];
  return TRUE;
}

FAKE_API BOOL WINAPI MiniDumpWriteDump(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                       const PMINIDUMP_EXCEPTION_INFORMATION,
                                       const PMINIDUMP_USER_STREAM_INFORMATION,
                                       const PMINIDUMP_CALLBACK_INFORMATION) {
  return fail(ERROR_NOT_SUPPORTED);
}

}  // extern "C"
