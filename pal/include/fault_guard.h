/* A guard around calls that may fault (the debug-help queries and the stack walk), in the shape
 * of a structured-exception __try/__except:
 *
 *     FAULT_GUARD_TRY { ...guarded calls... } FAULT_GUARD_EXCEPT { ...after a fault... }
 * FAULT_GUARD_END
 *
 * Linux flavour: SIGSEGV, SIGBUS, SIGILL and SIGFPE raised on the calling thread while it is
 * inside the guarded block end the block: execution goes on in the EXCEPT block. A fault on
 * another thread, or outside any guard, goes to whatever handler was installed before the first
 * guard (the default action if none), so the guard changes nothing for code it does not cover.
 * Guards nest: the innermost armed one catches.
 *
 * Contract for the code inside, as for __try: locals assigned inside the guarded block and read
 * in or after the EXCEPT block must be volatile (the jump back restores registers); the guarded
 * calls' own cleanup does not run after a fault (locks they held stay held, which is why the
 * walk's callers take their own lock outside the guard). Leaving the guarded block by return,
 * break or goto is allowed: the guard is disarmed when its scope ends.
 *
 * The Windows build has a header of the same name (win32/include) with the same macros. */
#ifndef QUORKIT_PAL_FAULT_GUARD_H
#define QUORKIT_PAL_FAULT_GUARD_H

#include <pal/win_types.h>
#include <setjmp.h>

struct pal_fault_frame {
  sigjmp_buf env;
  struct pal_fault_frame* prev;
  int armed;
  int signal; /* the signal that ended the guarded block, 0 if none */
};

PAL_BEGIN_DECLS
/* Arms the frame on the calling thread (innermost first). Installs the signal handlers once. */
PAL_API void pal_fault_guard_enter(struct pal_fault_frame* frame);
/* Disarms the frame if it is still armed; a frame ended by a fault is already disarmed. */
PAL_API void pal_fault_guard_leave(struct pal_fault_frame* frame);
PAL_END_DECLS

#ifdef __cplusplus
/* Disarms the frame however the guarded block is left. */
class PalFaultGuardScope {
 public:
  explicit PalFaultGuardScope(pal_fault_frame* frame) : frame_(frame) {
    frame_->armed = 0;
    frame_->signal = 0;
  }
  ~PalFaultGuardScope() { pal_fault_guard_leave(frame_); }
  PalFaultGuardScope(const PalFaultGuardScope&) = delete;
  PalFaultGuardScope& operator=(const PalFaultGuardScope&) = delete;

 private:
  pal_fault_frame* frame_;
};

/* sigsetjmp without the signal mask: the handler runs with SA_NODEFER and an empty sa_mask, so
 * the mask at the fault is the mask at the jump target and no system call is needed per guard. */
#define FAULT_GUARD_TRY                                     \
  {                                                         \
    pal_fault_frame pal_fault_frame_;                       \
    PalFaultGuardScope pal_fault_scope_(&pal_fault_frame_); \
    if (sigsetjmp(pal_fault_frame_.env, 0) == 0) {          \
      pal_fault_guard_enter(&pal_fault_frame_);
#define FAULT_GUARD_EXCEPT                  \
  pal_fault_guard_leave(&pal_fault_frame_); \
  }                                         \
  else {
#define FAULT_GUARD_END \
  }                     \
  }
#endif

#endif
