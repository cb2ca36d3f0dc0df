// A module for the loader tests: one export of its own, and a dependency (the C library) whose
// symbols GetProcAddress must not hand out in its name.
#include <stdlib.h>

extern "C" __attribute__((visibility("default"))) int fixture_answer(void) {
  void* p = malloc(4);
  free(p);
  return 42;
}
