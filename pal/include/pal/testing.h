/* Test controls of the PAL (Linux build only): they make the system misbehave, or stand in for a
 * person or a debugger, so that tests reach every branch of the modules without #ifdefs there.
 * Each control is proved by the library tests that lean on it: a control that did nothing would
 * leave their failure paths unreached and their checks failing. */
#ifndef QUORKIT_PAL_TESTING_H
#define QUORKIT_PAL_TESTING_H

#include <pal/win_types.h>

PAL_BEGIN_DECLS

/* Receives each OutputDebugStringA text instead of the default channel; null restores it.
 * Returns the sink installed before. */
typedef void (*pal_debug_sink_fn)(const char* text);
PAL_API pal_debug_sink_fn pal_set_debug_sink(pal_debug_sink_fn sink);

/* DebugBreak calls the hook and returns instead of raising SIGTRAP; null restores SIGTRAP. */
typedef void (*pal_break_fn)(void);
PAL_API pal_break_fn pal_set_break_hook(pal_break_fn hook);

/* MessageBoxA calls the hook (its result is the button id) instead of showing anything. */
typedef int (*pal_message_box_fn)(const char* text, const char* caption, unsigned int style);
PAL_API pal_message_box_fn pal_set_message_box_hook(pal_message_box_fn hook);

/* After `skip` successful calls, the next `count` calls of the named Win32 function fail the way
 * that function fails on Windows ("TlsAlloc", "_aligned_malloc", "LocalAlloc", "LocalLock",
 * "VirtualAlloc", "CreateFileA", "LoadLibraryA", ...). A new call for the same name replaces the
 * earlier one. */
PAL_API void pal_inject_failure(const char* win32_function, unsigned int skip, unsigned int count);
PAL_API void pal_clear_failures(void);

/* QueryPerformanceCounter/Frequency report these values; frequency 0 returns to the real clock. */
PAL_API void pal_set_performance_counter(long long counter, long long frequency);

/* Where LoadLibraryA looks after the executable's directory; null restores the default. */
PAL_API void pal_set_system_directory(const char* path);

/* What GetSystemInfo reports (and VirtualAlloc honours); 0, 0 restores the real values. */
PAL_API void pal_set_system_info(unsigned int page_size, unsigned int granularity);

PAL_END_DECLS

#endif
