// Reads one log named on the command line into a LoadedLog.
#ifndef QUORKIT_MEMLOG_LOAD_LOG_H
#define QUORKIT_MEMLOG_LOAD_LOG_H

#include <cstdio>
#include <string>

#include "commands.h"
#include "options.h"

namespace memlog {

// Reads path ('-': standard input) as the options ask: with --symbolize, a first pass finds the
// frames to resolve (standard input is copied aside for it). Returns 0, or kExitBadInput after
// saying why on err; a truncated log is only warned about.
int loadLog(const std::string& path, const Options& o, LoadedLog& log, FILE* err);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_LOAD_LOG_H
