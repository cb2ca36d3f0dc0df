// The per-thread last-error value, and the mapping from errno to Windows error codes.
#include "pal_internal.h"

#include <errno.h>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }

extern "C" void WINAPI SetLastError(DWORD error) { t_lastError = error; }

DWORD pal_error_from_errno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    // A missing directory on the way to the file: Windows tells it apart from a missing file.
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFAULT: return ERROR_NOACCESS;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case ETXTBSY:
    case EBUSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_INVALID_FUNCTION;
  }
}

void pal_set_last_error_from_errno(void) { SetLastError(pal_error_from_errno(errno)); }
