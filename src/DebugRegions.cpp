// Debug region stacks: 16-bit region ids pushed and popped process-wide and per thread. The
// per-thread stack is kept in the library's thread slot and released at thread exit and in
// terminate through releaseThreadRegionStack.
#include <quor/Platform.h>

#include "ModuleId.h"
#include "PlatformInternal.h"

QUOR_MODULE_ID(kDebugRegionsModuleId, "DebugRegions.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

// Takes no lock: it touches only the calling thread's own stack and slot value.
void releaseThreadRegionStack() {
  void* stack = getThreadSlot();
  if (stack != nullptr) sysFree(stack);
  setThreadSlot(nullptr);
}

}  // namespace quor
