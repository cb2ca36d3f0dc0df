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

// What CreateFileA asked for, turned into the open's terms.
struct OpenRequest {
  DWORD disposition;
  DWORD access;  // GENERIC_READ / GENERIC_WRITE, GENERIC_ALL folded in
  DWORD share;
  bool mayCreate;
  bool truncate;
  int flags;
  mode_t mode;
};

HANDLE failedOpen(int fd, DWORD error) {
  if (fd >= 0) close(fd);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

DWORD dataAccess(DWORD desired) {
  DWORD access = 0;
  if (desired & (GENERIC_READ | GENERIC_ALL)) access |= GENERIC_READ;
  if (desired & (GENERIC_WRITE | GENERIC_ALL)) access |= GENERIC_WRITE;
  return access;
}

// Whether the disposition may create the file and truncates it; false for a disposition Windows
// refuses (unknown, or TRUNCATE_EXISTING without write access).
bool planDisposition(OpenRequest* request) {
  request->mayCreate = false;
  request->truncate = false;
  switch (request->disposition) {
    case CREATE_NEW:
    case OPEN_ALWAYS: request->mayCreate = true; return true;
    case CREATE_ALWAYS:
      request->mayCreate = true;
      request->truncate = true;
      return true;
    case OPEN_EXISTING: return true;
    case TRUNCATE_EXISTING: request->truncate = true; return (request->access & GENERIC_WRITE) != 0;
    default: return false;
  }
}

int openFlags(const OpenRequest& request, LPSECURITY_ATTRIBUTES security, DWORD attributes) {
  int flags = O_CLOEXEC;
  if (request.access == (GENERIC_READ | GENERIC_WRITE)) {
    flags |= O_RDWR;
  } else if (request.access == GENERIC_WRITE) {
    flags |= O_WRONLY;
  } else if (request.access == GENERIC_READ) {
    flags |= O_RDONLY;
  } else if (request.mayCreate || request.truncate) {
    // O_PATH cannot create or truncate; such a handle needs a real open that it will not use.
    flags |= request.truncate ? O_WRONLY : O_RDONLY;
  } else {
    flags |= O_PATH;  // no data access: the handle still answers GetFileSize, as on Windows
  }
  if (security != nullptr && security->bInheritHandle) flags &= ~O_CLOEXEC;
  if (attributes & FILE_FLAG_WRITE_THROUGH) flags |= O_SYNC;
  return flags;
}

// Opens without creating first, so that "it was there" is known (for CREATE_NEW's refusal and
// the ERROR_ALREADY_EXISTS note) and so that nothing is truncated before the share check.
int openForDisposition(const char* path, const OpenRequest& request, bool* existed) {
  *existed = true;
  int fd = open(path, request.flags);
  if (fd < 0 && errno == ENOENT && request.mayCreate) {
    *existed = false;
    fd = open(path, request.flags | O_CREAT | O_EXCL, request.mode);
    if (fd < 0 && errno == EEXIST) {  // made by another process in between: open that one
      *existed = true;
      fd = open(path, request.flags);
    }
  }
  return fd;
}

// Why the file just opened must not become a handle (ERROR_SUCCESS when it may): CREATE_NEW of
// an existing file, a directory, the share rule; truncates it when asked, after the checks.
// Caller holds the lock.
DWORD refusalOfOpened(int fd, const OpenRequest& request, bool existed, struct stat* info) {
  if (existed && request.disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (fstat(fd, info) != 0) return pal_error_from_errno(errno);
  if (S_ISDIR(info->st_mode)) return ERROR_ACCESS_DENIED;
  if (!sharingAllows(info->st_dev, info->st_ino, request.access, request.share)) {
    return ERROR_SHARING_VIOLATION;
  }
  if (request.truncate && existed && ftruncate(fd, 0) != 0) return pal_error_from_errno(errno);
  return ERROR_SUCCESS;
}

// Caller holds the lock.
void enterFile(int slot, int fd, const OpenRequest& request, const struct stat& info) {
  FileEntry& entry = g_files[slot];
  entry.used = true;
  entry.fd = fd;
  entry.access = request.access;
  entry.share = request.share;
  entry.dev = info.st_dev;
  entry.ino = info.st_ino;
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
  if (pal_should_fail("CreateFileA")) return failedOpen(-1, ERROR_ACCESS_DENIED);
  if (lpFileName == nullptr || lpFileName[0] == '\0') return failedOpen(-1, ERROR_PATH_NOT_FOUND);
  if (dwFlagsAndAttributes & (FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE)) {
    return failedOpen(-1, ERROR_INVALID_PARAMETER);
  }
  char path[PATH_MAX];
  if (!pal_to_posix_path(lpFileName, path, sizeof path)) {
    return failedOpen(-1, ERROR_FILENAME_EXCED_RANGE);
  }
  OpenRequest request;
  request.disposition = dwCreationDisposition;
  request.access = dataAccess(dwDesiredAccess);
  request.share = dwShareMode;
  if (!planDisposition(&request)) return failedOpen(-1, ERROR_INVALID_PARAMETER);
  request.flags = openFlags(request, lpSecurityAttributes, dwFlagsAndAttributes);
  request.mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

  // Everything from the open to the table entry happens under the lock, so that two threads
  // cannot both pass the share check on the same file.
  pal::ScopedLock lock(g_filesLock);
  int slot = freeSlot();
  if (slot < 0) return failedOpen(-1, ERROR_TOO_MANY_OPEN_FILES);
  bool existed = true;
  int fd = openForDisposition(path, request, &existed);
  if (fd < 0) return failedOpen(-1, errorFromOpen(errno, path));
  struct stat info;
  DWORD refusal = refusalOfOpened(fd, request, existed, &info);
  if (refusal != ERROR_SUCCESS) return failedOpen(fd, refusal);
  enterFile(slot, fd, request, info);
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
