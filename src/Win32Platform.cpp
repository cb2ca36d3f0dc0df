// Windows services of the platform layer: the global lock, the thread slot, the formatters that
// feed the debugger channel, the diagnosis handlers and the debugger break.
//
// <stdio.h> comes first: the build asks MinGW for the C runtime's own formatters
// (__USE_MINGW_ANSI_STDIO=0), but <windows.h> reads the C++ library's configuration, which turns
// MinGW's replacements back on for any <stdio.h> read after it.
#include <stdio.h>

#include <windows.h>

#include <quor/Platform.h>

#include "ModuleId.h"
#include "PlatformInternal.h"

#include <stdarg.h>

QUOR_MODULE_ID(kWin32PlatformModuleId, "Win32Platform.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

namespace {

const DWORD kNoSlot = 0xFFFFFFFF;

// Zeroed storage until process attach initialises it; see DllMain.cpp.
CRITICAL_SECTION g_globalLock;
DWORD g_threadSlot = kNoSlot;

// Labels are looked up with the level's two low bits, so every level value prints one of them.
const char* const kLevelLabels[4] = {"FATAL", "ERROR", "WARNING", "INFO"};

// The icon follows the level's value itself: anything outside 0..3 shows no icon.
UINT iconForLevel(ErrorLevel level) {
  switch (static_cast<int>(level)) {
    case LEVEL_FATAL:
    case LEVEL_ERROR: return MB_ICONHAND;
    case LEVEL_WARNING: return MB_ICONEXCLAMATION;
    case LEVEL_INFO: return MB_ICONASTERISK;
    default: return 0;
  }
}

// Formats into a 1024-byte buffer and gives the length when it is at most 1024 characters,
// -1 otherwise. When the text does not fit, the buffer keeps its first 1023 characters.
// The C runtime's own bounded formatter has exactly that result: the length when the text fits
// in the buffer, terminator or not, and -1 when it is longer; it does not always terminate.
int formatBounded(char (&buffer)[1024], const char* format, va_list arguments) {
  int length = _vsnprintf(buffer, sizeof buffer, format, arguments);
  buffer[sizeof buffer - 1] = '\0';
  return length;
}

}  // namespace

// ---- the global lock and the thread slot ----------------------------------------------------

void initializeGlobalLock() { InitializeCriticalSection(&g_globalLock); }
void deleteGlobalLock() { DeleteCriticalSection(&g_globalLock); }

void Platform::lock() { EnterCriticalSection(&g_globalLock); }
bool Platform::tryLock() { return TryEnterCriticalSection(&g_globalLock) != FALSE; }
void Platform::unlock() { LeaveCriticalSection(&g_globalLock); }

bool isThreadSlotAllocated() { return g_threadSlot != kNoSlot; }

void allocateThreadSlot() {
  if (g_threadSlot == kNoSlot) g_threadSlot = TlsAlloc();
}

void freeThreadSlot() {
  if (g_threadSlot == kNoSlot) return;
  TlsFree(g_threadSlot);
  g_threadSlot = kNoSlot;
}

void setThreadSlot(void* value) {
  if (g_threadSlot != kNoSlot) TlsSetValue(g_threadSlot, value);
}

void* getThreadSlot() { return g_threadSlot != kNoSlot ? TlsGetValue(g_threadSlot) : nullptr; }

// ---- formatted output -----------------------------------------------------------------------

int Platform::vprintf(const char* format, va_list arguments) {
  char buffer[1024];
  // The list is walked twice (bounded copy, then the full text); each walk needs its own copy.
  va_list again;
  va_copy(again, arguments);
  int result = formatBounded(buffer, format, arguments);
  OutputDebugStringA(buffer);
  ::vprintf(format, again);
  va_end(again);
  return result;
}

int Platform::vfprintf(FILE* stream, const char* format, va_list arguments) {
  char buffer[1024];
  va_list again;
  va_copy(again, arguments);
  int result = formatBounded(buffer, format, arguments);
  ::vfprintf(stream, format, again);
  va_end(again);
  return result;
}

int Platform::vsprintf(char* destination, const char* format, va_list arguments) {
  return ::vsprintf(destination, format, arguments);
}

void Platform::halt() { DebugBreak(); }

// ---- diagnosis handlers ---------------------------------------------------------------------

void diagnosisHandlerWin32CUI(ErrorLevel level, const char* message) {
  Platform::printf("quorPlatform : %s : %s", kLevelLabels[static_cast<unsigned int>(level) & 3],
                   message);
}

void defaultDiagnosisHandler(ErrorLevel level, const char* message) {
  diagnosisHandlerWin32CUI(level, message);
}

void diagnosisHandlerWin32GUI(ErrorLevel level, const char* message) {
  UINT icon = iconForLevel(level);
  diagnosisHandlerWin32CUI(level, message);
  MessageBoxA(nullptr, message, "quorPlatform", icon);
}

}  // namespace quor
