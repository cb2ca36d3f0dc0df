// Files: CreateFileA, ReadFile, WriteFile, FlushFileBuffers, GetFileSize and CloseHandle over
// POSIX file descriptors.
//
// Handles are entries of a fixed table, not descriptors, for three reasons: a closed or foreign
// handle is recognised (ERROR_INVALID_HANDLE instead of acting on whatever descriptor now has
// that number), the access and share modes of each open are kept for the share checks Windows
// makes, and a handle's value can never be mistaken for INVALID_HANDLE_VALUE or a pseudo handle.
#include <pal/scoped_lock.h>

#include "pal_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Windows handle values are small multiples of 4; these start above the first page so that a
// null-ish integer is never taken for a handle.
constexpr uintptr_t kHandleBase = 0x1000;
constexpr int kMaxFiles = 1024;

struct FileEntry {
  bool used;
  int fd;
  DWORD access;  // GENERIC_READ / GENERIC_WRITE as asked
  DWORD share;   // FILE_SHARE_* as given
  dev_t dev;
  ino_t ino;
};

FileEntry g_files[kMaxFiles];
pthread_mutex_t g_filesLock = PTHREAD_MUTEX_INITIALIZER;

HANDLE handleOf(int index) {
  return reinterpret_cast<HANDLE>(kHandleBase + 4u * static_cast<uintptr_t>(index));
}

// Index of a live handle, or -1. Caller holds the lock.
int indexOf(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < kHandleBase || (value - kHandleBase) % 4 != 0) return -1;
  uintptr_t index = (value - kHandleBase) / 4;
  if (index >= static_cast<uintptr_t>(kMaxFiles) || !g_files[index].used) return -1;
  return static_cast<int>(index);
}

bool isPseudoHandle(HANDLE handle) {
  // GetCurrentProcess() is (HANDLE)-1 (the same value as INVALID_HANDLE_VALUE), GetCurrentThread()
  // is (HANDLE)-2.
  intptr_t value = reinterpret_cast<intptr_t>(handle);
  return value == -1 || value == -2;
}

// Descriptor and access of a live handle; false (with ERROR_INVALID_HANDLE set) otherwise.
bool lookup(HANDLE handle, int* fd, DWORD* access) {
  pal::ScopedLock lock(g_filesLock);
  int index = indexOf(handle);
  if (index < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *fd = g_files[index].fd;
  *access = g_files[index].access;
  return true;
}

// The descriptor of a live handle opened with the access `need`, moved to the OVERLAPPED offset
// when one is given; -1 with the last error set otherwise.
int dataDescriptor(HANDLE handle, DWORD need, LPOVERLAPPED overlapped) {
  int fd;
  DWORD access;
  if (!lookup(handle, &fd, &access)) return -1;
  if (!(access & need)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  if (overlapped != nullptr) {
    off_t offset = static_cast<off_t>((static_cast<uint64_t>(overlapped->u.s.OffsetHigh) << 32) |
                                      overlapped->u.s.Offset);
    if (lseek(fd, offset, SEEK_SET) < 0) {
      pal_set_last_error_from_errno();
      return -1;
    }
  }
  return fd;
}

// ENOENT means either the file or a directory on the way is missing; Windows reports these as
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND respectively.
DWORD missingFileError(const char* posixPath) {
  char parent[PATH_MAX];
  strcpy(parent, posixPath);
  char* slash = strrchr(parent, '/');
  if (slash == nullptr) return ERROR_FILE_NOT_FOUND;  // relative name in the current directory
  if (slash == parent) return ERROR_FILE_NOT_FOUND;   // in the root directory
  *slash = '\0';
  struct stat info;
  if (stat(parent, &info) != 0 || !S_ISDIR(info.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

DWORD errorFromOpen(int error, const char* posixPath) {
  if (error == ENOENT) return missingFileError(posixPath);
  return pal_error_from_errno(error);
}

// Windows' share rule: every handle open on the file must allow what the new one asks for, and
// the new one must allow what every open handle already does. Caller holds the lock.
bool sharingAllows(dev_t dev, ino_t ino, DWORD access, DWORD share) {
  for (int i = 0; i < kMaxFiles; ++i) {
    const FileEntry& other = g_files[i];
    if (!other.used || other.dev != dev || other.ino != ino) continue;
    if ((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) return false;
    if ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
  }
  return true;
}

int freeSlot() {
  for (int i = 0; i < kMaxFiles; ++i) {
    if (!g_files[i].used) return i;
  }
  return -1;
}

}  // namespace

bool pal_to_posix_path(const char* path, char* out, size_t outSize) {
  size_t length = strlen(path);
  if (length + 1 > outSize) return false;
  for (size_t i = 0; i <= length; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
  (void)hTemplateFile;  // Windows ignores it too unless a new file is made with extended attributes
  if (pal_should_fail("CreateFileA")) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (lpFileName == nullptr || lpFileName[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwFlagsAndAttributes & (FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  char path[PATH_MAX];
  if (!pal_to_posix_path(lpFileName, path, sizeof path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }

  DWORD access = 0;
  if (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) access |= GENERIC_READ;
  if (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) access |= GENERIC_WRITE;
  int flags = O_CLOEXEC;
  if (access == (GENERIC_READ | GENERIC_WRITE)) {
    flags |= O_RDWR;
  } else if (access == GENERIC_WRITE) {
    flags |= O_WRONLY;
  } else if (access == GENERIC_READ) {
    flags |= O_RDONLY;
  } else {
    flags |= O_PATH;  // no data access: the handle still answers GetFileSize, as on Windows
  }
  if (lpSecurityAttributes != nullptr && lpSecurityAttributes->bInheritHandle) flags &= ~O_CLOEXEC;
  if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_SYNC;
  mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

  bool mayCreate = false;
  bool truncate = false;
  switch (dwCreationDisposition) {
    case CREATE_NEW: mayCreate = true; break;
    case CREATE_ALWAYS:
      mayCreate = true;
      truncate = true;
      break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: mayCreate = true; break;
    case TRUNCATE_EXISTING:
      if (!(access & GENERIC_WRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      truncate = true;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if ((flags & O_PATH) && (mayCreate || truncate)) {
    // O_PATH cannot create or truncate; such a handle needs a real open that it will not use.
    flags = (flags & ~O_PATH) | O_RDONLY;
    if (truncate) flags = (flags & ~O_RDONLY) | O_WRONLY;
  }

  // Everything from the open to the table entry happens under the lock, so that two threads
  // cannot both pass the share check on the same file.
  pal::ScopedLock lock(g_filesLock);
  int slot = freeSlot();
  if (slot < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }

  // Open without creating first, so that "it was there" is known (for CREATE_NEW's refusal and
  // the ERROR_ALREADY_EXISTS note) and so that nothing is truncated before the share check.
  bool existed = true;
  int fd = open(path, flags);
  if (fd < 0 && errno == ENOENT && mayCreate) {
    existed = false;
    fd = open(path, flags | O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno == EEXIST) {  // made by another process in between: open that one
      existed = true;
      fd = open(path, flags);
    }
  }
  if (fd < 0) {
    SetLastError(errorFromOpen(errno, path));
    return INVALID_HANDLE_VALUE;
  }
  if (existed && dwCreationDisposition == CREATE_NEW) {
    close(fd);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    DWORD error = pal_error_from_errno(errno);
    close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!sharingAllows(info.st_dev, info.st_ino, access, dwShareMode)) {
    close(fd);
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (truncate && existed && ftruncate(fd, 0) != 0) {
    DWORD error = pal_error_from_errno(errno);
    close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }

  FileEntry& entry = g_files[slot];
  entry.used = true;
  entry.fd = fd;
  entry.access = access;
  entry.share = dwShareMode;
  entry.dev = info.st_dev;
  entry.ino = info.st_ino;
  bool notesExisting =
      dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
  SetLastError(notesExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handleOf(slot);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  int fd = dataDescriptor(hFile, GENERIC_READ, lpOverlapped);
  if (fd < 0) return FALSE;
  char* out = static_cast<char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    ssize_t got = read(fd, out + done, nNumberOfBytesToRead - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
      pal_set_last_error_from_errno();
      return FALSE;
    }
    if (got == 0) break;  // end of file: success with what was read
    done += static_cast<DWORD>(got);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
  if (lpOverlapped != nullptr) lpOverlapped->InternalHigh = done;
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  int fd = dataDescriptor(hFile, GENERIC_WRITE, lpOverlapped);
  if (fd < 0) return FALSE;
  const char* in = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    ssize_t put = write(fd, in + done, nNumberOfBytesToWrite - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      pal_set_last_error_from_errno();
      return FALSE;
    }
    done += static_cast<DWORD>(put);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  if (lpOverlapped != nullptr) lpOverlapped->InternalHigh = done;
  return TRUE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  int fd = dataDescriptor(hFile, GENERIC_WRITE, nullptr);  // Windows needs write access to flush
  if (fd < 0) return FALSE;
  if (fsync(fd) != 0) {
    pal_set_last_error_from_errno();
    return FALSE;
  }
  return TRUE;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  int fd;
  DWORD access;
  if (!lookup(hFile, &fd, &access)) return INVALID_FILE_SIZE;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    pal_set_last_error_from_errno();
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(info.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  DWORD low = static_cast<DWORD>(size);
  // A size whose low part is 0xFFFFFFFF must be told from a failure by the last error.
  if (low == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
  return low;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (isPseudoHandle(hObject)) return TRUE;
  int fd;
  {
    pal::ScopedLock lock(g_filesLock);
    int index = indexOf(hObject);
    if (index < 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    fd = g_files[index].fd;
    g_files[index].used = false;
  }
  // The descriptor is gone whatever close() says (Linux never leaves it open after an error).
  close(fd);
  return TRUE;
}
