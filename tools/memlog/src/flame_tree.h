// The tree a flame graph draws: live bytes by call path, outermost frame at the root. Frames
// group by the symboliser's key (module!function with symbols). However many stacks and frames
// the log holds, the tree stays small enough to draw: children narrower than a share of the
// total merge into one box per parent, and past a box budget (or a depth) the narrowest paths
// stop growing.
#ifndef QUORKIT_MEMLOG_FLAME_TREE_H
#define QUORKIT_MEMLOG_FLAME_TREE_H

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"
#include "symbols.h"

namespace memlog {

struct FlameNode {
  uint32_t name;   // index into FlameTree::names
  uint32_t depth;  // 0 for the root
  uint64_t value;  // bytes through this path
  bool cut;        // deeper frames exist but were not expanded
  bool merged;     // stands for several frames too narrow to draw
};

struct FlameTree {
  std::vector<std::string> names;
  std::vector<FlameNode> nodes;  // depth first, children widest first
  uint32_t maxDepth = 0;
  uint64_t total() const { return nodes.front().value; }
};

struct FlameLimits {
  double minShare = 1.0 / 2400;  // half a pixel of a 1200-pixel graph
  size_t maxNodes = 20000;
  uint32_t maxDepth = 400;  // rows: deeper frames of a longer stack are left out
};

FlameTree buildFlameTree(const Analysis& a, const Symbolizer& sym, bool atPeak,
                         const FlameLimits& limits);

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_FLAME_TREE_H
