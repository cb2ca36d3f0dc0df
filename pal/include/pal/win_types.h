/* Base types and calling conventions of the Win32 API, with the sizes of 32-bit Windows. */
#ifndef QUORKIT_PAL_WIN_TYPES_H
#define QUORKIT_PAL_WIN_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define PAL_EXTERN_C extern "C"
#define PAL_BEGIN_DECLS extern "C" {
#define PAL_END_DECLS }
#else
#define PAL_EXTERN_C
#define PAL_BEGIN_DECLS
#define PAL_END_DECLS
#endif

/* The PAL plays kernel32/user32 for libquorkit.so: its functions stay visible so that the Linux
 * dbghelp.dll and applications resolve them from the library, as they would from a system DLL. */
#define PAL_API __attribute__((visibility("default")))

/* stdcall on i386 as on Windows, so function pointers fetched with GetProcAddress have the type
 * the modules declare. Other architectures (native host tools) have a single convention. */
#if defined(__i386__)
#define WINAPI __attribute__((stdcall))
#else
#define WINAPI
#endif
#define APIENTRY WINAPI
#define CALLBACK WINAPI
#define WINAPIV
#define CONST const
#define VOID void

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef uint32_t UINT;
typedef int INT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef uint32_t DWORD_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef char* PSTR;
typedef char* PCHAR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef HANDLE HLOCAL;
typedef INT_PTR(WINAPI* FARPROC)(void);
typedef INT_PTR(WINAPI* PROC)(void);

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260

#endif
