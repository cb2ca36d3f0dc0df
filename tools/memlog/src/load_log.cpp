// Reading a log into its analysis: the symbol pass when asked for, progress on a terminal, and
// what is wrong with a damaged log.
#include "load_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "driver.h"
#include "host.h"

namespace memlog {

namespace {

// Shows how far a long read has come, on a terminal only.
class ProgressLine final : public ProgressListener {
 public:
  ProgressLine(FILE* err, const std::string& name, int64_t length)
      : err_(err), name_(name), length_(length) {}
  ~ProgressLine() override {
    if (width_) fprintf(err_, "\r%*s\r", width_, "");
  }
  void onProgress(uint64_t bytes, uint64_t events) override {
    int n;
    if (length_ > 0)
      n = fprintf(err_, "\rquorkit-memlog: reading %s: %3d%% (%" PRIu64 " events)", name_.c_str(),
                  int(bytes * 100 / uint64_t(length_)), events);
    else
      n = fprintf(err_, "\rquorkit-memlog: reading %s: %" PRIu64 " MiB (%" PRIu64 " events)",
                  name_.c_str(), bytes >> 20, events);
    if (n > width_) width_ = n;
    fflush(err_);
  }

 private:
  FILE* err_;
  std::string name_;
  int64_t length_;
  int width_ = 0;  // widest progress line, to blank it at the end
};

// Says what is wrong with a log that did not read cleanly; returns 0 when the reports can go on.
int reportReadProblem(const LoadedLog& log, bool strict, FILE* err) {
  const ReadResult& r = log.result;
  const char* name = log.name.c_str();
  // A log with no event is no record of a run: nothing in it can be reported on.
  const bool useless = r.events == 0;
  switch (r.status) {
    case ReadStatus::Ok: return 0;
    case ReadStatus::Truncated:
      fprintf(err,
              "quorkit-memlog: %s: %s: log truncated at offset %" PRIu64
              ": %s; stopped after %" PRIu64 " %s (%" PRIu64 " bytes)\n",
              strict || useless ? "error" : "warning", name, r.problemOffset, r.message.c_str(),
              r.events, r.events == 1 ? "event" : "events", r.bytes);
      return useless ? kExitBadInput : 0;
    case ReadStatus::Corrupt:
      if (useless && r.problemOffset == 0) {
        fprintf(err, "quorkit-memlog: error: %s: %s\n", name, r.message.c_str());
        return kExitBadInput;
      }
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

// The distinct stacks and the modules of a log: what symbolisation needs before the analysis
// can group stacks by function.
class FrameCollector final : public LogVisitor {
 public:
  void onModules(const std::vector<ModuleInfo>& m) override { modules = m; }
  void onEvent(const Event& e) override { stacks.intern(e.frames, e.frameCount); }
  std::vector<ModuleInfo> modules;
  StackTable stacks;
};

ReadResult readThrough(FILE* f, const std::string& name, LogVisitor& visitor, LogVisitor* observer,
                       FILE* err) {
  FileSource src(f);
  ProgressLine progress(err, name, src.length());
  return readLog(src, visitor, observer, host::isTerminal(err) ? &progress : nullptr);
}

void printNotes(const std::string& notes, FILE* err) {
  size_t begin = 0;
  while (begin < notes.size()) {
    const size_t end = notes.find('\n', begin);
    fprintf(err, "quorkit-memlog: %s\n", notes.substr(begin, end - begin).c_str());
    begin = end == std::string::npos ? notes.size() : end + 1;
  }
}

// A first pass for the frames, then binutils: the analysis that follows needs the functions.
void resolveSymbols(FILE* f, const Options& o, LoadedLog& log, FILE* err) {
  FrameCollector frames;
  readThrough(f, log.name, frames, nullptr, err);
  rewind(f);
  log.symbols.reset(new Symbolizer(frames.modules));
  SymbolOptions so;
  so.searchDirs = o.searchDirs;
  so.logTime = host::modificationTime(f);
  std::string notes;
  log.symbols->resolve(distinctFrames(frames.stacks), so, notes);
  printNotes(notes, err);
}

// Standard input copied to a file of its own, for a log read twice.
class Spool {
 public:
  ~Spool() {
    if (file_) fclose(file_);
    if (!path_.empty()) host::removeFile(path_);
  }
  FILE* copy(FILE* in) {
    path_ = host::makeTemporaryFile();
    file_ = path_.empty() ? nullptr : fopen(path_.c_str(), "w+b");
    if (!file_) return nullptr;
    char buf[1 << 16];
    for (size_t n; (n = fread(buf, 1, sizeof buf, in)) > 0;)
      if (fwrite(buf, 1, n, file_) != n) return nullptr;
    if (ferror(in)) return nullptr;
    rewind(file_);  // also the switch from writing to reading that an update stream needs
    return file_;
  }

 private:
  std::string path_;
  FILE* file_ = nullptr;
};

int analyse(FILE* f, const Options& o, LoadedLog& log, FILE* err) {
  if (o.symbolize) resolveSymbols(f, o, log, err);
  if (o.command->takesAddress) log.analysis.watchAddress(o.address);
  log.analysis.setFrameFilter(FrameFilter(o.keepLoggerFrames, log.symbols.get()));
  if (o.command->observe) log.observer = o.command->observe(log.analysis);
  log.result = readThrough(f, log.name, log.analysis, log.observer.get(), err);
  if (!log.symbols) log.symbols.reset(new Symbolizer(log.analysis.modules_));
  return reportReadProblem(log, o.strict, err);
}

}  // namespace

int loadLog(const std::string& path, const Options& o, LoadedLog& log, FILE* err) {
  const bool fromStdin = path == "-";
  log.name = fromStdin ? "<stdin>" : path;
  FILE* f = fromStdin ? stdin : fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(err, "quorkit-memlog: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return kExitBadInput;
  }
  Spool spool;
  FILE* in = f;
  if (o.symbolize && host::regularFileLength(f) < 0) in = spool.copy(f);
  const int rc = in ? analyse(in, o, log, err) : kExitBadInput;
  if (!in) fprintf(err, "quorkit-memlog: cannot copy %s for a second reading\n", log.name.c_str());
  if (!fromStdin) fclose(f);
  return rc;
}

}  // namespace memlog
