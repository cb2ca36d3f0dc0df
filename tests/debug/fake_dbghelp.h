// A scripted stand-in for dbghelp.dll, for the module's tests that need the library to answer in
// ways the real one cannot be made to: chosen modules, a walk that fails or faults on cue, a line
// record without a file name.
#ifndef QUORKIT_TESTS_FAKE_DBGHELP_H
#define QUORKIT_TESTS_FAKE_DBGHELP_H

#include <windows.h>
#include <dbghelp.h>

struct FakeDbgHelpControl {
  // The one module enumerated, whose information query fails.
  const char* moduleName;
  DWORD64 moduleBase;
  // Walk call k (from 1) returns frames[k - 1] while k <= frameCount, then fails with walkError;
  // call faultOnCall faults instead.
  DWORD frames[8], walkError;
  unsigned frameCount, faultOnCall, walkCalls;
  // Answers to the queries about other addresses (null: not found), and the addresses asked.
  const char *symbolName, *imageName, *fileName;
  bool lineFound, faultInLineQuery;
  DWORD lineNumber;
  DWORD64 displacement, symbolQuery, moduleQuery, lineQuery;
  unsigned cleanupCalls;
};

#endif  // QUORKIT_TESTS_FAKE_DBGHELP_H
