// The fault guard: signal handlers for SIGSEGV, SIGBUS, SIGILL and SIGFPE that jump back into
// the innermost armed guard of the faulting thread, and otherwise hand the signal to whatever
// was installed before.
//
// The handlers are installed once, at the first guard, and stay: installing and removing them
// around each guard would race with other threads' guards and cost two system calls per query.
#include <fault_guard.h>

#include "pal_internal.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

struct sigaction g_previous[kSignalCount];
// The default action with an empty mask, made once at install so that the handler needs no
// record of its own on the stack: under qemu-user, AddressSanitizer finds a signal handler's
// stack records in poisoned shadow and reports an overflow that is not there.
struct sigaction g_default;
pthread_once_t g_installOnce = PTHREAD_ONCE_INIT;

// Initial-exec: the handler must not go through __tls_get_addr, which may allocate.
__thread pal_fault_frame* t_innermost __attribute__((tls_model("initial-exec"))) = nullptr;

int indexOf(int signal) {
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == signal) return i;
  }
  return -1;
}

// No guard of this thread is armed: behave as if the guard did not exist.
void passOn(int signal, siginfo_t* info, void* context) {
  int index = indexOf(signal);
  const struct sigaction& before = g_previous[index];
  if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction != nullptr) {
    before.sa_sigaction(signal, info, context);
    return;
  }
  if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(signal);
    return;
  }
  bool sentByProcess = info == nullptr || info->si_code <= 0;
  if (before.sa_handler == SIG_IGN && sentByProcess) return;
  // Default action. A hardware fault recurs when the handler returns and now meets SIG_DFL; a
  // signal sent by kill() has to be raised again.
  sigaction(signal, &g_default, nullptr);
  if (sentByProcess) raise(signal);
}

void onFault(int signal, siginfo_t* info, void* context) {
  pal_fault_frame* frame = t_innermost;
  if (frame == nullptr) {
    passOn(signal, info, context);
    return;
  }
  t_innermost = frame->prev;
  frame->armed = 0;
  frame->signal = signal;
  siglongjmp(frame->env, 1);
}

void install() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = onFault;
  // NODEFER and an empty mask: the jump back leaves the signal mask as it was at the fault, so
  // the guard needs no sigsetjmp(…, 1) and no system call per use.
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  g_default.sa_handler = SIG_DFL;
  sigemptyset(&g_default.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
}

}  // namespace

extern "C" void pal_fault_guard_enter(pal_fault_frame* frame) {
  pthread_once(&g_installOnce, install);
  frame->signal = 0;
  frame->prev = t_innermost;
  frame->armed = 1;
  t_innermost = frame;
}

extern "C" void pal_fault_guard_leave(pal_fault_frame* frame) {
  if (!frame->armed) return;
  frame->armed = 0;
  // Frames end innermost first; a frame left while an inner one is still armed (which only a
  // jump out of a nested block could do) takes the inner ones with it.
  pal_fault_frame* current = t_innermost;
  while (current != nullptr && current != frame) {
    current->armed = 0;
    current = current->prev;
  }
  t_innermost = frame->prev;
}
