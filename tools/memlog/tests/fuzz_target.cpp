// libFuzzer entry: any byte string is a candidate log; reading and rendering it must
// stay within bounds and finish.
#include <cstddef>
#include <cstdint>

#include "driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int rc = memlog::exerciseAllReports(data, size);
  if (rc != 0 && rc != 3) __builtin_trap();
  return 0;
}
