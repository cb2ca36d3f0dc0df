// The flame graph of live memory at the end or at the peak of the run as an SVG: outermost frame
// at the bottom, each box as wide as the bytes allocated through it. The boxes are drawn in the
// file, so any viewer shows them; an inline script adds zoom, search and hover details.
#include "flame.h"

#include <cinttypes>
#include <vector>

#include "assets.h"
#include "flame_tree.h"
#include "markup.h"

namespace memlog {

namespace {

constexpr double kWidth = 1200, kPad = 10, kRowHeight = 17, kTop = 52, kBottom = 26;
constexpr double kCharWidth = 7;  // of the 12-pixel monospace labels

// A warm colour that stays the same for the same name; grey for merged boxes.
void boxColour(const FlameNode& n, const std::string& name, unsigned rgb[3]) {
  if (n.merged) {
    rgb[0] = rgb[1] = rgb[2] = 200;
    return;
  }
  uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  rgb[0] = 205 + h % 50;
  rgb[1] = (h >> 8) % 180 + 40;
  rgb[2] = (h >> 16) % 55;
}

std::string fittedLabel(const std::string& name, double width) {
  const size_t fit = width > 6 ? size_t((width - 6) / kCharWidth) : 0;
  if (fit < 3) return std::string();
  return name.size() <= fit ? name : name.substr(0, fit - 2) + "..";
}

void writeHeader(Out& out, double height, const std::string& title, bool atPeak, uint64_t total) {
  out.print("<?xml version=\"1.0\" standalone=\"no\"?>\n");
  out.print(
      "<svg version=\"1.1\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
      "xmlns=\"http://www.w3.org/2000/svg\" font-family=\"Verdana,sans-serif\">\n",
      kWidth, height, kWidth, height);
  out.print(
      "<style>#frames g{cursor:pointer}#frames g:hover rect{stroke:#333;stroke-width:.5}"
      "#frames text{font:12px monospace;pointer-events:none}"
      ".button{cursor:pointer;fill:#235;font-size:12px}.button:hover{text-decoration:underline}"
      "</style>\n");
  out.print("<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"#f8f8f0\"/>\n", kWidth,
            height);
  out.print("<text x=\"%.0f\" y=\"24\" text-anchor=\"middle\" font-size=\"17\">%s</text>\n",
            kWidth / 2, xmlText(title).c_str());
  out.print(
      "<text x=\"%.0f\" y=\"42\" text-anchor=\"middle\" font-size=\"12\" fill=\"#555\">"
      "live bytes %s: %" PRIu64 "; click a box to zoom, hover for its bytes</text>\n",
      kWidth / 2, atPeak ? "at the peak" : "at the end", total);
  out.print(
      "<text id=\"reset\" class=\"button\" x=\"%.0f\" y=\"24\" style=\"display:none\">Reset "
      "zoom</text>\n",
      kPad);
  out.print(
      "<text id=\"search\" class=\"button\" x=\"%.0f\" y=\"24\" "
      "text-anchor=\"end\">Search</text>\n",
      kWidth - kPad);
  out.print("<text id=\"details\" x=\"%.0f\" y=\"%.0f\" font-size=\"12\"> </text>\n", kPad,
            height - 9);
  out.print(
      "<text id=\"matched\" x=\"%.0f\" y=\"%.0f\" font-size=\"12\" text-anchor=\"end\"></text>\n",
      kWidth - kPad, height - 9);
}

}  // namespace

void renderFlame(Out& out, const Analysis& a, const Symbolizer& sym, bool atPeak,
                 const std::string& title) {
  const FlameTree tree = buildFlameTree(a, sym, atPeak, FlameLimits());
  const double inner = kWidth - 2 * kPad;
  const double height = kTop + double(tree.maxDepth + 1) * kRowHeight + kBottom;
  const uint64_t total = tree.total();
  writeHeader(out, height, title, atPeak, total);

  out.print("<g id=\"frames\" data-pad=\"%.0f\">\n", kPad);
  // Depth-first order puts a box's children right after it, so one cursor per depth places
  // them side by side from the parent's left edge.
  std::vector<double> cursor(tree.maxDepth + 2, kPad);
  for (const FlameNode& n : tree.nodes) {
    const std::string& name = tree.names[n.name];
    const double x = cursor[n.depth];
    const double w = total ? inner * double(n.value) / double(total) : inner;
    cursor[n.depth] = x + w;
    cursor[n.depth + 1] = x;
    const double y = height - kBottom - double(n.depth + 1) * kRowHeight;
    unsigned rgb[3];
    boxColour(n, name, rgb);
    const double pct = total ? 100.0 * double(n.value) / double(total) : 0.0;
    out.print("<g><title>%s\n%" PRIu64 " bytes, %.2f%%%s</title>", xmlText(name).c_str(), n.value,
              pct, n.cut ? "\ndeeper frames not drawn" : "");
    out.print(
        "<rect x=\"%.3f\" y=\"%.0f\" width=\"%.3f\" height=\"%.0f\" fill=\"rgb(%u,%u,%u)\" "
        "rx=\"2\"/>",
        x, y, w, kRowHeight - 1, rgb[0], rgb[1], rgb[2]);
    const std::string label = fittedLabel(name, w);
    if (!label.empty())
      out.print("<text x=\"%.3f\" y=\"%.0f\">%s</text>", x + 3, y + kRowHeight - 5,
                xmlText(label).c_str());
    out.print("</g>\n");
  }
  out.print("</g>\n<script type=\"text/ecmascript\"><![CDATA[\n");
  out.write(kFlameScript);
  out.print("]]></script>\n</svg>\n");
}

}  // namespace memlog
