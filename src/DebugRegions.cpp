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

// The process-wide stack holds bare ids, a thread's stack RegionEntry records (`extra` left 0).
unsigned short entryFor(const ProcessRegionStack&, unsigned short region) { return region; }
RegionEntry entryFor(const ThreadRegionStack&, unsigned short region) {
  RegionEntry entry;
  entry.region = region;
  return entry;
}
unsigned short regionOf(unsigned short region) { return region; }
unsigned short regionOf(const RegionEntry& entry) { return entry.region; }

// Every region operation is the same walk: under the global lock, `step` works the process-wide
// stack and then the calling thread's stack, if it has one, whose answer then replaces the
// process-wide one. So both stacks change on every push and pop, and when both overflow or
// underflow the process-wide report comes first.
template <typename Step>
unsigned short onBothStacks(Step step) {
  Platform::lock();
  unsigned short region = step(g_processRegions);
  ThreadRegionStack* threadStack = getThreadRegionStack();
  if (threadStack != nullptr) region = step(*threadStack);
  Platform::unlock();
  return region;
}

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
  onBothStacks([region](auto& stack) {
    stack.push(entryFor(stack, region));
    return region;
  });
}

unsigned short Platform::popDebugRegion() {
  return onBothStacks([](auto& stack) { return regionOf(stack.pop()); });
}

unsigned short Platform::getCurrentDebugRegion() {
  return onBothStacks([](auto& stack) { return regionOf(stack.current()); });
}

}  // namespace quor
