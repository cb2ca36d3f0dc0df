// RtlCaptureContext: the one Win32 call of the PAL written in assembly, beside the CONTEXT layout
// it fills (pal/win_context.h pins those offsets at compile time).
#include <windows.h>

#if !defined(__i386__)
#error "RtlCaptureContext fills an x86 CONTEXT: the PAL is built for i386 only"
#endif

// RtlCaptureContext in assembly: the caller's registers must be read before any compiled code
// can change them. Esp is reported as it was at the call instruction, return address gone but the
// argument still pushed: that is the stack pointer the caller's unwind table describes for the
// call (a walk looks up Eip - 1, the call itself), so a walk can start from the context as it is.
// CONTEXT offsets: Edi 156, Esi 160, Ebx 164, Edx 168, Ecx 172, Eax 176, Ebp 180, Eip 184,
// SegCs 188, EFlags 192, Esp 196, SegSs 200, SegGs 140, SegFs 144, SegEs 148, SegDs 152.
__asm__(
    ".text\n"
    ".globl RtlCaptureContext\n"
    ".type RtlCaptureContext, @function\n"
    ".p2align 4\n"
    "RtlCaptureContext:\n"
    ".cfi_startproc\n"
    "  pushl %eax\n"
    ".cfi_adjust_cfa_offset 4\n"
    "  movl 8(%esp), %eax\n"
    "  movl %edi, 156(%eax)\n"
    "  movl %esi, 160(%eax)\n"
    "  movl %ebx, 164(%eax)\n"
    "  movl %edx, 168(%eax)\n"
    "  movl %ecx, 172(%eax)\n"
    "  movl %ebp, 180(%eax)\n"
    "  popl %ecx\n"
    ".cfi_adjust_cfa_offset -4\n"
    "  movl %ecx, 176(%eax)\n"
    "  movl (%esp), %ecx\n"
    "  movl %ecx, 184(%eax)\n"
    "  leal 4(%esp), %ecx\n"
    "  movl %ecx, 196(%eax)\n"
    "  pushfl\n"
    ".cfi_adjust_cfa_offset 4\n"
    "  popl %ecx\n"
    ".cfi_adjust_cfa_offset -4\n"
    "  movl %ecx, 192(%eax)\n"
    "  xorl %ecx, %ecx\n"
    "  movw %cs, %cx\n"
    "  movl %ecx, 188(%eax)\n"
    "  movw %ss, %cx\n"
    "  movl %ecx, 200(%eax)\n"
    "  movw %gs, %cx\n"
    "  movl %ecx, 140(%eax)\n"
    "  movw %fs, %cx\n"
    "  movl %ecx, 144(%eax)\n"
    "  movw %es, %cx\n"
    "  movl %ecx, 148(%eax)\n"
    "  movw %ds, %cx\n"
    "  movl %ecx, 152(%eax)\n"
    "  movl $0x10007, (%eax)\n"  // CONTEXT_FULL
    "  movl 172(%eax), %ecx\n"
    "  ret $4\n"
    ".cfi_endproc\n"
    ".size RtlCaptureContext, .-RtlCaptureContext\n");
