// The Microsoft C runtime's secure stream open, over the host's fopen.
#include <stdio.h>

#include "pal_internal.h"

#include <errno.h>

extern "C" errno_t fopen_s(FILE** stream, const char* path, const char* mode) {
  if (stream == nullptr) {
    errno = EINVAL;
    return EINVAL;
  }
  *stream = nullptr;
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return EINVAL;
  }
  FILE* opened = fopen(path, mode);
  if (opened == nullptr) return errno;
  *stream = opened;
  return 0;
}
