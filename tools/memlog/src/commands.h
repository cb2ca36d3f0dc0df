// The commands of quorkit-memlog, one row each. A command names the options it owns, how many
// logs it reads, and the function that renders it from the loaded logs.
#ifndef QUORKIT_MEMLOG_COMMANDS_H
#define QUORKIT_MEMLOG_COMMANDS_H

#include <memory>
#include <string>
#include <vector>

#include "analysis.h"
#include "log_reader.h"
#include "options.h"
#include "report.h"
#include "symbols.h"

namespace memlog {

struct LoadedLog {
  std::string name;  // as shown: the path, or <stdin>
  ReadResult result;
  Analysis analysis;
  std::unique_ptr<Symbolizer> symbols;
  std::unique_ptr<LogVisitor> observer;  // the command's own, when its row makes one
};

// What a command renders from: the parsed options and the logs, read and analysed.
struct Job {
  const Options& options;
  FILE* err;  // for warnings; the report goes to the Out a command is given
  std::vector<std::unique_ptr<LoadedLog>> logs;
};

struct Command {
  const char* name;
  const char* operands;  // for the usage: "FILE", "ADDR FILE", "A B"
  const char* summary;   // one line for the usage
  const char* options;   // the options only this command takes, space separated
  int logs;              // log files read
  bool takesAddress;     // a hexadecimal address precedes the logs
  void (*run)(Out& out, const Job& job);
  // Null, or makes a visitor that sees every event right after the analysis has taken it in
  // (for what the analysis does not keep, such as a history over time).
  std::unique_ptr<LogVisitor> (*observe)(const Analysis& analysis) = nullptr;
};

const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);
const Command& defaultCommand();
// True when the command's row lists the option.
bool commandTakes(const Command& command, const std::string& option);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_COMMANDS_H
