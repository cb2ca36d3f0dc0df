// The loader: LoadLibraryA, FreeLibrary, GetProcAddress, GetModuleFileNameA, GetSystemDirectoryA
// over dlopen/dlsym, the built-in "kernel32.dll" (which hands out RtlCaptureContext), and the
// system directory control for tests.
//
// The system directory. Windows keeps the system's own DLLs in one directory that the search
// reaches after the application's directory. The PAL's equivalent is the folder "quorkit" next to
// the object that holds the PAL: for an installed libquorkit.so in <prefix>/lib that is
// <prefix>/lib/quorkit, where an installation puts the PAL's dbghelp.dll. It is deliberately not
// the library's own directory: for a program linked with the static PAL that would be the
// program's directory, and the private copy beside the program could never be told from the
// system's. Tests point it elsewhere with pal_set_system_directory.
#include <pal/scoped_lock.h>
#include <pal/testing.h>

#include "pal_internal.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace {

constexpr int kMaxModules = 64;
constexpr size_t kPathSize = PATH_MAX + 16;

struct Module {
  bool used;
  void* dl;
  uintptr_t base;
  unsigned references;
  char path[kPathSize];  // as GetModuleFileNameA reports it
};

Module g_modules[kMaxModules];
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
char g_systemDirectory[kPathSize];  // empty: the default
char g_defaultSystemDirectory[kPathSize];
char g_executablePath[kPathSize];
pthread_once_t g_pathsOnce = PTHREAD_ONCE_INIT;

// Stands for kernel32.dll: its address is the built-in module's handle.
alignas(16) const char g_kernel32Image[16] = "kernel32";

HMODULE kernel32Handle() { return reinterpret_cast<HMODULE>(const_cast<char*>(g_kernel32Image)); }

struct Kernel32Export {
  const char* name;
  FARPROC address;
};

template <typename F>
FARPROC asFarProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

// The kernel32 functions that the PAL implements and hands out by name.
const Kernel32Export* kernel32Exports(size_t* count) {
  static const Kernel32Export exports[] = {
      {"RtlCaptureContext", asFarProc(&RtlCaptureContext)},
      {"GetLastError", asFarProc(&GetLastError)},
      {"SetLastError", asFarProc(&SetLastError)},
      {"GetCurrentProcess", asFarProc(&GetCurrentProcess)},
      {"GetCurrentThread", asFarProc(&GetCurrentThread)},
      {"LoadLibraryA", asFarProc(&LoadLibraryA)},
      {"FreeLibrary", asFarProc(&FreeLibrary)},
      {"GetProcAddress", asFarProc(&GetProcAddress)},
      {"GetModuleFileNameA", asFarProc(&GetModuleFileNameA)},
      {"GetSystemDirectoryA", asFarProc(&GetSystemDirectoryA)},
      {"CreateFileA", asFarProc(&CreateFileA)},
      {"ReadFile", asFarProc(&ReadFile)},
      {"WriteFile", asFarProc(&WriteFile)},
      {"CloseHandle", asFarProc(&CloseHandle)},
      {"LocalAlloc", asFarProc(&LocalAlloc)},
      {"LocalLock", asFarProc(&LocalLock)},
      {"LocalUnlock", asFarProc(&LocalUnlock)},
      {"LocalFree", asFarProc(&LocalFree)},
      {"lstrcatA", asFarProc(&lstrcatA)},
      {"lstrcmpiA", asFarProc(&lstrcmpiA)},
      {"lstrcpynA", asFarProc(&lstrcpynA)},
  };
  *count = sizeof exports / sizeof exports[0];
  return exports;
}

void copyString(char* out, size_t outSize, const char* in) {
  size_t length = strlen(in);
  if (length >= outSize) length = outSize - 1;
  memcpy(out, in, length);
  out[length] = '\0';
}

// The directory part of a path, without the final separator ("/" stays "/").
void directoryOf(const char* path, char* out, size_t outSize) {
  copyString(out, outSize, path);
  char* slash = strrchr(out, '/');
  if (slash == nullptr) {
    copyString(out, outSize, ".");
  } else if (slash == out) {
    out[1] = '\0';
  } else {
    *slash = '\0';
  }
}

// Load address (lowest PT_LOAD, page-aligned) and file name of the object holding an address.
struct ObjectQuery {
  uintptr_t address;  // in: an address inside the object, or 0 to match by base
  uintptr_t base;     // in when address is 0; out
  const char* name;   // out: dlpi_name ("" for the executable)
  bool found;
};

uintptr_t pageDown(uintptr_t value) {
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return value & ~(page - 1);
}

// Lowest PT_LOAD address of an object, page-aligned: where its ELF header is mapped.
uintptr_t loadBase(const struct dl_phdr_info* info) {
  uintptr_t low = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (start < low) low = start;
  }
  return low == UINTPTR_MAX ? 0 : pageDown(low);
}

bool contains(const struct dl_phdr_info* info, uintptr_t address) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (address >= start && address - start < segment.p_memsz) return true;
  }
  return false;
}

int findObject(struct dl_phdr_info* info, size_t, void* data) {
  ObjectQuery* query = static_cast<ObjectQuery*>(data);
  uintptr_t base = loadBase(info);
  if (base == 0) return 0;
  bool match = query->address != 0 ? contains(info, query->address) : base == query->base;
  if (!match) return 0;
  query->base = base;
  query->name = info->dlpi_name;
  query->found = true;
  return 1;
}

bool queryObject(ObjectQuery* query) {
  query->found = false;
  dl_iterate_phdr(findObject, query);
  return query->found;
}

// The executable is the first object the dynamic linker lists.
int takeFirst(struct dl_phdr_info* info, size_t, void* data) {
  ObjectQuery* query = static_cast<ObjectQuery*>(data);
  query->base = loadBase(info);
  query->name = info->dlpi_name;
  query->found = true;
  return 1;
}

bool executableObject(ObjectQuery* query) {
  query->found = false;
  dl_iterate_phdr(takeFirst, query);
  return query->found;
}

void findPaths() {
  ssize_t length = readlink("/proc/self/exe", g_executablePath, sizeof g_executablePath - 1);
  if (length > 0) {
    g_executablePath[length] = '\0';
  } else {
    const char* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (name == nullptr || realpath(name, g_executablePath) == nullptr) g_executablePath[0] = '\0';
  }

  // The object that holds this code: libquorkit.so, or the executable for a static PAL.
  ObjectQuery query = {};
  query.address = reinterpret_cast<uintptr_t>(&findPaths);
  char holder[kPathSize];
  holder[0] = '\0';
  if (queryObject(&query) && query.name != nullptr && query.name[0] != '\0') {
    if (realpath(query.name, holder) == nullptr) copyString(holder, sizeof holder, query.name);
  } else {
    copyString(holder, sizeof holder, g_executablePath);
  }
  char directory[kPathSize];
  directoryOf(holder, directory, sizeof directory);
  if (strcmp(directory, "/") == 0) directory[0] = '\0';
  copyString(g_defaultSystemDirectory, sizeof g_defaultSystemDirectory, directory);
  strncat(g_defaultSystemDirectory, "/quorkit",
          sizeof g_defaultSystemDirectory - strlen(g_defaultSystemDirectory) - 1);
}

const char* executablePath() {
  pthread_once(&g_pathsOnce, findPaths);
  return g_executablePath;
}

// Caller holds the lock.
const char* systemDirectory() {
  pthread_once(&g_pathsOnce, findPaths);
  return g_systemDirectory[0] != '\0' ? g_systemDirectory : g_defaultSystemDirectory;
}

bool hasSeparator(const char* name) {
  return strchr(name, '/') != nullptr || strchr(name, '\\') != nullptr;
}

const char* fileNamePart(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') last = p + 1;
  }
  return last;
}

// Caller holds the lock.
Module* moduleByBase(HMODULE handle) {
  uintptr_t base = reinterpret_cast<uintptr_t>(handle);
  for (Module& module : g_modules) {
    if (module.used && module.base == base) return &module;
  }
  return nullptr;
}

Module* moduleByFileName(const char* fileName) {
  for (Module& module : g_modules) {
    if (module.used && lstrcmpiA(fileNamePart(module.path), fileName) == 0) return &module;
  }
  return nullptr;
}

Module* moduleByPath(const char* path) {
  for (Module& module : g_modules) {
    if (module.used && strcmp(module.path, path) == 0) return &module;
  }
  return nullptr;
}

HMODULE moduleNotFound() {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE addReference(Module* module) {
  ++module->references;
  return reinterpret_cast<HMODULE>(module->base);
}

// dlopen the file and enter it in the table under the name GetModuleFileNameA will report.
// Caller holds the lock.
HMODULE loadFile(const char* posixPath, const char* reportedPath) {
  void* dl = dlopen(posixPath, RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) {
    const char* why = dlerror();
    // An unresolved import is ERROR_PROC_NOT_FOUND on Windows; anything else means the file is
    // not a module this process can load.
    SetLastError(why != nullptr && strstr(why, "undefined symbol") != nullptr
                     ? ERROR_PROC_NOT_FOUND
                     : ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  struct link_map* map = nullptr;
  ObjectQuery query = {};
  if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    dlclose(dl);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  query.address = reinterpret_cast<uintptr_t>(map->l_ld);  // the dynamic section lies inside it
  if (!queryObject(&query)) {
    dlclose(dl);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  // The same object reached under another name: one more reference to the entry it has.
  Module* known = moduleByBase(reinterpret_cast<HMODULE>(query.base));
  if (known != nullptr) {
    dlclose(dl);
    return addReference(known);
  }
  for (Module& module : g_modules) {
    if (module.used) continue;
    module.used = true;
    module.dl = dl;
    module.base = query.base;
    module.references = 1;
    copyString(module.path, sizeof module.path, reportedPath);
    return reinterpret_cast<HMODULE>(module.base);
  }
  dlclose(dl);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

// a + separator + b into out; false when it does not fit.
bool joinPath(char* out, size_t outSize, const char* a, char separator, const char* b) {
  const size_t lengthA = strlen(a);
  if (lengthA + 1 + strlen(b) + 1 > outSize) return false;
  copyString(out, outSize, a);
  out[lengthA] = separator;
  copyString(out + lengthA + 1, outSize - lengthA - 1, b);
  return true;
}

bool fileExists(const char* path) { return access(path, F_OK) == 0; }

// A name with a directory part: loaded from there, and reported as an absolute POSIX path
// (a relative one is taken from the current directory). Caller holds the lock.
HMODULE loadByPath(const char* fileName) {
  char given[kPathSize];
  if (!pal_to_posix_path(fileName, given, sizeof given)) return moduleNotFound();
  char path[kPathSize];
  if (given[0] == '/') {
    copyString(path, sizeof path, given);
  } else {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return moduleNotFound();
    if (!joinPath(path, sizeof path, cwd, '/', given)) return moduleNotFound();
  }
  Module* known = moduleByPath(path);
  if (known != nullptr) return addReference(known);
  if (!fileExists(path)) return moduleNotFound();
  return loadFile(path, path);
}

// The file name a bare module name stands for: ".dll" appended when it has no extension, and a
// trailing '.' ("name.") meaning exactly this name without one. False when it cannot be a file
// name.
bool searchName(const char* moduleName, char* name, size_t nameSize) {
  size_t length = strlen(moduleName);
  if (length + 4 >= nameSize) return false;
  copyString(name, nameSize, moduleName);
  if (name[length - 1] == '.') {
    name[length - 1] = '\0';
  } else if (strchr(name, '.') == nullptr) {
    strcat(name, ".dll");
  }
  return true;
}

// A name without a directory part: a module already loaded under it, the built-in kernel32.dll,
// then the executable's directory and the system directory, in that order. Caller holds the
// lock.
HMODULE loadBySearch(const char* moduleName) {
  char name[NAME_MAX + 1];
  if (!searchName(moduleName, name, sizeof name)) return moduleNotFound();
  if (lstrcmpiA(name, "kernel32.dll") == 0) return kernel32Handle();
  Module* known = moduleByFileName(name);
  if (known != nullptr) return addReference(known);

  char directories[2][kPathSize];
  directoryOf(executablePath(), directories[0], sizeof directories[0]);
  copyString(directories[1], sizeof directories[1], systemDirectory());
  char posixPath[kPathSize];
  char reported[kPathSize];
  for (const auto& directory : directories) {
    if (!joinPath(posixPath, sizeof posixPath, directory, '/', name)) continue;
    pal_to_posix_path(posixPath, posixPath, sizeof posixPath);  // same length: always fits
    if (!fileExists(posixPath)) continue;
    // Named as the Windows loader names a module it found in a directory.
    joinPath(reported, sizeof reported, directory, '\\', name);  // fits: same length as posixPath
    return loadFile(posixPath, reported);
  }
  return moduleNotFound();
}

}  // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (pal_should_fail("LoadLibraryA")) return moduleNotFound();
  if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  pal::ScopedLock lock(g_lock);
  return hasSeparator(lpLibFileName) ? loadByPath(lpLibFileName) : loadBySearch(lpLibFileName);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (hLibModule == kernel32Handle()) return TRUE;  // built in: never unloaded
  void* dl = nullptr;
  {
    pal::ScopedLock lock(g_lock);
    Module* module = moduleByBase(hLibModule);
    if (module == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (--module->references > 0) return TRUE;
    dl = module->dl;
    module->used = false;
  }
  dlclose(dl);
  return TRUE;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {  // an ordinal, or null
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (hModule == kernel32Handle()) {
    size_t count = 0;
    const Kernel32Export* exports = kernel32Exports(&count);
    for (size_t i = 0; i < count; ++i) {
      if (strcmp(exports[i].name, lpProcName) == 0) return exports[i].address;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }

  void* dl = nullptr;
  bool ownHandle = false;
  uintptr_t base = 0;
  {
    pal::ScopedLock lock(g_lock);
    Module* module = hModule != nullptr ? moduleByBase(hModule) : nullptr;
    if (module != nullptr) {
      dl = module->dl;
      base = module->base;
    }
  }
  if (dl == nullptr) {
    // Not loaded through LoadLibraryA: the executable (null) or another loaded object's base.
    ObjectQuery query = {};
    bool found;
    if (hModule == nullptr) {
      found = executableObject(&query);
    } else {
      query.base = reinterpret_cast<uintptr_t>(hModule);
      found = queryObject(&query);
    }
    if (!found) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    bool named = query.name != nullptr && query.name[0] != '\0';
    dl = named ? dlopen(query.name, RTLD_LAZY | RTLD_NOLOAD) : dlopen(nullptr, RTLD_LAZY);
    if (dl == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    ownHandle = true;
    base = query.base;
  }

  void* symbol = dlsym(dl, lpProcName);
  if (ownHandle) dlclose(dl);
  // dlsym also searches the objects the module depends on; GetProcAddress only the module.
  Dl_info where;
  if (symbol == nullptr || dladdr(symbol, &where) == 0 ||
      pageDown(reinterpret_cast<uintptr_t>(where.dli_fbase)) != base) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  char path[kPathSize];
  if (hModule == nullptr) {
    copyString(path, sizeof path, executablePath());
  } else if (hModule == kernel32Handle()) {
    pal::ScopedLock lock(g_lock);
    if (!joinPath(path, sizeof path, systemDirectory(), '\\', "kernel32.dll")) path[0] = '\0';
  } else {
    pal::ScopedLock lock(g_lock);
    Module* module = moduleByBase(hModule);
    if (module != nullptr) {
      copyString(path, sizeof path, module->path);
    } else {
      ObjectQuery query = {};
      query.base = reinterpret_cast<uintptr_t>(hModule);
      if (!queryObject(&query)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
      }
      copyString(path, sizeof path,
                 query.name != nullptr && query.name[0] != '\0' ? query.name : executablePath());
    }
  }
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  size_t length = strlen(path);
  if (length >= nSize) {
    memcpy(lpFilename, path, nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  memcpy(lpFilename, path, length + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  char directory[kPathSize];
  {
    pal::ScopedLock lock(g_lock);
    copyString(directory, sizeof directory, systemDirectory());
  }
  UINT length = static_cast<UINT>(strlen(directory));
  if (lpBuffer == nullptr || uSize <= length) return length + 1;
  memcpy(lpBuffer, directory, length + 1);
  return length;
}

extern "C" void pal_set_system_directory(const char* path) {
  pthread_once(&g_pathsOnce, findPaths);
  pal::ScopedLock lock(g_lock);
  if (path == nullptr) {
    g_systemDirectory[0] = '\0';
    return;
  }
  copyString(g_systemDirectory, sizeof g_systemDirectory, path);
  // Windows never reports the system directory with a trailing separator, and the modules
  // append "\\" themselves.
  size_t length = strlen(g_systemDirectory);
  while (length > 1 &&
         (g_systemDirectory[length - 1] == '/' || g_systemDirectory[length - 1] == '\\')) {
    g_systemDirectory[--length] = '\0';
  }
}
