/* The x86 thread context record, laid out exactly as on 32-bit Windows (716 bytes), and
 * RtlCaptureContext, which kernel32.dll exports and the PAL's built-in "kernel32.dll" resolves. */
#ifndef QUORKIT_PAL_WIN_CONTEXT_H
#define QUORKIT_PAL_WIN_CONTEXT_H

#include <pal/win_types.h>

#define SIZE_OF_80387_REGISTERS 80
#define MAXIMUM_SUPPORTED_EXTENSION 512

#define CONTEXT_i386 0x00010000u
#define CONTEXT_i486 0x00010000u
#define CONTEXT_CONTROL (CONTEXT_i386 | 0x00000001u)
#define CONTEXT_INTEGER (CONTEXT_i386 | 0x00000002u)
#define CONTEXT_SEGMENTS (CONTEXT_i386 | 0x00000004u)
#define CONTEXT_FLOATING_POINT (CONTEXT_i386 | 0x00000008u)
#define CONTEXT_DEBUG_REGISTERS (CONTEXT_i386 | 0x00000010u)
#define CONTEXT_EXTENDED_REGISTERS (CONTEXT_i386 | 0x00000020u)
#define CONTEXT_FULL (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS)
#define CONTEXT_ALL                                                                \
  (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS | CONTEXT_FLOATING_POINT | \
   CONTEXT_DEBUG_REGISTERS | CONTEXT_EXTENDED_REGISTERS)

typedef struct _FLOATING_SAVE_AREA {
  DWORD ControlWord;
  DWORD StatusWord;
  DWORD TagWord;
  DWORD ErrorOffset;
  DWORD ErrorSelector;
  DWORD DataOffset;
  DWORD DataSelector;
  BYTE RegisterArea[SIZE_OF_80387_REGISTERS];
  DWORD Cr0NpxState;
} FLOATING_SAVE_AREA, *PFLOATING_SAVE_AREA;

typedef struct _CONTEXT {
  DWORD ContextFlags;
  DWORD Dr0;
  DWORD Dr1;
  DWORD Dr2;
  DWORD Dr3;
  DWORD Dr6;
  DWORD Dr7;
  FLOATING_SAVE_AREA FloatSave;
  DWORD SegGs;
  DWORD SegFs;
  DWORD SegEs;
  DWORD SegDs;
  DWORD Edi;
  DWORD Esi;
  DWORD Ebx;
  DWORD Edx;
  DWORD Ecx;
  DWORD Eax;
  DWORD Ebp;
  DWORD Eip;
  DWORD SegCs;
  DWORD EFlags;
  DWORD Esp;
  DWORD SegSs;
  BYTE ExtendedRegisters[MAXIMUM_SUPPORTED_EXTENSION];
} CONTEXT, *PCONTEXT, *LPCONTEXT;

#ifdef __cplusplus
static_assert(sizeof(FLOATING_SAVE_AREA) == 112, "FLOATING_SAVE_AREA has the Windows x86 size");
static_assert(sizeof(CONTEXT) == 716, "CONTEXT has the Windows x86 size");
static_assert(offsetof(CONTEXT, SegGs) == 140, "CONTEXT.SegGs at the Windows x86 offset");
static_assert(offsetof(CONTEXT, Ebp) == 180, "CONTEXT.Ebp at the Windows x86 offset");
static_assert(offsetof(CONTEXT, Eip) == 184, "CONTEXT.Eip at the Windows x86 offset");
static_assert(offsetof(CONTEXT, Esp) == 196, "CONTEXT.Esp at the Windows x86 offset");
static_assert(offsetof(CONTEXT, ExtendedRegisters) == 204,
              "CONTEXT.ExtendedRegisters at the Windows x86 offset");
#endif

PAL_BEGIN_DECLS

/* Fills the integer, control and segment registers of the caller at the call: Eip is the return
 * address, Esp the caller's stack pointer with the return address gone and the argument still
 * pushed (as at the call instruction, which is what the caller's unwind table describes), Ebp and
 * the other integer registers the caller's. ContextFlags becomes CONTEXT_FULL; the
 * floating-point, debug and extended parts are left untouched, as on Windows. i386 only. */
PAL_API VOID WINAPI RtlCaptureContext(PCONTEXT ContextRecord);

PAL_END_DECLS

#endif
