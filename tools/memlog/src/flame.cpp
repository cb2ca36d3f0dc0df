// The flame graph of live memory at the end or at the peak of the run: one box per
// frame, outermost at the bottom, as wide as the bytes allocated through it.
#include "flame.h"

#include <algorithm>
#include <cinttypes>
#include <map>
#include <vector>

namespace memlog {

namespace {

std::string xmlText(const std::string& s) {
  std::string o;
  for (unsigned char c : s) {
    switch (c) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      case '\'': o += "&apos;"; break;
      default: o += (c < 0x20 || c >= 0x7f) ? '?' : char(c);
    }
  }
  return o;
}

}  // namespace

void renderFlame(Out& out, const Analysis& a, const Symbolizer& sym, bool atPeak,
                 const std::string& title) {
  struct Node {
    std::string name;
    uint64_t value = 0;
    std::map<std::string, size_t> children;
  };
  std::vector<Node> nodes(1);
  nodes[0].name = "all";
  size_t maxDepth = 0;
  for (uint32_t id = 0; id < a.stacks.size(); ++id) {
    const uint64_t weight = atPeak ? a.stackStats[id].atPeakBytes : a.stackStats[id].liveBytes;
    if (weight == 0) continue;
    const uint32_t* f = a.stacks.frames(id);
    size_t cur = 0;
    nodes[0].value += weight;
    size_t depth = 0;
    for (uint32_t i = a.stacks.frameCount(id); i-- > 0;) {
      const std::string frame = sym.frameKey(f[i]);
      auto it = nodes[cur].children.find(frame);
      size_t child;
      if (it == nodes[cur].children.end()) {
        child = nodes.size();
        nodes[cur].children.emplace(frame, child);
        nodes.push_back(Node());
        nodes[child].name = frame;
      } else {
        child = it->second;
      }
      nodes[child].value += weight;
      cur = child;
      maxDepth = std::max(maxDepth, ++depth);
    }
  }

  const double width = 1200, pad = 10, rowH = 17, top = 48;
  const double inner = width - 2 * pad;
  const double height = top + double(maxDepth + 1) * rowH + pad;
  const uint64_t total = nodes[0].value;
  out.print("<?xml version=\"1.0\" standalone=\"no\"?>\n");
  out.print(
      "<svg version=\"1.1\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
      "xmlns=\"http://www.w3.org/2000/svg\">\n",
      width, height, width, height);
  out.print("<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"#f8f8f0\"/>\n", width,
            height);
  out.print(
      "<text x=\"%.0f\" y=\"24\" text-anchor=\"middle\" font-family=\"Verdana,sans-serif\" "
      "font-size=\"17\">%s</text>\n",
      width / 2, xmlText(title).c_str());
  out.print(
      "<text x=\"%.0f\" y=\"40\" text-anchor=\"middle\" font-family=\"Verdana,sans-serif\" "
      "font-size=\"12\" fill=\"#555\">%s live bytes: %" PRIu64
      " (hover a box for its bytes)</text>\n",
      width / 2, atPeak ? "at the peak," : "at the end,", total);

  // Depth-first, root at the bottom; a box narrower than 0.1 px is dropped with its
  // subtree since nothing of it could be seen.
  struct Item {
    size_t node;
    double x;
    size_t depth;
  };
  std::vector<Item> stack{{0, pad, 0}};
  while (!stack.empty()) {
    const Item it = stack.back();
    stack.pop_back();
    const Node& n = nodes[it.node];
    const double w = total ? inner * double(n.value) / double(total) : inner;
    if (w < 0.1) continue;
    const double y = height - pad - double(it.depth + 1) * rowH;
    uint32_t h = 2166136261u;
    for (unsigned char c : n.name) h = (h ^ c) * 16777619u;
    const unsigned r = 205 + h % 50, g = (h >> 8) % 180 + 40, b = (h >> 16) % 55;
    const double pct = total ? 100.0 * double(n.value) / double(total) : 0.0;
    out.print("<g><title>%s (%" PRIu64
              " bytes, %.2f%%)</title><rect x=\"%.3f\" y=\"%.0f\" width=\"%.3f\" "
              "height=\"%.0f\" fill=\"rgb(%u,%u,%u)\" rx=\"2\"/>",
              xmlText(n.name).c_str(), n.value, pct, it.x, y, w, rowH - 1, r, g, b);
    const size_t fit = size_t(w / 7);
    if (fit >= 3) {
      std::string label = n.name.size() <= fit ? n.name : n.name.substr(0, fit - 2) + "..";
      out.print("<text x=\"%.3f\" y=\"%.0f\" font-family=\"monospace\" font-size=\"12\">%s</text>",
                it.x + 3, y + rowH - 5, xmlText(label).c_str());
    }
    out.print("</g>\n");
    double x = it.x;
    std::vector<Item> kids;
    for (const auto& kv : n.children) {
      kids.push_back({kv.second, x, it.depth + 1});
      x += total ? inner * double(nodes[kv.second].value) / double(total) : 0;
    }
    stack.insert(stack.end(), kids.rbegin(), kids.rend());
  }
  out.print("</svg>\n");
}

}  // namespace memlog
