// VirtualAlloc, VirtualFree and VirtualQuery over mmap.
//
// Linux knows mappings, not allocations: munmap happily releases part of a mapping or several at
// once, and nothing remembers where an allocation began. Windows callers (the heap above all)
// rely on exactly that knowledge: MEM_RELEASE works only at an allocation's base and releases
// that allocation whole, and VirtualQuery names the allocation an address belongs to. So the PAL
// keeps a registry of the allocations it made, sorted by address, and answers from it.
//
// Placement follows Windows where the library can see it: bases are multiples of the allocation
// granularity (mmap only promises pages, so a region is over-mapped and trimmed), address space
// given back is handed out again first-fit, and bottom-up allocations follow one another, so
// that consecutive allocations tend to be adjacent as they are on Windows. Bottom-up allocations
// start low in the address space (kBottomUpStart), far below the kernel's own mmap area, which
// grows downwards and would leave no room above a region for the next one; MEM_TOP_DOWN leaves
// the placement to the kernel, which is the top-down side.
#include <pal/scoped_lock.h>

#include "pal_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct Allocation {
  uintptr_t base;
  size_t size;  // whole pages
  DWORD protect;
};

struct Hole {
  uintptr_t base;
  size_t size;
};

constexpr uintptr_t kHighestAddress = 0xFFFEFFFFu;  // as GetSystemInfo reports
constexpr size_t kMaxHoles = 64;
constexpr size_t kFreeScanLimit = 0x100000;  // how far VirtualQuery looks for the end of a free run

pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
Allocation* allocations = nullptr;
size_t allocationCount = 0;
size_t allocationCapacity = 0;
Hole holes[kMaxHoles];
size_t holeCount = 0;
constexpr uintptr_t kBottomUpStart = 0x10000000;  // above any executable's data and early brk heap
uintptr_t bottomUpCursor = kBottomUpStart;

size_t pageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// The granularity GetSystemInfo reports, unless a test made it unusable for placement (not a
// power of two, or below a real page): then the Windows value.
size_t granularity() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  size_t g = info.dwAllocationGranularity;
  if (g < pageSize() || (g & (g - 1)) != 0) g = 0x10000;
  return g;
}

bool protectionOf(DWORD protect, int* prot) {
  switch (protect) {
    case PAGE_NOACCESS: *prot = PROT_NONE; return true;
    case PAGE_READONLY: *prot = PROT_READ; return true;
    case PAGE_READWRITE: *prot = PROT_READ | PROT_WRITE; return true;
    case PAGE_EXECUTE: *prot = PROT_EXEC; return true;
    case PAGE_EXECUTE_READ: *prot = PROT_READ | PROT_EXEC; return true;
    case PAGE_EXECUTE_READWRITE: *prot = PROT_READ | PROT_WRITE | PROT_EXEC; return true;
    default: return false;
  }
}

// Index of the first allocation whose base is above `address`.
size_t upperBound(uintptr_t address) {
  size_t lo = 0, hi = allocationCount;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (allocations[mid].base <= address)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

Allocation* allocationHolding(uintptr_t address) {
  size_t i = upperBound(address);
  if (i == 0) return nullptr;
  Allocation* a = &allocations[i - 1];
  return address - a->base < a->size ? a : nullptr;
}

bool recordAllocation(uintptr_t base, size_t size, DWORD protect) {
  if (allocationCount == allocationCapacity) {
    size_t capacity = allocationCapacity ? allocationCapacity * 2 : 64;
    void* grown = realloc(allocations, capacity * sizeof(Allocation));
    if (!grown) return false;
    allocations = static_cast<Allocation*>(grown);
    allocationCapacity = capacity;
  }
  size_t i = upperBound(base);
  for (size_t j = allocationCount; j > i; --j) allocations[j] = allocations[j - 1];
  allocations[i] = Allocation{base, size, protect};
  ++allocationCount;
  return true;
}

void forgetAllocation(Allocation* a) {
  size_t i = static_cast<size_t>(a - allocations);
  for (size_t j = i + 1; j < allocationCount; ++j) allocations[j - 1] = allocations[j];
  --allocationCount;
}

void removeHole(size_t i) {
  for (size_t j = i + 1; j < holeCount; ++j) holes[j - 1] = holes[j];
  --holeCount;
}

// Remembers released address space for first-fit reuse, merged with its neighbours. When the
// table is full the highest hole is dropped: forgetting one only costs placement, not safety.
void addHole(uintptr_t base, size_t size) {
  size_t i = 0;
  while (i < holeCount && holes[i].base < base) ++i;
  if (i > 0 && holes[i - 1].base + holes[i - 1].size == base) {
    holes[i - 1].size += size;
    if (i < holeCount && base + size == holes[i].base) {
      holes[i - 1].size += holes[i].size;
      removeHole(i);
    }
    return;
  }
  if (i < holeCount && base + size == holes[i].base) {
    holes[i].base = base;
    holes[i].size += size;
    return;
  }
  if (holeCount == kMaxHoles) {
    if (i == holeCount) return;
    --holeCount;
  }
  for (size_t j = holeCount; j > i; --j) holes[j] = holes[j - 1];
  holes[i] = Hole{base, size};
  ++holeCount;
}

// mmap at exactly `address` or not at all (a hint the kernel may not honour).
void* mapAt(uintptr_t address, size_t size, int prot) {
  void* want = reinterpret_cast<void*>(address);
  void* got = mmap(want, size, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  if (got != want) {
    munmap(got, size);
    return nullptr;
  }
  return got;
}

// A mapping of `size` bytes whose base is a multiple of `align`, placed by the kernel.
void* mapAligned(size_t size, size_t align, int prot) {
  size_t span = size + align - pageSize();
  if (span < size) return nullptr;
  void* raw = mmap(nullptr, span, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  uintptr_t base = (start + align - 1) & ~(align - 1);
  if (base > start) munmap(raw, base - start);
  uintptr_t end = start + span;
  if (end > base + size) munmap(reinterpret_cast<void*>(base + size), end - (base + size));
  return reinterpret_cast<void*>(base);
}

void* placeBottomUp(size_t size, size_t align, int prot) {
  for (size_t i = 0; i < holeCount;) {
    Hole& h = holes[i];
    uintptr_t base = (h.base + align - 1) & ~(align - 1);
    if (base - h.base >= h.size || h.size - (base - h.base) < size) {
      ++i;
      continue;
    }
    if (void* p = mapAt(base, size, prot)) {
      uintptr_t end = base + size, holeEnd = h.base + h.size;
      if (base == h.base) {
        if (end == holeEnd)
          removeHole(i);
        else {
          h.base = end;
          h.size = holeEnd - end;
        }
      } else {
        h.size = base - h.base;
        if (end < holeEnd) addHole(end, holeEnd - end);
      }
      return p;
    }
    removeHole(i);  // someone else maps there now
  }
  void* p = nullptr;
  if (bottomUpCursor != 0 && bottomUpCursor + size - 1 <= kHighestAddress) {
    p = mapAt(bottomUpCursor, size, prot);
  }
  if (!p) p = mapAligned(size, align, prot);
  if (p) {
    uintptr_t end = reinterpret_cast<uintptr_t>(p) + size;
    bottomUpCursor = (end + align - 1) & ~(align - 1);
  }
  return p;
}

}  // namespace

extern "C" LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType,
                                      DWORD protect) {
  int prot = 0;
  const DWORD kinds = allocationType & (MEM_COMMIT | MEM_RESERVE);
  if (size == 0 || kinds == 0 ||
      (allocationType & ~(MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN)) != 0 ||
      !protectionOf(protect, &prot)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (pal_should_fail("VirtualAlloc")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const size_t page = pageSize();
  const size_t align = granularity();
  const size_t rounded = (size + page - 1) & ~(page - 1);
  if (rounded < size) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  pal::ScopedLock lock(registryLock);
  if (address != nullptr) {
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    // Committing pages of an allocation that is already committed succeeds and changes nothing,
    // as on Windows; every allocation of this PAL is committed whole.
    if (kinds == MEM_COMMIT) {
      uintptr_t first = at & ~(page - 1);
      Allocation* a = allocationHolding(first);
      if (!a || at + size - a->base > a->size) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
      }
      return reinterpret_cast<LPVOID>(first);
    }
    uintptr_t base = at & ~(align - 1);
    void* p = (base + rounded - 1 <= kHighestAddress) ? mapAt(base, rounded, prot) : nullptr;
    if (!p || !recordAllocation(base, rounded, protect)) {
      if (p) munmap(p, rounded);
      SetLastError(ERROR_INVALID_ADDRESS);
      return nullptr;
    }
    return p;
  }
  if (kinds == MEM_RESERVE) {
    // Reserving without committing would need per-page state that no caller uses.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }

  void* p = (allocationType & MEM_TOP_DOWN) ? mapAligned(rounded, align, prot)
                                            : placeBottomUp(rounded, align, prot);
  if (!p) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!recordAllocation(reinterpret_cast<uintptr_t>(p), rounded, protect)) {
    munmap(p, rounded);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return p;
}

extern "C" BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
  if (freeType != MEM_RELEASE) {
    // Decommitting would leave reserved-only pages, which this PAL does not keep (see the header).
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uintptr_t base = reinterpret_cast<uintptr_t>(address);
  pal::ScopedLock lock(registryLock);
  Allocation* a = allocationHolding(base);
  if (!a || a->base != base) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  size_t length = a->size;
  // Unmapped before the registry forgets it, under the lock, so a concurrent VirtualAlloc that
  // gets the same address back cannot be recorded over a stale entry.
  if (munmap(address, length) != 0) {
    pal_set_last_error_from_errno();
    return FALSE;
  }
  forgetAllocation(a);
  addHole(base, length);
  return TRUE;
}

extern "C" SIZE_T WINAPI VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer,
                                      SIZE_T length) {
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (!buffer || length < sizeof(MEMORY_BASIC_INFORMATION) || at > kHighestAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t page = pageSize();
  const uintptr_t first = at & ~(page - 1);
  buffer->BaseAddress = reinterpret_cast<PVOID>(first);

  pal::ScopedLock lock(registryLock);
  if (Allocation* a = allocationHolding(first)) {
    buffer->AllocationBase = reinterpret_cast<PVOID>(a->base);
    buffer->AllocationProtect = a->protect;
    buffer->RegionSize = a->base + a->size - first;
    buffer->State = MEM_COMMIT;
    buffer->Protect = a->protect;
    buffer->Type = MEM_PRIVATE;
    return sizeof(MEMORY_BASIC_INFORMATION);
  }

  // Not ours. A page mapped by someone else (the C runtime, a stack, the executable) is in use,
  // but who allocated it and how is unknown: it is reported as one committed page that is its
  // own allocation, with no protection named, so no caller takes it for releasable memory of
  // its own. An unmapped page starts a free run that ends at the next mapped page.
  unsigned char residency;
  if (mincore(reinterpret_cast<void*>(first), page, &residency) == 0) {
    buffer->AllocationBase = reinterpret_cast<PVOID>(first);
    buffer->AllocationProtect = 0;
    buffer->RegionSize = page;
    buffer->State = MEM_COMMIT;
    buffer->Protect = 0;
    buffer->Type = MEM_PRIVATE;
    return sizeof(MEMORY_BASIC_INFORMATION);
  }
  size_t i = upperBound(first);
  uintptr_t limit = i < allocationCount ? allocations[i].base : kHighestAddress + 1;
  if (limit - first > kFreeScanLimit) limit = first + kFreeScanLimit;
  uintptr_t end = first + page;
  while (end < limit && mincore(reinterpret_cast<void*>(end), page, &residency) != 0 &&
         errno == ENOMEM) {
    end += page;
  }
  buffer->AllocationBase = nullptr;
  buffer->AllocationProtect = 0;
  buffer->RegionSize = end - first;
  buffer->State = MEM_FREE;
  buffer->Protect = PAGE_NOACCESS;
  buffer->Type = 0;
  return sizeof(MEMORY_BASIC_INFORMATION);
}
