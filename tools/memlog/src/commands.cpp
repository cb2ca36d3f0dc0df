// The commands table: adding a command is one row here and the function it runs.
#include "commands.h"

#include "flame.h"
#include "html_report.h"

namespace memlog {

namespace {

const Analysis& first(const Job& job) { return job.logs[0]->analysis; }
const Symbolizer& firstSymbols(const Job& job) { return *job.logs[0]->symbols; }

void runSummary(Out& out, const Job& job) {
  const LoadedLog& log = *job.logs[0];
  renderSummary(
      out, log.analysis,
      ReadSummary{log.name, log.result.bytes, log.result.status == ReadStatus::Truncated});
}

void runLeaks(Out& out, const Job& job) {
  renderLeaks(out, first(job), firstSymbols(job), job.options.top, job.options.format);
}

void runTop(Out& out, const Job& job) {
  renderTop(out, first(job), firstSymbols(job), job.options.by, job.options.n);
}

void runFolded(Out& out, const Job& job) {
  renderFolded(out, first(job), firstSymbols(job), job.options.weight);
}

void runFlame(Out& out, const Job& job) {
  const std::string& title = job.options.title;
  renderFlame(out, first(job), firstSymbols(job), job.options.atPeak,
              title.empty() ? "live bytes of " + Symbolizer::baseName(job.logs[0]->name) : title);
}

void runHistogram(Out& out, const Job& job) { renderHistogram(out, first(job)); }

void runFind(Out& out, const Job& job) {
  renderFind(out, first(job), firstSymbols(job), job.options.address);
}

// Logs without module tables compare by plain address; with them, by module.
bool shareAModule(const Analysis& a, const Analysis& b) {
  if (a.modules_.empty() && b.modules_.empty()) return true;
  for (const ModuleInfo& x : a.modules_)
    for (const ModuleInfo& y : b.modules_)
      if (Symbolizer::baseName(x.name) == Symbolizer::baseName(y.name)) return true;
  return false;
}

void runDiff(Out& out, const Job& job) {
  const LoadedLog& a = *job.logs[0];
  const LoadedLog& b = *job.logs[1];
  if (!shareAModule(a.analysis, b.analysis))
    fprintf(job.err,
            "quorkit-memlog: warning: %s and %s share no module: logs of different programs "
            "have no stack in common\n",
            a.name.c_str(), b.name.c_str());
  renderDiff(out, a.analysis, *a.symbols, a.name, b.analysis, *b.symbols, b.name);
}

}  // namespace

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"summary", "FILE", "events per operation, live and peak bytes, regions, modules (default)",
       "", 1, false, runSummary},
      {"leaks", "FILE", "blocks live at the end, grouped by stack, largest first", "--top --format",
       1, false, runLeaks},
      {"top", "FILE", "allocation sites (distinct stacks)", "--by -n", 1, false, runTop},
      {"folded", "FILE", "one line per stack, outermost frame first, weight last", "--weight", 1,
       false, runFolded},
      {"flame", "FILE", "SVG flame graph of live bytes", "--at --title", 1, false, runFlame},
      {"histogram", "FILE", "allocation sizes in power-of-two buckets", "", 1, false, runHistogram},
      {"find", "ADDR FILE", "whole history of every block containing an address (hexadecimal)", "",
       1, true, runFind},
      {"diff", "A B", "live bytes by stack, B minus A", "", 2, false, runDiff},
      {"report", "FILE",
       "interactive HTML report: summary, live bytes over time, leaks, flame graphs", "", 1, false,
       runReport, observeTimeline},
  };
  return table;
}

const Command* findCommand(const std::string& name) {
  for (const Command& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

const Command& defaultCommand() { return commands().front(); }

bool commandTakes(const Command& command, const std::string& option) {
  const std::string list = std::string(" ") + command.options + " ";
  return list.find(" " + option + " ") != std::string::npos;
}

}  // namespace memlog
