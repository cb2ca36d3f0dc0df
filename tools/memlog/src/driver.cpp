// Input handling, output routing and exit codes of quorkit-memlog.
#include "driver.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "commands.h"
#include "flame.h"
#include "html_report.h"
#include "host.h"
#include "load_log.h"
#include "options.h"

namespace memlog {

namespace {

// Renders the command into the output o names; returns 0 or kExitOutput after saying why.
int render(const Job& job, FILE* out, FILE* err) {
  const Options& o = job.options;
  const bool toFile = o.outputGiven && o.output != "-";
  FILE* dst = toFile ? fopen(o.output.c_str(), "wb") : out;
  if (!dst) {
    fprintf(err, "quorkit-memlog: cannot write %s: %s\n", o.output.c_str(), strerror(errno));
    return kExitOutput;
  }
  bool failed;
  {
    Out w(dst);
    o.command->run(w, job);
    w.flush();
    failed = w.failed();
  }
  failed |= toFile ? fclose(dst) != 0 : fflush(dst) != 0;
  if (!failed) return 0;
  fprintf(err, "quorkit-memlog: error writing %s\n", toFile ? o.output.c_str() : "the output");
  return kExitOutput;
}

std::string outputOverwritesInput(const Options& o) {
  if (!o.outputGiven || o.output == "-") return std::string();
  for (const std::string& in : o.inputs)
    if (in == o.output || host::sameFile(in, o.output))
      return "-o " + o.output + " names an input; refusing to write over it";
  return std::string();
}

int usageError(const std::string& complaint, FILE* err) {
  fprintf(err, "quorkit-memlog: %s\n(quorkit-memlog --help shows the usage)\n", complaint.c_str());
  return kExitUsage;
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args, FILE* out, FILE* err) {
  Options o;
  std::string complaint = parseOptions(args, host::isTerminal(stdin), o);
  if (complaint.empty()) complaint = outputOverwritesInput(o);
  if (!complaint.empty()) return usageError(complaint, err);
  if (o.help) {
    fputs(usageText(o.command).c_str(), out);
    return kExitOk;
  }
  if (o.version) {
    fprintf(out, "quorkit-memlog %s\n", QUORKIT_MEMLOG_VERSION);
    return kExitOk;
  }
  Job job{o, err, {}};
  bool truncated = false;
  for (const std::string& path : o.inputs) {
    job.logs.emplace_back(new LoadedLog);
    const int rc = loadLog(path, o, *job.logs.back(), err);
    if (rc) return rc;
    truncated |= job.logs.back()->result.status == ReadStatus::Truncated;
  }
  if (const int rc = render(job, out, err)) return rc;
  if (truncated && o.strict) return kExitBadInput;
  if (o.failOnLeaks && job.logs.back()->analysis.liveBlocks > 0) return kExitLeaks;
  return kExitOk;
}

int exerciseAllReports(const uint8_t* data, size_t size) {
  // A first reading picks an address to follow: inside the first block still live at the end, so
  // that find's history has blocks to match and print.
  uint32_t watched = 0;
  {
    MemorySource src(data, size);
    Analysis first;
    readLog(src, first);
    first.live().forEach([&](uint32_t address, const LiveBlock& b) {
      if (!watched) watched = address + b.size / 2;
    });
  }
  MemorySource src(data, size);
  Analysis a;
  a.watchAddress(watched);
  Timeline timeline(a);
  const ReadResult r = readLog(src, a, &timeline);
  const Symbolizer sym(a.modules_);
  Out out(nullptr);
  renderSummary(out, a, ReadSummary{"fuzz", r.bytes, r.status == ReadStatus::Truncated});
  renderLeaks(out, a, sym, 5, LeakFormat::Text);
  renderLeaks(out, a, sym, UINT64_MAX, LeakFormat::Lsan);
  renderTop(out, a, sym, TopBy::Calls, 3);
  renderTop(out, a, sym, TopBy::Peak, 3);
  renderFolded(out, a, sym, FoldedWeight::Live);
  renderFlame(out, a, sym, true, "fuzz");
  renderHistogram(out, a);
  renderFind(out, a, sym, watched);
  renderDiff(out, a, sym, "a", a, sym, "b");
  renderHtmlReport(out, a, sym, timeline, "fuzz");
  return r.status == ReadStatus::Ok || r.status == ReadStatus::Truncated ? kExitOk : kExitBadInput;
}

}  // namespace memlog
