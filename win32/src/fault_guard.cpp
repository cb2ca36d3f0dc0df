// The fault guard for MinGW (i686): a frame-based SEH handler registered by hand on the fs:[0]
// chain, doing what a compiler's __except(EXCEPTION_EXECUTE_HANDLER) does: unwind the frames
// registered after it, then jump back into the guarded function.
//
// Rejected alternatives: a vectored handler runs before the faulting code's own __except blocks
// (and would steal faults that the debug-help library handles itself); MinGW's __try1 macros
// move esp behind the compiler's back.
#include <fault_guard.h>

namespace {

// RtlUnwind on x86 does not preserve ebx, esi and edi and comes back through the TargetIp it is
// given with the stack as after its own return; the caller-saved registers are therefore saved
// around it here, the same way compilers' runtime support does.
void unwindTo(void* frame, EXCEPTION_RECORD* record) {
  void(WINAPI * unwind)(PVOID, PVOID, PEXCEPTION_RECORD, PVOID) = RtlUnwind;
  __asm__ __volatile__(
      "pushl %%ebx\n\t"
      "pushl %%esi\n\t"
      "pushl %%edi\n\t"
      "pushl %%ebp\n\t"
      "pushl $0\n\t"     // ReturnValue
      "pushl %%edx\n\t"  // ExceptionRecord
      "pushl $1f\n\t"    // TargetIp
      "pushl %%ecx\n\t"  // TargetFrame
      "call *%%eax\n"
      "1:\n\t"
      "popl %%ebp\n\t"
      "popl %%edi\n\t"
      "popl %%esi\n\t"
      "popl %%ebx"
      : "+a"(unwind), "+c"(frame), "+d"(record)
      :
      : "memory", "cc");
}

#ifndef EXCEPTION_UNWINDING
#define EXCEPTION_UNWINDING 0x2
#endif
#ifndef EXCEPTION_EXIT_UNWIND
#define EXCEPTION_EXIT_UNWIND 0x4
#endif

extern "C" EXCEPTION_DISPOSITION __cdecl quorFaultGuardHandler(EXCEPTION_RECORD* record,
                                                               void* establisher, CONTEXT* context,
                                                               void* dispatcher) {
  (void)context;
  (void)dispatcher;
  // Called again while frames are unwound (by this guard or by an outer handler): nothing to do.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  quor_fault_frame* frame = static_cast<quor_fault_frame*>(establisher);
  frame->code = record->ExceptionCode;
  // Runs the handlers of the frames between the fault and this guard for unwinding and leaves
  // this guard's record at the head of the chain; the EXCEPT branch unregisters it.
  unwindTo(frame, record);
  __builtin_longjmp(frame->jump, 1);
}

// The head of the thread's registration chain, NT_TIB.ExceptionList at fs:[0]. Read with plain
// instructions: GCC 12 misjudges the SDK's __readfsdword as an out-of-bounds access.
void* chainHead() {
  void* head;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void setChainHead(void* head) { __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory"); }

}  // namespace

void quor_fault_guard_enter(quor_fault_frame* frame) {
  frame->code = 0;
  frame->next = chainHead();
  frame->handler = reinterpret_cast<void*>(&quorFaultGuardHandler);
  frame->registered = 1;
  setChainHead(frame);
}

void quor_fault_guard_leave(quor_fault_frame* frame) {
  if (!frame->registered) return;
  frame->registered = 0;
  // Records leave the chain innermost first; after a fault the unwind has already made this
  // record the head.
  if (chainHead() == frame) setChainHead(frame->next);
}
