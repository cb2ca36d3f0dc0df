// GetSystemInfo from sysconf, with the granularity of Windows (64 KiB) rather than the page size,
// because that is what VirtualAlloc aligns to here as well. pal_set_system_info lets a test
// present other figures (a heap that must refuse a page size that is not a power of two).
#include "pal_internal.h"
#include <pal/testing.h>

#include <unistd.h>

#include <atomic>

namespace {

constexpr DWORD kWindowsGranularity = 0x10000;

std::atomic<unsigned int> overridePageSize{0};
std::atomic<unsigned int> overrideGranularity{0};

DWORD realPageSize() {
  long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<DWORD>(page) : 4096;
}

}  // namespace

extern "C" void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  unsigned int page = overridePageSize.load(std::memory_order_relaxed);
  unsigned int granularity = overrideGranularity.load(std::memory_order_relaxed);
  if (page == 0 && granularity == 0) {
    page = realPageSize();
    granularity = kWindowsGranularity;
  }
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 1) cpus = 1;
  if (cpus > 32) cpus = 32;

  info->u.s.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  info->u.s.wReserved = 0;
  info->dwPageSize = page;
  // The lowest and highest addresses a 32-bit process may be handed (the first 64 KiB are
  // never mapped, as on Windows; Linux gives a 32-bit process on a 64-bit kernel nearly 4 GiB).
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
  info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0xFFFEFFFFu));
  info->dwActiveProcessorMask = cpus == 32 ? 0xFFFFFFFFu : ((1u << cpus) - 1);
  info->dwNumberOfProcessors = static_cast<DWORD>(cpus);
  info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
  info->dwAllocationGranularity = granularity;
  info->wProcessorLevel = 6;
  info->wProcessorRevision = 0;
}

extern "C" void pal_set_system_info(unsigned int page_size, unsigned int granularity) {
  overridePageSize.store(page_size, std::memory_order_relaxed);
  overrideGranularity.store(granularity, std::memory_order_relaxed);
}
