// Portable platform services: configuration, start-up and shutdown, diagnosis, and the printf
// members that only collect their arguments for the Windows module's formatters.
#include <quor/Platform.h>

#include "ModuleId.h"
#include "PlatformInternal.h"

#include <stdarg.h>
#include <stdio.h>

QUOR_MODULE_ID(kPlatformModuleId, "Platform.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

namespace {

// The registered stream: closed when replaced, written by nothing.
FILE* _pOutputStream = nullptr;

}  // namespace

DiagnosisHandler Platform::_pDiagnosisHandler = nullptr;

PlatformConfig::PlatformConfig() : byte0(1), byte1(0xDD), byte2(0x55), byte3(0x99) {}

PlatformConfig& PlatformConfig::operator=(const PlatformConfig& other) {
  byte0 = other.byte0;
  byte1 = other.byte1;
  byte2 = other.byte2;
  byte3 = other.byte3;
  return *this;
}

Platform& Platform::operator=(const Platform&) { return *this; }

// The configuration is accepted for the application's sake and not read.
void Platform::initialize(const PlatformConfig*) {
  initializeMutex();
  allocateThreadSlot();
}

void Platform::terminate() {
  reportLiveBlocks(false);
  terminateMutex();
  releaseThreadRegionStack();
  freeThreadSlot();
}

// The global lock lives as long as the library is loaded (see DllMain), not between initialize
// and terminate, so these two have nothing to do.
void Platform::initializeMutex() {}
void Platform::terminateMutex() {}

void Platform::diagnosis(ErrorLevel level, const char* format, ...) {
  // Read once: another thread may swap the handler while this report runs.
  DiagnosisHandler handler = _pDiagnosisHandler;
  va_list arguments;
  va_start(arguments, format);
  if (handler != nullptr) {
    char message[1024];
    // Bounded, unlike the runtime's vsprintf: a longer message is cut to 1023 characters rather
    // than written past the buffer.
    vsnprintf(message, sizeof message, format, arguments);
    handler(level, message);
  } else {
    vprintf(format, arguments);
  }
  va_end(arguments);
  if (level == LEVEL_FATAL) halt();
}

DiagnosisHandler Platform::setDiagnosisHandler(DiagnosisHandler handler) {
  DiagnosisHandler previous = _pDiagnosisHandler;
  _pDiagnosisHandler = handler;
  return previous;
}

void Platform::setOutputStream(FILE* stream) {
  // Registering the stream already held must not close it under its new owner.
  if (stream == _pOutputStream) return;
  if (_pOutputStream != nullptr) ::fclose(_pOutputStream);
  _pOutputStream = stream;
}

int Platform::_assert_fail(const char* expression, const char* file, int line) {
  diagnosis(LEVEL_FATAL, "assert failed : %s, line %d : %s\n", file, line, expression);
  return 0;
}

int Platform::printf(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = vprintf(format, arguments);
  va_end(arguments);
  return result;
}

int Platform::sprintf(char* destination, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = vsprintf(destination, format, arguments);
  va_end(arguments);
  return result;
}

}  // namespace quor
