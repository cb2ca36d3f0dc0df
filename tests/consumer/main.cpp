// A small application of the installed library: lifecycle, the global lock, diagnosis through an
// installed handler and formatted output. Prints "quorkit consumer: ok" and exits 0 when every
// call behaved; otherwise names the first call that did not and exits 1.
#include <quor/Platform.h>

#include <string.h>

namespace {

char g_lastMessage[256];
int g_lastLevel = -1;

void recordDiagnosis(quor::ErrorLevel level, const char* message) {
  g_lastLevel = level;
  strncpy(g_lastMessage, message, sizeof g_lastMessage - 1);
}

int fail(const char* what) {
  quor::Platform::printf("quorkit consumer: FAILED at %s\n", what);
  return 1;
}

}  // namespace

int main() {
  quor::PlatformConfig config;
  if (config.byte0 != 1 || config.byte1 != 0xDD) return fail("PlatformConfig defaults");
  quor::Platform::initialize(&config);

  if (!quor::Platform::tryLock()) return fail("tryLock");
  quor::Platform::lock();  // the global lock is recursive
  quor::Platform::unlock();
  quor::Platform::unlock();

  char text[64];
  int length = quor::Platform::sprintf(text, "%s-%d", "quor", 32);
  if (length != 7 || strcmp(text, "quor-32") != 0) return fail("sprintf");

  quor::DiagnosisHandler before = quor::Platform::setDiagnosisHandler(recordDiagnosis);
  if (before != nullptr) return fail("setDiagnosisHandler (a handler was installed at load)");
  quor::Platform::diagnosis(quor::LEVEL_WARNING, "disk %d%% full", 93);
  quor::Platform::setDiagnosisHandler(nullptr);
  if (g_lastLevel != quor::LEVEL_WARNING || strcmp(g_lastMessage, "disk 93% full") != 0) {
    return fail("diagnosis");
  }

  quor::Platform::terminate();
  quor::Platform::printf("quorkit consumer: ok\n");
  return 0;
}
