/* Loading modules at run time and the module file names.
 *
 * A module is an ELF shared object; its HMODULE is its load address, as on Windows. Search for a
 * name without a path, in this order: a module already loaded under that name, the built-in
 * "kernel32.dll", the directory of the executable, the PAL's system directory. The current
 * directory, PATH and LD_LIBRARY_PATH are not searched: only the two places that the Windows
 * search order puts first matter to the modules (a private copy beside the executable against
 * the system's copy). */
#ifndef QUORKIT_PAL_WIN_LOADER_H
#define QUORKIT_PAL_WIN_LOADER_H

#include <pal/win_types.h>
#include <pal/win_context.h>

PAL_BEGIN_DECLS

/* ".dll" is appended to a name without a path and without an extension (a trailing '.' means
 * "no extension"), as on Windows. A path containing '/' or '\\' is loaded from there. Loading a
 * module again returns the same handle and counts a reference. "kernel32.dll" is built in: it
 * stands for the PAL itself and resolves RtlCaptureContext. Null with ERROR_MOD_NOT_FOUND when
 * no file is found, ERROR_BAD_EXE_FORMAT when the file found is not a loadable object. */
PAL_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);

/* Drops one reference; the object is unloaded with the last one. FALSE with
 * ERROR_MOD_NOT_FOUND for a handle that LoadLibraryA did not return. */
PAL_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);

/* A symbol of that module itself (not of the objects it depends on, which dlsym would also
 * search). Ordinals are not supported. Null with ERROR_PROC_NOT_FOUND. A null module means the
 * executable. */
PAL_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

/* The module's full path; a null module means the executable. A module found by the search is
 * named as Windows names it, directory + '\\' + file name, so that it compares equal to
 * GetSystemDirectoryA() + "\\" + name exactly when it came from the system directory. A name that
 * does not fit is cut and NUL-terminated; the result is then nSize with
 * ERROR_INSUFFICIENT_BUFFER. 0 with ERROR_MOD_NOT_FOUND for an unknown module. */
PAL_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

/* The PAL's system directory (see pal_set_system_directory), without a trailing separator.
 * Returns its length; when uSize is too small, the size needed including the NUL, and nothing is
 * written. */
PAL_API UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

PAL_END_DECLS

#endif
