// A scripted stand-in for dbghelp.dll, for the module's tests that need the library to answer in
// ways the real one cannot be made to: chosen modules, a walk that fails or faults on cue, a line
// record without a file name.
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
  FakeDbgHelpModule modules[4];
  unsigned moduleCount;
  // Walk call k (from 1) returns frames[k - 1] while k <= frameCount, then fails with walkError;
  // call faultOnCall faults instead.
  DWORD frames[16];
  unsigned frameCount, faultOnCall, walkCalls;
  DWORD walkError;
  // Answers of the symbol, module and line queries, and the addresses they were asked about.
  const char* symbolName;  // null: not found
  DWORD64 displacement;
  const char* imageName;  // null: not found
  bool lineFound, faultInLineQuery;
  const char* fileName;
  DWORD lineNumber;
  DWORD64 symbolQuery, moduleQuery, lineQuery;
  unsigned cleanupCalls;
};

// Exported by the fake as "fakeDbgHelpControl".
typedef FakeDbgHelpControl*(WINAPI* FakeDbgHelpControlFn)(void);

#endif  // QUORKIT_TESTS_FAKE_DBGHELP_H
