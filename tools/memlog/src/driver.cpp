// Input handling, output routing and exit codes of quorkit-memlog.
#include "driver.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "commands.h"
#include "flame.h"
#include "options.h"

namespace memlog {

namespace {

// Hands the log to the analysis and then to the command's observer, and shows how far a long
// read has come, on a terminal only.
class ProgressVisitor final : public LogVisitor {
 public:
  ProgressVisitor(LogVisitor& inner, LogVisitor* observer, FILE* err, const std::string& name,
                  int64_t length, bool enabled)
      : inner_(inner),
        observer_(observer),
        err_(err),
        name_(name),
        length_(length),
        enabled_(enabled) {}
  ~ProgressVisitor() override {
    if (shown_) fprintf(err_, "\r%*s\r", width_, "");
  }
  void onModules(const std::vector<ModuleInfo>& m) override {
    inner_.onModules(m);
    if (observer_) observer_->onModules(m);
  }
  void onEvent(const Event& e) override {
    events_ = e.number;
    inner_.onEvent(e);
    if (observer_) observer_->onEvent(e);
  }
  void onProgress(uint64_t bytes) override {
    if (!enabled_) return;
    shown_ = true;
    int n;
    if (length_ > 0)
      n = fprintf(err_, "\rquorkit-memlog: reading %s: %3d%% (%" PRIu64 " events)", name_.c_str(),
                  int(bytes * 100 / uint64_t(length_)), events_);
    else
      n = fprintf(err_, "\rquorkit-memlog: reading %s: %" PRIu64 " MiB (%" PRIu64 " events)",
                  name_.c_str(), bytes >> 20, events_);
    if (n > width_) width_ = n;
    fflush(err_);
  }

 private:
  LogVisitor& inner_;
  LogVisitor* observer_;
  FILE* err_;
  std::string name_;
  int64_t length_;
  bool enabled_;
  bool shown_ = false;
  int width_ = 0;  // widest progress line, to blank it at the end
  uint64_t events_ = 0;
};

// Says what is wrong with a log that did not read cleanly; returns 0 when the reports can go on.
int reportReadProblem(const LoadedLog& log, bool strict, FILE* err) {
  const ReadResult& r = log.result;
  const char* name = log.name.c_str();
  switch (r.status) {
    case ReadStatus::Ok: return 0;
    case ReadStatus::Truncated:
      fprintf(err,
              "quorkit-memlog: %s: %s: log truncated at offset %" PRIu64
              ": %s; stopped after %" PRIu64 " %s (%" PRIu64 " bytes)\n",
              strict ? "error" : "warning", name, r.problemOffset, r.message.c_str(), r.events,
              r.events == 1 ? "event" : "events", r.bytes);
      return 0;
    case ReadStatus::Corrupt:
      fprintf(err,
              "quorkit-memlog: error: %s: corrupt log at offset %" PRIu64 ": %s (after %" PRIu64
              " %s)\n",
              name, r.problemOffset, r.message.c_str(), r.events,
              r.events == 1 ? "event" : "events");
      return kExitBadInput;
    case ReadStatus::IoError:
      fprintf(err, "quorkit-memlog: error: %s: read error at offset %" PRIu64 "\n", name,
              r.problemOffset);
      return kExitBadInput;
  }
  return kExitBadInput;
}

// Reads one log; returns 0, or kExitBadInput after saying why.
int load(const std::string& path, const Options& o, LoadedLog& log, FILE* err) {
  log.name = path == "-" ? "<stdin>" : path;
  FILE* f = path == "-" ? stdin : fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(err, "quorkit-memlog: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return kExitBadInput;
  }
  if (o.command->takesAddress) log.analysis.watchAddress(o.address);
  {
    FileSource src(f);
    if (o.command->observe) log.observer = o.command->observe(log.analysis);
    ProgressVisitor pv(log.analysis, log.observer.get(), err, log.name, src.length(),
                       isatty(fileno(err)) == 1);
    log.result = readLog(src, pv);
  }
  if (f != stdin) fclose(f);
  return reportReadProblem(log, o.strict, err);
}

void printNotes(const std::string& notes, FILE* err) {
  size_t begin = 0;
  while (begin < notes.size()) {
    const size_t end = notes.find('\n', begin);
    fprintf(err, "quorkit-memlog: note: %s\n", notes.substr(begin, end - begin).c_str());
    begin = end == std::string::npos ? notes.size() : end + 1;
  }
}

void attachSymbols(LoadedLog& log, const Options& o, FILE* err) {
  log.symbols.reset(new Symbolizer(log.analysis.modules_));
  if (!o.symbolize) return;
  SymbolOptions so;
  so.searchDirs = o.searchDirs;
  std::string notes;
  log.symbols->resolve(allFrames(log.analysis), so, notes);
  printNotes(notes, err);
}

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

int usageError(const std::string& complaint, FILE* err) {
  fprintf(err, "quorkit-memlog: %s\n(quorkit-memlog --help shows the usage)\n", complaint.c_str());
  return kExitUsage;
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args, FILE* out, FILE* err) {
  Options o;
  const std::string complaint = parseOptions(args, isatty(fileno(stdin)) == 1, o);
  if (!complaint.empty()) return usageError(complaint, err);
  if (o.help) {
    fputs(usageText(o.command).c_str(), out);
    return kExitOk;
  }
  if (o.version) {
    fprintf(out, "quorkit-memlog %s\n", QUORKIT_MEMLOG_VERSION);
    return kExitOk;
  }
  Job job{o, {}};
  bool truncated = false;
  for (const std::string& path : o.inputs) {
    job.logs.emplace_back(new LoadedLog);
    const int rc = load(path, o, *job.logs.back(), err);
    if (rc) return rc;
    truncated |= job.logs.back()->result.status == ReadStatus::Truncated;
  }
  for (auto& log : job.logs) attachSymbols(*log, o, err);
  if (const int rc = render(job, out, err)) return rc;
  if (truncated && o.strict) return kExitBadInput;
  if (o.failOnLeaks && job.logs.back()->analysis.liveBlocks > 0) return kExitLeaks;
  return kExitOk;
}

int exerciseAllReports(const uint8_t* data, size_t size) {
  MemorySource src(data, size);
  Analysis a;
  if (size >= 8) a.watchAddress(loadU32(data + size - 8));
  const ReadResult r = readLog(src, a);
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
  renderFind(out, a, sym, size >= 8 ? loadU32(data + size - 8) : 0);
  renderDiff(out, a, sym, "a", a, sym, "b");
  switch (r.status) {
    case ReadStatus::Ok:
    case ReadStatus::Truncated: return kExitOk;
    default: return kExitBadInput;
  }
}

}  // namespace memlog
