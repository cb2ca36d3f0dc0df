// Loaded ELF objects as the debug-help API sees modules: base, extent, path, unwind tables.
#include <pal/scoped_lock.h>

#include "dbghelp_internal.h"

#include <link.h>
#include <string.h>
#include <unistd.h>

namespace dbghelp {
namespace {

uintptr_t pageDown(uintptr_t value) {
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return value & ~(page - 1);
}

void copyPath(char* out, size_t outSize, const char* in) {
  size_t length = strlen(in);
  if (length >= outSize) length = outSize - 1;
  memcpy(out, in, length);
  out[length] = '\0';
}

bool describe(const struct dl_phdr_info* info, bool first, ModuleRecord* out) {
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
  const ElfW(Phdr)* ehFrame = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_GNU_EH_FRAME) ehFrame = &segment;
    if (segment.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (start < low) low = start;
    if (start + segment.p_memsz > high) high = start + segment.p_memsz;
  }
  if (low == UINTPTR_MAX) return false;
  out->base = pageDown(low);
  out->end = high;
  out->bias = info->dlpi_addr;
  out->executable = first;
  out->ehFrameHdr = 0;
  out->ehLow = out->ehHigh = 0;
  if (ehFrame != nullptr) {
    out->ehFrameHdr = info->dlpi_addr + ehFrame->p_vaddr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
      const ElfW(Phdr)& segment = info->dlpi_phdr[i];
      if (segment.p_type != PT_LOAD) continue;
      uintptr_t start = info->dlpi_addr + segment.p_vaddr;
      if (out->ehFrameHdr >= start && out->ehFrameHdr < start + segment.p_memsz) {
        out->ehLow = start;
        out->ehHigh = start + segment.p_memsz;
      }
    }
    if (out->ehLow == 0) out->ehFrameHdr = 0;  // not inside a loaded segment: not trusted
  }
  if (first || info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') {
    // The executable has no name in the list; the PAL knows its path.
    if (!first && info->dlpi_name != nullptr) {
      copyPath(out->path, sizeof out->path, info->dlpi_name);
    } else if (GetModuleFileNameA(nullptr, out->path, sizeof out->path) == 0) {
      out->path[0] = '\0';
    }
  } else {
    copyPath(out->path, sizeof out->path, info->dlpi_name);
  }
  return true;
}

struct FindQuery {
  uintptr_t address;
  ModuleRecord* out;
  bool first;
  bool found;
};

int findCallback(struct dl_phdr_info* info, size_t, void* data) {
  FindQuery* query = static_cast<FindQuery*>(data);
  bool first = query->first;
  query->first = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (query->address >= start && query->address - start < segment.p_memsz) {
      query->found = describe(info, first, query->out);
      return 1;
    }
  }
  return 0;
}

struct ListQuery {
  ModuleRecord* out;
  size_t capacity;
  size_t count;
  bool first;
};

int listCallback(struct dl_phdr_info* info, size_t, void* data) {
  ListQuery* query = static_cast<ListQuery*>(data);
  bool first = query->first;
  query->first = false;
  if (query->count >= query->capacity) return 1;
  if (describe(info, first, &query->out[query->count])) ++query->count;
  return 0;
}

// Module lookups happen several times per frame of a walk. The list of loaded objects is kept
// here and read again only when the dynamic linker's load/unload counters have moved, which one
// callback on the first object tells.
constexpr size_t kCacheCapacity = 256;
ModuleRecord g_cache[kCacheCapacity];
size_t g_cacheCount = 0;
unsigned long long g_cacheGeneration = ~0ull;
pthread_mutex_t g_cacheLock = PTHREAD_MUTEX_INITIALIZER;

int generationCallback(struct dl_phdr_info* info, size_t size, void* data) {
  if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    *static_cast<unsigned long long*>(data) = info->dlpi_adds * 1000003ull + info->dlpi_subs;
  }
  return 1;
}

}  // namespace

namespace {

bool lookUp(uintptr_t address, ModuleRecord* out, bool withPath) {
  unsigned long long generation = ~0ull - 1;
  dl_iterate_phdr(generationCallback, &generation);
  {
    pal::ScopedLock lock(g_cacheLock);
    if (generation != g_cacheGeneration) {
      ListQuery query = {g_cache, kCacheCapacity, 0, true};
      dl_iterate_phdr(listCallback, &query);
      g_cacheCount = query.count;
      // Only a complete list can answer "in no module".
      g_cacheGeneration = query.count < kCacheCapacity ? generation : ~0ull;
    }
    if (g_cacheGeneration == generation) {
      for (size_t i = 0; i < g_cacheCount; ++i) {
        if (address >= g_cache[i].base && address < g_cache[i].end) {
          memcpy(out, &g_cache[i], withPath ? sizeof *out : offsetof(ModuleRecord, path));
          return true;
        }
      }
      return false;
    }
  }
  FindQuery query = {address, out, true, false};
  dl_iterate_phdr(findCallback, &query);
  return query.found;
}

}  // namespace

bool findModule(uintptr_t address, ModuleRecord* out) { return lookUp(address, out, true); }

bool findModuleRange(uintptr_t address, ModuleRecord* out) { return lookUp(address, out, false); }

size_t listModules(ModuleRecord* out, size_t capacity) {
  ListQuery query = {out, capacity, 0, true};
  dl_iterate_phdr(listCallback, &query);
  return query.count;
}

void shortModuleName(const char* path, char* out, size_t outSize) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  size_t length = 0;
  while (name[length] != '\0' && name[length] != '.') ++length;
  if (length >= outSize) length = outSize - 1;
  memcpy(out, name, length);
  out[length] = '\0';
}

void currentStackBounds(uintptr_t* low, uintptr_t* high) {
  // Per thread and fixed for its life: asked once (for the main thread glibc reads
  // /proc/self/maps to answer).
  static thread_local uintptr_t cachedLow = 0;
  static thread_local uintptr_t cachedHigh = 0;
  if (cachedHigh == 0) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      void* address = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
        cachedLow = reinterpret_cast<uintptr_t>(address);
        cachedHigh = cachedLow + size;
      }
      pthread_attr_destroy(&attributes);
    }
  }
  *low = cachedLow;
  *high = cachedHigh;
}

// A walk reads the thread's stack as raw words, the slots of frames that have returned included:
// that is what unwinding is. Under AddressSanitizer such a slot may lie in a dead frame's red
// zone, so this one read is left uninstrumented (and done as a plain load, which an intercepted
// memcpy would not be); the bounds above keep it inside the stack.
__attribute__((no_sanitize_address)) bool MemoryReader::read32(uintptr_t address,
                                                               uint32_t* value) const {
  if (routine != nullptr) {
    DWORD got = 0;
    return routine(process, address, value, sizeof *value, &got) && got == sizeof *value;
  }
  if (address < stackLow || address > stackHigh - sizeof *value || address % 4 != 0) return false;
  typedef uint32_t __attribute__((may_alias)) StackWord;
  *value = *reinterpret_cast<const volatile StackWord*>(address);
  return true;
}

}  // namespace dbghelp
