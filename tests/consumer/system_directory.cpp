// Linux only: where the PAL inside an installed libquorkit.so looks for system DLLs, and which
// dbghelp.dll LoadLibraryA finds from a program that has none beside it. The consumer test checks
// that the first is the installed lib/quorkit and the second the copy installed there.
//
// The PAL's Windows headers are not installed, so the three loader functions that libquorkit.so
// exports are declared here as an application would declare them.
#include <stdio.h>

extern "C" {
__attribute__((stdcall)) unsigned int GetSystemDirectoryA(char* buffer, unsigned int size);
__attribute__((stdcall)) void* LoadLibraryA(const char* name);
__attribute__((stdcall)) unsigned long GetModuleFileNameA(void* module, char* buffer,
                                                          unsigned long size);
__attribute__((stdcall)) int FreeLibrary(void* module);
}

int main() {
  char directory[4096] = {};
  if (GetSystemDirectoryA(directory, sizeof directory) == 0) return 1;
  printf("system directory: %s\n", directory);

  void* dbghelp = LoadLibraryA("dbghelp.dll");
  char path[4096] = {};
  if (dbghelp != nullptr && GetModuleFileNameA(dbghelp, path, sizeof path) != 0) {
    printf("dbghelp.dll: %s\n", path);
  } else {
    printf("dbghelp.dll: not found\n");
  }
  if (dbghelp != nullptr) FreeLibrary(dbghelp);
  return 0;
}
