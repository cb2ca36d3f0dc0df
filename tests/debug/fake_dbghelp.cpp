// The scripted dbghelp.dll of the module's tests (see fake_dbghelp.h). Built as a loadable
// module named dbghelp.dll into a directory of its own, beside the test program that uses it.
#include "fake_dbghelp.h"

namespace {

FakeDbgHelpControl g_control;

void fault() {
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

}  // namespace

extern "C" {

__attribute__((visibility("default"))) FakeDbgHelpControl* WINAPI fakeDbgHelpControl(void) {
  return &g_control;
}

__attribute__((visibility("default"))) DWORD WINAPI SymSetOptions(DWORD options) { return options; }
__attribute__((visibility("default"))) DWORD WINAPI SymGetOptions(void) { return 0; }

__attribute__((visibility("default"))) BOOL WINAPI SymInitialize(HANDLE, PCSTR, BOOL invade) {
  ++g_control.initializeCalls;
  g_control.invadeProcess = invade;
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SymCleanup(HANDLE) {
  ++g_control.cleanupCalls;
  return TRUE;
}

__attribute__((visibility("default"))) PVOID WINAPI SymFunctionTableAccess64(HANDLE, DWORD64) {
  return nullptr;
}

__attribute__((visibility("default"))) DWORD64 WINAPI SymGetModuleBase64(HANDLE, DWORD64) { return 0; }

__attribute__((visibility("default"))) BOOL WINAPI SymEnumerateModules64(
    HANDLE, PSYM_ENUMMODULES_CALLBACK64 callback, PVOID context) {
  for (unsigned i = 0; i < g_control.moduleCount; ++i) {
    if (!callback(g_control.modules[i].enumeratedName, g_control.modules[i].base, context)) break;
  }
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SymGetModuleInfo64(HANDLE, DWORD64 address,
                                                                     PIMAGEHLP_MODULE64 info) {
  g_control.moduleSizeOfStruct = info->SizeOfStruct;
  if (const FakeDbgHelpModule* module = moduleAt(address)) {
    if (!module->loadedImageName) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    copyName(info->LoadedImageName, sizeof info->LoadedImageName, module->loadedImageName);
    return TRUE;
  }
  g_control.moduleQueryAddress = address;
  if (!g_control.moduleFound) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  copyName(info->ImageName, sizeof info->ImageName, g_control.imageName);
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SymGetSymFromAddr64(HANDLE, DWORD64 address,
                                                                      PDWORD64 displacement,
                                                                      PIMAGEHLP_SYMBOL64 symbol) {
  g_control.symbolQueryAddress = address;
  g_control.symbolSizeOfStruct = symbol->SizeOfStruct;
  g_control.symbolMaxNameLength = symbol->MaxNameLength;
  if (!g_control.symbolFound) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  copyName(symbol->Name, symbol->MaxNameLength, g_control.symbolName);
  *displacement = g_control.displacement;
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI SymGetLineFromAddr64(HANDLE, DWORD64 address,
                                                                       PDWORD displacement,
                                                                       PIMAGEHLP_LINE64 line) {
  g_control.lineQueryAddress = address;
  g_control.lineSizeOfStruct = line->SizeOfStruct;
  if (g_control.faultInLineQuery) fault();
  if (!g_control.lineFound) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  line->FileName = const_cast<PCHAR>(g_control.fileName);
  line->LineNumber = g_control.lineNumber;
  *displacement = 0;
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI StackWalk64(
    DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame, PVOID context,
    PREAD_PROCESS_MEMORY_ROUTINE64 readMemory, PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
    PGET_MODULE_BASE_ROUTINE64 getModuleBase, PTRANSLATE_ADDRESS_ROUTINE64 translateAddress) {
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
  if (call > g_control.frameCount) {
    SetLastError(g_control.walkError);
    return FALSE;
  }
  frame->AddrPC.Offset = g_control.frames[call - 1];
  return TRUE;
}

__attribute__((visibility("default"))) BOOL WINAPI MiniDumpWriteDump(
    HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, const PMINIDUMP_EXCEPTION_INFORMATION,
    const PMINIDUMP_USER_STREAM_INFORMATION, const PMINIDUMP_CALLBACK_INFORMATION) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

}  // extern "C"
