// A scripted stand-in for dbghelp.dll, for the module's tests that need the library to answer
// in ways the real one cannot be made to (one module, a walk that fails or faults on cue, a line
// record without a file name) and to see exactly what the module passes to it.
#ifndef QUORKIT_TESTS_FAKE_DBGHELP_H
#define QUORKIT_TESTS_FAKE_DBGHELP_H

#include <windows.h>
#include <dbghelp.h>

struct FakeDbgHelpModule {
  const char* enumeratedName;
  DWORD64 base;
  const char* loadedImageName;  // null: the info query fails for this module
};

struct FakeDbgHelpControl {
  // Enumeration.
  FakeDbgHelpModule modules[4];
  unsigned moduleCount;

  // Walk: call k (from 1) returns frames[k - 1] while k <= frameCount, then fails with
  // walkError. With faultOnCall k > 0, call k faults instead.
  DWORD frames[16];
  unsigned frameCount;
  DWORD walkError;
  unsigned faultOnCall;
  unsigned walkCalls;
  // What the first call of a walk was given.
  DWORD machine;
  HANDLE process;
  HANDLE thread;
  PVOID contextRecord;
  PREAD_PROCESS_MEMORY_ROUTINE64 readMemory;
  PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess;
  PGET_MODULE_BASE_ROUTINE64 getModuleBase;
  PTRANSLATE_ADDRESS_ROUTINE64 translateAddress;
  ADDRESS64 pc, framePointer, stackPointer;

  // Queries for symbolisation (addresses that are no module base).
  bool symbolFound;
  const char* symbolName;
  DWORD64 displacement;
  bool moduleFound;
  const char* imageName;
  bool lineFound;
  const char* fileName;
  DWORD lineNumber;
  bool faultInLineQuery;
  DWORD64 symbolQueryAddress, moduleQueryAddress, lineQueryAddress;
  DWORD symbolSizeOfStruct, symbolMaxNameLength, moduleSizeOfStruct, lineSizeOfStruct;

  unsigned initializeCalls, cleanupCalls;
  BOOL invadeProcess;
};

// Exported by the fake as "fakeDbgHelpControl"; tests find it with GetProcAddress.
typedef FakeDbgHelpControl*(WINAPI* FakeDbgHelpControlFn)(void);

#endif  // QUORKIT_TESTS_FAKE_DBGHELP_H
