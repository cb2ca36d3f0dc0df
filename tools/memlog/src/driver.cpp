// Argument parsing, input handling and exit codes of quorkit-memlog.
#include "driver.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "analysis.h"
#include "log_reader.h"
#include "report.h"
#include "symbols.h"

namespace memlog {

namespace {

const char kUsage[] =
    "usage: quorkit-memlog [COMMAND] [OPTIONS] FILE\n"
    "Reads an allocation log (MEM_LOG.bin); FILE '-' is standard input.\n"
    "\n"
    "commands:\n"
    "  summary                 events per operation, live and peak bytes, regions, modules "
    "(default)\n"
    "  leaks [--top N] [--format=text|lsan]\n"
    "                          blocks live at the end, grouped by stack, largest first\n"
    "  top [--by=calls|bytes|peak] [-n N]\n"
    "                          allocation sites (distinct stacks)\n"
    "  folded [--weight=bytes|count|live]\n"
    "                          one line per stack, outermost frame first, weight last\n"
    "  flame [--at=end|peak] [--title TEXT] -o FILE.svg\n"
    "                          SVG flame graph of live bytes\n"
    "  histogram               allocation sizes in power-of-two buckets\n"
    "  find ADDR FILE          every event touching one address (hexadecimal)\n"
    "  diff A B                live bytes by stack, B minus A\n"
    "\n"
    "options:\n"
    "  -o FILE                 write the report to FILE ('-': standard output)\n"
    "  --symbolize             functions and lines through addr2line, from the module\n"
    "                          files at their logged paths or in a search directory\n"
    "  --search-dir DIR        where to look for module files (repeatable)\n"
    "  --strict                a truncated log is an error (exit 3)\n"
    "  --fail-on-leaks         exit 1 when blocks are live at the end\n"
    "  -h, --help              this text\n"
    "\n"
    "exit codes: 0 ok, 1 leaks found (--fail-on-leaks), 2 usage, 3 unreadable or corrupt input\n";

struct Options {
  std::string command = "summary";
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
  std::vector<std::string> searchDirs;
  bool strict = false;
  bool failOnLeaks = false;
  bool help = false;
  uint32_t address = 0;
};

bool isCommand(const std::string& s) {
  static const char* const commands[] = {"summary", "leaks",     "top",  "folded",
                                         "flame",   "histogram", "find", "diff"};
  for (const char* c : commands)
    if (s == c) return true;
  return false;
}

bool parseCount(const std::string& s, uint64_t& v) {
  if (s.empty() || s[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long x = strtoull(s.c_str(), &end, 10);
  if (errno || *end) return false;
  v = x;
  return true;
}

bool parseAddress(const std::string& s, uint32_t& v) {
  const char* p = s.c_str();
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  if (!*p) return false;
  for (const char* q = p; *q; ++q)
    if (!isxdigit(static_cast<unsigned char>(*q))) return false;
  errno = 0;
  const unsigned long long x = strtoull(p, nullptr, 16);
  if (errno || x > UINT32_MAX) return false;
  v = uint32_t(x);
  return true;
}

// Returns an empty string on success, else the complaint.
std::string parse(const std::vector<std::string>& args, Options& o) {
  std::vector<std::string> positional;
  std::vector<std::string> used;  // options given, to check against the command
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::string value;
    bool hasValue = false;
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a.erase(eq);
        hasValue = true;
      }
    }
    auto takeValue = [&](std::string& dst) -> bool {
      if (hasValue) {
        dst = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      dst = args[++i];
      return true;
    };
    auto noValue = [&]() { return !hasValue; };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "-o") {
      if (!takeValue(o.output)) return "-o needs a file name";
      o.outputGiven = true;
    } else if (a == "--top") {
      std::string v;
      if (!takeValue(v) || !parseCount(v, o.top)) return "--top needs a count";
      used.push_back(a);
    } else if (a == "-n") {
      std::string v;
      if (!takeValue(v) || !parseCount(v, o.n)) return "-n needs a count";
      used.push_back(a);
    } else if (a == "--format") {
      std::string v;
      if (!takeValue(v)) return "--format needs a value";
      if (v == "text")
        o.format = LeakFormat::Text;
      else if (v == "lsan")
        o.format = LeakFormat::Lsan;
      else
        return "--format must be text or lsan";
      used.push_back(a);
    } else if (a == "--by") {
      std::string v;
      if (!takeValue(v)) return "--by needs a value";
      if (v == "calls")
        o.by = TopBy::Calls;
      else if (v == "bytes")
        o.by = TopBy::Bytes;
      else if (v == "peak")
        o.by = TopBy::Peak;
      else
        return "--by must be calls, bytes or peak";
      used.push_back(a);
    } else if (a == "--weight") {
      std::string v;
      if (!takeValue(v)) return "--weight needs a value";
      if (v == "bytes")
        o.weight = FoldedWeight::Bytes;
      else if (v == "count")
        o.weight = FoldedWeight::Count;
      else if (v == "live")
        o.weight = FoldedWeight::Live;
      else
        return "--weight must be bytes, count or live";
      used.push_back(a);
    } else if (a == "--at") {
      std::string v;
      if (!takeValue(v)) return "--at needs a value";
      if (v == "end")
        o.atPeak = false;
      else if (v == "peak")
        o.atPeak = true;
      else
        return "--at must be end or peak";
      used.push_back(a);
    } else if (a == "--title") {
      if (!takeValue(o.title)) return "--title needs a text";
      used.push_back(a);
    } else if (a == "--search-dir") {
      std::string v;
      if (!takeValue(v) || v.empty()) return "--search-dir needs a directory";
      o.searchDirs.push_back(v);
    } else if (a == "--symbolize" && noValue()) {
      o.symbolize = true;
    } else if (a == "--strict" && noValue()) {
      o.strict = true;
    } else if (a == "--fail-on-leaks" && noValue()) {
      o.failOnLeaks = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return "unknown option " + args[i];
    } else {
      positional.push_back(args[i]);
    }
  }
  if (o.help) return std::string();
  if (!positional.empty() && isCommand(positional[0])) {
    o.command = positional[0];
    positional.erase(positional.begin());
  }
  static const struct {
    const char* option;
    const char* command;
  } allowed[] = {{"--top", "leaks"},     {"--format", "leaks"}, {"--by", "top"},     {"-n", "top"},
                 {"--weight", "folded"}, {"--at", "flame"},     {"--title", "flame"}};
  for (const std::string& u : used) {
    for (const auto& rule : allowed)
      if (u == rule.option && o.command != rule.command)
        return u + " does not apply to " + o.command;
  }
  if (o.command == "find") {
    if (positional.empty() || !parseAddress(positional[0], o.address))
      return "find needs a hexadecimal address";
    positional.erase(positional.begin());
  }
  const size_t want = o.command == "diff" ? 2 : 1;
  if (positional.size() != want)
    return o.command == "diff" ? "diff needs two log files" : "expected one log file";
  if (want == 2 && positional[0] == "-" && positional[1] == "-")
    return "only one input can be standard input";
  o.inputs = positional;
  return std::string();
}

// Shows how far a long read has come, on a terminal only.
class ProgressVisitor final : public LogVisitor {
 public:
  ProgressVisitor(LogVisitor& inner, FILE* err, const std::string& name, int64_t length,
                  bool enabled)
      : inner_(inner), err_(err), name_(name), length_(length), enabled_(enabled) {}
  ~ProgressVisitor() override {
    if (shown_) fprintf(err_, "\r%*s\r", width_, "");
  }
  void onModules(const std::vector<ModuleInfo>& m) override { inner_.onModules(m); }
  void onEvent(const Event& e) override {
    events_ = e.number;
    inner_.onEvent(e);
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
  FILE* err_;
  std::string name_;
  int64_t length_;
  bool enabled_;
  bool shown_ = false;
  int width_ = 0;  // widest progress line, to blank it at the end
  uint64_t events_ = 0;
};

struct Input {
  std::string name;
  Analysis analysis;
  ReadResult result;
};

// Reads one input; returns 0, or kExitBadInput after saying why.
int load(const std::string& path, const Options& o, Input& in, FILE* err) {
  in.name = path == "-" ? "<stdin>" : path;
  FILE* f = path == "-" ? stdin : fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(err, "quorkit-memlog: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return kExitBadInput;
  }
  if (o.command == "find") in.analysis.watchAddress(o.address);
  {
    FileSource src(f);
    ProgressVisitor pv(in.analysis, err, in.name, src.length(), isatty(fileno(err)) == 1);
    in.result = readLog(src, pv);
  }
  if (f != stdin) fclose(f);
  const ReadResult& r = in.result;
  switch (r.status) {
    case ReadStatus::Ok: return 0;
    case ReadStatus::Truncated:
      fprintf(err,
              "quorkit-memlog: %s: %s: log truncated at offset %" PRIu64
              ": %s; stopped after %" PRIu64 " %s (%" PRIu64 " bytes)\n",
              o.strict ? "error" : "warning", in.name.c_str(), r.problemOffset, r.message.c_str(),
              r.events, r.events == 1 ? "event" : "events", r.bytes);
      return 0;
    case ReadStatus::Corrupt:
      fprintf(err,
              "quorkit-memlog: error: %s: corrupt log at offset %" PRIu64 ": %s (after %" PRIu64
              " %s)\n",
              in.name.c_str(), r.problemOffset, r.message.c_str(), r.events,
              r.events == 1 ? "event" : "events");
      return kExitBadInput;
    case ReadStatus::IoError:
      fprintf(err, "quorkit-memlog: error: %s: read error at offset %" PRIu64 "\n", in.name.c_str(),
              r.problemOffset);
      return kExitBadInput;
  }
  return kExitBadInput;
}

}  // namespace

int runCommandLine(const std::vector<std::string>& args, FILE* out, FILE* err) {
  Options o;
  const std::string complaint = parse(args, o);
  if (o.help) {
    fputs(kUsage, out);
    return kExitOk;
  }
  if (!complaint.empty()) {
    fprintf(err, "quorkit-memlog: %s\n(quorkit-memlog --help shows the usage)\n",
            complaint.c_str());
    return kExitUsage;
  }

  std::vector<std::unique_ptr<Input>> inputs;
  bool truncated = false;
  for (const std::string& path : o.inputs) {
    inputs.emplace_back(new Input);
    const int rc = load(path, o, *inputs.back(), err);
    if (rc) return rc;
    truncated |= inputs.back()->result.status == ReadStatus::Truncated;
  }

  std::vector<std::unique_ptr<Symbolizer>> syms;
  for (const auto& in : inputs) {
    syms.emplace_back(new Symbolizer(in->analysis.modules_));
    if (o.symbolize) {
      SymbolOptions so;
      so.searchDirs = o.searchDirs;
      std::string notes;
      syms.back()->resolve(allFrames(in->analysis), so, notes);
      size_t begin = 0;
      while (begin < notes.size()) {
        const size_t end = notes.find('\n', begin);
        fprintf(err, "quorkit-memlog: note: %s\n", notes.substr(begin, end - begin).c_str());
        begin = end == std::string::npos ? notes.size() : end + 1;
      }
    }
  }

  FILE* dst = out;
  if (o.outputGiven && o.output != "-") {
    dst = fopen(o.output.c_str(), "wb");
    if (!dst) {
      fprintf(err, "quorkit-memlog: cannot write %s: %s\n", o.output.c_str(), strerror(errno));
      return kExitBadInput;
    }
  }
  const Analysis& a = inputs[0]->analysis;
  const Symbolizer& sym = *syms[0];
  bool writeFailed = false;
  {
    Out w(dst);
    if (o.command == "summary") {
      ReadSummary rs{inputs[0]->name, inputs[0]->result.bytes, truncated};
      renderSummary(w, a, rs);
    } else if (o.command == "leaks") {
      renderLeaks(w, a, sym, o.top, o.format);
    } else if (o.command == "top") {
      renderTop(w, a, sym, o.by, o.n);
    } else if (o.command == "folded") {
      renderFolded(w, a, sym, o.weight);
    } else if (o.command == "flame") {
      const std::string title =
          !o.title.empty() ? o.title : "live bytes of " + Symbolizer::baseName(inputs[0]->name);
      renderFlame(w, a, sym, o.atPeak, title);
    } else if (o.command == "histogram") {
      renderHistogram(w, a);
    } else if (o.command == "find") {
      renderFind(w, a, sym, o.address);
    } else if (o.command == "diff") {
      renderDiff(w, a, sym, inputs[0]->name, inputs[1]->analysis, *syms[1], inputs[1]->name);
    }
    w.flush();
    writeFailed = w.failed();
  }
  if (dst != out) {
    if (fclose(dst) != 0) writeFailed = true;
  } else if (fflush(dst) != 0) {
    writeFailed = true;
  }
  if (writeFailed) {
    fprintf(err, "quorkit-memlog: error writing %s\n",
            o.outputGiven ? o.output.c_str() : "the output");
    return kExitBadInput;
  }
  if (truncated && o.strict) return kExitBadInput;
  const Analysis& last = inputs.back()->analysis;
  if (o.failOnLeaks && last.liveBlocks > 0) return kExitLeaks;
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
