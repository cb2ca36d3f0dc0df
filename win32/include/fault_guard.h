// A guard around calls that may fault (the debug-help queries and the stack walk), in the shape
// of a structured-exception __try/__except, for MinGW, which has no __try:
//
//     FAULT_GUARD_TRY { ...guarded calls... } FAULT_GUARD_EXCEPT { ...after a fault... }
//     FAULT_GUARD_END
//
// Windows flavour: the guard registers a frame-based exception handler (an SEH registration
// record on the thread's fs:[0] chain, as __try does), so handlers registered by the guarded
// code itself run first, and any exception that reaches the guard ends the guarded block, as
// __except(EXCEPTION_EXECUTE_HANDLER) would: the frames above are unwound (RtlUnwind) and
// execution goes on in the EXCEPT block. Guards nest; only the calling thread is concerned.
//
// Contract for the code inside, as for __try: locals assigned inside the guarded block and read
// in or after the EXCEPT block must be volatile; the guarded calls' own cleanup does not run
// after a fault. Leaving the guarded block by return, break or goto is allowed: the record is
// unregistered when its scope ends.
//
// The Linux build has a header of the same name (pal/include) with the same macros.
#ifndef QUORKIT_WIN32_FAULT_GUARD_H
#define QUORKIT_WIN32_FAULT_GUARD_H

#include <windows.h>

// The first two words are an EXCEPTION_REGISTRATION_RECORD (next, handler); the system hands
// its address to the handler, which finds the jump buffer behind it.
struct quor_fault_frame {
  void* next;
  void* handler;
  void* jump[5];  // __builtin_setjmp buffer
  int registered;
  DWORD code;  // exception code that ended the guarded block, 0 if none
};

void quor_fault_guard_enter(quor_fault_frame* frame);
void quor_fault_guard_leave(quor_fault_frame* frame);

// Unregisters the record however the guarded block is left.
class QuorFaultGuardScope {
 public:
  explicit QuorFaultGuardScope(quor_fault_frame* frame) : frame_(frame) {
    frame_->registered = 0;
    frame_->code = 0;
  }
  ~QuorFaultGuardScope() { quor_fault_guard_leave(frame_); }
  QuorFaultGuardScope(const QuorFaultGuardScope&) = delete;
  QuorFaultGuardScope& operator=(const QuorFaultGuardScope&) = delete;

 private:
  quor_fault_frame* frame_;
};

#define FAULT_GUARD_TRY                                        \
  {                                                            \
    quor_fault_frame quor_fault_frame_;                        \
    QuorFaultGuardScope quor_fault_scope_(&quor_fault_frame_); \
    if (__builtin_setjmp(quor_fault_frame_.jump) == 0) {       \
      quor_fault_guard_enter(&quor_fault_frame_);
#define FAULT_GUARD_EXCEPT                    \
  quor_fault_guard_leave(&quor_fault_frame_); \
  }                                           \
  else {                                      \
    quor_fault_guard_leave(&quor_fault_frame_);
#define FAULT_GUARD_END \
  }                     \
  }

#endif
