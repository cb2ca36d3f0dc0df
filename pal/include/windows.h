/* windows.h of the PAL: the Win32 API subset the quorkit modules call, implemented on POSIX.
 * One small header per area; this file only gathers them so that module sources include
 * <windows.h> exactly as they do against the Windows SDK. */
#ifndef QUORKIT_PAL_WINDOWS_H
#define QUORKIT_PAL_WINDOWS_H

#include <pal/win_types.h>
#include <pal/win_error.h>
#include <pal/win_sync.h>
#include <pal/win_tls.h>
#include <pal/win_debug.h>
#include <pal/win_user.h>
#include <pal/win_file.h>
#include <pal/win_time.h>
#include <pal/win_loader.h>
#include <pal/win_local_memory.h>
#include <pal/win_virtual_memory.h>
#include <pal/win_system_info.h>
#include <pal/win_interlocked.h>
#include <pal/win_process.h>
#include <pal/win_string.h>
#include <pal/win_wsprintf.h>

#endif
