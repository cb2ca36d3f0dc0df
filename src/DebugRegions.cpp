// Debug region stacks: 16-bit region ids pushed and popped process-wide and per thread. The
// per-thread stack is kept in the library's thread slot and released at thread exit and in
// terminate through releaseThreadRegionStack.
//
// Every operation works on both stacks under the global lock, and the thread's stack supplies
// the answer when there is one. The reports of RegionStack run under that lock too, so a
// diagnosis handler sees the stacks in a consistent state and other threads wait for it.
#include "DebugRegions.h"

#include "ModuleId.h"
#include "PlatformInternal.h"

#include <new>

QUOR_MODULE_ID(kDebugRegionsModuleId, "DebugRegions.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

namespace {

// Constant-initialised (see RegionStack's constructor) and without a destructor: usable from the
// first process attach to the last detach, by any thread, in any order of start-up.
ProcessRegionStack g_processRegions;

}  // namespace

void createThreadRegionStack() {
  void* block = sysMalloc(sizeof(ThreadRegionStack));
  if (block == nullptr) return;  // not reported: the next operation tries again
  setThreadSlot(new (block) ThreadRegionStack());
}

ThreadRegionStack* getThreadRegionStack() {
  Platform::lock();
  void* stack = getThreadSlot();
  if (stack == nullptr && isThreadSlotAllocated()) {
    createThreadRegionStack();
    stack = getThreadSlot();
  }
  Platform::unlock();
  return static_cast<ThreadRegionStack*>(stack);
}

// Takes no lock: it touches only the calling thread's own stack and slot value. The stack has a
// trivial destructor, so releasing it is freeing its block.
void releaseThreadRegionStack() {
  void* stack = getThreadSlot();
  if (stack != nullptr) sysFree(stack);
  setThreadSlot(nullptr);
}

void Platform::pushDebugRegion(unsigned short region) {
  lock();
  g_processRegions.push(region);
  ThreadRegionStack* threadStack = getThreadRegionStack();
  if (threadStack != nullptr) {
    RegionEntry entry;
    entry.region = region;
    threadStack->push(entry);
  }
  unlock();
}

unsigned short Platform::popDebugRegion() {
  lock();
  unsigned short region = g_processRegions.pop();
  ThreadRegionStack* threadStack = getThreadRegionStack();
  if (threadStack != nullptr) region = threadStack->pop().region;
  unlock();
  return region;
}

unsigned short Platform::getCurrentDebugRegion() {
  lock();
  unsigned short region = g_processRegions.current();
  ThreadRegionStack* threadStack = getThreadRegionStack();
  if (threadStack != nullptr) region = threadStack->current().region;
  unlock();
  return region;
}

}  // namespace quor
