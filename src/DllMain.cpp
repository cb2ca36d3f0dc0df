// The library entry: the loader's process and thread notifications.
#include <windows.h>

#include "ModuleId.h"
#include "PlatformInternal.h"

QUOR_MODULE_ID(kDllMainModuleId, "DllMain.cpp", "1.0 2026/12/06 04:00:00 quorkit");

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      quor::initializeGlobalLock();
      quor::allocateThreadSlot();
      break;
    case DLL_PROCESS_DETACH:
      // Other threads' records are not freed here: the process is going away with them.
      quor::reportLiveBlocks(true);
      quor::deleteGlobalLock();
      quor::freeThreadSlot();
      break;
    case DLL_THREAD_DETACH: quor::releaseThreadRegionStack(); break;
    default: break;
  }
  return TRUE;
}
