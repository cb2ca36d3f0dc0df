// Local memory: LocalAlloc, LocalLock, LocalUnlock and LocalFree.
//
// A moveable block's handle is the address of a slot in a handle table, never the block's own
// address, so that code which uses a handle as a pointer fails here as it does on Windows. The
// table grows by chunks that are never given back: a handle can then be checked by address
// range alone, without touching memory it might not own.
#include <fault_guard.h>
#include <pal/scoped_lock.h>

#include "pal_internal.h"

#include <stdlib.h>
#include <string.h>

namespace {

struct Slot {
  void* data;  // null for a discarded (0-byte) block
  unsigned lockCount;
  bool used;
  Slot* nextFree;
};

constexpr int kSlotsPerChunk = 256;

struct Chunk {
  Slot slots[kSlotsPerChunk];
  Chunk* next;
};

// Fixed blocks carry this header so that LocalFree knows them from moveable handles.
struct alignas(8) FixedHeader {
  uint32_t magic;
  uint32_t reserved;
};
constexpr uint32_t kFixedMagic = 0x4C4D4658;  // "XFML"

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Chunk* g_chunks = nullptr;
Slot* g_freeSlots = nullptr;

// The table chunk whose slots hold the value, or null. Caller holds the lock.
Chunk* chunkHolding(HLOCAL handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  for (Chunk* chunk = g_chunks; chunk != nullptr; chunk = chunk->next) {
    uintptr_t first = reinterpret_cast<uintptr_t>(&chunk->slots[0]);
    uintptr_t end = reinterpret_cast<uintptr_t>(&chunk->slots[kSlotsPerChunk]);
    if (value >= first && value < end) return chunk;
  }
  return nullptr;
}

// The live slot a handle names, or null. Caller holds the lock.
Slot* slotOf(HLOCAL handle) {
  Chunk* chunk = chunkHolding(handle);
  if (chunk == nullptr) return nullptr;
  uintptr_t offset =
      reinterpret_cast<uintptr_t>(handle) - reinterpret_cast<uintptr_t>(&chunk->slots[0]);
  if (offset % sizeof(Slot) != 0) return nullptr;
  Slot* slot = static_cast<Slot*>(handle);
  return slot->used ? slot : nullptr;
}

// Caller holds the lock.
Slot* takeSlot() {
  if (g_freeSlots == nullptr) {
    Chunk* chunk = static_cast<Chunk*>(calloc(1, sizeof(Chunk)));
    if (chunk == nullptr) return nullptr;
    for (int i = kSlotsPerChunk - 1; i >= 0; --i) {
      chunk->slots[i].nextFree = g_freeSlots;
      g_freeSlots = &chunk->slots[i];
    }
    chunk->next = g_chunks;
    g_chunks = chunk;
  }
  Slot* slot = g_freeSlots;
  g_freeSlots = slot->nextFree;
  slot->nextFree = nullptr;
  slot->used = true;
  slot->lockCount = 0;
  slot->data = nullptr;
  return slot;
}

// A fixed block is known by the header in front of it. Reading that header from a value that is
// no block at all may fault; Windows validates handles under an exception handler and reports
// ERROR_INVALID_HANDLE, and so does this, under the fault guard. A value inside a handle table is
// a handle, live or stale, and never a fixed block: the eight bytes in front of it are another
// slot, or for a chunk's first slot, memory the table does not own.
FixedHeader* fixedHeaderOf(HLOCAL handle) {
  if (handle == nullptr || reinterpret_cast<uintptr_t>(handle) % alignof(FixedHeader) != 0)
    return nullptr;
  {
    pal::ScopedLock lock(g_lock);
    if (chunkHolding(handle) != nullptr) return nullptr;
  }
  FixedHeader* header = static_cast<FixedHeader*>(handle) - 1;
  volatile bool known = false;
  FAULT_GUARD_TRY { known = header->magic == kFixedMagic; }
  FAULT_GUARD_EXCEPT { known = false; }
  FAULT_GUARD_END
  return known ? header : nullptr;
}

void* allocateData(SIZE_T bytes, bool zero) {
  if (bytes == 0) bytes = 1;
  return zero ? calloc(1, bytes) : malloc(bytes);
}

}  // namespace

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (uFlags & ~(LMEM_VALID_FLAGS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (pal_should_fail("LocalAlloc")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  bool zero = (uFlags & LMEM_ZEROINIT) != 0;
  if (!(uFlags & LMEM_MOVEABLE)) {
    if (uBytes > static_cast<SIZE_T>(-1) - sizeof(FixedHeader)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    FixedHeader* header =
        static_cast<FixedHeader*>(allocateData(uBytes + sizeof(FixedHeader), zero));
    if (header == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    header->magic = kFixedMagic;
    header->reserved = 0;
    return header + 1;
  }

  void* data = nullptr;
  if (uBytes != 0) {
    data = allocateData(uBytes, zero);
    if (data == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  pal::ScopedLock lock(g_lock);
  Slot* slot = takeSlot();
  if (slot == nullptr) {
    free(data);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  slot->data = data;
  return slot;
}

extern "C" LPVOID WINAPI LocalLock(HLOCAL hMem) {
  {
    pal::ScopedLock lock(g_lock);
    Slot* slot = slotOf(hMem);
    if (slot != nullptr) {
      if (slot->data == nullptr) {
        SetLastError(ERROR_DISCARDED);
        return nullptr;
      }
      // An injected failure looks like a block the system discarded.
      if (pal_should_fail("LocalLock")) {
        SetLastError(ERROR_DISCARDED);
        return nullptr;
      }
      // Windows keeps the count in a byte and stops counting at its maximum.
      if (slot->lockCount < 255) ++slot->lockCount;
      return slot->data;
    }
  }
  if (fixedHeaderOf(hMem) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (pal_should_fail("LocalLock")) {
    SetLastError(ERROR_DISCARDED);
    return nullptr;
  }
  return hMem;  // a fixed block is its own pointer and has no lock count
}

extern "C" BOOL WINAPI LocalUnlock(HLOCAL hMem) {
  {
    pal::ScopedLock lock(g_lock);
    Slot* slot = slotOf(hMem);
    if (slot != nullptr) {
      if (slot->lockCount == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
      }
      --slot->lockCount;
      if (slot->lockCount == 0) {
        SetLastError(NO_ERROR);
        return FALSE;
      }
      return TRUE;
    }
  }
  SetLastError(fixedHeaderOf(hMem) != nullptr ? ERROR_NOT_LOCKED : ERROR_INVALID_HANDLE);
  return FALSE;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem == nullptr) return nullptr;  // Windows ignores a null handle
  void* data = nullptr;
  {
    pal::ScopedLock lock(g_lock);
    Slot* slot = slotOf(hMem);
    if (slot != nullptr) {
      data = slot->data;
      slot->used = false;
      slot->data = nullptr;
      slot->lockCount = 0;
      slot->nextFree = g_freeSlots;
      g_freeSlots = slot;
      free(data);
      return nullptr;
    }
  }
  FixedHeader* header = fixedHeaderOf(hMem);
  if (header == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  header->magic = 0;  // a second LocalFree of the same block is then recognised
  free(header);
  return nullptr;
}
