// quorkit-memlog: offline reader of quorkit allocation logs.
#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return memlog::runCommandLine(args, stdout, stderr);
}
