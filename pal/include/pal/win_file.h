/* Files: CreateFileA and the handle calls on files.
 *
 * A file handle is an entry of the PAL's handle table, never a file descriptor: each CreateFileA
 * opens the file anew, so two handles on one file keep separate positions, as on Windows.
 * Paths may use '\\' or '/' as separator. Share modes are enforced between the handles of this
 * process (POSIX has no mandatory share modes, so other processes are not held off). */
#ifndef QUORKIT_PAL_WIN_FILE_H
#define QUORKIT_PAL_WIN_FILE_H

#include <pal/win_types.h>

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u

#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u

#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    PVOID Pointer;
  } u;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

PAL_BEGIN_DECLS

/* Dispositions, GENERIC_READ/GENERIC_WRITE and the share modes as on Windows. On success after
 * CREATE_ALWAYS or OPEN_ALWAYS the last error is ERROR_ALREADY_EXISTS when the file was there
 * before, else 0. Attributes other than FILE_ATTRIBUTE_READONLY (which makes a new file
 * read-only) and FILE_FLAG_WRITE_THROUGH (O_SYNC) are accepted and have no effect: Linux has no
 * place for them. FILE_FLAG_OVERLAPPED and FILE_FLAG_DELETE_ON_CLOSE are refused
 * (ERROR_INVALID_PARAMETER): this PAL's handles are synchronous and nothing here deletes files.
 * bInheritHandle is honoured for child processes (no close-on-exec). A directory cannot be
 * opened (ERROR_ACCESS_DENIED), as on Windows without FILE_FLAG_BACKUP_SEMANTICS. */
PAL_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                  DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                  HANDLE hTemplateFile);

/* Synchronous reads and writes at the handle's position; with an OVERLAPPED the transfer starts
 * at its offset instead (and the position moves past it, as for a synchronous handle on
 * Windows). A read at the end of the file succeeds with 0 bytes. */
PAL_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                             LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
PAL_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                              LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
PAL_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);

/* Low 32 bits of the size; the high part goes to lpFileSizeHigh when given. Without it a size of
 * 4 GiB or more cannot be told from a failure, exactly as on Windows. */
PAL_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);

/* Closes a file handle. The pseudo handles of GetCurrentProcess/GetCurrentThread close as a
 * no-op with TRUE, as on Windows. */
PAL_API BOOL WINAPI CloseHandle(HANDLE hObject);

PAL_END_DECLS

#endif
