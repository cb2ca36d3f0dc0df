// Renderings of an analysed log, one function per subcommand. Orderings always end
// in a tie-break on something unique so that output is reproducible byte for byte.
#include "report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <map>

namespace memlog {

void Out::print(const char* fmt, ...) {
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (size_t(n) < sizeof small) {
    buf_.append(small, size_t(n));
  } else {
    std::string big(size_t(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    buf_.append(big.data(), size_t(n));
  }
  if (buf_.size() >= (64u << 10)) flush();
}

void Out::write(const std::string& s) {
  buf_ += s;
  if (buf_.size() >= (64u << 10)) flush();
}

void Out::flush() {
  if (file_ && !buf_.empty() && fwrite(buf_.data(), 1, buf_.size(), file_) != buf_.size())
    failed_ = true;
  buf_.clear();
}

namespace {

const char* plural(uint64_t n, const char* one, const char* many) { return n == 1 ? one : many; }

std::string hex8(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08" PRIx32, v);
  return b;
}

void printFrames(Out& out, const Analysis& a, const Symbolizer& sym, uint32_t stack,
                 const char* indent) {
  const uint32_t n = a.stacks.frameCount(stack);
  const uint32_t* f = a.stacks.frames(stack);
  if (n == 0) out.print("%s(no frames)\n", indent);
  // Built by appending rather than formatted: a big log's leaks print tens of thousands of frames.
  std::string line;
  for (uint32_t i = 0; i < n; ++i) {
    line = indent;
    sym.appendFrameText(line, f[i]);
    const std::string loc = sym.fileLine(f[i]);
    if (!loc.empty()) line += "  " + loc;
    line += '\n';
    out.write(line);
  }
}

}  // namespace

std::vector<LeakGroup> leakGroups(const Analysis& a) {
  std::vector<LeakGroup> byStack(a.stacks.size());  // stack ids are dense
  a.live().forEach([&](uint32_t, const LiveBlock& b) {
    LeakGroup& g = byStack[b.stack];
    g.stack = b.stack;
    g.blocks += 1;
    g.bytes += b.size;
    if (g.blocks == 1 || b.event < g.first.event) g.first = b;
  });
  std::vector<LeakGroup> out;
  for (const LeakGroup& g : byStack)
    if (g.blocks) out.push_back(g);
  std::sort(out.begin(), out.end(), [](const LeakGroup& x, const LeakGroup& y) {
    if (x.bytes != y.bytes) return x.bytes > y.bytes;
    if (x.blocks != y.blocks) return x.blocks > y.blocks;
    return x.first.event < y.first.event;
  });
  return out;
}

namespace {

// A frame's key appended to a folded line, with the characters that separate frames and lines
// made harmless.
void appendFoldedFrame(std::string& key, const Symbolizer& sym, uint32_t address) {
  const size_t from = key.size();
  sym.appendFrameKey(key, address);
  for (size_t i = from; i < key.size(); ++i)
    if (key[i] == ';' || key[i] == '\n' || key[i] == '\r') key[i] = ':';
}

// Stack key "outer;...;inner" -> weight, skipping zero weights, in the order of the keys.
std::vector<std::pair<std::string, uint64_t>> foldStacks(const Analysis& a, const Symbolizer& sym,
                                                         uint64_t (*weight)(const StackStats&)) {
  std::vector<std::pair<std::string, uint64_t>> folded;
  for (uint32_t id = 0; id < a.stacks.size(); ++id) {
    const uint64_t w = weight(a.stackStats[id]);
    if (w == 0) continue;
    const uint32_t n = a.stacks.frameCount(id);
    const uint32_t* f = a.stacks.frames(id);
    std::string key;
    for (uint32_t i = n; i-- > 0;) {
      appendFoldedFrame(key, sym, f[i]);
      if (i) key += ';';
    }
    if (n == 0) key = "[no frames]";
    folded.emplace_back(std::move(key), w);
  }
  // Stacks that print alike (grouped by function, or differing only in hidden frames) add up.
  std::sort(folded.begin(), folded.end());
  size_t kept = 0;
  for (size_t i = 0; i < folded.size(); ++i) {
    if (kept && folded[kept - 1].first == folded[i].first)
      folded[kept - 1].second += folded[i].second;
    else if (kept++ != i)
      folded[kept - 1] = std::move(folded[i]);
  }
  folded.resize(kept);
  return folded;
}

uint64_t weightBytes(const StackStats& s) { return s.allocBytes; }
uint64_t weightCount(const StackStats& s) { return s.allocCalls; }
uint64_t weightLive(const StackStats& s) { return s.liveBytes; }

}  // namespace

void renderSummary(Out& out, const Analysis& a, const ReadSummary& in) {
  out.print("log: %s (%" PRIu64 " bytes read%s)\n", in.name.c_str(), in.bytes,
            in.truncated ? ", truncated" : "");
  out.print("events: %" PRIu64 "\n", a.events);
  for (uint32_t c = 0; c < kOpCount; ++c)
    if (a.opCounts[c]) out.print("  %-13s %12" PRIu64 "\n", opName(c), a.opCounts[c]);
  out.print("live at end: %" PRIu64 " %s, %" PRIu64 " bytes\n", a.liveBlocks,
            plural(a.liveBlocks, "block", "blocks"), a.liveBytes);
  out.print("peak live: %" PRIu64 " bytes in %" PRIu64 " %s at event %" PRIu64 "\n", a.peakBytes,
            a.peakBlocks, plural(a.peakBlocks, "block", "blocks"), a.peakEvent);
  out.print("releases of unknown addresses: %" PRIu64 "\n", a.unknownReleases);
  out.print("allocations of live addresses: %" PRIu64 "\n", a.doubleAllocations);
  for (const Anomaly& an : a.anomalies) {
    if (an.kind == Anomaly::UnknownRelease)
      out.print("  event %" PRIu64 " (offset %" PRIu64 "): %s of unknown address %s\n", an.event,
                an.offset, opName(an.code), hex8(an.address).c_str());
    else
      out.print("  event %" PRIu64 " (offset %" PRIu64 "): %s of %s, live since event %" PRIu64
                "\n",
                an.event, an.offset, opName(an.code), hex8(an.address).c_str(), an.previousEvent);
  }
  const uint64_t shown = a.anomalies.size();
  if (a.unknownReleases + a.doubleAllocations > shown)
    out.print("  omitting %" PRIu64 " more\n", a.unknownReleases + a.doubleAllocations - shown);

  const std::vector<uint16_t> ids = a.regionIds();
  out.print("regions: %zu\n", ids.size());
  if (!ids.empty())
    out.print("  %-8s %12s %12s %12s %12s %12s\n", "region", "events", "live blocks", "live bytes",
              "peak bytes", "peak event");
  for (uint16_t id : ids) {
    const RegionStats& r = a.regionStats(id);
    out.print("  0x%04x   %12" PRIu64 " %12" PRIu64 " %12" PRIu64 " %12" PRIu64 " %12" PRIu64 "\n",
              id, r.events, r.liveBlocks, r.liveBytes, r.peakBytes, r.peakEvent);
  }
  out.print("modules: %zu\n", a.modules_.size());
  for (const ModuleInfo& m : a.modules_) {
    std::string name = m.name;
    for (char& c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    out.print("  %s  %s\n", hex8(m.base).c_str(), name.c_str());
  }
}

uint64_t renderLeaks(Out& out, const Analysis& a, const Symbolizer& sym, uint64_t top,
                     LeakFormat format) {
  const std::vector<LeakGroup> groups = leakGroups(a);
  const uint64_t shown = std::min<uint64_t>(top, groups.size());
  if (format == LeakFormat::Lsan) {
    if (groups.empty()) return 0;
    out.print("=================================================================\n");
    out.print("==0==ERROR: LeakSanitizer: detected memory leaks\n");
    for (uint64_t i = 0; i < shown; ++i) {
      const LeakGroup& g = groups[i];
      out.print("\nDirect leak of %" PRIu64 " byte(s) in %" PRIu64 " object(s) allocated from:\n",
                g.bytes, g.blocks);
      const uint32_t* f = a.stacks.frames(g.stack);
      for (uint32_t k = 0; k < a.stacks.frameCount(g.stack); ++k)
        out.print("    #%u %s\n", k, sym.lsanFrame(f[k]).c_str());
    }
    out.print("\nSUMMARY: LeakSanitizer: %" PRIu64 " byte(s) leaked in %" PRIu64
              " allocation(s).\n",
              a.liveBytes, a.liveBlocks);
    return a.liveBlocks;
  }
  if (groups.empty()) {
    out.print("no leaks: no block is live at the end of the log\n");
    return 0;
  }
  out.print("leaks: %" PRIu64 " bytes in %" PRIu64 " %s from %zu %s\n", a.liveBytes, a.liveBlocks,
            plural(a.liveBlocks, "block", "blocks"), groups.size(),
            plural(groups.size(), "stack", "stacks"));
  for (uint64_t i = 0; i < shown; ++i) {
    const LeakGroup& g = groups[i];
    out.print("\n#%" PRIu64 ": %" PRIu64 " bytes in %" PRIu64 " %s; first: %s id 0x%08" PRIX32
              " at event %" PRIu64 ", region 0x%04x\n",
              i + 1, g.bytes, g.blocks, plural(g.blocks, "block", "blocks"), opName(g.first.code),
              g.first.id, g.first.event, g.first.region);
    printFrames(out, a, sym, g.stack, "    ");
  }
  if (shown < groups.size()) {
    uint64_t bytes = 0, blocks = 0;
    for (size_t i = shown; i < groups.size(); ++i) {
      bytes += groups[i].bytes;
      blocks += groups[i].blocks;
    }
    const uint64_t more = groups.size() - shown;
    out.print("\nomitting %" PRIu64 " more %s (%" PRIu64 " bytes in %" PRIu64 " %s)\n", more,
              plural(more, "stack", "stacks"), bytes, blocks, plural(blocks, "block", "blocks"));
  }
  return a.liveBlocks;
}

void renderTop(Out& out, const Analysis& a, const Symbolizer& sym, TopBy by, uint64_t n) {
  std::vector<uint32_t> sites;
  for (uint32_t id = 0; id < a.stacks.size(); ++id)
    if (a.stackStats[id].allocCalls) sites.push_back(id);
  auto key = [&](uint32_t id) {
    const StackStats& s = a.stackStats[id];
    switch (by) {
      case TopBy::Calls: return std::make_tuple(s.allocCalls, s.allocBytes, s.peakLiveBytes);
      case TopBy::Bytes: return std::make_tuple(s.allocBytes, s.allocCalls, s.peakLiveBytes);
      case TopBy::Peak: break;
    }
    return std::make_tuple(s.peakLiveBytes, s.allocBytes, s.allocCalls);
  };
  std::sort(sites.begin(), sites.end(), [&](uint32_t x, uint32_t y) {
    const auto kx = key(x), ky = key(y);
    return kx != ky ? kx > ky : x < y;
  });
  const char* byName = by == TopBy::Calls ? "calls" : by == TopBy::Bytes ? "bytes" : "peak";
  const uint64_t shown = std::min<uint64_t>(n, sites.size());
  out.print("allocation sites by %s: %" PRIu64 " of %zu\n", byName, shown, sites.size());
  out.print("%10s %12s %12s  %s\n", "calls", "bytes", "peak live", "site");
  const std::string indent(10 + 1 + 12 + 1 + 12 + 2 + 2, ' ');
  for (uint64_t i = 0; i < shown; ++i) {
    const uint32_t id = sites[i];
    const StackStats& s = a.stackStats[id];
    const uint32_t nf = a.stacks.frameCount(id);
    const uint32_t* f = a.stacks.frames(id);
    std::string first = "(no frames)";
    if (nf) {
      first = sym.frameText(f[0]);
      const std::string loc = sym.fileLine(f[0]);
      if (!loc.empty()) first += "  " + loc;
    }
    out.print("%10" PRIu64 " %12" PRIu64 " %12" PRIu64 "  %s\n", s.allocCalls, s.allocBytes,
              s.peakLiveBytes, first.c_str());
    for (uint32_t k = 1; k < nf; ++k) {
      const std::string loc = sym.fileLine(f[k]);
      out.print("%s%s%s%s\n", indent.c_str(), sym.frameText(f[k]).c_str(), loc.empty() ? "" : "  ",
                loc.c_str());
    }
  }
  if (shown < sites.size())
    out.print("omitting %" PRIu64 " more\n", uint64_t(sites.size()) - shown);
}

void renderFolded(Out& out, const Analysis& a, const Symbolizer& sym, FoldedWeight weight) {
  const auto fn = weight == FoldedWeight::Bytes   ? weightBytes
                  : weight == FoldedWeight::Count ? weightCount
                                                  : weightLive;
  for (const auto& kv : foldStacks(a, sym, fn))
    out.print("%s %" PRIu64 "\n", kv.first.c_str(), kv.second);
}

void renderHistogram(Out& out, const Analysis& a) {
  uint64_t count = 0, bytes = 0, most = 0;
  int lo = kHistogramBuckets, hi = -1;
  for (int b = 0; b < kHistogramBuckets; ++b) {
    count += a.histCount[b];
    bytes += a.histBytes[b];
    most = std::max(most, a.histCount[b]);
    if (a.histCount[b]) {
      lo = std::min(lo, b);
      hi = b;
    }
  }
  out.print("allocation sizes: %" PRIu64 " %s, %" PRIu64 " bytes\n", count,
            plural(count, "allocation", "allocations"), bytes);
  if (hi < 0) return;
  out.print("%23s %12s %14s\n", "size", "count", "bytes");
  for (int b = lo; b <= hi; ++b) {
    char range[48];
    if (b == 0)
      snprintf(range, sizeof range, "0");
    else
      snprintf(range, sizeof range, "%" PRIu64 " - %" PRIu64, uint64_t(1) << (b - 1),
               (uint64_t(1) << b) - 1);
    const size_t bar = most ? size_t((a.histCount[b] * 40 + most - 1) / most) : 0;
    out.print("%23s %12" PRIu64 " %14" PRIu64 "  %s\n", range, a.histCount[b], a.histBytes[b],
              std::string(bar, '#').c_str());
  }
}

void renderFind(Out& out, const Analysis& a, const Symbolizer& sym, uint32_t address) {
  out.print("history of %s: %zu %s\n", hex8(address).c_str(), a.sightings.size(),
            plural(a.sightings.size(), "event", "events"));
  for (const Sighting& s : a.sightings) {
    out.print("\nevent %" PRIu64 " (offset %" PRIu64 "): %s id 0x%08" PRIX32 ", %" PRIu32
              " bytes at %s",
              s.event, s.offset, opName(s.code), s.id, s.size, hex8(s.address).c_str());
    if (s.address <= address && uint64_t(address) < uint64_t(s.address) + s.size) {
      if (s.address != address) out.print(" (contains it at +0x%" PRIx32 ")", address - s.address);
    } else if (s.address != address) {
      out.print(" (the block moved here)");
    }
    out.print(", region 0x%04x\n", s.region);
    printFrames(out, a, sym, s.stack, "    ");
  }
  bool live = false;
  for (uint32_t base : a.watchedLive) {
    LiveBlock b;
    if (a.live().find(base, b)) {
      out.print("\nat the end: live, %" PRIu32 " bytes at %s allocated at event %" PRIu64 "\n",
                b.size, hex8(base).c_str(), b.event);
      live = true;
    }
  }
  if (!live) out.print("\nat the end: not live\n");
}

void renderDiff(Out& out, const Analysis& a, const Symbolizer& symA, const std::string& nameA,
                const Analysis& b, const Symbolizer& symB, const std::string& nameB) {
  // Stacks are matched by module and function when symbols are known, else by module and offset,
  // so the same code at another load address (a second run), or moved by an edit elsewhere
  // (another build, with symbols), still lines up.
  struct Cell {
    int64_t bytes[2] = {0, 0};
    int64_t blocks[2] = {0, 0};
    std::vector<std::string> frames;
  };
  std::map<std::string, Cell> cells;
  const Analysis* side[2] = {&a, &b};
  const Symbolizer* sym[2] = {&symA, &symB};
  for (int s = 0; s < 2; ++s) {
    for (uint32_t id = 0; id < side[s]->stacks.size(); ++id) {
      const StackStats& st = side[s]->stackStats[id];
      if (!st.liveBlocks) continue;
      std::vector<std::string> frames;
      std::string key;
      for (uint32_t k = 0; k < side[s]->stacks.frameCount(id); ++k) {
        const uint32_t addr = side[s]->stacks.frames(id)[k];
        std::string t = sym[s]->frameText(addr);
        const std::string loc = sym[s]->fileLine(addr);
        if (!loc.empty()) t += "  " + loc;
        key += sym[s]->frameKey(addr) + "\n";
        frames.push_back(t);
      }
      Cell& c = cells[key];
      c.bytes[s] += int64_t(st.liveBytes);
      c.blocks[s] += int64_t(st.liveBlocks);
      c.frames = frames;  // B's, when both have the stack: the newer build's lines
    }
  }
  std::vector<const std::pair<const std::string, Cell>*> rows;
  for (const auto& kv : cells)
    if (kv.second.bytes[1] != kv.second.bytes[0] || kv.second.blocks[1] != kv.second.blocks[0])
      rows.push_back(&kv);
  std::stable_sort(rows.begin(), rows.end(), [](const auto* x, const auto* y) {
    return x->second.bytes[1] - x->second.bytes[0] > y->second.bytes[1] - y->second.bytes[0];
  });
  out.print("live bytes by stack, B minus A\n");
  out.print("A: %s: %" PRIu64 " bytes in %" PRIu64 " %s\n", nameA.c_str(), a.liveBytes,
            a.liveBlocks, plural(a.liveBlocks, "block", "blocks"));
  out.print("B: %s: %" PRIu64 " bytes in %" PRIu64 " %s\n", nameB.c_str(), b.liveBytes,
            b.liveBlocks, plural(b.liveBlocks, "block", "blocks"));
  for (const auto* row : rows) {
    const Cell& c = row->second;
    out.print("\n%+" PRId64 " bytes, %+" PRId64 " blocks (A %" PRId64 " bytes in %" PRId64
              ", B %" PRId64 " bytes in %" PRId64 ")\n",
              c.bytes[1] - c.bytes[0], c.blocks[1] - c.blocks[0], c.bytes[0], c.blocks[0],
              c.bytes[1], c.blocks[1]);
    if (c.frames.empty()) out.print("    (no frames)\n");
    for (const std::string& f : c.frames) out.print("    %s\n", f.c_str());
  }
  out.print("\ntotal: %+" PRId64 " bytes, %+" PRId64 " blocks in %zu %s\n",
            int64_t(b.liveBytes) - int64_t(a.liveBytes),
            int64_t(b.liveBlocks) - int64_t(a.liveBlocks), rows.size(),
            plural(rows.size(), "stack", "stacks"));
}

}  // namespace memlog
