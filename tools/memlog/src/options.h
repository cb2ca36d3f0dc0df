// The command line of quorkit-memlog, parsed into one plain struct. Every option is one row of a
// table (options.cpp) and every command one row of another (commands.cpp), so the parser, the
// usage text and the "does not apply to" check all read the same facts.
#ifndef QUORKIT_MEMLOG_OPTIONS_H
#define QUORKIT_MEMLOG_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

namespace memlog {

struct Command;

struct Options {
  const Command* command = nullptr;
  std::vector<std::string> inputs;
  std::string output = "-";
  bool outputGiven = false;
  uint64_t top = UINT64_MAX;
  uint64_t n = 10;
  LeakFormat format = LeakFormat::Text;
  TopBy by = TopBy::Bytes;
  FoldedWeight weight = FoldedWeight::Bytes;
  bool atPeak = false;
  std::string title;
  bool symbolize = false;
  bool keepLoggerFrames = false;
  std::vector<std::string> searchDirs;
  bool strict = false;
  bool failOnLeaks = false;
  bool help = false;
  bool version = false;
  uint32_t address = 0;
};

// Fills o from args (without the program name); returns an empty string on success, else the
// complaint. With no log named, standard input is the log unless it is a terminal.
std::string parseOptions(const std::vector<std::string>& args, bool stdinIsTerminal, Options& o);

// The usage of every command, or of one when command is not null.
std::string usageText(const Command* command);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_OPTIONS_H
