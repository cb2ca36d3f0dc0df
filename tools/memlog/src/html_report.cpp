// The page is a fixed frame of HTML around the compiled-in style and script, and the log's data
// as one JSON object. Every string goes once into a table at the end and is referred to by
// index: the same frames recur in many stacks and in both flame graphs.
#include "html_report.h"

#include <algorithm>
#include <cinttypes>
#include <unordered_map>
#include <vector>

#include "assets.h"
#include "flame_tree.h"
#include "markup.h"

namespace memlog {

namespace {

// The leak table lists the largest stacks with their innermost frames, enough to find the
// code; the leaks command prints them all.
constexpr size_t kMaxLeakRows = 500;
constexpr uint32_t kMaxStackFrames = 64;
// Zooming into a box shows its children down to this share of the whole graph.
const FlameLimits kFlameLimits{1.0 / 5000, 15000, 400};

class Strings {
 public:
  Strings() { id(std::string()); }
  uint32_t id(const std::string& s) {
    const auto ins = ids_.emplace(s, uint32_t(list_.size()));
    if (ins.second) list_.push_back(&ins.first->first);
    return ins.first->second;
  }
  void write(Out& out) const {
    out.print("[");
    for (size_t i = 0; i < list_.size(); ++i) {
      if (i) out.print(",");
      out.write(jsonString(*list_[i]));
    }
    out.print("]");
  }

 private:
  std::unordered_map<std::string, uint32_t> ids_;
  std::vector<const std::string*> list_;  // keys of ids_, which stay where they are
};

void writeSummary(Out& out, const Analysis& a) {
  out.print("\"summary\":{\"events\":%" PRIu64 ",\"liveBytes\":%" PRIu64 ",\"liveBlocks\":%" PRIu64
            ",\"peakBytes\":%" PRIu64 ",\"peakBlocks\":%" PRIu64 ",\"peakEvent\":%" PRIu64
            ",\"unknownReleases\":%" PRIu64 ",\"doubleAllocations\":%" PRIu64 ",\"stacks\":%" PRIu32
            ",\"ops\":[",
            a.events, a.liveBytes, a.liveBlocks, a.peakBytes, a.peakBlocks, a.peakEvent,
            a.unknownReleases, a.doubleAllocations, a.stacks.size());
  const char* sep = "";
  for (uint32_t c = 0; c < kOpCount; ++c) {
    if (!a.opCounts[c]) continue;
    out.print("%s[%s,%" PRIu64 "]", sep, jsonString(opName(c)).c_str(), a.opCounts[c]);
    sep = ",";
  }
  out.print("]},\n");
}

void writeTimeline(Out& out, const Timeline& t) {
  out.print("\"timeline\":{\"span\":%" PRIu64 ",\"low\":[", t.span());
  const auto& b = t.buckets();
  for (size_t i = 0; i < b.size(); ++i) out.print(i ? ",%" PRIu64 : "%" PRIu64, b[i].low);
  out.print("],\"high\":[");
  for (size_t i = 0; i < b.size(); ++i) out.print(i ? ",%" PRIu64 : "%" PRIu64, b[i].high);
  out.print("]},\n");
}

// Rows [bytes, blocks, first event, its operation, its region, frames not listed, [text,
// location, text, location, ...]], grouped and ordered as the leaks command shows them.
void writeLeaks(Out& out, const Analysis& a, const Symbolizer& sym, Strings& strings) {
  const std::vector<LeakGroup> groups = leakGroups(a);
  uint64_t omittedBytes = 0;
  for (size_t i = kMaxLeakRows; i < groups.size(); ++i) omittedBytes += groups[i].bytes;
  const uint64_t omitted = groups.size() > kMaxLeakRows ? groups.size() - kMaxLeakRows : 0;
  out.print("\"leaks\":{\"omitted\":%" PRIu64 ",\"omittedBytes\":%" PRIu64 ",\"rows\":[\n", omitted,
            omittedBytes);
  for (size_t i = 0; i < groups.size() && i < kMaxLeakRows; ++i) {
    const LeakGroup& g = groups[i];
    const uint32_t n = a.stacks.frameCount(g.stack);
    const uint32_t shown = std::min(n, kMaxStackFrames);
    out.print("%s[%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%s,%u,%" PRIu32 ",[", i ? ",\n" : "", g.bytes,
              g.blocks, g.first.event, jsonString(opName(g.first.code)).c_str(),
              unsigned(g.first.region), n - shown);
    const uint32_t* f = a.stacks.frames(g.stack);
    for (uint32_t k = 0; k < shown; ++k)
      out.print("%s%" PRIu32 ",%" PRIu32, k ? "," : "", strings.id(sym.frameText(f[k])),
                strings.id(sym.fileLine(f[k])));
    out.print("]]");
  }
  out.print("]},\n");
}

void writeRegions(Out& out, const Analysis& a) {
  const std::vector<uint16_t> ids = a.regionIds();
  out.print("\"regions\":[");
  for (size_t i = 0; i < ids.size(); ++i) {
    const RegionStats& r = a.regionStats(ids[i]);
    out.print("%s[%u,%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 "]", i ? "," : "",
              unsigned(ids[i]), r.events, r.liveBlocks, r.liveBytes, r.peakBytes, r.peakEvent);
  }
  out.print("],\n");
}

void writeModules(Out& out, const Analysis& a, Strings& strings) {
  out.print("\"modules\":[");
  for (size_t i = 0; i < a.modules_.size(); ++i)
    out.print("%s[%" PRIu32 ",%" PRIu32 "]", i ? "," : "", a.modules_[i].base,
              strings.id(a.modules_[i].name));
  out.print("],\n");
}

// Nodes depth first as flat quadruples: name, depth, bytes, flags (1: deeper frames not
// drawn, 2: several narrow frames merged).
void writeFlame(Out& out, const char* key, const FlameTree& tree, Strings& strings) {
  out.print("%s:[", jsonString(key).c_str());
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    const FlameNode& n = tree.nodes[i];
    out.print("%s%" PRIu32 ",%" PRIu32 ",%" PRIu64 ",%d", i ? "," : "",
              strings.id(tree.names[n.name]), n.depth, n.value,
              (n.cut ? 1 : 0) | (n.merged ? 2 : 0));
    if (i % 16 == 15) out.print("\n");
  }
  out.print("]");
}

}  // namespace

void renderHtmlReport(Out& out, const Analysis& a, const Symbolizer& sym, const Timeline& timeline,
                      const std::string& logName) {
  out.print(
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Memory report: %s</title>\n<style>\n",
      xmlText(logName).c_str());
  out.write(kReportStyle);
  out.print(
      "</style>\n</head>\n<body>\n<noscript>This report is drawn by its inline script: allow "
      "scripts for this file to see it.</noscript>\n<main id=\"report\"></main>\n"
      "<script type=\"application/json\" id=\"memlog-data\">{\n");
  Strings strings;
  out.print("\"log\":%" PRIu32 ",\n", strings.id(logName));
  out.print("\"version\":%s,\n", jsonString(QUORKIT_MEMLOG_VERSION).c_str());
  writeSummary(out, a);
  writeTimeline(out, timeline);
  writeLeaks(out, a, sym, strings);
  writeRegions(out, a);
  writeModules(out, a, strings);
  out.print("\"flame\":{");
  writeFlame(out, "end", buildFlameTree(a, sym, false, kFlameLimits), strings);
  out.print(",\n");
  writeFlame(out, "peak", buildFlameTree(a, sym, true, kFlameLimits), strings);
  out.print("},\n\"strings\":");
  strings.write(out);
  out.print("\n}</script>\n<script>\n");
  out.write(kReportScript);
  out.print("</script>\n</body>\n</html>\n");
}

std::unique_ptr<LogVisitor> observeTimeline(const Analysis& a) {
  return std::unique_ptr<LogVisitor>(new Timeline(a));
}

void runReport(Out& out, const Job& job) {
  const LoadedLog& log = *job.logs[0];
  renderHtmlReport(out, log.analysis, *log.symbols, static_cast<const Timeline&>(*log.observer),
                   Symbolizer::baseName(log.name));
}

}  // namespace memlog
