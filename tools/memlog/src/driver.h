// Command-line front end of quorkit-memlog, kept apart from main() so that tests and
// fuzz targets can drive it in-process.
#ifndef QUORKIT_MEMLOG_DRIVER_H
#define QUORKIT_MEMLOG_DRIVER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace memlog {

enum ExitCode { kExitOk = 0, kExitLeaks = 1, kExitUsage = 2, kExitBadInput = 3, kExitOutput = 4 };

// Runs one command line (args without the program name), writing reports to out
// unless -o says otherwise, and messages to err.
int runCommandLine(const std::vector<std::string>& args, FILE* out, FILE* err);

// Reads a log held in memory and renders every report into the void; returns the
// exit code the summary command would give. For fuzzing and mutation tests.
int exerciseAllReports(const uint8_t* data, size_t size);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_DRIVER_H
