// Loader notifications on Linux. Windows calls a DLL's DllMain at process attach/detach and when
// a thread ends; here an ELF constructor/destructor stand in for the first two and a pthread key
// destructor for the third. DllMain is weak so that the PAL links (and is tested) without the
// library; a PAL test may define its own.
#include "pal_internal.h"

#include <dlfcn.h>
#include <pthread.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
    __attribute__((weak));

namespace {

pthread_key_t g_threadKey;
bool g_threadKeyReady = false;
thread_local bool t_noted = false;
thread_local bool t_detaching = false;

HINSTANCE ownModule() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ownModule), &info) != 0) {
    return static_cast<HINSTANCE>(info.dli_fbase);
  }
  return nullptr;
}

// Runs while the exiting thread's thread_local data (TLS slot values included) is still alive:
// glibc runs key destructors before it tears the thread's static TLS block down.
void threadExit(void*) {
  t_detaching = true;
  if (DllMain != nullptr) DllMain(ownModule(), DLL_THREAD_DETACH, nullptr);
}

// Constructors run in link order with the library's own static initialisers (default priority);
// dll_entry is placed by the build after the modules, and the library keeps nothing that needs
// dynamic initialisation before attach in any case.
__attribute__((constructor)) void processAttach() {
  g_threadKeyReady = pthread_key_create(&g_threadKey, threadExit) == 0;
  if (DllMain != nullptr) DllMain(ownModule(), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void processDetach() {
  // As on Windows, the thread that runs process detach gets no thread detach of its own.
  if (DllMain != nullptr) DllMain(ownModule(), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace

void pal_note_thread(void) {
  if (t_noted || t_detaching || !g_threadKeyReady) return;
  t_noted = true;
  // Any non-null value arms the destructor; the value itself is not used.
  pthread_setspecific(g_threadKey, reinterpret_cast<void*>(1));
}
