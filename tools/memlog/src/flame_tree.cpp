// The tree grows widest box first: each step splits the stacks through one box by their next
// frame. Stacks stay in one array, each box owning a contiguous run of it, so memory follows the
// boxes drawn and the stacks, never the frames of all stacks together.
#include "flame_tree.h"

#include <algorithm>
#include <cmath>
#include <queue>
#include <unordered_map>

namespace memlog {

namespace {

struct Partial {
  FlameNode node;
  uint32_t begin, end;  // its stacks, in Builder::order_
  bool deeper;          // some of its stacks go on below it
  std::vector<uint32_t> children;
};

class Builder {
 public:
  Builder(const Analysis& a, const Symbolizer& sym, bool atPeak, const FlameLimits& limits);
  FlameTree finish();

 private:
  uint64_t weight(uint32_t stack) const {
    const StackStats& s = a_.stackStats[stack];
    return atPeak_ ? s.atPeakBytes : s.liveBytes;
  }
  uint32_t intern(const std::string& name);
  uint32_t frameName(uint32_t stack, uint32_t depth);
  uint32_t addPartial(uint32_t name, uint32_t depth, uint64_t value, uint32_t begin, uint32_t end);
  void expand(uint32_t part);

  const Analysis& a_;
  const Symbolizer& sym_;
  const bool atPeak_;
  const FlameLimits limits_;
  uint64_t minValue_ = 0;
  std::vector<uint32_t> order_;
  std::vector<Partial> parts_;
  std::vector<std::string> names_;
  std::unordered_map<std::string, uint32_t> nameIds_;
  std::unordered_map<uint32_t, uint32_t> addressNames_;
};

Builder::Builder(const Analysis& a, const Symbolizer& sym, bool atPeak, const FlameLimits& limits)
    : a_(a), sym_(sym), atPeak_(atPeak), limits_(limits) {
  uint64_t total = 0;
  for (uint32_t id = 0; id < a.stacks.size(); ++id) {
    if (weight(id) == 0) continue;
    order_.push_back(id);
    total += weight(id);
  }
  minValue_ = uint64_t(std::ceil(double(total) * limits.minShare));
  addPartial(intern("all"), 0, total, 0, uint32_t(order_.size()));
}

uint32_t Builder::intern(const std::string& name) {
  const auto ins = nameIds_.emplace(name, uint32_t(names_.size()));
  if (ins.second) names_.push_back(name);
  return ins.first->second;
}

// depth 1 is the outermost frame.
uint32_t Builder::frameName(uint32_t stack, uint32_t depth) {
  const uint32_t address = a_.stacks.frames(stack)[a_.stacks.frameCount(stack) - depth];
  const auto it = addressNames_.find(address);
  if (it != addressNames_.end()) return it->second;
  const uint32_t id = intern(sym_.frameKey(address));
  addressNames_.emplace(address, id);
  return id;
}

uint32_t Builder::addPartial(uint32_t name, uint32_t depth, uint64_t value, uint32_t begin,
                             uint32_t end) {
  bool deeper = false;
  for (uint32_t i = begin; i < end && !deeper; ++i)
    deeper = a_.stacks.frameCount(order_[i]) > depth;
  parts_.push_back(Partial{FlameNode{name, depth, value, false, false}, begin, end, deeper, {}});
  return uint32_t(parts_.size() - 1);
}

void Builder::expand(uint32_t part) {
  const uint32_t begin = parts_[part].begin, end = parts_[part].end;
  const uint32_t depth = parts_[part].node.depth + 1;
  std::vector<std::pair<uint32_t, uint32_t>> keyed;  // (frame name, stack)
  for (uint32_t i = begin; i < end; ++i)
    if (a_.stacks.frameCount(order_[i]) >= depth)
      keyed.emplace_back(frameName(order_[i], depth), order_[i]);
  std::sort(keyed.begin(), keyed.end());
  for (size_t i = 0; i < keyed.size(); ++i) order_[begin + i] = keyed[i].second;

  std::vector<uint32_t> kids;
  uint64_t narrowValue = 0;
  uint32_t narrowCount = 0, narrowName = 0, narrowBegin = 0, narrowEnd = 0;
  for (uint32_t i = 0; i < keyed.size();) {
    uint32_t j = i;
    uint64_t value = 0;
    for (; j < keyed.size() && keyed[j].first == keyed[i].first; ++j)
      value += weight(keyed[j].second);
    if (value >= minValue_) {
      kids.push_back(addPartial(keyed[i].first, depth, value, begin + i, begin + j));
    } else {
      narrowValue += value;
      narrowName = keyed[i].first;
      narrowBegin = begin + i;
      narrowEnd = begin + j;
      ++narrowCount;
    }
    i = j;
  }
  // Narrow frames are not expanded. A single one keeps its name; several merge into one box
  // that says how many it holds.
  if (narrowCount > 1) {
    narrowName = intern("(" + std::to_string(narrowCount) + " narrow frames)");
    narrowBegin = narrowEnd = 0;
  }
  if (narrowCount) {
    const uint32_t k = addPartial(narrowName, depth, narrowValue, narrowBegin, narrowEnd);
    parts_[k].node.cut = parts_[k].deeper;
    parts_[k].node.merged = narrowCount > 1;
    parts_[k].deeper = false;
    kids.push_back(k);
  }
  std::sort(kids.begin(), kids.end() - (narrowCount ? 1 : 0), [&](uint32_t x, uint32_t y) {
    const FlameNode &nx = parts_[x].node, &ny = parts_[y].node;
    if (nx.value != ny.value) return nx.value > ny.value;
    return names_[nx.name] < names_[ny.name];
  });
  parts_[part].children = std::move(kids);
}

FlameTree Builder::finish() {
  // Widest first, a box's width divided by its depth, so that one wide path of thousands of
  // frames does not take the whole budget from its neighbours; among equals the older box, so
  // that output is reproducible.
  std::priority_queue<std::pair<double, uint32_t>> queue;
  const auto push = [&](uint32_t p) {
    const FlameNode& n = parts_[p].node;
    if (!parts_[p].deeper) return;
    if (n.depth >= limits_.maxDepth)
      parts_[p].node.cut = true;
    else
      queue.emplace(double(n.value) / double(n.depth + 1), UINT32_MAX - p);
  };
  push(0);
  while (!queue.empty() && parts_.size() < limits_.maxNodes) {
    const uint32_t p = UINT32_MAX - queue.top().second;
    queue.pop();
    expand(p);
    for (uint32_t k : parts_[p].children) push(k);
  }
  for (; !queue.empty(); queue.pop()) parts_[UINT32_MAX - queue.top().second].node.cut = true;

  FlameTree tree;
  std::vector<uint32_t> todo{0};
  while (!todo.empty()) {
    const Partial& p = parts_[todo.back()];
    todo.pop_back();
    tree.nodes.push_back(p.node);
    tree.maxDepth = std::max(tree.maxDepth, p.node.depth);
    todo.insert(todo.end(), p.children.rbegin(), p.children.rend());
  }
  tree.names = std::move(names_);
  return tree;
}

}  // namespace

FlameTree buildFlameTree(const Analysis& a, const Symbolizer& sym, bool atPeak,
                         const FlameLimits& limits) {
  return Builder(a, sym, atPeak, limits).finish();
}

}  // namespace memlog
