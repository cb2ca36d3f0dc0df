// Internal services shared by the platform modules: the thread slot, the system allocator layer
// and the region-stack hook called at thread exit. None of this is exported.
#ifndef QUORKIT_PLATFORM_INTERNAL_H
#define QUORKIT_PLATFORM_INTERNAL_H

namespace quor {

// The global recursive lock's life, driven by the loader entry.
void initializeGlobalLock();
void deleteGlobalLock();

// One pointer per thread (the thread's region stack), in the library's single TLS slot.
bool isThreadSlotAllocated();
void allocateThreadSlot();
void freeThreadSlot();
void setThreadSlot(void* value);
void* getThreadSlot();

// The C runtime's aligned allocator: alignment 8, or the caller's for sysMemalign.
void* sysMalloc(unsigned int size);
void* sysRealloc(void* block, unsigned int size);
void* sysMemalign(unsigned int alignment, unsigned int size);
void sysFree(void* block);

// Frees the calling thread's region stack, if it has one, and clears its slot value.
void releaseThreadRegionStack();

// Called by terminate (false) and at process detach (true): a library built with the memory log
// reports the blocks still allocated there; the default build tracks nothing and does nothing.
void reportLiveBlocks(bool atDetach);

}  // namespace quor

#endif
