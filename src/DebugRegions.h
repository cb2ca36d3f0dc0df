// The debug region stacks behind Platform::pushDebugRegion/popDebugRegion/getCurrentDebugRegion:
// the fixed-capacity stack shared by the process-wide and the per-thread stacks, and the lookup of
// the calling thread's stack. Internal: nothing here is exported.
#ifndef QUORKIT_DEBUG_REGIONS_H
#define QUORKIT_DEBUG_REGIONS_H

#include <quor/Platform.h>

namespace quor {

// Entry of a per-thread stack. `extra` is carried for the record layout and always 0.
struct RegionEntry {
  unsigned short region;
  unsigned int extra;

  constexpr RegionEntry() : region(0), extra(0) {}
};

// A stack of 64 entries whose base, entries[0], is never pushed: at most 63 regions fit above it.
// `top` counts pushes minus pops and is deliberately not clamped, so that an overflowing push and
// its matching pop cancel out silently; every read clamps it instead (below 0 reads the base, 64
// or more reads entry 63). Overflow and underflow are reported and the operation carries on.
template <typename Entry>
struct RegionStack {
  static constexpr int kCapacity = 64;

  Entry entries[kCapacity];
  int top;

  // constexpr so that the process-wide stack is constant-initialised: it is ready before any
  // code of the library runs, whatever order the loader and the runtime's start-up choose. The
  // entries above the base are zeroed too, as C++17 asks of a constexpr constructor; nothing
  // reads one before a push has written it.
  constexpr RegionStack() : entries{}, top(0) {}

  void push(const Entry& value) {
    ++top;
    if (static_cast<unsigned int>(top) < static_cast<unsigned int>(kCapacity)) {
      entries[top] = value;
    } else {
      Platform::diagnosis(LEVEL_ERROR, "stack overflow.");
    }
  }

  Entry pop() {
    Entry value = entries[clampedTop()];
    --top;
    if (top < 0) Platform::diagnosis(LEVEL_ERROR, "stack underflow.");
    return value;
  }

  const Entry& current() const { return entries[clampedTop()]; }

 private:
  int clampedTop() const { return top < 0 ? 0 : (top >= kCapacity ? kCapacity - 1 : top); }
};

typedef RegionStack<unsigned short> ProcessRegionStack;
typedef RegionStack<RegionEntry> ThreadRegionStack;

// The calling thread's stack, created on first use while a thread slot exists; null when there
// is no slot or its allocation failed (tried again on the next call). Takes the global lock.
ThreadRegionStack* getThreadRegionStack();

// Allocates and constructs the calling thread's stack and stores it in the thread slot; does
// nothing when the allocation fails.
void createThreadRegionStack();

}  // namespace quor

#endif
