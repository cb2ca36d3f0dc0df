// The Microsoft C runtime's secure stream open and bounded formatter, over the host's fopen and
// vsnprintf.
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

extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments) {
  int length = vsnprintf(buffer, count, format, arguments);
  if (length < 0 || static_cast<size_t>(length) > count) return -1;
  return length;
}
