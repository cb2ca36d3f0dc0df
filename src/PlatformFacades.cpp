// Facades over the C runtime, so that application code names only quor::Platform for strings,
// memory blocks and streams. Each hands its arguments to the runtime function of the same name
// and returns its result untouched: no checks, no locking, no reports. memcpy is the exception:
// it is the library's own fastMemCopy.
#include <quor/Platform.h>

#include "ModuleId.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

QUOR_MODULE_ID(kPlatformFacadesModuleId, "PlatformFacades.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

unsigned int Platform::strlen(const char* text) { return ::strlen(text); }

char* Platform::strcpy(char* destination, const char* source) {
  return ::strcpy(destination, source);
}

char* Platform::strncpy(char* destination, const char* source, unsigned int count) {
  return ::strncpy(destination, source, count);
}

int Platform::strcmp(const char* left, const char* right) { return ::strcmp(left, right); }

void* Platform::memcpy(void* destination, const void* source, unsigned int count) {
  return fastMemCopy(destination, source, count);
}

void* Platform::memset(void* destination, int value, unsigned int count) {
  return ::memset(destination, value, count);
}

int Platform::atoi(const char* text) { return ::atoi(text); }

// The secure open: on Windows it also denies other writers while the stream is open. Its error
// code is dropped; callers see only null.
FILE* Platform::fopen(const char* path, const char* mode) {
  FILE* stream = nullptr;
  fopen_s(&stream, path, mode);
  return stream;
}

FILE* Platform::freopen(const char* path, const char* mode, FILE* stream) {
  return ::freopen(path, mode, stream);
}

int Platform::fclose(FILE* stream) { return ::fclose(stream); }

unsigned int Platform::fread(void* buffer, unsigned int size, unsigned int count, FILE* stream) {
  return ::fread(buffer, size, count, stream);
}

unsigned int Platform::fwrite(const void* data, unsigned int size, unsigned int count,
                              FILE* stream) {
  return ::fwrite(data, size, count, stream);
}

int Platform::feof(FILE* stream) { return ::feof(stream); }

int Platform::fflush(FILE* stream) { return ::fflush(stream); }

int Platform::fseek(FILE* stream, long offset, int origin) {
  return ::fseek(stream, offset, origin);
}

long Platform::ftell(FILE* stream) { return ::ftell(stream); }

}  // namespace quor
